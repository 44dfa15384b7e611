// The main window on a real X server with a window manager, which frames it only after it is shown: the layout at
// start must already be the one for the framed window, as after any resize. Starts its own Xvfb and openbox.
#include "FakeWinsock.h"
#include "Harness.h"
#include "VirtualDisplay.h"
#include "settings/Preferences.h"
#include "ui/FormLayout.h"
#include "ui/MainWindow.h"
#include "ui/Twips.h"

#include <QApplication>
#include <QTest>

#include <cstdio>

using namespace kova;
using namespace kova::test;

namespace {

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
    const VirtualDisplay desktop(VirtualDisplay::WindowManager::Openbox);
    if (!desktop.error().isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(desktop.error()));
        return 1;
    }
    qputenv("DISPLAY", desktop.name().toLatin1());
    qputenv("QT_QPA_PLATFORM", "xcb");
    // The desktop has no session bus; without this, libdbus keeps what it allocated for looking for one.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
    QApplication app(argc, argv);
    TestFramedLayout test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_framedlayout.moc"
