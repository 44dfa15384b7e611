#pragma once

#include "BanList.h"
#include "Broadcaster.h"
#include "RefusalReport.h"
#include "RelayTables.h"

#include <QDateTime>
#include <QHostAddress>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <array>
#include <chrono>
#include <type_traits>

namespace kova {

class LogText;
class NotificationSound;
struct Settings;
class Winsock;

// The chat relay: the listener and the ten slots, the handling of every incoming message and of
// closed connections, and the broadcast of what they produce. It may run on a thread of its own: what another thread
// asks of it through the public functions is done on the relay's thread, in turn with its events, while the caller
// waits; what it tells others goes out as signals.
class ChatServer : public QObject {
    Q_OBJECT

public:
    // A connection that has not registered by then is closed: nine that never do would hold every slot for ever.
    static constexpr std::chrono::milliseconds RegistrationTimeout{60'000};

    ChatServer(RelayTables& tables, Winsock& sockets, LogText& log, const Settings& settings, NotificationSound& sound,
               QObject* parent = nullptr);

    // Opens the listener on element 0 and resets the slot tables. Returns false, logging nothing,
    // when the listener cannot be opened; errorString() then says why.
    bool OpenServer(quint16 port = ServerPort);
    QString errorString() const { return m_errorString; }

    void RefreshNameList();
    // Row i is SlotName(i); always ten rows once refreshed.
    QStringList nameList() const
    {
        return onRelayThread([this] { return m_nameList; });
    }

    QString OperatorChatLine(const QString& text) const;
    QString NicknameAnnouncement() const;
    // The operator's line from the input box: logged and broadcast as slot 0, unless it is empty or no
    // client is there. Returns whether it went out.
    bool SendOperatorLine(const QString& text);
    // Makes name slot 0's, shows it in the list and announces it to every client.
    void AnnounceNickname(const QString& name);
    bool anyClientConnected() const;
    // The address of the client in slot (for a browser behind a gateway on this machine, the browser's); null for a
    // free slot and for slot 0.
    QHostAddress clientAddress(int slot) const;
    // Applies to connections accepted from now on; the tests use a short one.
    void setRegistrationTimeout(std::chrono::milliseconds timeout) { m_registrationTimeout = timeout; }
    // Logs the refusals counted and not yet logged, as the server ends.
    void reportRefusals()
    {
        onRelayThread([this] { m_refusals.reportAll(); });
    }
    void StartBroadcast() { m_broadcaster.StartBroadcast(); }

    // The operator's hand over the client slots 1 to 9. A slot is occupied from the moment its connection is
    // accepted, whether or not its client has registered a name.
    bool isOccupied(int slot) const;
    QDateTime connectedSince(int slot) const;
    // Tells connections apart that took the same slot one after the other; 0 for a slot that is not occupied.
    quint64 connectionId(int slot) const;
    // Closes the client's connection as if it had left: the others get the leave notice. False, doing nothing,
    // for a slot that is not an occupied client slot.
    bool disconnectClient(int slot);
    // Disconnects the client and refuses new connections from its address until the server ends.
    bool banClient(int slot);
    // False when the address was not banned.
    bool liftBan(const QHostAddress& address);
    QList<QHostAddress> bannedAddresses() const
    {
        return onRelayThread([this] { return m_bans.addresses(); });
    }
    // Runs call on the relay's thread and returns what it returns: at once on that thread, otherwise queued behind
    // the events already there, the calling thread waiting. The relay itself never waits for another thread.
    template <typename Call> std::invoke_result_t<Call> onRelayThread(Call call) const
    {
        if (QThread::currentThread() == thread())
            return call();
        auto* relay = const_cast<ChatServer*>(this);
        if constexpr (std::is_void_v<std::invoke_result_t<Call>>) {
            QMetaObject::invokeMethod(relay, call, Qt::BlockingQueuedConnection);
        } else {
            std::invoke_result_t<Call> result{};
            QMetaObject::invokeMethod(
                relay, [&result, &call] { result = call(); }, Qt::BlockingQueuedConnection);
            return result;
        }
    }
    // Only the tests look at the walk: those over the fake sockets complete its sends until it ends, and the fuzz
    // target checks that every message is walked and every walk ends.
    const Broadcaster& broadcaster() const { return m_broadcaster; }

Q_SIGNALS:
    void nameListRefreshed(const QStringList& rows);
    void bansChanged();

private:
    void onConnectionRequest(int index, qint32 requestId);
    void onError(int index, int number, const QString& description);
    void onDataArrival(int index);
    void onClose(int index);
    void onRegistrationTimeout(int index);
    void onAddressNamed(int index);
    void soundIf(const QString& flag);
    QString& slotName(int index);
    // Frees a client slot whose connection has ended. A connection that never registered and was never shown in a
    // roster leaves no trace: a port probe is nobody. The operator's own closing says so in logLine, whoever it was.
    void depart(int index, const QString& logLine = {});

    // The connection in each slot: when it came, which one it is, and what the other clients and the log have seen
    // of it.
    struct Presence {
        QDateTime connectedSince;
        quint64 connectionId = 0; // tells apart connections that took the slot one after the other
        bool registered = false;  // it sent a registration
        bool listed = false;      // a roster went out while it was connected
    };
    Presence& presence(int index);

    RelayTables& m_tables;
    Winsock& m_sockets;
    LogText& m_log;
    const Settings& m_settings;
    NotificationSound& m_sound;
    Broadcaster m_broadcaster;
    BanList m_bans;
    quint64 m_connectionsAccepted = 0;
    QStringList m_nameList;
    QString m_errorString;
    std::array<Presence, SlotCount> m_presence;
    std::array<QTimer, SlotCount> m_registrationTimers;
    std::chrono::milliseconds m_registrationTimeout = RegistrationTimeout;
    RefusalReport m_refusals;
};

} // namespace kova
