#pragma once

#include "log/LogText.h"
#include "relay/ChatServer.h"
#include "relay/RelayTables.h"
#include "relay/TcpWinsock.h"
#include "settings/EffectSoundPlayer.h"
#include "settings/NotificationSound.h"
#include "settings/Settings.h"
#include "ui/LogWindow.h"

#include <QDir>
#include <QObject>

namespace kova {

// The whole program: owns the tables, the relay, the log and the window, and runs the start-up and
// shutdown sequences.
class Application : public QObject {
    Q_OBJECT

public:
    static inline const QString CaptionPrefix = QStringLiteral("KOVA     Version 1.00      Local IP-Address  = ");

    explicit Application(QDir workingDirectory, QObject* parent = nullptr);

    // Runs the start-up sequence and shows the window; returns the exit status to end with on failure, or 0.
    int start();
    // The exit status once the event loop has ended.
    int exitStatus() const { return m_exitStatus; }

private:
    void shutdown();
    void reportError(const QString& message);

    Settings m_settings;
    RelayTables m_tables;
    LogText m_log;
    TcpWinsock m_sockets;
    EffectSoundPlayer m_player;
    NotificationSound m_sound;
    ChatServer m_server;
    LogWindow m_window;
    int m_exitStatus = 0;
};

} // namespace kova
