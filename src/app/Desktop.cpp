#include "Desktop.h"

#include "Application.h"
#include "ui/Fonts.h"
#include "ui/MainWindow.h"
#include "ui/MessageBox.h"

#include <QCoreApplication>

namespace kova {

Desktop::Desktop(Application& app, QObject* parent)
    : Frontend(parent)
    , m_app(app)
{
    registerFontSubstitutions();
    m_window = std::make_unique<MainWindow>(app.server(), app.log(), app.preferences(), app.settings());
    connect(m_window.get(), &MainWindow::unloading, &m_app, &Application::shutdown);
    connect(&m_app, &Application::started, this, &Desktop::onStarted);
    connect(&m_app, &Application::failed, this, &Desktop::onFailed);
}

Desktop::~Desktop() = default;

void Desktop::onStarted()
{
    m_window->setWindowTitle(m_app.caption());
    m_window->clearInput();
    m_window->FormResize();
    m_window->show();
    m_window->focusLog();
}

void Desktop::onFailed(const QString& message)
{
    if (m_ending || !canShowWindows())
        return;
    // The program ends when the last box is dismissed (the window is gone or was never shown).
    showMessage(nullptr, message);
    m_failureShown = true;
}

void Desktop::end()
{
    m_ending = true;
    if (m_app.isRunning())
        m_window->close();
    QCoreApplication::exit(m_app.exitStatus());
}

bool Desktop::bringToFront()
{
    if (!m_app.isRunning())
        return false;
    m_window->setWindowState((m_window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
    return true;
}

} // namespace kova
