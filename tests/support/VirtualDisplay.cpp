#include "VirtualDisplay.h"

#include "RunCommand.h"

#include <csignal>
#include <functional>

#include <sys/prctl.h>

namespace kova::test {

namespace {

// The first line of the output that is wanted, within about ten seconds; empty if none came.
QByteArray waitForLine(QProcess& process, const std::function<bool(const QByteArray&)>& wanted)
{
    for (int i = 0; i < 100 && process.state() != QProcess::NotRunning; ++i) {
        while (process.canReadLine()) {
            const QByteArray line = process.readLine().trimmed();
            if (wanted(line))
                return line;
        }
        process.waitForReadyRead(100);
    }
    return {};
}

} // namespace

VirtualDisplay::VirtualDisplay(WindowManager windowManager)
{
    // Should the test die, the server and the window manager end with it.
    for (QProcess* process : {&m_server, &m_windowManager})
        process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    // It writes the display number it found free to its standard output, and takes no lock file then. Without
    // -noreset it would reset whenever its last client left (each poll of showsWindow), refusing connections and
    // compiling its keymap again meanwhile.
    m_server.start(QStringLiteral("Xvfb"),
                   {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-noreset"),
                    QStringLiteral("-nolisten"), QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                    QStringLiteral("1024x768x24")});
    const QByteArray number = waitForLine(m_server, [](const QByteArray& line) { return !line.isEmpty(); });
    if (number.isEmpty()) {
        m_error = QStringLiteral("Xvfb did not start (is the package xvfb installed?): ") + m_server.errorString();
        return;
    }
    m_name = QLatin1Char(':') + QString::fromLatin1(number);
    if (windowManager == WindowManager::None)
        return;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), m_name);
    m_windowManager.setProcessEnvironment(env);
    // openbox runs the startup command once it manages the screen.
    m_windowManager.start(QStringLiteral("openbox"), {QStringLiteral("--sm-disable"), QStringLiteral("--startup"),
                                                      QStringLiteral("echo managing")});
    if (waitForLine(m_windowManager, [](const QByteArray& line) { return line == "managing"; }).isEmpty())
        m_error = QStringLiteral("openbox did not start: ") + m_windowManager.errorString();
}

VirtualDisplay::~VirtualDisplay()
{
    for (QProcess* process : {&m_windowManager, &m_server}) {
        if (process->state() == QProcess::NotRunning)
            continue;
        process->terminate();
        if (!process->waitForFinished(5000)) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
}

bool VirtualDisplay::showsWindow(const QString& title) const
{
    QProcess info;
    info.start(QStringLiteral("xwininfo"),
               {QStringLiteral("-display"), m_name, QStringLiteral("-root"), QStringLiteral("-tree")});
    info.waitForFinished(5000);
    return info.readAllStandardOutput().contains("\"" + title.toUtf8() + "\"");
}

bool VirtualDisplay::useOwnFolders(QString* error)
{
    // The sockets, and the compiled keymaps.
    for (const QString& folder : {QStringLiteral("/tmp/.X11-unix"), QStringLiteral("/var/lib/xkb")}) {
        const QString mode = folder.startsWith(u"/tmp") ? QStringLiteral("1777") : QStringLiteral("755");
        if (!run(QStringLiteral("mkdir"), {QStringLiteral("-p"), QStringLiteral("-m"), mode, folder}, error) ||
            !run(QStringLiteral("mount"),
                 {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                  QStringLiteral("size=1m,mode=") + mode, QStringLiteral("tmpfs"), folder},
                 error))
            return false;
    }
    return true;
}

} // namespace kova::test
