#include "SingleInstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTextStream>

namespace kova {

namespace {
constexpr int AskTimeoutMs = 3000;
constexpr qint64 LongestRequest = 64;
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
    return QDir(m_directory).filePath(QStringLiteral("kova.socket"));
}

void SingleInstance::acceptRequests(std::function<bool()> showWindow)
{
    Q_ASSERT(m_acquired && !m_server);
    m_showWindow = std::move(showWindow);
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
    const bool isShow = socket->readLine(LongestRequest) == ShowRequest;
    const bool shown = isShow && m_showWindow && m_showWindow();
    socket->write(shown ? ShownAnswer : NoWindowAnswer);
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
