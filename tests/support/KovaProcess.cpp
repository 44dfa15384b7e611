#include "KovaProcess.h"

#include "relay/RelayTables.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTest>

#include <algorithm>
#include <csignal>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kova::test {

KovaProcess::KovaProcess(const QString& workingDirectory, const QString& runtimeDirectory)
    : directory(workingDirectory.isEmpty() ? m_scratch.path() : workingDirectory)
    , runtimeDirectory(runtimeDirectory.isEmpty() ? m_runtime.path() : runtimeDirectory)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), this->runtimeDirectory);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(directory);
}

bool KovaProcess::start()
{
    process.start(qEnvironmentVariable("KOVA_BINARY"), {});
    return process.waitForStarted(5000);
}

void KovaProcess::withoutDisplay()
{
    QProcessEnvironment env = process.processEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    process.setProcessEnvironment(env);
}

bool KovaProcess::startListening()
{
    if (!start())
        return false;
    const QByteArray port = ':' + QByteArray::number(ServerPort, 16).toUpper().rightJustified(4, '0');
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && process.state() != QProcess::NotRunning) {
        for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
            QFile file(QString::fromLatin1(table));
            if (!file.open(QIODevice::ReadOnly))
                continue;
            for (const QByteArray& line : file.readAll().split('\n')) {
                // local address, remote address, state 0A: listening
                const QList<QByteArray> fields = line.simplified().split(' ');
                if (fields.size() > 3 && fields.at(1).endsWith(port) && fields.at(3) == "0A")
                    return true;
            }
        }
        QTest::qWait(20);
    }
    return false;
}

bool ProgramOnTmpfs::start()
{
    if (!disk.ok())
        error = disk.error();
    else if (!kova.start())
        error = QStringLiteral("the program did not start: ") + kova.process.errorString();
    else if (!(client = kova.connectClient()))
        error = QStringLiteral("no client could connect: ") + kova.standardError();
    return client != nullptr;
}

std::unique_ptr<QTcpSocket> KovaProcess::connectClient(const QHostAddress& from)
{
    auto socket = std::make_unique<QTcpSocket>();
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        if (!from.isNull() && !socket->bind(from))
            return nullptr;
        socket->connectToHost(QHostAddress::LocalHost, ServerPort);
        if (socket->waitForConnected(200))
            return socket;
        socket->abort();
        if (process.state() == QProcess::NotRunning)
            break;
        QTest::qWait(50);
    }
    return nullptr;
}

int KovaProcess::terminate()
{
    if (process.state() == QProcess::NotRunning)
        return process.exitCode();
    ::kill(pid_t(process.processId()), SIGTERM);
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
}

qint64 KovaProcess::residentKiB() const
{
    return kova::test::residentKiB(pid());
}

qint64 residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

int KovaProcess::openSockets() const
{
    const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(pid()));
    const QStringList entries = descriptors.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System);
    return int(std::count_if(entries.begin(), entries.end(), [&descriptors](const QString& entry) {
        char target[64] = {};
        const QByteArray link = QFile::encodeName(descriptors.filePath(entry));
        return ::readlink(link.constData(), target, sizeof target - 1) > 0 && QByteArray(target).startsWith("socket:");
    }));
}

QString KovaProcess::path(const QString& name) const
{
    return QDir(directory).filePath(name);
}

QByteArray KovaProcess::file(const QString& name) const
{
    QFile f(path(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QStringList KovaProcess::files() const
{
    return QDir(directory).entryList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
}

QStringList KovaProcess::logFiles() const
{
    return QDir(directory).entryList({QStringLiteral("*.log")}, QDir::Files);
}

QString KovaProcess::standardError()
{
    m_stderr += process.readAllStandardError();
    return QString::fromUtf8(m_stderr);
}

CommandResult runKova(const QStringList& arguments, const QString& runtimeDirectory, const QString& user)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    if (!runtimeDirectory.isEmpty())
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDirectory);
    process.setProcessEnvironment(env);
    const QString binary = qEnvironmentVariable("KOVA_BINARY");
    if (user.isEmpty()) {
        process.start(binary, arguments);
    } else {
        process.start(QStringLiteral("setpriv"),
                      QStringList{QStringLiteral("--reuid=") + user, QStringLiteral("--regid=") + user,
                                  QStringLiteral("--clear-groups"), binary} +
                          arguments);
    }
    CommandResult result;
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished();
        result.error = QStringLiteral("<did not end>");
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    result.output = QString::fromUtf8(process.readAllStandardOutput());
    result.error = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QByteArray readUntil(QTcpSocket& socket, const QByteArray& expected, int timeoutMs)
{
    QByteArray data;
    const QDeadlineTimer deadline(timeoutMs);
    while (!data.contains(expected) && !deadline.hasExpired()) {
        if (socket.bytesAvailable() == 0)
            socket.waitForReadyRead(50);
        data += socket.readAll();
    }
    return data;
}

bool waitForEnd(QTcpSocket& socket, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (socket.state() != QAbstractSocket::UnconnectedState && !deadline.hasExpired()) {
        socket.waitForReadyRead(50);
        socket.readAll();
    }
    return socket.state() == QAbstractSocket::UnconnectedState;
}

int connectWithSmallWindow(quint16 port, int receiveBuffer)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace kova::test
