#pragma once

#include <QLockFile>
#include <QObject>

#include <functional>
#include <memory>

class QLocalServer;
class QLocalSocket;

namespace kova {

// Holds a lock file in the user's runtime directory for as long as the program runs, and beside it a local
// socket on which a second start asks the running program to show its window. A lock left behind by a program
// that crashed is taken over.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    // What a second start sends, and the running program's answers.
    static constexpr char ShowRequest[] = "show\n";
    static constexpr char ShownAnswer[] = "shown\n";
    static constexpr char NoWindowAnswer[] = "no window\n";

    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // False when another instance of the program holds the lock.
    bool acquired() const { return m_acquired; }
    QString socketPath() const;

    // Once acquired: each request from a second start calls showWindow, which says whether a window came to the
    // front, and is answered with that.
    void acceptRequests(std::function<bool()> showWindow);
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
};

} // namespace kova
