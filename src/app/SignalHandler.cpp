#include "SignalHandler.h"

#include <QLocalSocket>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace kova {

namespace {
constexpr int HandledSignals[] = {SIGTERM, SIGINT, SIGHUP};
}

SignalHandler::SignalHandler(QObject* parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, s_sockets) != 0)
        qFatal("kova: cannot create the socket pair for signals");
    m_reader = new QLocalSocket(this);
    m_reader->setSocketDescriptor(s_sockets[0]);
    connect(m_reader, &QLocalSocket::readyRead, this, &SignalHandler::readSignals);

    struct sigaction action = {};
    action.sa_handler = &SignalHandler::onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : HandledSignals)
        ::sigaction(signalNumber, &action, nullptr);
}

SignalHandler::~SignalHandler()
{
    for (int signalNumber : HandledSignals)
        ::signal(signalNumber, SIG_DFL);
    // The reader closes its end.
    delete m_reader;
    ::close(s_sockets[1]);
    s_sockets[0] = s_sockets[1] = -1;
}

void SignalHandler::onSignal(int signalNumber)
{
    // Only async-signal-safe work here: the event loop picks the number up.
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::send(s_sockets[1], &byte, 1, MSG_NOSIGNAL);
}

void SignalHandler::readSignals()
{
    for (const char byte : m_reader->readAll())
        Q_EMIT terminationRequested(static_cast<unsigned char>(byte));
}

} // namespace kova
