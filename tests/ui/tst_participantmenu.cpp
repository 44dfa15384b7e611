#include "FakeWinsock.h"
#include "Harness.h"
#include "settings/Preferences.h"
#include "ui/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QToolTip>

using namespace kova;
using namespace kova::test;
using namespace Qt::StringLiterals;

// The operator's hand on the participant list, in the window over fake sockets.
class TestParticipantMenu : public QObject {
    Q_OBJECT

    struct Program : Harness<FakeWinsock> {
        Preferences preferences{settings};
        MainWindow window{server, log, preferences, settings};
    };
    std::unique_ptr<Program> p;
    QListWidget* list = nullptr;
    QMenu* menu = nullptr;

    QAction* action(const char* name) { return menu->findChild<QAction*>(QString::fromLatin1(name)); }
    QPoint rowCentre(int row) { return list->visualItemRect(list->item(row)).center(); }
    void rightClick(int row)
    {
        QContextMenuEvent event(QContextMenuEvent::Mouse, rowCentre(row),
                                list->viewport()->mapToGlobal(rowCentre(row)));
        QApplication::sendEvent(list->viewport(), &event);
    }
    // The open box whose text contains the words.
    static QMessageBox* box(const QString& words)
    {
        for (QWidget* widget : QApplication::allWidgets()) {
            if (auto* found = qobject_cast<QMessageBox*>(widget);
                found && found->isVisible() && found->text().contains(words))
                return found;
        }
        return nullptr;
    }
    void join(const char* address, const QString& name)
    {
        const int slot = p->sockets.connectFrom(QHostAddress(QString::fromLatin1(address)));
        p->sockets.receive(slot, u"NAME:"_s + name);
        p->delivered();
    }

private Q_SLOTS:
    void init()
    {
        p = std::make_unique<Program>();
        QVERIFY(p->server.OpenServer());
        p->server.RefreshNameList();
        p->window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&p->window));
        list = p->window.findChild<QListWidget*>(u"List1"_s);
        menu = list->findChild<QMenu*>(u"participantMenu"_s);
        QVERIFY(list && menu);
        join("127.0.0.2", u"Taro"_s);
        join("127.0.0.3", u"Hanako"_s);
    }

    void cleanup()
    {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* open = qobject_cast<QMessageBox*>(widget))
                open->done(QMessageBox::No);
        }
        menu->hide();
        p.reset();
    }

    void menuActsOnClientRowsOnly_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<bool>("client");
        QTest::newRow("operator") << 0 << false;
        QTest::newRow("first client") << 1 << true;
        QTest::newRow("last client") << 2 << true;
        QTest::newRow("empty row") << 9 << false;
    }

    void menuActsOnClientRowsOnly()
    {
        QFETCH(int, row);
        QFETCH(bool, client);
        rightClick(row);
        QVERIFY(menu->isVisible());
        QCOMPARE(list->currentRow(), row);
        QCOMPARE(action("disconnectClient")->isEnabled(), client);
        QCOMPARE(action("banClient")->isEnabled(), client);
        QVERIFY(action("showBans")->isEnabled());
    }

    void disconnectByMouse()
    {
        rightClick(1);
        QCOMPARE(action("disconnectClient")->text(), u"切断する"_s);
        action("disconnectClient")->trigger();
        QCOMPARE(p->logMessages().last(), u"Taroさんを切断しました。"_s);
        QCOMPARE(p->tables.SlotState.at(1), SLOT_FREE);
        QCOMPARE(p->delivered(), QStringList{u"2:RNAME:1:"_s});
        QCOMPARE(list->item(1)->text(), QString());
    }

    void keyboardOpensTheMenuForTheCurrentRow_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
        QTest::newRow("menu key") << int(Qt::Key_Menu) << Qt::KeyboardModifiers();
        QTest::newRow("Shift+F10") << int(Qt::Key_F10) << Qt::KeyboardModifiers(Qt::ShiftModifier);
    }

    void keyboardOpensTheMenuForTheCurrentRow()
    {
        QFETCH(int, key);
        QFETCH(Qt::KeyboardModifiers, modifiers);
        list->setFocus();
        list->setCurrentRow(2);
        QTest::keyClick(list, Qt::Key(key), modifiers);
        QTRY_VERIFY(menu->isVisible());
        action("disconnectClient")->trigger();
        QCOMPARE(p->logMessages().last(), u"Hanakoさんを切断しました。"_s);
        QCOMPARE(p->tables.SlotState.at(1), SLOT_CONNECTED);
    }

    void banAsksFirst()
    {
        rightClick(2);
        action("banClient")->trigger();
        QMessageBox* question = box(u"Hanako（127.0.0.3）を締め出しますか？"_s);
        QVERIFY(question);
        question->button(QMessageBox::No)->click();
        QCOMPARE(p->tables.SlotState.at(2), SLOT_CONNECTED);
        QVERIFY(p->server.bannedAddresses().isEmpty());

        rightClick(2);
        action("banClient")->trigger();
        QTRY_VERIFY(box(u"締め出しますか"_s));
        box(u"締め出しますか"_s)->button(QMessageBox::Yes)->click();
        QCOMPARE(p->logMessages().last(), u"Hanako（127.0.0.3）を締め出しました。"_s);
        QCOMPARE(p->tables.SlotState.at(2), SLOT_FREE);
        QCOMPARE(p->sockets.connectFrom(QHostAddress(u"127.0.0.3"_s)), -1);
    }

    // Somebody else may have taken the slot while the operator was deciding: they are left alone.
    void aClientGoneMeanwhileIsNotReplacedByAnother()
    {
        rightClick(1);
        action("banClient")->trigger();
        QVERIFY(box(u"締め出しますか"_s));
        p->sockets.peerCloses(1);
        join("127.0.0.2", u"Ken"_s);
        box(u"締め出しますか"_s)->button(QMessageBox::Yes)->click();
        QVERIFY(box(u"Taro（127.0.0.2）はもう接続していません。"_s));
        QCOMPARE(p->server.nameList().at(1), u"Ken"_s);
        QVERIFY(p->server.bannedAddresses().isEmpty());
    }

    void banListLiftsABan()
    {
        rightClick(2);
        action("banClient")->trigger();
        box(u"締め出しますか"_s)->button(QMessageBox::Yes)->click();
        rightClick(0);
        action("showBans")->trigger();
        auto* dialog = p->window.findChild<QDialog*>(u"banList"_s);
        QVERIFY(dialog && dialog->isVisible());
        auto* addresses = dialog->findChild<QListWidget*>(u"bannedAddresses"_s);
        auto* lift = dialog->findChild<QPushButton*>(u"liftBan"_s);
        QCOMPARE(addresses->count(), 1);
        QCOMPARE(addresses->item(0)->text(), u"127.0.0.3"_s);
        QVERIFY(!lift->isEnabled());
        addresses->setCurrentRow(0);
        lift->click();
        QCOMPARE(addresses->count(), 0);
        QCOMPARE(p->logMessages().last(), u"127.0.0.3 の締め出しを解きました。"_s);
        QCOMPARE(p->sockets.connectFrom(QHostAddress(u"127.0.0.3"_s)), 2);
    }

    void tooltipShowsTheAddress_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("tip");
        QTest::newRow("client") << 2 << u"127.0.0.3"_s;
        QTest::newRow("operator") << 0 << QString();
        QTest::newRow("empty row") << 5 << QString();
    }

    void tooltipShowsTheAddress()
    {
        QFETCH(int, row);
        QFETCH(QString, tip);
        QToolTip::hideText();
        QHelpEvent event(QEvent::ToolTip, rowCentre(row), list->viewport()->mapToGlobal(rowCentre(row)));
        QApplication::sendEvent(list->viewport(), &event);
        QCOMPARE(QToolTip::text(), tip);
    }
};

QTEST_MAIN(TestParticipantMenu)
#include "tst_participantmenu.moc"
