#include "Program.h"

#include "Application.h"
#include "Console.h"
#include "Desktop.h"
#include "OperatorCommands.h"
#include "SignalHandler.h"
#include "SingleInstance.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

namespace kova {

bool windowChosen(int argc, const char* const* argv)
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        if (!qEnvironmentVariableIsEmpty(name))
            return true;
    }
    // Qt takes its options with one dash or two.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    }
    return false;
}

bool reserveStandardStreams()
{
    bool outputOpen = true;
    for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(stream, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (stream == STDOUT_FILENO)
            outputOpen = false;
        const int null = ::open("/dev/null", stream == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != stream) {
            ::dup2(null, stream);
            ::close(null);
        }
    }
    return outputOpen;
}

int runProgram(bool withWindow, bool outputOpen)
{
    SingleInstance instance;
    if (!instance.acquired()) {
        if (withWindow)
            instance.askRunningToShow();
        return 0;
    }

    Application app(QDir::current());
    std::unique_ptr<Frontend> frontend;
    if (withWindow)
        frontend = std::make_unique<Desktop>(app);
    else
        frontend = std::make_unique<Console>(app, outputOpen);
    OperatorCommands commands(app);
    instance.acceptRequests([&frontend] { return frontend->bringToFront(); },
                            [&commands](const QByteArray& request) { return commands.answer(request); });
    SignalHandler terminationSignals;
    QObject::connect(&terminationSignals, &SignalHandler::terminationRequested, frontend.get(), &Frontend::end);

    if (!app.start() && !frontend->showsFailure())
        return app.exitStatus();
    app.runRelayOnItsThread();
    const int loopStatus = QCoreApplication::exec();
    return loopStatus != 0 ? loopStatus : app.exitStatus();
}

} // namespace kova
