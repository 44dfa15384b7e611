#include "InputBudget.h"

#include <algorithm>
#include <chrono>

namespace kova {

namespace {
// Bounds a single charge and so the debt: no product below can overflow, whatever the limits.
constexpr qint64 MaxSpend = qint64(1) << 30;
constexpr qint64 MaxWaitMilliseconds = 3600LL * 1000;

// Never more time than fills the bucket is counted, so that a long pause cannot overflow the product.
qint64 refilled(qint64 tokens, qint64 perSecond, qint64 capacity, qint64 elapsed)
{
    if (tokens >= capacity)
        return capacity;
    const qint64 useful = (capacity - tokens) / perSecond + 1;
    return std::min(tokens + std::min(elapsed, useful) * perSecond, capacity);
}
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
    const qint64 elapsed = std::max<qint64>(now - m_last, 0);
    m_last = now;
    m_bytes = refilled(m_bytes, m_limits.bytesPerSecond, m_limits.burstBytes * Scale, elapsed);
    m_messages = refilled(m_messages, m_limits.messagesPerSecond, m_limits.burstMessages * Scale, elapsed);
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
    m_bytes = std::max(m_bytes - std::clamp<qint64>(bytes, 0, MaxSpend) * Scale, -MaxSpend * Scale);
}

int InputBudget::millisecondsUntilAllowed()
{
    refill();
    const qint64 bytesWait = m_bytes > 0 ? 0 : (-m_bytes) / m_limits.bytesPerSecond + 1;
    const qint64 messagesWait =
        m_messages >= Scale ? 0 : (Scale - m_messages + m_limits.messagesPerSecond - 1) / m_limits.messagesPerSecond;
    const qint64 nanoseconds = std::max(bytesWait, messagesWait);
    // A longer wait is made of several: the timer comes back and asks again.
    return int(std::clamp<qint64>((nanoseconds + 999'999) / 1'000'000, 1, MaxWaitMilliseconds));
}

bool InputBudget::isFull()
{
    refill();
    return m_bytes >= m_limits.burstBytes * Scale && m_messages >= m_limits.burstMessages * Scale;
}

void InputBudget::keepLower(InputBudget other)
{
    refill();
    other.refill();
    m_bytes = std::min(m_bytes, other.m_bytes);
    m_messages = std::min(m_messages, other.m_messages);
}

} // namespace kova
