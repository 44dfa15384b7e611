#include "TerminationSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/signalfd.h>
#include <unistd.h>

namespace kova::web {

namespace {

sigset_t handledSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&set, signalNumber);
    return set;
}

QString signalName(quint32 signalNumber)
{
    switch (signalNumber) {
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    default:
        return QStringLiteral("signal %1").arg(signalNumber);
    }
}

} // namespace

void TerminationSignals::block()
{
    const sigset_t set = handledSignals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

TerminationSignals::TerminationSignals(QObject* parent)
    : QObject(parent)
{
    const sigset_t set = handledSignals();
    m_descriptor = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (m_descriptor < 0) {
        // Blocked signals that nobody reads would make the program unstoppable: let them end it at once instead.
        std::fprintf(stderr, "kova-web: cannot watch for SIGTERM (%s); it will end without closing connections\n",
                     std::strerror(errno));
        ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return;
    }
    m_notifier = new QSocketNotifier(m_descriptor, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::onReadable);
}

TerminationSignals::~TerminationSignals()
{
    delete m_notifier;
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

void TerminationSignals::onReadable()
{
    signalfd_siginfo info;
    while (::read(m_descriptor, &info, sizeof info) == ssize_t(sizeof info))
        Q_EMIT received(signalName(info.ssi_signo));
}

} // namespace kova::web
