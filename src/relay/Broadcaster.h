#pragma once

#include "RelayTables.h"

#include <QString>

#include <deque>

namespace kova {

class Winsock;

// Delivers each message to every eligible client, one send at a time in slot order: each completed
// send starts the next. Messages produced while a walk runs wait in a queue behind it, so none is
// superseded and each client receives them in the order they were produced.
class Broadcaster {
public:
    Broadcaster(RelayTables& tables, Winsock& sockets);

    // Queues OutMessage for every client; starts the walk at slot 0 unless one is already running.
    void StartBroadcast();
    // Sends the current message to the next eligible slot at or after SendCursor; moves on to the
    // next queued message once none is left.
    void SendNext();

    void onSendComplete(int index);
    // A client that leaves while a send to it is under way must not stall the walk.
    void onConnectionLost(int index);

    bool isRunning() const { return !m_queue.empty(); }
    // The two counts exist for the fuzz target, which checks that each handled event queues exactly one message.
    // Messages waiting, the one being walked included.
    std::size_t queuedMessages() const { return m_queue.size(); }
    // Every message ever queued.
    quint64 messagesProduced() const { return m_produced; }

private:
    bool isEligible(int slot) const;

    RelayTables& m_tables;
    Winsock& m_sockets;
    // The front is the message being walked; the rest wait their turn.
    std::deque<QString> m_queue;
    int m_sendInFlight = -1;
    quint64 m_produced = 0;
};

} // namespace kova
