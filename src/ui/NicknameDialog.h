#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace kova {

class ChatServer;
struct Settings;

// The small dialog in which the operator changes the nickname. Modeless and without an owner window; it is
// destroyed when it closes, so each opening starts from the current nickname.
class NicknameDialog : public QDialog {
    Q_OBJECT

public:
    static constexpr int ClientWidth = 5130;
    static constexpr int ClientHeight = 1275;

    NicknameDialog(ChatServer& server, Settings& settings);

    // Command1(index): 0 confirms, 1 cancels.
    void Command1Click(int index);

Q_SIGNALS:
    // Closed through one of its buttons: the main window's input box takes the focus.
    void finishedWithButton();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    ChatServer& m_server;
    Settings& m_settings;
    QLineEdit* Text4 = nullptr;
    QPushButton* Command1[2] = {};
    QLabel* Label1 = nullptr;
};

} // namespace kova
