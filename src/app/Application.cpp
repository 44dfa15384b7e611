#include "Application.h"

#include <QTextStream>

#include <cstdio>

namespace kova {

Application::Application(QDir workingDirectory, QObject* parent)
    : QObject(parent)
    , m_log(workingDirectory)
    , m_sound(m_log, m_player, workingDirectory)
    , m_server(m_tables, m_sockets, m_log, m_settings, m_sound)
    , m_window(m_log) {
    connect(&m_window, &LogWindow::closing, this, &Application::shutdown);
}

void Application::reportError(const QString& message) {
    QTextStream(stderr) << "kova: " << message << Qt::endl;
}

int Application::start() {
    m_log.clear();
    if (!m_server.OpenServer()) {
        reportError(QStringLiteral("cannot listen on TCP port %1: %2").arg(ServerPort).arg(m_server.errorString()));
        return 1;
    }
    m_window.setWindowTitle(CaptionPrefix + m_sockets.LocalIP());
    m_server.RefreshNameList();
    m_window.show();
    return 0;
}

void Application::shutdown() {
    QString error;
    if (!m_log.SaveLogFile(&error)) {
        reportError(QStringLiteral("cannot save the log: %1").arg(error));
        m_exitStatus = 1;
    }
    // Every client sees its connection end.
    for (int i = 1; i < SlotCount; ++i) {
        if (m_sockets.State(i) != SocketState::Closed)
            m_sockets.Close(i);
    }
}

} // namespace kova
