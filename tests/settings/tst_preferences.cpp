#include "settings/Preferences.h"
#include "settings/Settings.h"

#include <QSignalSpy>
#include <QTest>

using namespace kova;
using namespace Qt::StringLiterals;
using Size = Preferences::FontSize;

class TestPreferences : public QObject {
    Q_OBJECT

    static QString checks(const Preferences& p)
    {
        QString marks;
        for (bool on : {p.isChecked(Size::Big), p.isChecked(Size::Mid), p.isChecked(Size::Small),
                        p.soundsInOutChecked(), p.soundsMsgChecked()})
            marks += on ? u'x' : u'.';
        return marks;
    }

private Q_SLOTS:
    void applySettings_data()
    {
        QTest::addColumn<bool>("fileRead");
        QTest::addColumn<QStringList>("stored"); // font size, join/leave, message
        QTest::addColumn<QString>("marks");
        QTest::addColumn<int>("points");
        QTest::addColumn<QStringList>("after");
        QTest::newRow("no file") << false << QStringList{u""_s, u""_s, u""_s} << u"..x.."_s << 9
                                 << QStringList{u"SML"_s, u""_s, u""_s};
        QTest::newRow("mid, join/leave on") << true << QStringList{u"MID"_s, u"TRUE"_s, u"FALSE"_s} << u".x.x."_s << 12
                                            << QStringList{u"MID"_s, u"TRUE"_s, u"FALSE"_s};
        QTest::newRow("big, message on") << true << QStringList{u"BIG"_s, u""_s, u"TRUE"_s} << u"x...x"_s << 18
                                         << QStringList{u"BIG"_s, u""_s, u"TRUE"_s};
        QTest::newRow("lower case stays off and unchanged")
            << true << QStringList{u"big"_s, u"true"_s, u"True"_s} << u"..x.."_s << 9
            << QStringList{u"SML"_s, u"true"_s, u"True"_s};
    }

    void applySettings()
    {
        QFETCH(bool, fileRead);
        QFETCH(QStringList, stored);
        QFETCH(QString, marks);
        QFETCH(int, points);
        QFETCH(QStringList, after);
        Settings settings{QString(), QString(), stored[0], stored[1], stored[2]};
        Preferences preferences(settings);
        QSignalSpy fontSize(&preferences, &Preferences::fontSizeChanged);
        QCOMPARE(checks(preferences), QStringLiteral("....."));
        preferences.ApplySettings(fileRead);
        QCOMPARE(checks(preferences), marks);
        QCOMPARE(fontSize.size(), 1);
        QCOMPARE(fontSize.first().first().toInt(), points);
        QCOMPARE(QStringList({settings.FontSizeSetting, settings.SoundOnJoinLeave, settings.SoundOnMessage}), after);
    }

    void commandsMoveTheMarks()
    {
        Settings settings;
        Preferences preferences(settings);
        preferences.ApplySettings(false);
        preferences.SoundsInOut();
        QCOMPARE(settings.SoundOnJoinLeave, QStringLiteral("TRUE"));
        preferences.SoundsInOut();
        QCOMPARE(settings.SoundOnJoinLeave, QStringLiteral("FALSE"));
        preferences.SoundsMsg();
        preferences.OptionsFontSizeBig();
        QCOMPARE(checks(preferences), QStringLiteral("x...x"));
        QCOMPARE(preferences.pointSize(), 18);
        preferences.OptionsFontSizeSmall();
        QCOMPARE(checks(preferences), QStringLiteral("..x.x"));
        QCOMPARE(settings.FontSizeSetting, QStringLiteral("SML"));
        QCOMPARE(preferences.pointSize(), 9);
    }
};

QTEST_GUILESS_MAIN(TestPreferences)
#include "tst_preferences.moc"
