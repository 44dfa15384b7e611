#pragma once

#include "settings/SoundPlayer.h"

#include <QStringList>

namespace kova::test {

class FakeSoundPlayer final : public SoundPlayer {
    Q_OBJECT

public:
    using SoundPlayer::SoundPlayer;

    bool hasOutputDevice() const override { return devicePresent; }
    void play(const QString& path) override { played.append(path); }
    bool isPlaying() const override { return playing; }
    void failPlayback() { Q_EMIT playbackFailed(); }

    bool devicePresent = true;
    bool playing = false;
    QStringList played;
};

} // namespace kova::test
