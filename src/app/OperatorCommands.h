#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace kova {

class Application;

// The operator's commands from a terminal (kova --status, --list, --kick, --ban, --unban): the command line sends
// one request line over the running instance's local socket, and the instance answers "ok" or "error", a line
// feed, and text for the terminal (UTF-8).
class OperatorCommands {
public:
    static constexpr int AnswerTimeoutMs = 2000;
    // Exit statuses of the command line.
    static constexpr int Failed = 1;
    static constexpr int Usage = 2;

    // The running side: answers one request.
    explicit OperatorCommands(Application& app)
        : m_app(app)
    {}
    QByteArray answer(const QByteArray& request);

    // The command line's side. The request that the arguments ask for, or nothing when they are not an operator's
    // command (the program then starts as usual). An empty request means the arguments are wrong.
    static std::optional<QByteArray> requestFor(const QStringList& arguments);
    static std::optional<QByteArray> requestFor(int argc, const char* const* argv);
    // Sends the request to the user's own instance, or else to the service's, prints the answer and returns the
    // exit status.
    static int run(const QByteArray& request);
    // As run(), to the socket at the given paths, tried in order.
    static int run(const QByteArray& request, const QStringList& socketPaths);

    static QString usage();

private:
    QByteArray status() const;
    QByteArray list() const;
    QByteArray onSlot(const QByteArray& verb, const QByteArray& argument);
    QByteArray unban(const QByteArray& argument);

    Application& m_app;
};

} // namespace kova
