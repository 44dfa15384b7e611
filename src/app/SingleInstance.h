#pragma once

#include <QLockFile>
#include <QObject>

#include <functional>
#include <memory>

class QLocalServer;
class QLocalSocket;

namespace kova {

// Holds a lock file in the user's runtime directory for as long as the program runs, and beside it a local
// socket on which a second start asks the running program to show its window, and the operator's commands reach
// it. Only the user that runs it, and root, may talk to it. A lock left behind by a program that crashed is taken
// over.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    // What a second start sends, and the running program's answers.
    static constexpr char ShowRequest[] = "show\n";
    static constexpr char ShownAnswer[] = "shown\n";
    static constexpr char NoWindowAnswer[] = "no window\n";

    // Each request is one line; longer ones are refused.
    static constexpr qint64 LongestRequest = 128;
    // Where the packaged service (packaging/kova.service.in) keeps its runtime directory.
    static inline const QString ServiceRuntimeDirectory = QStringLiteral("/run/kova");

    // Answers one request line (its line feed removed) other than a request to show the window.
    using CommandHandler = std::function<QByteArray(const QByteArray& request)>;

    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // False when another instance of the program holds the lock.
    bool acquired() const { return m_acquired; }
    QString socketPath() const;
    // The socket of the user's own instance, found without creating anything.
    static QString userSocketPath();
    static QString socketPathIn(const QString& runtimeDirectory);

    // Once acquired: each request from a second start calls showWindow, which says whether a window came to the
    // front, and is answered with that; any other request is answered by commands.
    void acceptRequests(std::function<bool()> showWindow, CommandHandler commands = {});
    // For a second start: asks the program holding the lock to show its window, waiting a few seconds at most.
    // True when it answered that it did.
    bool askRunningToShow() const;

private:
    void onNewConnection();
    void onRequest(QLocalSocket* socket);

    QString m_directory;
    std::unique_ptr<QLockFile> m_lock;
    bool m_acquired = false;
    QLocalServer* m_server = nullptr;
    std::function<bool()> m_showWindow;
    CommandHandler m_commands;
};

} // namespace kova
