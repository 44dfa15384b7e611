#include "Console.h"

#include "Application.h"
#include "io/Printable.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <QTextStream>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace kova {

namespace {

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The line that stands for lines dropped while standard output was not read.
QByteArray notShownLine(qint64 count)
{
    return QStringLiteral("(標準出力が読まれなかったので、ここで %1 行を省きました。ログファイルには残ります)\n")
        .arg(count)
        .toUtf8();
}

} // namespace

Console::Console(Application& app, bool outputOpen, QObject* parent)
    : Frontend(parent)
    , m_app(app)
{
    // A closed standard output must not kill the server before it has saved anything.
    std::signal(SIGPIPE, SIG_IGN);
    if (outputOpen)
        openOutput();
    else
        stopMirroring(EBADF);
    connect(&m_app, &Application::started, this, &Console::announce);
    connect(&m_app.log(), &LogText::appended, this, &Console::mirror);
}

Console::~Console()
{
    flushBeforeExit();
    if (m_ownDescription && m_fd >= 0)
        ::close(m_fd);
}

void Console::announce()
{
    // Nobody sees the caption that would show the address.
    QTextStream(stderr)
        << "kova: 画面がないので、ウィンドウなしで動きます。ログは標準出力にも出します。待ち受けアドレス: "
        << m_app.listeningAddress() << Qt::endl;
}

void Console::end()
{
    m_app.shutdown();
    QCoreApplication::exit(m_app.exitStatus());
}

void Console::openOutput()
{
    struct stat status {};
    if (::fstat(STDOUT_FILENO, &status) != 0) {
        stopMirroring(errno);
        return;
    }
    m_fd = STDOUT_FILENO;
    if (S_ISSOCK(status.st_mode)) {
        // The journal: each send says on its own that it must not wait.
        m_socket = true;
    } else if (!S_ISREG(status.st_mode) && !S_ISBLK(status.st_mode)) {
        // A pipe or a terminal, as a description of our own that never blocks: setting O_NONBLOCK on standard
        // output itself would change it for the shell that shares it.
        const int own = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (own >= 0) {
            m_fd = own;
            m_ownDescription = true;
        } else if (errno == ENXIO) {
            // A named pipe whose reader has gone.
            stopMirroring(EPIPE);
            return;
        } else {
            QTextStream(stderr) << "kova: 標準出力を開き直せないので、読まれないとサーバが止まることがあります: "
                                << errorText(errno) << Qt::endl;
        }
    }
    m_writable = new QSocketNotifier(m_fd, QSocketNotifier::Write, this);
    m_writable->setEnabled(false);
    connect(m_writable, &QSocketNotifier::activated, this, &Console::writeWaiting);
}

QByteArray Console::terminalLines(QStringView chunk)
{
    // Each log line comes preceded by CR LF.
    if (chunk.startsWith(u"\r\n"))
        chunk = chunk.sliced(2);
    QString line = printable(chunk);
    line += u'\n';
    return line.toUtf8();
}

void Console::mirror(const QString& chunk)
{
    if (m_fd < 0)
        return;
    enqueue(terminalLines(chunk));
    // Otherwise the notifier says when standard output takes more.
    if (!m_writable->isEnabled())
        writeWaiting();
}

void Console::enqueue(QByteArray line)
{
    const qsizetype size = line.size();
    while (m_waitingBytes + size > WaitingLimit) {
        // The oldest first, but not a line that has partly gone out: lines are never cut.
        const auto oldest = m_waiting.begin() + (m_firstWritten > 0 ? 1 : 0);
        if (oldest == m_waiting.end())
            break;
        m_waitingBytes -= oldest->size();
        m_waiting.erase(oldest);
        ++m_notShown;
    }
    if (m_waitingBytes + size > WaitingLimit) {
        ++m_notShown;
        return;
    }
    m_waitingBytes += size;
    m_waiting.push_back(std::move(line));
}

void Console::writeWaiting()
{
    while (m_fd >= 0 && (!m_waiting.empty() || m_notShown > 0)) {
        // Dropped lines are always the oldest ones that had not started, so their note goes first.
        const bool note = m_firstWritten == 0 && m_notShown > 0;
        if (note) {
            m_waiting.push_front(notShownLine(m_notShown));
            m_waitingBytes += m_waiting.front().size();
        }
        iovec parts[64];
        // Lines were dropped after the first one, which has partly gone out: their note comes right after it.
        const int most = m_firstWritten > 0 && m_notShown > 0 ? 1 : 64;
        int count = 0;
        for (auto line = m_waiting.begin(); line != m_waiting.end() && count < most; ++line, ++count) {
            const qsizetype skip = count == 0 ? m_firstWritten : 0;
            parts[count] = {const_cast<char*>(line->constData()) + skip, size_t(line->size() - skip)};
        }
        ssize_t written;
        if (m_socket) {
            msghdr message{};
            message.msg_iov = parts;
            message.msg_iovlen = size_t(count);
            written = ::sendmsg(m_fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        } else {
            written = ::writev(m_fd, parts, count);
        }
        const int error = errno;
        if (note && written <= 0) {
            // Said once it goes out, with the count as it is then.
            m_waitingBytes -= m_waiting.front().size();
            m_waiting.pop_front();
        }
        if (written < 0 && error == EINTR)
            continue;
        if (written < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
            m_writable->setEnabled(true);
            return;
        }
        if (written <= 0) {
            stopMirroring(written < 0 ? error : EIO);
            return;
        }
        if (note)
            m_notShown = 0;
        qsizetype left = written;
        while (left > 0) {
            const qsizetype rest = m_waiting.front().size() - m_firstWritten;
            if (left < rest) {
                m_firstWritten += left;
                break;
            }
            left -= rest;
            m_waitingBytes -= m_waiting.front().size();
            m_waiting.pop_front();
            m_firstWritten = 0;
        }
    }
    if (m_writable)
        m_writable->setEnabled(false);
}

void Console::flushBeforeExit()
{
    // What still waits gets a moment to go out, but a reader that never reads cannot hold up the end. epoll
    // rather than poll, which the package's hardening check would count as an unfortified call.
    if (m_fd < 0 || (m_waiting.empty() && m_notShown == 0))
        return;
    const int waiter = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event writable{};
    writable.events = EPOLLOUT;
    if (waiter >= 0 && ::epoll_ctl(waiter, EPOLL_CTL_ADD, m_fd, &writable) == 0) {
        const QDeadlineTimer deadline(2000);
        while (m_fd >= 0 && (!m_waiting.empty() || m_notShown > 0) && !deadline.hasExpired()) {
            epoll_event ready{};
            const int count = ::epoll_wait(waiter, &ready, 1, int(deadline.remainingTime()));
            if (count < 0 && errno != EINTR)
                break;
            if (count > 0)
                writeWaiting();
        }
    }
    if (waiter >= 0)
        ::close(waiter);
    if (m_fd >= 0 && (!m_waiting.empty() || m_notShown > 0)) {
        QTextStream(stderr) << "kova: 標準出力が読まれないので、最後の " << qint64(m_waiting.size()) + m_notShown
                            << " 行は出せませんでした。" << Qt::endl;
    }
}

void Console::stopMirroring(int error)
{
    QTextStream(stderr) << "kova: 標準出力に書けないので、ログを出すのをやめます: " << errorText(error) << Qt::endl;
    if (m_writable) {
        // This may run in its own signal.
        m_writable->setEnabled(false);
        m_writable->deleteLater();
        m_writable = nullptr;
    }
    if (m_ownDescription && m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_waiting.clear();
    m_waitingBytes = 0;
    m_firstWritten = 0;
    m_notShown = 0;
}

} // namespace kova
