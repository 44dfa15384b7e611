#include "ConnectionThrottle.h"

#include <algorithm>

namespace kova {

ConnectionThrottle::ConnectionThrottle(Limits limits, SteadyClock clock)
    : m_limits(limits)
    , m_clock(std::move(clock))
{}

// A bucket is kept as the moment it is full again: each connection pushes that moment one interval further, and a
// connection fits while the moment is at most burst - 1 intervals away.
bool ConnectionThrottle::admits(const QHostAddress& address)
{
    const qint64 now = m_clock();
    const qint64 interval = m_limits.nanosecondsPerConnection;
    auto it = m_fullAt.find(address);
    const qint64 fullAt = it == m_fullAt.end() ? now : std::max(*it, now);
    if (fullAt - now > qint64(m_limits.burst - 1) * interval)
        return false;
    if (it == m_fullAt.end()) {
        if (m_fullAt.size() >= RememberedAddresses)
            makeRoom(now);
        m_fullAt.insert(address, fullAt + interval);
    } else {
        *it = fullAt + interval;
    }
    return true;
}

void ConnectionThrottle::refund(const QHostAddress& address)
{
    const auto it = m_fullAt.find(address);
    if (it == m_fullAt.end())
        return;
    *it -= m_limits.nanosecondsPerConnection;
    if (*it <= m_clock())
        m_fullAt.erase(it);
}

void ConnectionThrottle::makeRoom(qint64 now)
{
    m_fullAt.removeIf([now](const auto& entry) { return entry.value() <= now; });
    if (m_fullAt.size() < RememberedAddresses)
        return;
    const auto nearest = std::min_element(m_fullAt.begin(), m_fullAt.end());
    m_fullAt.erase(nearest);
}

} // namespace kova
