#include "FakeSoundPlayer.h"
#include "Harness.h"
#include "WriteFile.h"
#include "log/LogText.h"
#include "settings/NotificationSound.h"

#include <QTemporaryDir>
#include <QTest>

using namespace kova;
using namespace kova::test;

class TestNotificationSound : public QObject {
    Q_OBJECT

    const QString FailureLine = QStringLiteral("音を鳴らせませんでした。");

private Q_SLOTS:
    void soundOut_data()
    {
        QTest::addColumn<QByteArray>("content"); // empty: no file at all
        QTest::addColumn<bool>("device");
        QTest::addColumn<bool>("plays");
        QTest::newRow("missing file") << QByteArray() << true << false;
        QTest::newRow("not a wave file") << QByteArray("hello, this is text") << true << false;
        QTest::newRow("RIFF but no fmt chunk") << QByteArray("RIFF\x04\0\0\0WAVE", 12) << true << false;
        // Chunks of odd size are padded to an even one.
        QTest::newRow("odd chunk before fmt")
            << QByteArray("RIFF\x24\0\0\0WAVELIST\x03\0\0\0abc\0fmt \x10\0\0\0", 32) << true << true;
        QTest::newRow("no output device") << QByteArray("wave") << false << false;
        QTest::newRow("plays") << QByteArray("wave") << true << true;
    }

    void soundOut()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, device);
        QFETCH(bool, plays);
        QTemporaryDir dir;
        const QString path = QDir(dir.path()).filePath(QStringLiteral("recv.wav"));
        if (content == "wave")
            QVERIFY(writeTestWave(path));
        else if (!content.isEmpty())
            QVERIFY(writeFile(path, content));

        ManualClock time;
        LogText log(QDir(dir.path()), time.clock());
        FakeSoundPlayer player;
        player.devicePresent = device;
        NotificationSound sound(log, player, QDir(dir.path()));
        sound.SoundOut();
        QCOMPARE(player.played, plays ? QStringList{path} : QStringList{});
        QCOMPARE(log.text().contains(FailureLine), !plays);
    }

    // A ring while the sound plays, or within a second of the last ring, is dropped; a failed ring counts as one.
    void ringsTooCloseTogetherAreDropped_data()
    {
        QTest::addColumn<bool>("fileThere");
        QTest::newRow("plays") << true;
        QTest::newRow("fails") << false;
    }

    void ringsTooCloseTogetherAreDropped()
    {
        QFETCH(bool, fileThere);
        QTemporaryDir dir;
        if (fileThere)
            QVERIFY(writeTestWave(QDir(dir.path()).filePath(QStringLiteral("recv.wav"))));
        ManualClock time;
        LogText log(QDir(dir.path()), time.clock());
        FakeSoundPlayer player;
        constexpr qint64 Ms = 1'000'000;
        qint64 now = 7'000 * Ms;
        NotificationSound sound(log, player, QDir(dir.path()), [&now] { return now; });
        const auto attempts = [&] { return player.played.size() + log.text().count(FailureLine); };

        sound.SoundOut();
        sound.SoundOut();
        now += 999 * Ms;
        sound.SoundOut();
        QCOMPARE(attempts(), 1);
        now += 1 * Ms;
        sound.SoundOut();
        QCOMPARE(attempts(), 2);

        // Still playing after the second is over: dropped, until it has stopped.
        now += 5'000 * Ms;
        player.playing = true;
        sound.SoundOut();
        QCOMPARE(attempts(), 2);
        player.playing = false;
        sound.SoundOut();
        QCOMPARE(attempts(), 3);
    }

    void laterPlaybackFailureIsLoggedOncePerAttempt()
    {
        QTemporaryDir dir;
        QVERIFY(writeTestWave(QDir(dir.path()).filePath(QStringLiteral("recv.wav"))));
        ManualClock time;
        LogText log(QDir(dir.path()), time.clock());
        FakeSoundPlayer player;
        NotificationSound sound(log, player, QDir(dir.path()));
        sound.SoundOut();
        QVERIFY(log.text().isEmpty());
        player.failPlayback();
        QCOMPARE(log.text().count(FailureLine), 1);
    }
};

QTEST_GUILESS_MAIN(TestNotificationSound)
#include "tst_notificationsound.moc"
