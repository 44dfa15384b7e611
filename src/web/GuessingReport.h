#pragma once

#include "RoomKey.h"

#include "io/AddressTally.h"

#include <functional>

namespace kova::web {

// Tells of browsers refused for the room key in one log line per address per minute at most: the first refusal at
// once, with its port and reason, and what follows within the minute added up and told when it is over, lockouts
// included. An address that guesses as fast as it can fills no more of the log than one that guesses once.
class GuessingReport {
public:
    static constexpr qint64 IntervalNanoseconds = 60'000'000'000;

    using Log = std::function<void(const QString& line)>;

    GuessingReport(Log log, SteadyClock clock, QObject* timerParent);

    // The browser at the address and port was refused: verdict is Wrong, WrongLockingOut or LockedOut.
    void onRefused(const QHostAddress& address, quint16 port, RoomKey::Verdict verdict);
    // Logs the tallies whose minute is over; the timer calls it, and the tests after moving their clock on.
    void reportDue();
    // Logs every tally still waiting, as the gateway stops.
    void reportAll();

    // The close reason for a browser refused with the verdict.
    static QString reason(RoomKey::Verdict verdict);

private:
    struct Tally {
        qint64 wrong = 0;
        qint64 lockouts = 0;
        qint64 whileLockedOut = 0;

        Tally& operator+=(const Tally& other);
        bool operator==(const Tally&) const = default;
    };

    static QString line(const QHostAddress& address, const Tally& tally);

    Log m_log;
    AddressTally<Tally> m_tally;
};

} // namespace kova::web
