#include "InputBudget.h"

#include <algorithm>
#include <chrono>

namespace kova {

namespace {
// Longer than any bucket takes to fill or any debt takes to be paid off, short enough that no product overflows.
constexpr qint64 MaxRefillNanoseconds = 3600LL * 1'000'000'000;
constexpr qint64 MaxSpend = qint64(1) << 30;
} // namespace

qint64 InputBudget::steadyNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

InputBudget::InputBudget(Limits limits, Clock clock)
    : m_limits(limits)
    , m_clock(std::move(clock))
    , m_last(m_clock())
    , m_bytes(limits.burstBytes * Scale)
    , m_messages(limits.burstMessages * Scale)
{}

void InputBudget::refill()
{
    const qint64 now = m_clock();
    const qint64 elapsed = std::clamp<qint64>(now - m_last, 0, MaxRefillNanoseconds);
    m_last = now;
    m_bytes = std::min(m_bytes + elapsed * m_limits.bytesPerSecond, m_limits.burstBytes * Scale);
    m_messages = std::min(m_messages + elapsed * m_limits.messagesPerSecond, m_limits.burstMessages * Scale);
}

bool InputBudget::allows()
{
    refill();
    return m_bytes > 0 && m_messages >= Scale;
}

void InputBudget::spendMessage(qint64 bytes)
{
    refill();
    m_messages -= Scale;
    spendBytes(bytes);
}

void InputBudget::spendBytes(qint64 bytes)
{
    // The debt stays within what an hour refills.
    const qint64 floor = -MaxRefillNanoseconds * m_limits.bytesPerSecond;
    m_bytes = std::max(m_bytes - std::clamp<qint64>(bytes, 0, MaxSpend) * Scale, floor);
}

int InputBudget::millisecondsUntilAllowed()
{
    refill();
    const qint64 bytesWait = m_bytes > 0 ? 0 : (-m_bytes) / m_limits.bytesPerSecond + 1;
    const qint64 messagesWait =
        m_messages >= Scale ? 0 : (Scale - m_messages + m_limits.messagesPerSecond - 1) / m_limits.messagesPerSecond;
    const qint64 nanoseconds = std::max(bytesWait, messagesWait);
    return int(std::clamp<qint64>((nanoseconds + 999'999) / 1'000'000, 1, MaxRefillNanoseconds / 1'000'000));
}

} // namespace kova
