#pragma once

#include "io/SteadyClock.h"

#include <QHash>
#include <QHostAddress>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <limits>
#include <utility>

namespace kova {

// Events from each address, for a log that tells of them in one line per address per interval at most: the first
// event at once (by the caller), the ones that follow within the interval added up and told when it is over. Tally
// adds events up with +=, and Tally{} is nothing to tell.
template <typename Tally> class AddressTally {
public:
    // Tells what followed an address's last line, once its interval is over.
    using Tell = std::function<void(const QHostAddress& address, const Tally& tally)>;

    AddressTally(qint64 intervalNanoseconds, Tell tell, SteadyClock clock, QObject* timerParent)
        : m_interval(intervalNanoseconds)
        , m_tell(std::move(tell))
        , m_clock(std::move(clock))
        , m_timer(timerParent)
    {
        m_timer.setSingleShot(true);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { reportDue(); });
    }
    AddressTally(const AddressTally&) = delete;
    AddressTally& operator=(const AddressTally&) = delete;

    // True when the event is the first since the address's last interval: the caller tells it at once, and it is
    // not added up. False when it is added to what the address's next line tells.
    bool add(const QHostAddress& address, const Tally& event)
    {
        const qint64 now = m_clock();
        const auto it = m_entries.find(address);
        if (it == m_entries.end() || (it->waiting == Tally{} && now - it->lastLine >= m_interval)) {
            m_entries.insert(address, {.lastLine = now, .waiting = Tally{}});
            armTimer(now);
            return true;
        }
        it->waiting += event;
        return false;
    }

    // Tells the tallies whose interval is over; the timer calls it, and the tests after moving their clock on.
    void reportDue()
    {
        const qint64 now = m_clock();
        for (auto it = m_entries.begin(); it != m_entries.end();) {
            if (now - it->lastLine < m_interval) {
                ++it;
                continue;
            }
            if (it->waiting == Tally{}) {
                it = m_entries.erase(it);
                continue;
            }
            const Tally waiting = it->waiting;
            *it = {.lastLine = now, .waiting = Tally{}};
            m_tell(it.key(), waiting);
            ++it;
        }
        armTimer(now);
    }

    // Tells every tally still waiting, as the program ends.
    void reportAll()
    {
        const QHash<QHostAddress, Entry> entries = std::exchange(m_entries, {});
        m_timer.stop();
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (it->waiting != Tally{})
                m_tell(it.key(), it->waiting);
        }
    }

private:
    struct Entry {
        qint64 lastLine = 0;
        Tally waiting{};
    };

    // Runs when the oldest entry's interval is over, to tell its tally or to forget it.
    void armTimer(qint64 now)
    {
        if (m_entries.isEmpty()) {
            m_timer.stop();
            return;
        }
        qint64 next = std::numeric_limits<qint64>::max();
        for (const Entry& entry : std::as_const(m_entries))
            next = std::min(next, entry.lastLine + m_interval);
        m_timer.start(int(std::clamp<qint64>((next - now) / 1'000'000 + 1, 1, m_interval / 1'000'000)));
    }

    qint64 m_interval;
    Tell m_tell;
    SteadyClock m_clock;
    QHash<QHostAddress, Entry> m_entries;
    QTimer m_timer;
};

} // namespace kova
