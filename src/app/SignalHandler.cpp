#include "SignalHandler.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace kova {

namespace {
constexpr int HandledSignals[] = {SIGTERM, SIGINT, SIGHUP};
}

SignalHandler::SignalHandler(QObject* parent)
    : QObject(parent)
{
    if (::pipe2(s_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        qFatal("kova: cannot create the signal pipe");
    m_notifier = new QSocketNotifier(s_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalHandler::readSignal);

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
    ::close(s_pipe[0]);
    ::close(s_pipe[1]);
    s_pipe[0] = s_pipe[1] = -1;
}

void SignalHandler::onSignal(int signalNumber)
{
    // Only async-signal-safe work here: the event loop picks the number up.
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(s_pipe[1], &byte, 1);
}

void SignalHandler::readSignal()
{
    unsigned char byte = 0;
    while (::read(s_pipe[0], &byte, 1) == 1)
        Q_EMIT terminationRequested(byte);
}

} // namespace kova
