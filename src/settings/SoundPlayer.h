#pragma once

#include <QObject>
#include <QString>

namespace kova {

// The platform's audio output, as the notification sound needs it.
class SoundPlayer : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    ~SoundPlayer() override = default;

    virtual bool hasOutputDevice() const = 0;
    // Starts playing the wave file and returns at once; a sound still playing is stopped first.
    virtual void play(const QString& path) = 0;
    // What play() started is still sounding.
    virtual bool isPlaying() const = 0;

Q_SIGNALS:
    // The backend could not play what play() started; at most once per play().
    void playbackFailed();
};

} // namespace kova
