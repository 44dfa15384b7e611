#pragma once

#include "FakeSoundPlayer.h"
#include "FakeWinsock.h"
#include "WriteFile.h"
#include "log/LogText.h"
#include "relay/ChatServer.h"
#include "relay/RelayTables.h"
#include "settings/NotificationSound.h"
#include "settings/Settings.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

#include <type_traits>

namespace kova::test {

// Writes a short silent 8 kHz mono PCM wave file.
inline bool writeTestWave(const QString& path)
{
    const quint32 samples = 800;
    QByteArray wave("RIFF");
    auto u32 = [&wave](quint32 v) { wave.append(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&wave](quint16 v) { wave.append(reinterpret_cast<const char*>(&v), 2); };
    u32(36 + samples * 2);
    wave.append("WAVEfmt ");
    u32(16);
    u16(1);
    u16(1);
    u32(8000);
    u32(16000);
    u16(2);
    u16(16);
    wave.append("data");
    u32(samples * 2);
    wave.append(QByteArray(int(samples * 2), '\0'));
    return writeFile(path, wave);
}

// A clock the test sets by hand.
struct ManualClock {
    QDateTime now{QDate(2026, 12, 7), QTime(9, 5, 3)};
    Clock clock()
    {
        return [this] { return now; };
    }
};

// The relay's parts wired as the program wires them, over the given socket array, in a scratch directory.
template <typename Sockets> struct Harness {
    QTemporaryDir dir;
    ManualClock time;
    Settings settings;
    RelayTables tables;
    Sockets sockets;
    LogText log{QDir(dir.path()), time.clock()};
    FakeSoundPlayer player;
    // The sound's monotonic time, which only the test moves on (see afterAWhile()).
    qint64 steadyNow = 0;
    NotificationSound sound{log, player, QDir(dir.path()), [this] { return steadyNow; }};
    ChatServer server{tables, sockets, log, settings, sound};

    // Long enough for the sound to ring again.
    void afterAWhile() { steadyNow += 10 * NotificationSound::QuietNanoseconds; }

    // What the clients received ("slot:text"), once every queued broadcast has been walked.
    QStringList delivered() requires std::is_same_v<Sockets, FakeWinsock>
    {
        return sockets.drainSends([this] { return server.broadcaster().isRunning(); });
    }

    // The messages of the log lines, without their time stamps.
    QStringList logMessages() const
    {
        static const QRegularExpression stamp(QStringLiteral("   \\[[^\\]]*\\]$"));
        QStringList lines = log.text().split(QStringLiteral("\r\n"));
        lines.removeFirst();
        for (QString& line : lines)
            line.remove(stamp);
        return lines;
    }
};

} // namespace kova::test
