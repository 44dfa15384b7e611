#pragma once

#include "Tmpfs.h"

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
    // Neither a display nor a Qt platform: the program runs without a window.
    void withoutDisplay();
    // Starts it and waits until it listens on port 557, without taking a slot.
    bool startListening();
    // Connects a client to port 557, waiting until the program accepts; from the given loopback address if any.
    std::unique_ptr<QTcpSocket> connectClient(const QHostAddress& from = {});
    // SIGTERM, then the exit status; -1 when it did not end, -2 when a signal killed it.
    int terminate();
    qint64 pid() const { return process.processId(); }
    // Resident memory in KiB, from /proc.
    qint64 residentKiB() const;
    // Its open sockets: the listener's and its clients'. Its other descriptors come and go with its threads, such as
    // those Qt starts to paint the window and ends when they idle.
    int openSockets() const;

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

// What the program's command line (kova --list ...) did, run beside a running one.
struct CommandResult {
    int exitCode = -1;
    QString output;
    QString error;
};
// Runs the built program with the arguments and the given runtime directory (none: unset), as root or, with
// user, as that user (setpriv); waits at most ten seconds.
CommandResult runKova(const QStringList& arguments, const QString& runtimeDirectory, const QString& user = {});

// The program in a working directory on a small file system of its own (see Tmpfs), with one client.
struct ProgramOnTmpfs {
    explicit ProgramOnTmpfs(const QString& options = QStringLiteral("size=1m"))
        : disk(options)
        , kova(disk.path())
    {}
    // Starts it and connects the client; false with error set when that fails.
    bool start();

    Tmpfs disk;
    KovaProcess kova;
    std::unique_ptr<QTcpSocket> client;
    QString error;
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
