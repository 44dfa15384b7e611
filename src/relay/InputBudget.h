#pragma once

#include <QtGlobal>

#include <functional>

namespace kova {

// How much one client may send: two token buckets, one for bytes and one for messages (reads). A client over
// either is not read until both have refilled; TCP then holds its sender back, so nothing is lost or cut.
class InputBudget {
public:
    struct Limits {
        qint64 bytesPerSecond;
        qint64 burstBytes;
        qint64 messagesPerSecond;
        qint64 burstMessages;
    };
    // What every client is held to: a person typing, pasting a long text or reconnecting never reaches it.
    static constexpr Limits Shipped{
        .bytesPerSecond = 64 * 1024, .burstBytes = 256 * 1024, .messagesPerSecond = 2000, .burstMessages = 4000};

    // Monotonic nanoseconds.
    using Clock = std::function<qint64()>;
    static qint64 steadyNanoseconds();

    explicit InputBudget(Limits limits = Shipped, Clock clock = &InputBudget::steadyNanoseconds);

    // Whether one more read may be made now: a message is left, and the bytes are not overdrawn.
    bool allows();
    // One read of bytes. A read is never cut to fit, so the byte bucket may go into debt, which later reads wait
    // out; the long-run rate stays that of the limits.
    void spendMessage(qint64 bytes);
    // Bytes that cost the client without being a read of their own, such as what its message makes the relay send.
    void spendBytes(qint64 bytes);
    // Milliseconds until allows() turns true, at least 1 and at most an hour.
    int millisecondsUntilAllowed();
    // Both buckets are at their capacity: the budget is as good as a new one.
    bool isFull();
    // Lowers each bucket to other's level where that is lower, both counted as of now, so a client cannot regain
    // what it spent by starting over.
    void keepLower(InputBudget other);

private:
    // Tokens are kept in token-nanoseconds, so refills are exact; rates up to 2^30 a second and bursts up to 2^32
    // stay far from overflowing.
    static constexpr qint64 Scale = 1'000'000'000;
    void refill();

    Limits m_limits;
    Clock m_clock;
    qint64 m_last;
    qint64 m_bytes;    // scaled
    qint64 m_messages; // scaled
};

} // namespace kova
