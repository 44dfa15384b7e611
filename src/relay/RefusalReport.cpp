#include "RefusalReport.h"

#include "log/LogText.h"

#include <algorithm>
#include <limits>

namespace kova {

RefusalReport::RefusalReport(LogText& log, SteadyClock clock, QObject* parent)
    : QObject(parent)
    , m_log(log)
    , m_clock(std::move(clock))
    , m_timer(this)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &RefusalReport::reportDue);
}

QString RefusalReport::line(const QHostAddress& address, qint64 refused)
{
    return QStringLiteral("%1 からの接続が多すぎるため、%2 件を断りました。").arg(address.toString()).arg(refused);
}

void RefusalReport::onRefused(const QHostAddress& address)
{
    const qint64 now = m_clock();
    const auto it = m_entries.find(address);
    if (it == m_entries.end() || (it->waiting == 0 && now - it->lastLine >= IntervalNanoseconds)) {
        m_log.AppendLog(line(address, 1));
        m_entries.insert(address, {.lastLine = now, .waiting = 0});
        armTimer(now);
        return;
    }
    ++it->waiting;
}

void RefusalReport::reportDue()
{
    const qint64 now = m_clock();
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (now - it->lastLine < IntervalNanoseconds) {
            ++it;
            continue;
        }
        if (it->waiting == 0) {
            it = m_entries.erase(it);
            continue;
        }
        m_log.AppendLog(line(it.key(), it->waiting));
        *it = {.lastLine = now, .waiting = 0};
        ++it;
    }
    armTimer(now);
}

void RefusalReport::reportAll()
{
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->waiting > 0)
            m_log.AppendLog(line(it.key(), it->waiting));
    }
    m_entries.clear();
    m_timer.stop();
}

// Runs when the oldest entry's minute is over, to log its count or to forget it.
void RefusalReport::armTimer(qint64 now)
{
    if (m_entries.isEmpty()) {
        m_timer.stop();
        return;
    }
    qint64 next = std::numeric_limits<qint64>::max();
    for (const Entry& entry : std::as_const(m_entries))
        next = std::min(next, entry.lastLine + IntervalNanoseconds);
    m_timer.start(int(std::clamp<qint64>((next - now) / 1'000'000 + 1, 1, IntervalNanoseconds / 1'000'000)));
}

} // namespace kova
