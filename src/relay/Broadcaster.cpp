#include "Broadcaster.h"

#include "Winsock.h"

namespace kova {

Broadcaster::Broadcaster(RelayTables& tables, Winsock& sockets)
    : m_tables(tables)
    , m_sockets(sockets)
{}

bool Broadcaster::isEligible(int slot) const
{
    return m_sockets.State(slot) == SocketState::Connected &&
           m_tables.SlotState.at(static_cast<std::size_t>(slot)) == SLOT_CONNECTED;
}

void Broadcaster::StartBroadcast()
{
    m_queue.push_back(m_tables.OutMessage);
    ++m_produced;
    if (m_queue.size() > 1 || m_sendInFlight >= 0)
        return;
    m_tables.SendCursor = 0;
    SendNext();
}

void Broadcaster::SendNext()
{
    while (!m_queue.empty() && m_sendInFlight < 0) {
        for (int i = m_tables.SendCursor; i < SlotCount; ++i) {
            if (isEligible(i)) {
                m_tables.SendCursor = quint8(i + 1);
                m_sendInFlight = i;
                m_sockets.SendData(i, m_queue.front());
                return;
            }
        }
        m_queue.pop_front();
        if (!m_queue.empty())
            m_tables.SendCursor = 0;
    }
}

void Broadcaster::onSendComplete(int index)
{
    // A late completion of a send that was already given up on is not the walk's.
    if (index != m_sendInFlight)
        return;
    m_sendInFlight = -1;
    SendNext();
}

void Broadcaster::onConnectionLost(int index)
{
    onSendComplete(index);
}

} // namespace kova
