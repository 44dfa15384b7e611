#include "FakeWinsock.h"
#include "Harness.h"
#include "settings/Preferences.h"
#include "ui/Fonts.h"
#include "ui/MainWindow.h"
#include "ui/NicknameDialog.h"
#include "ui/Twips.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

using namespace kova;
using namespace kova::test;
using namespace Qt::StringLiterals;

class TestMainWindow : public QObject {
    Q_OBJECT

    struct Program : Harness<FakeWinsock> {
        Preferences preferences{settings};
        MainWindow window{server, log, preferences, settings};
    };
    std::unique_ptr<Program> p;

    template <typename T = QWidget> T* child(const char* name)
    {
        return p->window.findChild<T*>(QString::fromLatin1(name));
    }
    QAction* action(const char* name) { return child<QAction>(name); }
    QMessageBox* openBox()
    {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
                return box;
        }
        return nullptr;
    }
    void closeBoxes()
    {
        while (QMessageBox* box = openBox())
            box->done(QMessageBox::Ok);
    }
    // The nickname dialog is a window of its own, without an owner: found among the top-level windows.
    static NicknameDialog* openDialog()
    {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* dialog = qobject_cast<NicknameDialog*>(widget); dialog && dialog->isVisible())
                return dialog;
        }
        return nullptr;
    }
private Q_SLOTS:
    void initTestCase() { registerFontSubstitutions(); }

    void init()
    {
        p = std::make_unique<Program>();
        QVERIFY(p->server.OpenServer());
        p->server.RefreshNameList();
    }

    void cleanup()
    {
        closeBoxes();
        p.reset();
    }

    void menuTreeAsDefined()
    {
        QStringList tree;
        const auto menus = p->window.menuBar()->actions();
        for (QAction* top : menus) {
            tree << top->menu()->objectName() + u'=' + top->text();
            for (QAction* item : top->menu()->actions()) {
                QString entry =
                    u"  "_s + (item->menu() ? item->menu()->objectName() : item->objectName()) + u'=' + item->text();
                tree << entry;
                if (item->menu()) {
                    for (QAction* sub : item->menu()->actions())
                        tree << u"    "_s + sub->objectName() + u'=' + sub->text() +
                                    (sub->isChecked() ? u"*"_s : u""_s);
                }
            }
        }
        QCOMPARE(tree,
                 QStringList({u"Files=ファイル"_s, u"  FilesChg=ニックネーム変更"_s, u"  FilesEnd=終了"_s,
                              u"OptionS=オプション"_s, u"  OptionFontSize=文字サイズ"_s, u"    OptionsFontSizeBig=大"_s,
                              u"    OptionsFontSizeMid=中"_s, u"    OptionsFontSizeSmall=小"_s, u"  OptionSound=音"_s,
                              u"    SoundsInOut=入退室で鳴らす"_s, u"    SoundsMsg=発言で鳴らす"_s, u"Helps=ヘルプ"_s,
                              u"  HelpsVerSion=バージョン"_s}));
        for (QAction* item : p->window.findChildren<QAction*>())
            QVERIFY2(item->shortcut().isEmpty(), qPrintable(item->objectName()));
    }

    void menuCommandsKeepMarksAndFontsInStep()
    {
        p->preferences.ApplySettings(false);
        QVERIFY(action("OptionsFontSizeSmall")->isChecked());
        QCOMPARE(child("Text3")->font().pointSize(), 9);
        const QRect text3Before = child("Text3")->geometry();

        action("OptionsFontSizeBig")->trigger();
        QVERIFY(action("OptionsFontSizeBig")->isChecked());
        QVERIFY(!action("OptionsFontSizeSmall")->isChecked());
        for (const char* name : {"Text1", "Text3", "List1"})
            QCOMPARE(child(name)->font().pointSize(), 18);
        QCOMPARE(child<QLabel>("Label1_0")->font().pointSizeF(), 14.25);
        QCOMPARE(child("Text3")->geometry(), text3Before);

        // Choosing the marked item again leaves it marked, although Qt would toggle it off.
        action("OptionsFontSizeBig")->trigger();
        QVERIFY(action("OptionsFontSizeBig")->isChecked());
        QCOMPARE(p->settings.FontSizeSetting, u"BIG"_s);

        action("SoundsInOut")->trigger();
        QVERIFY(action("SoundsInOut")->isChecked());
        QCOMPARE(p->settings.SoundOnJoinLeave, u"TRUE"_s);
        action("SoundsInOut")->trigger();
        QVERIFY(!action("SoundsInOut")->isChecked());
        QCOMPARE(p->settings.SoundOnJoinLeave, u"FALSE"_s);
    }

    void layoutFollowsTheWindowSize()
    {
        p->window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&p->window));
        p->window.resize(600, 400);
        // The rule works on the outer size, frame included: 15 twips a pixel at 96 dpi.
        QTRY_COMPARE(p->window.frameGeometry().width(), 600 + p->window.frameGeometry().width() - p->window.width());
        const QSize outer = p->window.frameGeometry().size();
        QCOMPARE(child("Text3")->size(), QSize(outer.width() - 200, qRound((outer.height() * 15 - 2000) / 15.0)));
        QCOMPARE(child("List1")->x(), outer.width() - 200 + 7);
        QCOMPARE(child("Text1")->y(), child("Text3")->height() + qRound(550 / 15.0));
        p->window.resize(300, 100);
        QTRY_COMPARE(p->window.frameGeometry().size(), QSize(514, 258));
        QCOMPARE(child("Text3")->width(), twips::toPixels(7710 - 3000, 96));
    }

    void operatorInput()
    {
        auto* input = child<QLineEdit>("Text1");
        p->window.show();
        QTest::keyClick(input, Qt::Key_Return);
        QTest::keyClicks(input, u"hello"_s);
        QTest::keyClick(input, Qt::Key_Return);
        QCOMPARE(input->text(), u"hello"_s); // nobody there: the line stays
        QCOMPARE(p->logMessages().size(), 1);

        QCOMPARE(p->sockets.connect(), 1);
        QTest::keyClick(input, Qt::Key_Return);
        QVERIFY(input->text().isEmpty());
        QCOMPARE(p->logMessages().last(), u"サーバ > hello"_s);
        QCOMPARE(p->delivered(), QStringList{u"1:サーバ > hello"_s});
    }

    void nicknameDialog()
    {
        p->settings.Nickname = u"Old"_s;
        QCOMPARE(p->sockets.connect(), 1);
        QCOMPARE(p->sockets.connect(), 2);
        action("FilesChg")->trigger();
        NicknameDialog* dialog = openDialog();
        QVERIFY(dialog && dialog->isVisible());
        QVERIFY(!dialog->parent());
        auto* box = dialog->findChild<QLineEdit*>(u"Text4"_s);
        QCOMPARE(box->text(), u"Old"_s);
        QCOMPARE(box->font().pointSize(), 12);

        // Enter and Escape press no button.
        box->clear();
        QTest::keyClick(box, Qt::Key_Return);
        QTest::keyClick(box, Qt::Key_Escape);
        QVERIFY(dialog->isVisible());

        dialog->findChild<QPushButton*>(u"Command1_0"_s)->click();
        QMessageBox* message = openBox();
        QVERIFY(message);
        QCOMPARE(message->text(), u"入力を行って下さい。"_s);
        QCOMPARE(message->windowTitle(), u"KOVA"_s);
        QCOMPARE(message->icon(), QMessageBox::NoIcon);
        closeBoxes();
        QVERIFY(dialog->isVisible());
        QVERIFY(p->delivered().isEmpty());

        QTest::keyClicks(box, u" Taro "_s);
        action("FilesChg")->trigger(); // only brought to the front: the typing stays
        QCOMPARE(box->text(), u" Taro "_s);
        const QString log = p->log.text();
        dialog->findChild<QPushButton*>(u"Command1_0"_s)->click();
        QTRY_VERIFY(!openDialog());
        QCOMPARE(p->settings.Nickname, u" Taro "_s);
        QCOMPARE(child<QListWidget>("List1")->item(0)->text(), u" Taro "_s);
        QCOMPARE(p->delivered(), QStringList({u"1:NAME:0: Taro +"_s, u"2:NAME:0: Taro +"_s}));
        QCOMPARE(p->log.text(), log);

        action("FilesChg")->trigger();
        dialog = openDialog();
        QCOMPARE(dialog->findChild<QLineEdit*>(u"Text4"_s)->text(), u" Taro "_s);
        dialog->findChild<QLineEdit*>(u"Text4"_s)->setText(u"Other"_s);
        dialog->findChild<QPushButton*>(u"Command1_1"_s)->click();
        QTRY_VERIFY(!openDialog());
        QCOMPARE(p->settings.Nickname, u" Taro "_s);
        QVERIFY(p->delivered().isEmpty());
    }

    // QLineEdit would cut a text at 32,767 characters; the nickname has no limit.
    void longNicknameIsKeptWhole()
    {
        const QString name(40000, u'n');
        QCOMPARE(p->sockets.connect(), 1);
        action("FilesChg")->trigger();
        NicknameDialog* dialog = openDialog();
        QVERIFY(dialog);
        auto* box = dialog->findChild<QLineEdit*>(u"Text4"_s);
        box->setText(name.left(name.size() - 2));
        QTest::keyClicks(box, u"nn"_s);
        QCOMPARE(box->text().size(), name.size());
        dialog->findChild<QPushButton*>(u"Command1_0"_s)->click();
        QTRY_VERIFY(!openDialog());
        QCOMPARE(p->settings.Nickname, name);
        QCOMPARE(p->delivered(), QStringList{u"1:NAME:0:"_s + name + u'+'});
    }

    void iconIsTheHeart()
    {
        const QIcon icon = p->window.windowIcon();
        QCOMPARE(icon.availableSizes(), QList<QSize>({QSize(32, 32), QSize(16, 16)}));
        const QImage image = icon.pixmap(32).toImage();
        QCOMPARE(image.pixelColor(8, 16), QColor(Qt::red));
        QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
    }

    void versionBox()
    {
        action("HelpsVerSion")->trigger();
        QMessageBox* box = openBox();
        QVERIFY(box);
        QCOMPARE(box->text(), u"Mokka Chat Server\r\n     Version 1.00"_s);
        QCOMPARE(box->standardButtons(), QMessageBox::Ok);
    }

    void exitCommandRunsTheShutdown()
    {
        p->window.show();
        QSignalSpy unloading(&p->window, &MainWindow::unloading);
        action("FilesEnd")->trigger();
        QCOMPARE(unloading.size(), 1);
        QVERIFY(!p->window.isVisible());
    }

    void logViewFollowsTheLog()
    {
        auto* view = child<QPlainTextEdit>("Text3");
        p->log.AppendLog(u"hello"_s);
        QTRY_VERIFY(view->toPlainText().endsWith(u"\nhello   [2026/12/07 9:05:03]"_s));
        QVERIFY(view->toPlainText().startsWith(u"\nサーバとして待ち受けます。"_s));
        QCOMPARE(view->textCursor().position(), view->toPlainText().size());
        p->log.clear();
        QVERIFY(view->toPlainText().isEmpty());
    }

    void listHasTenRows()
    {
        auto* list = child<QListWidget>("List1");
        QCOMPARE(list->count(), 10);
        QCOMPARE(list->item(0)->text(), u"サーバ"_s);
        QCOMPARE(p->sockets.connect(), 1);
        p->sockets.receive(1, u"NAME:Ken"_s);
        QCOMPARE(list->count(), 10);
        QCOMPARE(list->item(1)->text(), u"Ken"_s);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
