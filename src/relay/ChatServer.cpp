#include "ChatServer.h"

#include "Winsock.h"
#include "log/LogText.h"
#include "settings/NotificationSound.h"
#include "settings/Settings.h"

#include <utility>

namespace kova {

namespace {
const QString RegisterTag = QStringLiteral("NAME:");
const QString LeaveTag = QStringLiteral("RNAME:");
const QString IdleMessage = QStringLiteral(" ");

QString leaveNotice(int index)
{
    return LeaveTag + QString::number(index) + u':';
}
} // namespace

ChatServer::ChatServer(RelayTables& tables, Winsock& sockets, LogText& log, const Settings& settings,
                       NotificationSound& sound, QObject* parent)
    : QObject(parent)
    , m_tables(tables)
    , m_sockets(sockets)
    , m_log(log)
    , m_settings(settings)
    , m_sound(sound)
    , m_broadcaster(tables, sockets)
    , m_refusals(log)
{
    connect(&m_sockets, &Winsock::connectionRequested, this, &ChatServer::onConnectionRequest);
    connect(&m_sockets, &Winsock::connectionRefused, &m_refusals, &RefusalReport::onRefused);
    connect(&m_sockets, &Winsock::errorOccurred, this, &ChatServer::onError);
    connect(&m_sockets, &Winsock::dataArrived, this, [this](int index, qint32) { onDataArrival(index); });
    connect(&m_sockets, &Winsock::closed, this, &ChatServer::onClose);
    connect(&m_sockets, &Winsock::addressNamed, this, &ChatServer::onAddressNamed);
    connect(&m_sockets, &Winsock::sendCompleted, this, [this](int index) { m_broadcaster.onSendComplete(index); });
    for (int slot = 1; slot < SlotCount; ++slot) {
        QTimer& timer = m_registrationTimers.at(std::size_t(slot));
        // A child, so that it goes with the relay to its thread.
        timer.setParent(this);
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, this, [this, slot] { onRegistrationTimeout(slot); });
    }
}

QString& ChatServer::slotName(int index)
{
    return m_tables.SlotName.at(static_cast<std::size_t>(index));
}

ChatServer::Presence& ChatServer::presence(int index)
{
    return m_presence.at(static_cast<std::size_t>(index));
}

bool ChatServer::OpenServer(quint16 port)
{
    m_tables.SendCursor = 0;
    m_tables.SlotState.at(0) = SLOT_FREE;
    m_sockets.setLocalPort(0, port);
    if (!m_sockets.Listen(0)) {
        m_errorString = m_sockets.errorString(0);
        return false;
    }
    m_log.AppendLog(QStringLiteral("サーバとして待ち受けます。"));
    m_tables.SlotState.at(0) = SLOT_SERVER;
    m_tables.SlotName.at(0) = QStringLiteral("サーバ");
    for (int i = 1; i < SlotCount; ++i)
        slotName(i).clear();
    return true;
}

void ChatServer::RefreshNameList()
{
    m_nameList.clear();
    for (const QString& name : m_tables.SlotName)
        m_nameList.append(name);
    Q_EMIT nameListRefreshed(m_nameList);
}

void ChatServer::onConnectionRequest(int index, qint32 requestId)
{
    if (index != 0 || m_bans.isBanned(m_sockets.requestAddress(requestId)))
        return;
    for (int slot = 1; slot < SlotCount; ++slot) {
        if (m_tables.SlotState.at(static_cast<std::size_t>(slot)) == SLOT_FREE) {
            m_sockets.Close(slot);
            m_sockets.setLocalPort(slot, 0);
            m_sockets.Accept(slot, requestId);
            m_tables.SlotState.at(static_cast<std::size_t>(slot)) = SLOT_CONNECTED;
            presence(slot) = {.connectedSince = m_log.now(), .connectionId = ++m_connectionsAccepted};
            m_registrationTimers.at(std::size_t(slot)).start(m_registrationTimeout);
            return;
        }
    }
}

void ChatServer::onError(int index, int number, const QString& description)
{
    Q_UNUSED(index);
    Q_UNUSED(number);
    m_log.AppendLog(description);
}

void ChatServer::soundIf(const QString& flag)
{
    if (Settings::isOn(flag))
        m_sound.SoundOut();
}

void ChatServer::onDataArrival(int index)
{
    if (index == 0)
        return;
    QString text;
    m_sockets.GetData(index, text);
    // A read that decodes to nothing (say, the first byte of a double-byte character) is no message; the
    // character completes with the next read.
    if (text.isEmpty())
        return;
    QString& out = m_tables.OutMessage;
    out = std::move(text);
    if (out == IdleMessage)
        return;
    const qsizetype received = out.size();

    if (out.contains(LeaveTag)) {
        slotName(index).clear();
        RefreshNameList();
        out = leaveNotice(index);
        soundIf(m_settings.SoundOnJoinLeave);
    } else if (const qsizetype at = out.indexOf(RegisterTag); at >= 0) {
        slotName(index) = out.mid(at + RegisterTag.size());
        presence(index).registered = true;
        m_registrationTimers.at(std::size_t(index)).stop();
        RefreshNameList();
        m_log.AppendLog(slotName(index) + QStringLiteral("さんが来ました。"));
        out.clear();
        for (int c = 0; c < SlotCount; ++c) {
            if (m_tables.SlotState.at(static_cast<std::size_t>(c)) != SLOT_FREE) {
                out += RegisterTag + QString::number(c) + u':' + slotName(c) + u'+';
                presence(c).listed = true;
            }
        }
        soundIf(m_settings.SoundOnJoinLeave);
    } else {
        out = slotName(index) + QStringLiteral(" > ") + out;
        m_log.AppendLog(out);
        soundIf(m_settings.SoundOnMessage);
    }
    // Names make a message longer than what was read: a code unit may take two bytes on the wire.
    m_sockets.chargeInput(index, 2 * qMax<qsizetype>(0, out.size() - received));
    StartBroadcast();
}

void ChatServer::onClose(int index)
{
    // Only a client slot can close; a repeated event for a slot already freed is not a second departure.
    if (!isOccupied(index))
        return;
    depart(index);
}

void ChatServer::onRegistrationTimeout(int index)
{
    // Registering stops the timer; so does leaving.
    if (m_tables.SlotState.at(static_cast<std::size_t>(index)) != SLOT_CONNECTED)
        return;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(m_registrationTimeout).count();
    m_sockets.Close(index);
    depart(index, QStringLiteral("登録がないまま%1秒たったため、接続を閉じました。").arg(seconds));
}

// A gateway's browser is judged by its own address once the gateway names it, as a direct client is when it connects.
void ChatServer::onAddressNamed(int index)
{
    if (!isOccupied(index) || !m_bans.isBanned(m_sockets.remoteAddress(index)))
        return;
    m_sockets.Close(index);
    depart(index);
}

void ChatServer::depart(int index, const QString& logLine)
{
    m_registrationTimers.at(std::size_t(index)).stop();
    const Presence seen = presence(index);
    if (seen.registered)
        soundIf(m_settings.SoundOnJoinLeave);
    if (!logLine.isEmpty())
        m_log.AppendLog(logLine);
    else if (seen.registered)
        m_log.AppendLog(slotName(index) + QStringLiteral("さんが帰りました。"));
    // A roster showed the slot (a registration's own roster included), so the clients must clear it.
    if (seen.listed) {
        m_tables.OutMessage = leaveNotice(index);
        StartBroadcast();
    }
    m_tables.SlotState.at(static_cast<std::size_t>(index)) = SLOT_FREE;
    slotName(index).clear();
    RefreshNameList();
    m_broadcaster.onConnectionLost(index);
}

bool ChatServer::isOccupied(int slot) const
{
    return onRelayThread([this, slot] {
        return slot > 0 && slot < SlotCount && m_tables.SlotState.at(static_cast<std::size_t>(slot)) == SLOT_CONNECTED;
    });
}

QDateTime ChatServer::connectedSince(int slot) const
{
    return onRelayThread([this, slot] {
        return isOccupied(slot) ? m_presence.at(static_cast<std::size_t>(slot)).connectedSince : QDateTime();
    });
}

quint64 ChatServer::connectionId(int slot) const
{
    return onRelayThread(
        [this, slot] { return isOccupied(slot) ? m_presence.at(static_cast<std::size_t>(slot)).connectionId : 0; });
}

bool ChatServer::disconnectClient(int slot)
{
    return onRelayThread([this, slot] {
        if (!isOccupied(slot))
            return false;
        // Closed first, so that the leave notice goes to the others only.
        m_sockets.Close(slot);
        depart(slot, slotName(slot) + QStringLiteral("さんを切断しました。"));
        return true;
    });
}

bool ChatServer::banClient(int slot)
{
    return onRelayThread([this, slot] {
        const QHostAddress address = clientAddress(slot);
        if (address.isNull())
            return false;
        m_bans.ban(address);
        m_sockets.Close(slot);
        depart(slot, slotName(slot) + u'（' + address.toString() + QStringLiteral("）を締め出しました。"));
        Q_EMIT bansChanged();
        return true;
    });
}

bool ChatServer::liftBan(const QHostAddress& address)
{
    return onRelayThread([this, &address] {
        if (!m_bans.lift(address))
            return false;
        m_log.AppendLog(BanList::normalized(address).toString() + QStringLiteral(" の締め出しを解きました。"));
        Q_EMIT bansChanged();
        return true;
    });
}

QString ChatServer::OperatorChatLine(const QString& text) const
{
    return m_tables.SlotName.at(0) + QStringLiteral(" > ") + text;
}

bool ChatServer::anyClientConnected() const
{
    return onRelayThread([this] {
        for (int i = 1; i < SlotCount; ++i) {
            if (m_tables.SlotState.at(static_cast<std::size_t>(i)) != SLOT_FREE)
                return true;
        }
        return false;
    });
}

QHostAddress ChatServer::clientAddress(int slot) const
{
    return onRelayThread([this, slot] { return isOccupied(slot) ? m_sockets.remoteAddress(slot) : QHostAddress(); });
}

bool ChatServer::SendOperatorLine(const QString& text)
{
    return onRelayThread([this, &text] {
        if (text.isEmpty() || !anyClientConnected())
            return false;
        m_tables.OutMessage = OperatorChatLine(text);
        m_log.AppendLog(m_tables.OutMessage);
        StartBroadcast();
        return true;
    });
}

void ChatServer::AnnounceNickname(const QString& name)
{
    return onRelayThread([this, &name] {
        m_tables.SlotName.at(0) = name;
        RefreshNameList();
        m_tables.OutMessage = NicknameAnnouncement();
        StartBroadcast();
    });
}

QString ChatServer::NicknameAnnouncement() const
{
    return RegisterTag + QStringLiteral("0:") + m_tables.SlotName.at(0) + u'+';
}

} // namespace kova
