#pragma once

#include "FormLayout.h"
#include "NicknameDialog.h"

#include <QMainWindow>
#include <QPointer>

class QAction;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;

namespace kova {

class ChatServer;
class LogText;
class LogView;
class Preferences;
struct Settings;

// The operator's window: the log view, the participant list, the input box in which the operator chats
// as slot 0, and the menus. Closing it runs the program's shutdown (unloading()).
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    static constexpr int ClientWidth = 9165;
    static constexpr int ClientHeight = 4380;

    MainWindow(ChatServer& server, const LogText& log, Preferences& preferences, Settings& settings,
               QWidget* parent = nullptr);
    ~MainWindow() override;

    // Lays the controls out for the window's current outer size.
    void FormResize();
    void clearInput();
    void focusInput();
    // The keyboard focus in the log view, as when the window is first shown.
    void focusLog();
    void showVersion();
    void openNicknameDialog();

Q_SIGNALS:
    // The window is closing: the shutdown sequence runs in the handlers, before it goes.
    void unloading();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void buildControls(const LogText& log);
    void buildMenus();
    void applyLayout();
    void syncChecks();
    void setPointSize(int points);
    void onInputReturn();

    ChatServer& m_server;
    Preferences& m_preferences;
    Settings& m_settings;
    FormLayout m_layout = FormLayout::defined();
    // The outer size that the controls were last laid out for.
    QSize m_laidOutFor;
    QPointer<NicknameDialog> m_form2;

    LogView* Text3 = nullptr;
    QListWidget* List1 = nullptr;
    QLineEdit* Text1 = nullptr;
    QLabel* Label1[3] = {};

    QAction* FilesChg = nullptr;
    QAction* FilesEnd = nullptr;
    QAction* OptionsFontSizeBig = nullptr;
    QAction* OptionsFontSizeMid = nullptr;
    QAction* OptionsFontSizeSmall = nullptr;
    QAction* SoundsInOut = nullptr;
    QAction* SoundsMsg = nullptr;
    QAction* HelpsVerSion = nullptr;
};

} // namespace kova
