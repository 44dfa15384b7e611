#pragma once

#include "Frontend.h"

#include <memory>

namespace kova {

class Application;
class MainWindow;

// The server with its window: the window follows the start-up sequence, closing it runs the shutdown, and
// failures are shown in boxes.
class Desktop final : public Frontend {
    Q_OBJECT

public:
    explicit Desktop(Application& app, QObject* parent = nullptr);
    ~Desktop() override;

    MainWindow& window() { return *m_window; }

    void end() override;
    bool showsFailure() const override { return m_failureShown; }
    bool bringToFront() override;

private:
    void onStarted();
    void onFailed(const QString& message);

    Application& m_app;
    std::unique_ptr<MainWindow> m_window;
    // Once a signal ends the program nobody waits for a box: the reasons are on standard error.
    bool m_ending = false;
    bool m_failureShown = false;
};

} // namespace kova
