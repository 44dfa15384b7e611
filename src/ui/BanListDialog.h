#pragma once

#include <QDialog>

class QListWidget;
class QPushButton;

namespace kova {

class ChatServer;

// The addresses the operator has banned, kept up to date while open, and a button that lifts the chosen one's ban.
class BanListDialog : public QDialog {
    Q_OBJECT

public:
    BanListDialog(ChatServer& server, QWidget* parent = nullptr);

private:
    void refresh();
    void liftSelected();

    ChatServer& m_server;
    QListWidget* m_addresses = nullptr;
    QPushButton* m_lift = nullptr;
};

} // namespace kova
