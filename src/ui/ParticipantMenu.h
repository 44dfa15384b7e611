#pragma once

#include <QHostAddress>
#include <QObject>
#include <QPointer>

class QAction;
class QListWidget;
class QMenu;
class QPoint;

namespace kova {

class BanListDialog;
class ChatServer;

// The operator's hand on the participant list: a context menu on a client's row (rows 1 to 9), by mouse, the menu
// key or Shift+F10, that disconnects the client or bans its address, and opens the list of banned addresses; and
// each client's address as its row's tooltip.
class ParticipantMenu : public QObject {
    Q_OBJECT

public:
    ParticipantMenu(ChatServer& server, QListWidget& list);
    ~ParticipantMenu() override;

    QMenu* menu() const { return m_menu; }
    // The row the open menu is for.
    int slot() const { return m_slot; }
    // Opens the menu for the row, below its item.
    void popup(int row);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void popupAt(int row, const QPoint& globalPosition);
    // Whether the client the menu was opened for is still connected; says so when it is not.
    bool stillThere(int slot, quint64 connection, const QString& name, const QHostAddress& address) const;
    void disconnectClient();
    void askToBan();
    void showBans();

    ChatServer& m_server;
    QListWidget& m_list;
    QMenu* m_menu = nullptr;
    QAction* m_disconnect = nullptr;
    QAction* m_ban = nullptr;
    QAction* m_bans = nullptr;
    int m_slot = -1;
    QHostAddress m_address;
    QString m_name;
    quint64 m_connection = 0;
    QPointer<BanListDialog> m_banList;
};

} // namespace kova
