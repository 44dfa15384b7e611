#pragma once

#include "io/SteadyClock.h"

#include <QHash>
#include <QHostAddress>

namespace kova {

// How often one address may open connections: a bucket of connections per address that refills at a steady rate. A
// connection beyond it is refused before it takes a slot, so one machine that connects and closes in a loop cannot
// fill the others' screens, the log and the operator's ears with departures.
class ConnectionThrottle {
public:
    struct Limits {
        qint64 nanosecondsPerConnection; // the sustained rate
        int burst;                       // connections at once, from a full bucket
    };
    // One connection every 2 s, in bursts of 10: nine browsers reconnecting together, or a person's client retrying,
    // never come near it.
    static constexpr Limits Shipped{.nanosecondsPerConnection = 2'000'000'000, .burst = 10};
    // Addresses whose buckets are not full are remembered up to this many; beyond it the one nearest to full is
    // forgotten (it then starts full again), so memory stays bounded however many addresses connect.
    static constexpr qsizetype RememberedAddresses = 4096;

    explicit ConnectionThrottle(Limits limits = Shipped, SteadyClock clock = &steadyNanoseconds);

    // Takes one connection from the address's bucket; false, taking nothing, when it is empty.
    bool admits(const QHostAddress& address);
    // Gives back what admits() took, for a connection that turned out to be another address's (a gateway's browser).
    void refund(const QHostAddress& address);

private:
    void makeRoom(qint64 now);

    Limits m_limits;
    SteadyClock m_clock;
    // When each address's bucket is full again; an address that is absent has a full bucket.
    QHash<QHostAddress, qint64> m_fullAt;
};

} // namespace kova
