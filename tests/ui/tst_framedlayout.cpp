// The main window on a real X server with a window manager, which frames it only after it is shown: the layout at
// start must already be the one for the framed window, as after any resize. Starts its own Xvfb and openbox.
#include "FakeWinsock.h"
#include "Harness.h"
#include "settings/Preferences.h"
#include "ui/FormLayout.h"
#include "ui/MainWindow.h"
#include "ui/Twips.h"

#include <QApplication>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <functional>

#include <sys/prctl.h>

using namespace kova;
using namespace kova::test;

namespace {

// An X server of its own, on the first free display, and a window manager on it.
class Desktop {
public:
    ~Desktop()
    {
        for (QProcess* process : {&m_windowManager, &m_server}) {
            process->terminate();
            if (!process->waitForFinished(5000))
                process->kill();
            process->waitForFinished(5000);
        }
    }

    // Sets DISPLAY once both are ready; false, with *error set, otherwise.
    bool start(QString* error)
    {
        // Should the test die, the server and the window manager end with it.
        for (QProcess* process : {&m_server, &m_windowManager})
            process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_server.start(QStringLiteral("Xvfb"),
                       {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                        QStringLiteral("0"), QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
                        QStringLiteral("tcp")});
        const QByteArray number = waitForLine(m_server, [](const QByteArray& line) { return !line.isEmpty(); });
        if (number.isEmpty()) {
            *error = QStringLiteral("Xvfb did not start: ") + m_server.errorString();
            return false;
        }
        qputenv("DISPLAY", ":" + number);
        // openbox runs the startup command once it manages the screen.
        m_windowManager.start(QStringLiteral("openbox"), {QStringLiteral("--sm-disable"), QStringLiteral("--startup"),
                                                          QStringLiteral("echo managing")});
        if (waitForLine(m_windowManager, [](const QByteArray& line) { return line == "managing"; }).isEmpty()) {
            *error = QStringLiteral("openbox did not start: ") + m_windowManager.errorString();
            return false;
        }
        return true;
    }

private:
    // The first line of the output that is wanted, within about ten seconds; empty if none came.
    static QByteArray waitForLine(QProcess& process, const std::function<bool(const QByteArray&)>& wanted)
    {
        for (int i = 0; i < 100; ++i) {
            while (process.canReadLine()) {
                const QByteArray line = process.readLine().trimmed();
                if (wanted(line))
                    return line;
            }
            process.waitForReadyRead(100);
        }
        return {};
    }

    QProcess m_server;
    QProcess m_windowManager;
};

// Where each control is, in pixels.
QList<QRect> controls(const MainWindow& window)
{
    QList<QRect> places;
    for (const char* name : {"Text3", "List1", "Text1", "Label1_0", "Label1_1", "Label1_2"})
        places.append(window.findChild<QWidget*>(QString::fromLatin1(name))->geometry());
    return places;
}

// Where the rule puts them for the window's outer size, in pixels.
QList<QRect> layoutFor(const MainWindow& window, QSize outer)
{
    const int dpiX = window.logicalDpiX();
    const ReadBack readBack = [dpiX](int value) { return twips::fromPixels(twips::toPixels(value, dpiX), dpiX); };
    const FormLayout layout = FormResize(FormLayout::defined(), twips::fromPixels(outer.width(), dpiX),
                                         twips::fromPixels(outer.height(), window.logicalDpiY()), false, readBack);
    QList<QRect> places;
    for (const QRect& twips :
         {layout.Text3, layout.List1, layout.Text1, layout.Label1[0], layout.Label1[1], layout.Label1[2]})
        places.append(twips::toPixels(twips, window));
    return places;
}

bool framed(const QWidget& window)
{
    return window.frameGeometry().height() > window.height();
}

} // namespace

class TestFramedLayout : public QObject {
    Q_OBJECT

    struct Program : Harness<FakeWinsock> {
        Preferences preferences{settings};
        MainWindow window{server, log, preferences, settings};
    };

private Q_SLOTS:
    void firstLayoutIsForTheFramedWindow()
    {
        Program p;
        QVERIFY(p.server.OpenServer());
        p.preferences.ApplySettings(false);
        // As start-up does: laid out, then shown.
        p.window.FormResize();
        p.window.show();
        QTRY_VERIFY_WITH_TIMEOUT(framed(p.window), 10000);
        const QSize outer = p.window.frameGeometry().size();
        QTRY_COMPARE(controls(p.window), layoutFor(p.window, outer));
        const QList<QRect> atStart = controls(p.window);

        // The same size again after a resize: the same layout.
        const QSize size = p.window.size();
        p.window.resize(size + QSize(40, 60));
        QTRY_COMPARE(p.window.frameGeometry().size(), outer + QSize(40, 60));
        p.window.resize(size);
        QTRY_COMPARE(p.window.frameGeometry().size(), outer);
        QTRY_COMPARE(controls(p.window), atStart);
    }
};

int main(int argc, char* argv[])
{
    Desktop desktop;
    QString error;
    if (!desktop.start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    // The desktop has no session bus; without this, libdbus keeps what it allocated for looking for one.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
    QApplication app(argc, argv);
    TestFramedLayout test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_framedlayout.moc"
