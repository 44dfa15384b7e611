#include "Application.h"

#include "io/ShortTimeSlices.h"

#include <QAbstractSocket>
#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>
#include <cstring>

namespace kova {

Application::Application(QDir workingDirectory, QObject* parent)
    : QObject(parent)
    , m_directory(std::move(workingDirectory))
    , m_settingsFile(m_directory)
    , m_log(m_directory)
    , m_sound(m_log, m_player, m_directory)
    , m_server(m_tables, m_sockets, m_log, m_relaySettings, m_sound)
    , m_preferences(m_settings)
{
    m_relayThread.setObjectName(QStringLiteral("relay"));
    // So that a line does not wait for the window's painting on a shared core.
    connect(
        &m_relayThread, &QThread::started, this,
        [] {
            if (const int error = askForShortTimeSlices())
                std::fprintf(stderr, "kova: 中継のスレッドに短い時間配分を求められませんでした: %s\n",
                             std::strerror(error));
        },
        Qt::DirectConnection);
    // The operator's choice of sounds reaches the relay in turn with its events.
    connect(&m_preferences, &Preferences::checksChanged, this, [this] {
        QMetaObject::invokeMethod(&m_server,
                                  [this, joinLeave = m_settings.SoundOnJoinLeave, message = m_settings.SoundOnMessage] {
                                      m_relaySettings.SoundOnJoinLeave = joinLeave;
                                      m_relaySettings.SoundOnMessage = message;
                                  });
    });
}

Application::~Application()
{
    stopRelayThread();
}

void Application::fail(const QString& message)
{
    QTextStream(stderr) << "kova: " << message << Qt::endl;
    m_exitStatus = 1;
    Q_EMIT failed(message);
}

QString Application::caption() const
{
    return CaptionPrefix + m_sockets.LocalIP();
}

QString Application::listeningAddress() const
{
    return m_sockets.LocalIP() + u':' + QString::number(ServerPort);
}

bool Application::start()
{
    Q_ASSERT(m_state == State::NotStarted);
    m_state = State::Failed;
    m_log.clear();

    if (!m_server.OpenServer()) {
        QString message =
            QStringLiteral("TCPポート%1で待ち受けできません: %2").arg(ServerPort).arg(m_server.errorString());
        if (m_sockets.errorNumber(0) == QAbstractSocket::SocketAccessError) {
            message += QStringLiteral(
                           "\nポート1024未満で待ち受けるには root で起動するか、実行ファイルに権限を与えてください:\n"
                           "sudo setcap cap_net_bind_service=+ep %1")
                           .arg(QCoreApplication::applicationFilePath());
        }
        fail(message);
        return false;
    }

    QString error;
    const SettingsFile::LoadResult loaded = m_settingsFile.LoadSettings(m_settings, &error);
    if (loaded == SettingsFile::LoadResult::Failed) {
        // A start that failed serves nobody: nothing relayed now could be saved, as the end saves nothing.
        m_sockets.Close(0);
        fail(QStringLiteral("設定ファイルを読めません: %1").arg(error));
        return false;
    }
    const bool fileRead = loaded == SettingsFile::LoadResult::Read;
    if (fileRead)
        m_tables.SlotName.at(0) = m_settings.Nickname;
    m_relaySettings = m_settings;
    m_preferences.ApplySettings(fileRead);
    m_server.RefreshNameList();

    m_state = State::Running;
    m_running.start();
    Q_EMIT started();
    return true;
}

void Application::runRelayOnItsThread()
{
    if (m_state != State::Running || m_relayThread.isRunning())
        return;
    // Their timers and sockets are their children and go with them.
    for (QObject* relay : relayObjects())
        relay->moveToThread(&m_relayThread);
    m_relayThread.start();
}

void Application::stopRelayThread()
{
    if (!m_relayThread.isRunning())
        return;
    onRelayThread([this] { comeHome(); });
    joinRelayThread();
}

// Once the relay has come home: its thread ends, and the timers that came back with it, started again on this thread
// by queued calls, are started now, since the program may end before its event loop turns again.
void Application::joinRelayThread()
{
    m_relayThread.quit();
    m_relayThread.wait();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
}

// Run on the relay's thread: back to this object's, where the relay then stays.
void Application::comeHome()
{
    for (QObject* relay : relayObjects())
        relay->moveToThread(thread());
}

void Application::shutdown()
{
    if (m_state != State::Running)
        return;
    m_state = State::Ended;
    QString logError;
    QString settingsError;
    bool logSaved = false;
    bool settingsSaved = false;
    const bool threaded = m_relayThread.isRunning();
    // All in one turn of the relay's, as when it shared this thread: nothing it hears of meanwhile can be relayed
    // and then be missing from the saved log. This thread waits, so the settings stay as they are while saved.
    onRelayThread([&] {
        m_server.reportRefusals();
        logSaved = m_log.SaveLogFile(&logError);
        settingsSaved = m_settingsFile.SaveSettings(m_settings, &settingsError);
        // Every client sees its connection end.
        for (int i = 1; i < SlotCount; ++i) {
            if (m_sockets.State(i) != SocketState::Closed)
                m_sockets.Close(i);
        }
        if (threaded)
            comeHome();
    });
    if (threaded)
        joinRelayThread();
    if (!logSaved)
        fail(QStringLiteral("ログファイルを保存できません: %1").arg(logError));
    if (!settingsSaved)
        fail(QStringLiteral("設定ファイルを書けません: %1").arg(settingsError));
}

} // namespace kova
