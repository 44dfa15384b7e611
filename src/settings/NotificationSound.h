#pragma once

#include <QDir>
#include <QString>

namespace kova {

class LogText;
class SoundPlayer;

// The one notification sound, "recv.wav" in the working directory; a failure to play it is logged.
class NotificationSound {
public:
    NotificationSound(LogText& log, SoundPlayer& player, QDir directory);

    void SoundOut();
    // Nonzero when playing has started. Always asynchronous, and never falls back to another sound.
    int PlaySoundFile(const QString& file);

    static bool isPlayableWave(const QString& path);

private:
    LogText& m_log;
    SoundPlayer& m_player;
    QDir m_directory;
};

} // namespace kova
