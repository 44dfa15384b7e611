#include "WebGateway.h"

#include "io/Printable.h"

#include <QJsonDocument>
#include <QTimer>

#include <cstdio>

namespace kova::web {

void logLine(const QString& line)
{
    // Browsers choose some of the text (origins, close reasons, message types): each stays on its line, and
    // nothing in it reaches the terminal as a control.
    const QByteArray shown = printable(line).toUtf8() + '\n';
    std::fwrite(shown.constData(), 1, size_t(shown.size()), stdout);
    std::fflush(stdout);
}

WebGateway::WebGateway(const ServerAddress& server, int historyLines, QObject* parent)
    : QObject(parent)
    , m_server(server)
    , m_history(historyLines)
{
    m_http.setChatServer(server);
    connect(&m_http, &PageServer::newWebSocketConnection, this, &WebGateway::onNewWebSocketConnection);
    connect(&m_http, &PageServer::connectionRefused, this, &WebGateway::logRefused);
    m_refusalSecond.setSingleShot(true);
    m_refusalSecond.setInterval(std::chrono::seconds(1));
    connect(&m_refusalSecond, &QTimer::timeout, this, [this] {
        if (m_refusalsUnlogged > 0)
            logLine(QStringLiteral("browsers refused: %1 more in the last second, not logged one by one")
                        .arg(m_refusalsUnlogged));
        m_refusalsLogged = 0;
        m_refusalsUnlogged = 0;
    });
    connect(&m_http, &PageServer::connectionCut, this, &WebGateway::onConnectionCut);
}

bool WebGateway::useTls(const QString& certificateFile, const QString& keyFile, QString* error)
{
    m_certificates = std::make_unique<CertificateFiles>(certificateFile, keyFile);
    if (!m_certificates->load(error))
        return false;
    m_http.setTlsConfiguration(m_certificates->current().configuration());
    logLine(QStringLiteral("kova-web: HTTPS with the certificate %1").arg(m_certificates->current().description()));
    connect(m_certificates.get(), &CertificateFiles::renewed, this, [this](const TlsCredentials& credentials) {
        m_http.setTlsConfiguration(credentials.configuration());
        logLine(QStringLiteral("kova-web: renewed certificate, for the connections from now on: %1")
                    .arg(credentials.description()));
    });
    connect(m_certificates.get(), &CertificateFiles::expired, this, [](const TlsCredentials& credentials) {
        logLine(QStringLiteral("kova-web: the certificate in use has expired, browsers refuse it until it is renewed: "
                               "%1")
                    .arg(credentials.description()));
    });
    connect(m_certificates.get(), &CertificateFiles::renewalRefused, this, [](const QString& reason) {
        logLine(QStringLiteral("kova-web: the renewed certificate is not used, the one in use stays: %1").arg(reason));
    });
    return true;
}

void WebGateway::requireRoomKey(const QString& key)
{
    m_roomKey = std::make_unique<RoomKey>(key);
    m_guessing =
        std::make_unique<GuessingReport>([this](const QString& line) { logRefusal(line); }, steadyNanoseconds, this);
    m_http.requireRoomKey();
}

bool WebGateway::listen(const ListenAddress& address, QString* error)
{
    return m_http.startListening(address.address, address.port, error);
}

void WebGateway::shutDown(const QString& reason)
{
    if (m_shuttingDown)
        return;
    m_shuttingDown = true;
    m_shutDownReason = reason;
    m_http.stopListening();
    if (m_guessing)
        m_guessing->reportAll();
    // Ending a session changes the set.
    const QSet<BrowserSession*> sessions = m_sessions;
    for (BrowserSession* session : sessions)
        session->end(CloseCodes::GoingAway, reason);
    if (m_alive.isEmpty())
        Q_EMIT closed();
}

void WebGateway::onNewWebSocketConnection()
{
    while (auto browser = m_http.nextPendingWebSocketConnection()) {
        if (m_shuttingDown) {
            refuse(std::move(browser), CloseCodes::GoingAway, m_shutDownReason);
            continue;
        }
        if (!admitKey(browser))
            continue;
        if (m_sessions.size() >= MaxBrowsers) {
            refuse(std::move(browser), CloseRoomFull,
                   QStringLiteral("%1 browsers are connected already").arg(MaxBrowsers));
            continue;
        }
        // What was said before it came, first.
        if (m_history.enabled())
            browser->sendTextMessage(QJsonDocument(m_history.message()).toJson(QJsonDocument::Compact));
        auto* session = new BrowserSession(std::move(browser), m_server, this);
        m_history.attach(session);
        connect(session, &BrowserSession::received, this,
                [this, session](const QString& text) { m_history.received(session, text); });
        m_sessions.insert(session);
        m_alive.insert(session);
        logLine(QStringLiteral("browser %1 connected").arg(session->peer()));
        connect(session, &BrowserSession::ended, this,
                [this, session](const QString& reason) { onSessionEnded(session, reason); });
        connect(session, &BrowserSession::undelivered, this, [session](qint64 bytes) {
            logLine(QStringLiteral("browser %1: the last %2 bytes it sent did not reach the chat server within %3 s")
                        .arg(session->peer())
                        .arg(bytes)
                        .arg(DrainTimeout.count()));
        });
        connect(session, &QObject::destroyed, this, &WebGateway::onSessionDestroyed);
    }
}

bool WebGateway::admitKey(std::unique_ptr<BrowserSocket>& browser)
{
    if (!m_roomKey)
        return true;
    const RoomKey::Verdict verdict = m_roomKey->check(browser->peerAddress(), browser->protocol());
    if (verdict == RoomKey::Verdict::Admitted)
        return true;
    // Logged by the report, which tells of a guessing address once a minute however often it tries.
    m_guessing->onRefused(browser->peerAddress(), browser->peerPort(), verdict);
    turnAway(std::move(browser), verdict == RoomKey::Verdict::LockedOut ? CloseRoomKeyLockedOut : CloseWrongRoomKey,
             GuessingReport::reason(verdict));
    return false;
}

void WebGateway::refuse(std::unique_ptr<BrowserSocket> browser, quint16 code, const QString& reason)
{
    logRefused(browser->peerAddress(), browser->peerPort(), reason);
    turnAway(std::move(browser), code, reason);
}

void WebGateway::turnAway(std::unique_ptr<BrowserSocket> browser, quint16 code, const QString& reason)
{
    BrowserSocket* socket = browser.release();
    socket->setParent(this);
    connect(socket, &BrowserSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(CloseTimeout, socket, &BrowserSocket::abort);
    socket->close(code, reason);
}

void WebGateway::logRefused(const QHostAddress& address, quint16 port, const QString& reason)
{
    logRefusal(QStringLiteral("browser %1 refused: %2").arg(endpointText(address, port), reason));
}

void WebGateway::logRefusal(const QString& line)
{
    // A client that opens connections as fast as it can would otherwise fill the journal.
    if (!m_refusalSecond.isActive())
        m_refusalSecond.start();
    if (m_refusalsLogged == MaxRefusalsLogged) {
        ++m_refusalsUnlogged;
        return;
    }
    ++m_refusalsLogged;
    logLine(line);
}

void WebGateway::onConnectionCut(const QHostAddress& address, quint16 port, const QString& reason)
{
    // A browser's session ends first, so that its log line and close code say why.
    const QString peer = endpointText(address, port);
    for (BrowserSession* session : std::as_const(m_sessions)) {
        if (session->peer() == peer) {
            session->fellBehind();
            return;
        }
    }
    logLine(QStringLiteral("browser %1 cut off: %2").arg(peer, reason));
}

void WebGateway::onSessionEnded(BrowserSession* session, const QString& reason)
{
    m_sessions.remove(session);
    m_history.detach(session);
    logLine(QStringLiteral("browser %1 disconnected: %2").arg(session->peer(), reason));
}

void WebGateway::onSessionDestroyed(QObject* session)
{
    m_alive.remove(session);
    if (m_shuttingDown && m_alive.isEmpty())
        Q_EMIT closed();
}

} // namespace kova::web
