#pragma once

#include "io/SteadyClock.h"

#include <QDir>
#include <QString>

#include <optional>

namespace kova {

class LogText;
class SoundPlayer;

// The one notification sound, "recv.wav" in the working directory; a failure to play it is logged.
class NotificationSound {
public:
    // A ring while the sound still plays, or this soon after the last ring, is dropped: a burst of joins, leaves or
    // lines rings once, and a storm of them at most once a second.
    static constexpr qint64 QuietNanoseconds = 1'000'000'000;

    NotificationSound(LogText& log, SoundPlayer& player, QDir directory, SteadyClock clock = &steadyNanoseconds);

    // Rings unless a ring is too recent (see QuietNanoseconds). A ring that fails counts as one, so a missing file
    // adds its failure line at most once a second.
    void SoundOut();
    // Nonzero when playing has started. Always asynchronous, and never falls back to another sound.
    int PlaySoundFile(const QString& file);

    static bool isPlayableWave(const QString& path);

private:
    LogText& m_log;
    SoundPlayer& m_player;
    QDir m_directory;
    SteadyClock m_clock;
    std::optional<qint64> m_lastRing;
};

} // namespace kova
