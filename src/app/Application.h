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
#include <QElapsedTimer>
#include <QObject>
#include <QThread>

#include <array>

namespace kova {

// The server itself: owns the tables, the relay, the log and the settings, and runs the start-up and shutdown
// sequences. Whether a window or a terminal shows it is up to whoever connects to its signals.
class Application : public QObject {
    Q_OBJECT

public:
    static inline const QString CaptionPrefix = QStringLiteral("KOVA     Version 1.00      Local IP-Address  = ");

    explicit Application(QDir workingDirectory, QObject* parent = nullptr);
    ~Application() override;

    // The start-up sequence. False when the server cannot run: failed() has said why and exitStatus() is 1.
    bool start();
    // After a start that succeeded: the relay, the sockets, the log and the sound go to a thread of their own, so
    // that drawing the window never holds up a line. The window and the terminal hear from them through queued
    // signals and ask through ChatServer, which does the asking on the relay's thread. Until shutdown().
    void runRelayOnItsThread();
    // The shutdown sequence. Runs once, and only after a start that succeeded, however the program ends: a
    // start that failed never overwrites the files the user may have to repair.
    void shutdown();
    bool isRunning() const { return m_state == State::Running; }
    // Non-zero once a start or a save has failed.
    int exitStatus() const { return m_exitStatus; }
    QString caption() const;
    // Where clients reach the server: this machine's network address and the port, "192.0.2.7:557".
    QString listeningAddress() const;
    // Since the start-up sequence ended; 0 before.
    qint64 secondsRunning() const { return m_running.isValid() ? m_running.elapsed() / 1000 : 0; }

    ChatServer& server() { return m_server; }
    LogText& log() { return m_log; }
    Preferences& preferences() { return m_preferences; }
    Settings& settings() { return m_settings; }

Q_SIGNALS:
    // The start-up sequence has run: the window, if any, is laid out and shown now.
    void started();
    // Something failed; the message has already gone to standard error.
    void failed(const QString& message);

private:
    enum class State { NotStarted, Running, Failed, Ended };

    void fail(const QString& message);
    // Runs call where the relay runs, waiting for it.
    template <typename Call> void onRelayThread(Call call) { m_server.onRelayThread(std::move(call)); }
    // Ends the relay's thread, the relay back on this one.
    void stopRelayThread();
    void comeHome();
    void joinRelayThread();
    std::array<QObject*, 4> relayObjects() { return {&m_log, &m_sockets, &m_player, &m_server}; }

    QDir m_directory;
    Settings m_settings;
    SettingsFile m_settingsFile;
    // The relay's own copy of the settings it reads (the sounds), changed on its thread only.
    Settings m_relaySettings;
    RelayTables m_tables;
    LogText m_log;
    TcpWinsock m_sockets;
    EffectSoundPlayer m_player;
    NotificationSound m_sound;
    ChatServer m_server;
    Preferences m_preferences;
    QThread m_relayThread;
    State m_state = State::NotStarted;
    QElapsedTimer m_running;
    int m_exitStatus = 0;
};

} // namespace kova
