#include "WriteFile.h"
#include "io/Cp932.h"
#include "settings/SettingsFile.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace kova;
using namespace Qt::StringLiterals;

class TestSettingsFile : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;

    QString cfgPath() const { return QDir(m_dir->path()).filePath(QStringLiteral("KV.CFG")); }
    void writeCfg(const QByteArray& bytes) { QVERIFY(kova::test::writeFile(cfgPath(), bytes)); }
    QByteArray readCfg() const
    {
        QFile file(cfgPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

private Q_SLOTS:
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }

    void firstRunWritesThirteenBytes()
    {
        SettingsFile file{QDir(m_dir->path())};
        Settings settings;
        settings.CfgReserved = QStringLiteral("junk");
        QCOMPARE(file.LoadSettings(settings), SettingsFile::LoadResult::NoFile);
        QCOMPARE(settings.CfgReserved, QString());
        settings.FontSizeSetting = QStringLiteral("SML");
        QVERIFY(file.SaveSettings(settings));
        QCOMPARE(readCfg(), QByteArray::fromHex("0d0a0d0a534d4c0d0a0d0a0d0a"));
    }

    void oddValuesRoundTrip()
    {
        SettingsFile file{QDir(m_dir->path())};
        Settings written;
        written.CfgReserved = QStringLiteral("a,b \"quoted\", c");
        written.Nickname = QStringLiteral("  太郎, the \"boss\"  ");
        written.FontSizeSetting = QStringLiteral("big");
        written.SoundOnJoinLeave = QStringLiteral("true");
        written.SoundOnMessage = QStringLiteral("\t");
        QVERIFY(file.SaveSettings(written));
        QCOMPARE(readCfg(),
                 cp932::encode(QStringLiteral("a,b \"quoted\", c\r\n  太郎, the \"boss\"  \r\nbig\r\ntrue\r\n\t\r\n")));
        Settings read;
        QCOMPARE(file.LoadSettings(read), SettingsFile::LoadResult::Read);
        QCOMPARE(read.CfgReserved, written.CfgReserved);
        QCOMPARE(read.Nickname, written.Nickname);
        QCOMPARE(read.FontSizeSetting, written.FontSizeSetting);
        QCOMPARE(read.SoundOnJoinLeave, written.SoundOnJoinLeave);
        QCOMPARE(read.SoundOnMessage, written.SoundOnMessage);
    }

    // Typed on Linux, the wave dash is written as the one Windows users type, and read back as that.
    void nicknameWithWaveDashSurvivesARestart()
    {
        SettingsFile file{QDir(m_dir->path())};
        Settings written;
        written.Nickname = u"よろしく〜"_s;
        QVERIFY(file.SaveSettings(written));
        const QByteArray bytes = readCfg();
        QCOMPARE(bytes, "\r\n" + cp932::encode(u"よろしく"_s) + "\x81\x60\r\n\r\n\r\n\r\n");
        Settings read;
        QCOMPARE(file.LoadSettings(read), SettingsFile::LoadResult::Read);
        QCOMPARE(read.Nickname, u"よろしく～"_s);
        // And it stays that from run to run.
        QVERIFY(file.SaveSettings(read));
        QCOMPARE(readCfg(), bytes);
    }

    void shortAndLongFiles_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("values");
        QTest::newRow("four lines") << QByteArray("r\r\nBoss\r\nMID\r\nTRUE\r\n")
                                    << QStringList{u"r"_s, u"Boss"_s, u"MID"_s, u"TRUE"_s, u""_s};
        QTest::newRow("empty file") << QByteArray() << QStringList{u""_s, u""_s, u""_s, u""_s, u""_s};
        QTest::newRow("no final line break") << QByteArray("\r\nBoss\r\nBIG\r\nTRUE\r\nFALSE")
                                             << QStringList{u""_s, u"Boss"_s, u"BIG"_s, u"TRUE"_s, u"FALSE"_s};
        QTest::newRow("seven lines") << QByteArray("1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n7\r\n")
                                     << QStringList{u"1"_s, u"2"_s, u"3"_s, u"4"_s, u"5"_s};
        QTest::newRow("bare line feeds") << QByteArray("1\n2\n3\n4\n5\n")
                                         << QStringList{u"1"_s, u"2"_s, u"3"_s, u"4"_s, u"5"_s};
    }

    void shortAndLongFiles()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, values);
        writeCfg(content);
        Settings settings;
        QCOMPARE(SettingsFile(QDir(m_dir->path())).LoadSettings(settings), SettingsFile::LoadResult::Read);
        QCOMPARE(QStringList({settings.CfgReserved, settings.Nickname, settings.FontSizeSetting,
                              settings.SoundOnJoinLeave, settings.SoundOnMessage}),
                 values);
    }

    void directoryOfThatNameIsNoFileAndCannotBeReplaced()
    {
        QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("KV.CFG")));
        SettingsFile file{QDir(m_dir->path())};
        Settings settings;
        QCOMPARE(file.LoadSettings(settings), SettingsFile::LoadResult::NoFile);
        QString error;
        QVERIFY(!file.SaveSettings(settings, &error));
        QVERIFY(error.contains(QStringLiteral("KV.CFG")));
        QVERIFY(QFileInfo(cfgPath()).isDir());
    }
};

QTEST_GUILESS_MAIN(TestSettingsFile)
#include "tst_settingsfile.moc"
