#pragma once

#include "Frontend.h"

#include <QByteArray>
#include <QStringView>

namespace kova {

class Application;

// The server without a window: every log line also goes to standard output, for a terminal or the journal.
class Console final : public Frontend {
    Q_OBJECT

public:
    explicit Console(Application& app, QObject* parent = nullptr);

    void end() override;
    bool showsFailure() const override { return false; }
    bool bringToFront() override { return false; }

    // What the log appended, as lines for a terminal: UTF-8, and no control character that a terminal would obey.
    static QByteArray terminalLines(QStringView chunk);

private:
    void announce();
    void mirror(const QString& chunk);

    Application& m_app;
    bool m_outputClosed = false;
};

} // namespace kova
