#include "Harness.h"
#include "log/LogText.h"
#include "ui/LogView.h"

#include <QApplication>
#include <QTest>
#include <QThread>

using namespace kova;
using namespace kova::test;

// The view shows exactly the log's text, also once its oldest lines have been dropped while saves failed.
class TestLogView : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void droppedLinesLeaveTheViewAsTheText()
    {
        QTemporaryDir dir;
        ManualClock time;
        // Saves fail into a directory that is not there, so the text is held and its oldest lines dropped.
        LogText log(QDir(dir.filePath(QStringLiteral("gone"))), time.clock());
        log.setMaxUnsaved(4 * LogText::Limit);
        LogView view(log);
        int drops = 0;
        connect(&log, &LogText::droppedFront, this, [&drops] { ++drops; });
        for (int i = 0; i < 3000; ++i) {
            // Line breaks inside messages: CR LF, a lone CR and a lone LF each end a line of the view; CR CR LF
            // ends two.
            const QString breaks = i % 4 == 0   ? QStringLiteral("\r\n")
                                   : i % 4 == 1 ? QStringLiteral("\r")
                                   : i % 4 == 2 ? QStringLiteral("\n")
                                                : QStringLiteral("\r\r\n");
            log.AppendLog(QStringLiteral("line %1").arg(i) + breaks + QString(50, u'z'));
            if (i % 500 == 0)
                view.showPending();
        }
        view.showPending();
        QVERIFY(drops > 3);
        QString expected = log.text();
        expected.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
        QCOMPARE(view.toPlainText(), expected);
    }

    // The log written on another thread, as the relay's is: the view ends up with exactly its text, the dropped lines
    // and a clearing in between taken in their order.
    void aLogOnAnotherThreadIsShownAsItsText()
    {
        QTemporaryDir dir;
        ManualClock time;
        LogText log(QDir(dir.filePath(QStringLiteral("gone"))), time.clock());
        log.setMaxUnsaved(4 * LogText::Limit);
        LogView view(log);
        QThread relay;
        log.moveToThread(&relay);
        relay.start();
        QString expected;
        QMetaObject::invokeMethod(
            &log,
            [&] {
                for (int i = 0; i < 3000; ++i) {
                    log.AppendLog(QStringLiteral("line %1 ").arg(i) + QString(50, u'z'));
                    if (i == 1000)
                        log.clear();
                }
                expected = log.text();
                log.moveToThread(QApplication::instance()->thread());
            },
            Qt::BlockingQueuedConnection);
        relay.quit();
        relay.wait();
        expected.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        QTRY_COMPARE(view.toPlainText(), expected);
    }
};

QTEST_MAIN(TestLogView)
#include "tst_logview.moc"
