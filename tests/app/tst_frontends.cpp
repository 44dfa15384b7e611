#include "NamespacedTestMain.h"
#include "app/Application.h"
#include "app/Console.h"
#include "app/Desktop.h"
#include "app/Program.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

using namespace kova;
using namespace Qt::StringLiterals;

// The window and standard output as the server's two faces, and the choice between them.
class TestFrontends : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void windowFollowsTheStartUp()
    {
        QTemporaryDir directory;
        Application app{QDir(directory.path())};
        Desktop desktop(app);
        QVERIFY(app.start());
        MainWindow& window = desktop.window();
        QVERIFY(window.isVisible());
        QVERIFY(window.windowTitle().startsWith(Application::CaptionPrefix));
        QVERIFY(window.windowTitle().size() > Application::CaptionPrefix.size());
        QCOMPARE(window.focusWidget()->objectName(), u"Text3"_s);

        // A second start finds it minimized.
        window.showMinimized();
        QVERIFY(window.isMinimized());
        QVERIFY(desktop.bringToFront());
        QVERIFY(!window.isMinimized());
        QVERIFY(window.isVisible());
    }

    // Whatever ends a program whose start failed, its files stay as they were.
    void failedStartNeverShutsDown()
    {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, ServerPort));
        QTemporaryDir directory;
        Application app{QDir(directory.path())};
        Desktop desktop(app);
        QVERIFY(!app.start());
        QCOMPARE(app.exitStatus(), 1);
        desktop.window().close();
        app.shutdown();
        QVERIFY(QDir(directory.path()).isEmpty());
    }

    void terminalLines_data()
    {
        QTest::addColumn<QString>("chunk");
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("Japanese") << u"\r\nサーバとして待ち受けます。   [2026/12/07 9:00:00]"_s
                                  << u"サーバとして待ち受けます。   [2026/12/07 9:00:00]\n"_s.toUtf8();
        QTest::newRow("escape sequence") << u"\r\nA > \x1b]0;owned\x07\x1b[2J"_s
                                         << QByteArray("A > ^[]0;owned^G^[[2J\n");
        QTest::newRow("line breaks and DEL inside") << u"\r\nA > 1\r\n2\x7f"_s << QByteArray("A > 1^M^J2^?\n");
        QTest::newRow("C1 control") << u"\r\nA > \u009b31m"_s << u"A > \ufffd31m\n"_s.toUtf8();
        // What the byte 80 stands for, the first of them.
        QTest::newRow("U+0080") << u"\r\nA > \u0080"_s << u"A > \ufffd\n"_s.toUtf8();
    }

    void terminalLines()
    {
        QFETCH(QString, chunk);
        QFETCH(QByteArray, line);
        QCOMPARE(Console::terminalLines(chunk), line);
    }

    // Lines that standard output cannot take yet wait, the oldest dropped beyond 1 MiB and counted, but never the one
    // that has partly gone out: every line comes out whole, or is counted as left out. Each line is numbered at both
    // ends, so that the head of one joined to the tail of another shows.
    void unreadStandardOutputDropsWholeLinesOnly()
    {
        int ends[2];
        QVERIFY(::pipe2(ends, O_CLOEXEC) == 0);
        QVERIFY(::fcntl(ends[0], F_SETFL, O_NONBLOCK) == 0);
        // The smallest a pipe holds: the first line, longer than that, goes out only in part.
        QVERIFY(::fcntl(ends[1], F_SETPIPE_SZ, 4096) == 4096);
        const int testOutput = ::dup(STDOUT_FILENO);
        std::fflush(stdout);
        ::dup2(ends[1], STDOUT_FILENO);
        ::close(ends[1]);
        QTemporaryDir directory;
        Application app{QDir(directory.path())};
        Console console(app);
        // The console has a description of the pipe of its own.
        ::dup2(testOutput, STDOUT_FILENO);
        ::close(testOutput);

        QList<QByteArray> expected;
        connect(&app.log(), &LogText::appended, this,
                [&expected](const QString& chunk) { expected += Console::terminalLines(chunk); });
        for (int i = 0; i < 400; ++i)
            app.log().AppendLog(u"%1 %2 %1"_s.arg(i).arg(QString(5000, u'x')));
        QByteArray output;
        const auto readAll = [&] {
            char buffer[65536];
            for (ssize_t got; (got = ::read(ends[0], buffer, sizeof buffer)) > 0;)
                output.append(buffer, got);
            return output.endsWith(expected.last());
        };
        QVERIFY(QTest::qWaitFor(readAll, 10000));
        ::close(ends[0]);

        static const QRegularExpression note(
            u"^\\(標準出力が読まれなかったので、ここで (\\d+) 行を省きました。ログファイルには残ります\\)$"_s);
        qsizetype next = 0;
        int notes = 0;
        for (const QByteArray& line : output.chopped(1).split('\n')) {
            if (const auto match = note.match(QString::fromUtf8(line)); match.hasMatch()) {
                next += match.captured(1).toLongLong();
                ++notes;
            } else {
                QVERIFY2(next < expected.size() && line + '\n' == expected.at(next), line.left(60).constData());
                ++next;
            }
        }
        QCOMPARE(next, expected.size());
        QCOMPARE(notes, 1);
    }

    void windowChosen_data()
    {
        QTest::addColumn<QString>("variable");
        QTest::addColumn<QString>("argument");
        QTest::addColumn<bool>("window");
        QTest::newRow("nothing") << QString() << QString() << false;
        QTest::newRow("X11") << u"DISPLAY"_s << QString() << true;
        QTest::newRow("Wayland") << u"WAYLAND_DISPLAY"_s << QString() << true;
        QTest::newRow("platform variable") << u"QT_QPA_PLATFORM"_s << QString() << true;
        QTest::newRow("-platform") << QString() << u"-platform"_s << true;
        QTest::newRow("--platform") << QString() << u"--platform"_s << true;
        QTest::newRow("other argument") << QString() << u"-style"_s << false;
    }

    void windowChosen()
    {
        QFETCH(QString, variable);
        QFETCH(QString, argument);
        QFETCH(bool, window);
        const QByteArray saved = qgetenv("QT_QPA_PLATFORM");
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            qunsetenv(name);
        if (!variable.isEmpty())
            qputenv(variable.toLatin1().constData(), "x");
        const QByteArray given = argument.toLatin1();
        const char* argv[] = {"kova", given.constData(), "offscreen"};
        QCOMPARE(kova::windowChosen(given.isEmpty() ? 1 : 3, argv), window);
        qunsetenv(variable.toLatin1().constData());
        qputenv("QT_QPA_PLATFORM", saved);
    }
};

// The window tests open the listener on port 557, in a network namespace of their own (as root).
KOVA_NAMESPACED_TEST_MAIN_WITH(QApplication, TestFrontends, false)

#include "tst_frontends.moc"
