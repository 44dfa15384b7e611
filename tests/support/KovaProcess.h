#pragma once

#include <QProcess>
#include <QStringList>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <memory>

namespace kova::test {

// The built program (path in $KOVA_BINARY), offscreen, in a scratch working directory or a given one, with a
// runtime directory of its own for its single-instance lock.
class KovaProcess {
    // Declared first: the directories below may be these.
    QTemporaryDir m_scratch;
    QTemporaryDir m_runtime;

public:
    explicit KovaProcess(const QString& workingDirectory = {}, const QString& runtimeDirectory = {});

    bool start();
    // Starts it and waits until it listens on port 557, without taking a slot.
    bool startListening();
    // Connects a client to port 557, waiting until the program accepts.
    std::unique_ptr<QTcpSocket> connectClient();
    // SIGTERM, then the exit status; -1 when it did not end, -2 when a signal killed it.
    int terminate();
    qint64 pid() const { return process.processId(); }
    // Resident memory in KiB, from /proc.
    qint64 residentKiB() const;
    int openDescriptors() const;

    QString path(const QString& name) const;
    QByteArray file(const QString& name) const;
    QStringList files() const;
    QStringList logFiles() const;
    QString standardError();

    QString directory;
    QString runtimeDirectory;
    QProcess process;

private:
    QByteArray m_stderr;
};

// Reads until the expected bytes have come (or about five seconds have passed); returns all that came.
QByteArray readUntil(QTcpSocket& socket, const QByteArray& expected, int timeoutMs = 5000);
// Waits until the server has ended the connection.
bool waitForEnd(QTcpSocket& socket, int timeoutMs = 5000);
// A plain blocking socket connected to port on loopback with a small receive window, for a client that reads
// slowly or not at all; -1 when it cannot connect.
int connectWithSmallWindow(quint16 port, int receiveBuffer = 4096);
// The resident memory of a process, from /proc; -1 when it cannot be read.
qint64 residentKiB(qint64 pid);

} // namespace kova::test
