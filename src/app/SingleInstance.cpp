#include "SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTextStream>

#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kova {

namespace {
constexpr int AskTimeoutMs = 3000;

// The socket's permissions keep others out already; the peer's credentials are checked as well, so that a socket
// whose mode was changed, or a directory opened to others, lets nobody else in.
bool mayCommand(const QLocalSocket& socket)
{
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return false;
    return peer.uid == ::geteuid() || peer.uid == 0;
}
} // namespace

SingleInstance::SingleInstance(QObject* parent)
    : QObject(parent)
{
    m_directory = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (m_directory.isEmpty())
        m_directory = QDir::tempPath();
    m_lock = std::make_unique<QLockFile>(QDir(m_directory).filePath(QStringLiteral("kova.lock")));
    // Only a live owner counts: a lock whose process is gone is stale whatever its age.
    m_lock->setStaleLockTime(0);
    m_acquired = m_lock->tryLock(0);
}

SingleInstance::~SingleInstance()
{
    if (m_server)
        m_server->close();
}

QString SingleInstance::socketPath() const
{
    return socketPathIn(m_directory);
}

QString SingleInstance::socketPathIn(const QString& runtimeDirectory)
{
    return QDir(runtimeDirectory).filePath(QStringLiteral("kova.socket"));
}

// Where QStandardPaths puts the runtime directory, without its warning and without making the directory when
// XDG_RUNTIME_DIR is not set (as under sudo).
QString SingleInstance::userSocketPath()
{
    QString directory = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (directory.isEmpty()) {
        const passwd* user = ::getpwuid(::geteuid());
        directory = QDir::tempPath() + QStringLiteral("/runtime-") +
                    (user ? QFile::decodeName(user->pw_name) : QString::number(::geteuid()));
    }
    return socketPathIn(directory);
}

void SingleInstance::acceptRequests(std::function<bool()> showWindow, CommandHandler commands)
{
    Q_ASSERT(m_acquired && !m_server);
    m_showWindow = std::move(showWindow);
    m_commands = std::move(commands);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // Holding the lock makes any socket left there a stale one of ours.
    QLocalServer::removeServer(socketPath());
    if (!m_server->listen(socketPath())) {
        QTextStream(stderr) << "kova: " << socketPath() << ": " << m_server->errorString()
                            << QStringLiteral(" (2回目の起動でウィンドウを前に出せません)") << Qt::endl;
        return;
    }
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::onNewConnection);
}

void SingleInstance::onNewConnection()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        if (!mayCommand(*socket)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onRequest(socket); });
    }
}

void SingleInstance::onRequest(QLocalSocket* socket)
{
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > LongestRequest)
            socket->abort();
        return;
    }
    // One request per connection: what follows it is not read.
    disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    QByteArray request = socket->readLine(LongestRequest + 1);
    if (!request.endsWith('\n')) {
        socket->abort();
        return;
    }
    if (request == ShowRequest || !m_commands) {
        const bool shown = request == ShowRequest && m_showWindow && m_showWindow();
        socket->write(shown ? ShownAnswer : NoWindowAnswer);
    } else {
        request.chop(1);
        socket->write(m_commands(request));
    }
    socket->disconnectFromServer();
}

bool SingleInstance::askRunningToShow() const
{
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (!socket.waitForConnected(AskTimeoutMs))
        return false;
    socket.write(ShowRequest);
    if (!socket.waitForBytesWritten(AskTimeoutMs))
        return false;
    while (!socket.canReadLine() && socket.waitForReadyRead(AskTimeoutMs)) {
    }
    return socket.readLine(LongestRequest) == ShownAnswer;
}

} // namespace kova
