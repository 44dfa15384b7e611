#pragma once

#include "log/LogText.h"
#include "relay/ChatServer.h"
#include "relay/RelayTables.h"
#include "relay/TcpWinsock.h"
#include "settings/NotificationSound.h"
#include "settings/Preferences.h"
#include "settings/Settings.h"
#include "settings/SettingsFile.h"
#include "ui/EffectSoundPlayer.h"

#include <QDir>
#include <QObject>

#include <memory>

namespace kova {

class MainWindow;

// The whole program: owns the tables, the relay, the log, the settings and the window, and runs the
// start-up and shutdown sequences.
class Application : public QObject {
    Q_OBJECT

public:
    static inline const QString CaptionPrefix = QStringLiteral("KOVA     Version 1.00      Local IP-Address  = ");

    explicit Application(QDir workingDirectory, QObject* parent = nullptr);
    ~Application() override;

    // Runs the start-up sequence and shows the window. Returns 0, or the exit status to end with at once.
    int start();
    // The exit status once the event loop has ended: non-zero when something could not be saved.
    int exitStatus() const { return m_exitStatus; }
    MainWindow& window() { return *m_window; }

private:
    void shutdown();
    void fail(const QString& message);

    QDir m_directory;
    Settings m_settings;
    SettingsFile m_settingsFile;
    RelayTables m_tables;
    LogText m_log;
    TcpWinsock m_sockets;
    EffectSoundPlayer m_player;
    NotificationSound m_sound;
    ChatServer m_server;
    Preferences m_preferences;
    std::unique_ptr<MainWindow> m_window;
    int m_exitStatus = 0;
};

} // namespace kova
