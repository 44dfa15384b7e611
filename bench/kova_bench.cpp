// Runs the standard scenarios against the real program and against the floor relay in the same run, in a
// network namespace of its own on port 557, three times, and prints the medians side by side with ratios; then the
// flood scenarios against the program alone (a fresh one for each, the last on a full disk), and the connection
// storm beside a quiet run.
//   kova_bench [--runs N] [--kova PATH] [--web PATH] [--bridge floor] [--only standard|flood|storm|web]
// --kova and --web measure other builds of the program and the browser gateway, such as ones from before a change.
// W1 times the browser's hop through kova-web beside websockify, a plain WebSocket-to-TCP bridge, to one server;
// --bridge floor puts the least bridge of ours (kova_floor_bridge) in websockify's place, to show what any hop costs.
#include "MountNamespace.h"
#include "NetworkNamespace.h"
#include "Tmpfs.h"
#include "VirtualDisplay.h"
#include "io/Cp932.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Metrics = QMap<QString, double>;

struct Scenario {
    QString name;
    QStringList arguments;
};

const QList<Scenario> Scenarios = {
    {QStringLiteral("S1"),
     {QStringLiteral("--clients"), QStringLiteral("9"), QStringLiteral("--lines"), QStringLiteral("2000")}},
    {QStringLiteral("S2"),
     {QStringLiteral("--clients"), QStringLiteral("9"), QStringLiteral("--rate"), QStringLiteral("2000"),
      QStringLiteral("--seconds"), QStringLiteral("5")}},
    {QStringLiteral("S3"),
     {QStringLiteral("--clients"), QStringLiteral("1"), QStringLiteral("--lines"), QStringLiteral("2000")}},
    {QStringLiteral("S4"),
     {QStringLiteral("--clients"), QStringLiteral("9"), QStringLiteral("--rate"), QStringLiteral("10000"),
      QStringLiteral("--seconds"), QStringLiteral("3")}},
};

// One client floods beside eight people chatting at a line a second each, the last of them reading at 100 KB/s
// (kova_flood). F1: 1,000-byte lines flat out; F2: 1,000-byte lines at 60 KB/s, within the budget; F3: 20-byte lines,
// 5,000 a second, beyond the budget's reads; O1: 1,000-byte lines flat out beside one reader at 2 MB/s, for 8 s;
// D1: 500 lines of 1,000 bytes at 50 KB/s into a full disk that is cleared before the end; R1: as F1, but the flooder
// makes a new connection for every 262 lines (just within a full budget's burst) as soon as the server has ended the
// last.
struct FloodScenario {
    QString name;
    QStringList arguments;
    bool fullDisk = false;
};

QStringList floodArguments(const QString& seconds, const QString& size, const QString& rate, const QString& people,
                           const QString& readerRate)
{
    return {QStringLiteral("--seconds"),     seconds,   QStringLiteral("--flood-size"), size,
            QStringLiteral("--flood-rate"),  rate,      QStringLiteral("--people"),     people,
            QStringLiteral("--reader-rate"), readerRate};
}

const QList<FloodScenario> FloodScenarios = {
    {QStringLiteral("F1"), floodArguments(QStringLiteral("10"), QStringLiteral("1000"), QStringLiteral("0"),
                                          QStringLiteral("8"), QStringLiteral("100000"))},
    {QStringLiteral("F2"), floodArguments(QStringLiteral("10"), QStringLiteral("1000"), QStringLiteral("60000"),
                                          QStringLiteral("8"), QStringLiteral("100000"))},
    {QStringLiteral("F3"), floodArguments(QStringLiteral("10"), QStringLiteral("20"), QStringLiteral("100000"),
                                          QStringLiteral("8"), QStringLiteral("100000"))},
    {QStringLiteral("O1"), floodArguments(QStringLiteral("8"), QStringLiteral("1000"), QStringLiteral("0"),
                                          QStringLiteral("1"), QStringLiteral("2000000"))},
    {QStringLiteral("D1"),
     floodArguments(QStringLiteral("11"), QStringLiteral("1000"), QStringLiteral("50000"), QStringLiteral("0"),
                    QStringLiteral("0")) +
         QStringList{QStringLiteral("--flood-lines"), QStringLiteral("500")},
     true},
    {QStringLiteral("R1"), floodArguments(QStringLiteral("10"), QStringLiteral("1000"), QStringLiteral("0"),
                                          QStringLiteral("8"), QStringLiteral("100000")) +
                               QStringList{QStringLiteral("--reconnect"), QStringLiteral("262000")}},
};

// Q0: seven people chatting, a line every 100 ms each, for 5 s; T5: the same while another address connects and
// closes as fast as it can for those 5 s (kova_flood --storm); R5: as T5, but 600 connections a second, so that
// servers that end them at different speeds face the same storm.
QStringList stormArguments(const QString& storm, const QString& rate = QStringLiteral("0"))
{
    return {QStringLiteral("--seconds"),     QStringLiteral("5"),
            QStringLiteral("--flood-lines"), QStringLiteral("0"),
            QStringLiteral("--people"),      QStringLiteral("7"),
            QStringLiteral("--pace-ms"),     QStringLiteral("100"),
            QStringLiteral("--reader-rate"), QStringLiteral("0"),
            QStringLiteral("--storm"),       storm,
            QStringLiteral("--storm-rate"),  rate};
}

const QList<FloodScenario> StormScenarios = {
    {QStringLiteral("Q0"), stormArguments(QStringLiteral("0"))},
    {QStringLiteral("T5"), stormArguments(QStringLiteral("5"))},
    {QStringLiteral("R5"), stormArguments(QStringLiteral("5"), QStringLiteral("600"))},
};

bool accepting(quint16 port = 557)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

double residentMiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return -1;
}

Metrics parseResult(const QByteArray& output)
{
    Metrics metrics;
    for (const QByteArray& line : output.split('\n')) {
        if (!line.startsWith("RESULT "))
            continue;
        for (const QByteArray& pair : line.mid(7).split(' ')) {
            const qsizetype eq = pair.indexOf('=');
            if (eq > 0)
                metrics.insert(QString::fromLatin1(pair.left(eq)), pair.mid(eq + 1).toDouble());
        }
    }
    return metrics;
}

// Starts a server (offscreen unless given a display) in a working directory and runtime directory of its own; waits
// until it accepts.
class Server {
public:
    // With a display, its window is shown there instead.
    Server(const QString& program, const QString& workingDirectory, const QString& display = {})
    {
        m_process.setWorkingDirectory(workingDirectory);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (display.isEmpty()) {
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        } else {
            env.remove(QStringLiteral("QT_QPA_PLATFORM"));
            env.insert(QStringLiteral("DISPLAY"), display);
        }
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime.path());
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_startup.start();
        m_process.start(program, {});
        while (!accepting() && m_startup.elapsed() < 10000)
            QThread::usleep(500);
        m_startupMs = double(m_startup.nsecsElapsed()) / 1e6;
    }
    ~Server() { stop(); }

    double startupMs() const { return m_startupMs; }
    double residentMiB() const { return ::residentMiB(m_process.processId()); }
    // User and system time used so far.
    double cpuSeconds() const
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(m_process.processId()));
        if (!stat.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray line = stat.readAll();
        // The fields after the command's name, which is in parentheses and may hold spaces.
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() < 13)
            return -1;
        return (fields.at(11).toDouble() + fields.at(12).toDouble()) / double(::sysconf(_SC_CLK_TCK));
    }
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(m_process.processId()), SIGTERM);
        if (!m_process.waitForFinished(60000))
            m_process.kill();
        m_process.waitForFinished();
    }

private:
    QTemporaryDir m_runtime;
    QProcess m_process;
    QElapsedTimer m_startup;
    double m_startupMs = 0;
};

// A gateway in front of the server on 127.0.0.1:557, listening on 127.0.0.1:port; its output is not read, so that
// it never waits for a pipe.
class Gateway {
public:
    Gateway(const QString& program, const QStringList& arguments, quint16 port)
    {
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(QProcess::nullDevice());
        QElapsedTimer startup;
        startup.start();
        m_process.start(program, arguments);
        if (!m_process.waitForStarted(5000))
            return;
        while (!accepting(port) && startup.elapsed() < 10000 && m_process.state() == QProcess::Running)
            QThread::usleep(500);
        if (accepting(port))
            m_startupMs = double(startup.nsecsElapsed()) / 1e6;
    }
    ~Gateway()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished();
    }

    // Until the port accepted; -1 when it never did.
    double startupMs() const { return m_startupMs; }
    double residentMiB() const { return ::residentMiB(m_process.processId()); }

private:
    QProcess m_process;
    double m_startupMs = -1;
};

qint64 logBytes(const QDir& dir)
{
    qint64 bytes = 0;
    for (const QFileInfo& file : dir.entryInfoList({QStringLiteral("*.log")}, QDir::Files))
        bytes += file.size();
    return bytes;
}

// Counts occurrences of what in every log file of dir.
qint64 countInLogs(const QDir& dir, const QByteArray& what)
{
    qint64 count = 0;
    for (const QFileInfo& info : dir.entryInfoList({QStringLiteral("*.log")}, QDir::Files)) {
        QFile file(info.filePath());
        if (file.open(QIODevice::ReadOnly))
            count += file.readAll().count(what);
    }
    return count;
}

class Bench {
public:
    Bench(const QString& binDir, const QString& kova, const QString& web, bool floorBridge)
        : m_dir(binDir)
        , m_kova(kova.isEmpty() ? m_dir.filePath(QStringLiteral("../kova")) : kova)
        , m_web(web.isEmpty() ? m_dir.filePath(QStringLiteral("../kova-web")) : web)
        , m_floorBridge(floorBridge)
    {}

    // One flood scenario against a fresh program: what the people saw, what was logged, memory.
    Metrics runFlood(const FloodScenario& scenario)
    {
        Metrics m;
        QTemporaryDir scratch;
        std::unique_ptr<kova::test::Tmpfs> disk;
        QString work = scratch.path();
        if (scenario.fullDisk) {
            disk = std::make_unique<kova::test::Tmpfs>();
            if (!disk->ok() || !disk->fill()) {
                std::fprintf(stderr, "%s: no full tmpfs: %s\n", qPrintable(scenario.name), qPrintable(disk->error()));
                return m;
            }
            work = disk->path();
        }
        Server server(m_kova, work);
        QProcess flood;
        const double cpuBefore = server.cpuSeconds();
        QElapsedTimer wall;
        wall.start();
        flood.start(m_dir.filePath(QStringLiteral("kova_flood")), scenario.arguments);
        flood.waitForFinished(180000);
        m.insert(scenario.name + QStringLiteral(".cpu_percent"),
                 100 * (server.cpuSeconds() - cpuBefore) / (double(wall.nsecsElapsed()) / 1e9));
        const Metrics result = parseResult(flood.readAllStandardOutput());
        if (result.isEmpty())
            std::fprintf(stderr, "%s: %s\n", qPrintable(scenario.name), flood.readAllStandardError().constData());
        for (auto it = result.begin(); it != result.end(); ++it)
            m.insert(scenario.name + u'.' + it.key(), it.value());
        m.insert(scenario.name + QStringLiteral(".rss_mib"), server.residentMiB());
        m.insert(scenario.name + QStringLiteral(".flood_sent_mb"),
                 result.value(QStringLiteral("flood_sent_bytes")) / 1e6);
        const double seconds = result.value(QStringLiteral("seconds"), 1);
        m.insert(scenario.name + QStringLiteral(".logged_kbps_running"), double(logBytes(QDir(work))) / 1e3 / seconds);
        if (disk)
            QFile::remove(QDir(work).filePath(QStringLiteral("filler")));
        server.stop();
        m.insert(scenario.name + QStringLiteral(".logged_kbps"), double(logBytes(QDir(work))) / 1e3 / seconds);
        m.insert(scenario.name + QStringLiteral(".logged_mb"), double(logBytes(QDir(work))) / 1e6);
        m.insert(scenario.name + QStringLiteral(".failure_lines"),
                 double(countInLogs(QDir(work), kova::cp932::encode(QStringLiteral("ログを保存できませんでした。")))));
        // Each flood line starts with "{": all of them should be in the log.
        m.insert(scenario.name + QStringLiteral(".lines_logged"), double(countInLogs(QDir(work), "{")));
        // Every log line starts with CR LF.
        m.insert(scenario.name + QStringLiteral(".log_lines"), double(countInLogs(QDir(work), "\r\n")));
        m.insert(scenario.name + QStringLiteral(".departure_lines"),
                 double(countInLogs(QDir(work), kova::cp932::encode(QStringLiteral("さんが帰りました。")))));
        m.insert(scenario.name + QStringLiteral(".refusal_lines"),
                 double(countInLogs(QDir(work), kova::cp932::encode(QStringLiteral("からの接続が多すぎるため")))));
        return m;
    }

    // One run against one server: start-up, memory, and the four scenarios.
    Metrics runAgainst(const QString& name)
    {
        Metrics m;
        QTemporaryDir work;
        const QString program = name == QStringLiteral("kova") ? m_kova : m_dir.filePath(QStringLiteral("kova_floor"));
        Server server(program, work.path());
        m.insert(QStringLiteral("startup_ms"), server.startupMs());
        QThread::msleep(300);
        m.insert(QStringLiteral("rss_start_mib"), server.residentMiB());

        for (const Scenario& scenario : Scenarios) {
            QProcess loadgen;
            loadgen.start(m_dir.filePath(QStringLiteral("kova_loadgen")), fromOwnNetwork(scenario.arguments));
            loadgen.waitForFinished(180000);
            const Metrics result = parseResult(loadgen.readAllStandardOutput());
            if (result.isEmpty())
                std::fprintf(stderr, "%s %s: %s\n", qPrintable(name), qPrintable(scenario.name),
                             loadgen.readAllStandardError().constData());
            for (auto it = result.begin(); it != result.end(); ++it)
                m.insert(scenario.name + u'.' + it.key(), it.value());
            m.insert(scenario.name + QStringLiteral(".rss_mib"), server.residentMiB());
            QThread::msleep(200);
        }
        return m;
    }

    // W1: the browser's hop through kova-web and through websockify, side by side to one server (kova_webload).
    Metrics runWeb()
    {
        Metrics m;
        QTemporaryDir work;
        Server server(m_kova, work.path());
        Gateway kovaWeb(m_web,
                        {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:8557"), QStringLiteral("--server"),
                         QStringLiteral("127.0.0.1:557")},
                        8557);
        Gateway bridge(m_floorBridge ? m_dir.filePath(QStringLiteral("kova_floor_bridge"))
                                     : QStringLiteral("websockify"),
                       m_floorBridge ? QStringList{QStringLiteral("8558"), QStringLiteral("557")}
                                     : QStringList{QStringLiteral("127.0.0.1:8558"), QStringLiteral("127.0.0.1:557")},
                       8558);
        if (kovaWeb.startupMs() < 0 || bridge.startupMs() < 0) {
            std::fprintf(stderr, "W1: %s did not start\n", kovaWeb.startupMs() < 0 ? "kova-web" : "the bridge");
            return m;
        }
        m.insert(QStringLiteral("W1.web_startup_ms"), kovaWeb.startupMs());
        QThread::msleep(300);
        m.insert(QStringLiteral("W1.web_rss_start_mib"), kovaWeb.residentMiB());
        QProcess load;
        QElapsedTimer wall;
        wall.start();
        load.start(m_dir.filePath(QStringLiteral("kova_webload")), {});
        load.waitForFinished(180000);
        const Metrics result = parseResult(load.readAllStandardOutput());
        if (result.isEmpty())
            std::fprintf(stderr, "W1: %s\n", load.readAllStandardError().constData());
        for (auto it = result.begin(); it != result.end(); ++it)
            m.insert(QStringLiteral("W1.") + it.key(), it.value());
        // What each gateway adds to the direct client's own latency.
        for (const QString& path :
             {QStringLiteral("to_kova_web"), QStringLiteral("to_bridge"), QStringLiteral("from_kova_web"),
              QStringLiteral("from_bridge"), QStringLiteral("back_kova_web"), QStringLiteral("back_bridge")}) {
            const QString direct = path.startsWith(u"back") ? QStringLiteral("back_direct") : QStringLiteral("direct");
            for (const QString& p : {QStringLiteral("p50"), QStringLiteral("p99")}) {
                const QString key = QStringLiteral("%1_%2_us").arg(path, p);
                if (result.contains(key))
                    m.insert(QStringLiteral("W1.%1_%2_added_us").arg(path, p),
                             result.value(key) - result.value(QStringLiteral("%1_%2_us").arg(direct, p)));
            }
        }
        m.insert(QStringLiteral("W1.seconds"), double(wall.nsecsElapsed()) / 1e9);
        m.insert(QStringLiteral("W1.web_rss_mib"), kovaWeb.residentMiB());
        return m;
    }

    // S2 against the program with its window shown on a virtual display under a window manager, the log nearly full
    // first (400 of the about 460 lines it holds before a save); S2r also resizes the window every 50 ms meanwhile.
    Metrics runWindowed(const QString& name, bool resizing)
    {
        Metrics m;
        const kova::test::VirtualDisplay display(kova::test::VirtualDisplay::WindowManager::Openbox);
        if (!display.error().isEmpty()) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(name), qPrintable(display.error()));
            return m;
        }
        QTemporaryDir work;
        Server server(m_kova, work.path(), display.name());
        const QString title = QStringLiteral("KOVA ");
        for (int i = 0; i < 100 && !display.showsWindow(title); ++i)
            QThread::msleep(100);
        QProcess fill;
        fill.start(m_dir.filePath(QStringLiteral("kova_loadgen")),
                   fromOwnNetwork({QStringLiteral("--clients"), QStringLiteral("9"), QStringLiteral("--lines"),
                                   QStringLiteral("400")}));
        fill.waitForFinished(60000);
        QProcess resizer;
        if (resizing) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("DISPLAY"), display.name());
            resizer.setProcessEnvironment(env);
            resizer.start(m_dir.filePath(QStringLiteral("kova_resize_window")),
                          {title, QStringLiteral("--interval-ms"), QStringLiteral("50")});
        }
        QProcess loadgen;
        loadgen.start(m_dir.filePath(QStringLiteral("kova_loadgen")), fromOwnNetwork(Scenarios.at(1).arguments));
        loadgen.waitForFinished(180000);
        const Metrics result = parseResult(loadgen.readAllStandardOutput());
        if (result.isEmpty())
            std::fprintf(stderr, "%s: %s\n", qPrintable(name), loadgen.readAllStandardError().constData());
        for (auto it = result.begin(); it != result.end(); ++it)
            m.insert(name + u'.' + it.key(), it.value());
        if (resizing) {
            resizer.terminate();
            resizer.waitForFinished(5000);
            const Metrics resized = parseResult(resizer.readAllStandardOutput());
            if (resized.isEmpty())
                std::fprintf(stderr, "%s: %s\n", qPrintable(name), resizer.readAllStandardError().constData());
            m.insert(name + QStringLiteral(".resizes"), resized.value(QStringLiteral("resizes"), -1));
        }
        m.insert(name + QStringLiteral(".rss_mib"), server.residentMiB());
        return m;
    }

    // A load generator's arguments with a loopback network of its own for its clients: the server refuses an address
    // that connects more often than a person's client would, and each scenario connects nine.
    QStringList fromOwnNetwork(QStringList arguments)
    {
        m_network = m_network % 250 + 1;
        return arguments << QStringLiteral("--network") << QString::number(m_network);
    }

    Metrics logCost()
    {
        QProcess bench;
        bench.start(m_dir.filePath(QStringLiteral("log_append_bench")), {});
        bench.waitForFinished(120000);
        Metrics m;
        for (const QByteArray& line : bench.readAllStandardOutput().split('\n')) {
            if (line.startsWith("first 1000:"))
                m.insert(QStringLiteral("log_first_ns"), line.mid(11).trimmed().split(' ').first().toDouble());
            if (line.startsWith("last 1000:"))
                m.insert(QStringLiteral("log_last_ns"), line.mid(10).trimmed().split(' ').first().toDouble());
        }
        return m;
    }

private:
    QDir m_dir;
    QString m_kova;
    QString m_web;
    bool m_floorBridge = false;
    int m_network = 0;
};

double median(QList<double> values)
{
    if (values.isEmpty())
        return -1;
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

} // namespace

int main(int argc, char* argv[])
{
    QString error;
    if (!kova::test::enterPrivateNetwork(&error) || !kova::test::enterPrivateMounts(&error) ||
        !kova::test::VirtualDisplay::useOwnFolders(&error)) {
        std::fprintf(stderr, "kova_bench needs network and mount namespaces of its own (run as root): %s\n",
                     qPrintable(error));
        return 1;
    }
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    auto option = [&args](const QString& name) {
        const qsizetype at = args.indexOf(name);
        return at > 0 && at + 1 < args.size() ? args.at(at + 1) : QString();
    };
    const int runs =
        std::max(1, option(QStringLiteral("--runs")).isEmpty() ? 3 : option(QStringLiteral("--runs")).toInt());
    const QString only = option(QStringLiteral("--only"));
    const bool standard = only.isEmpty() || only == QStringLiteral("standard");
    const bool floods = only.isEmpty() || only == QStringLiteral("flood");
    const bool storms = only.isEmpty() || only == QStringLiteral("storm");
    const bool web = only.isEmpty() || only == QStringLiteral("web");

    const bool floorBridge = option(QStringLiteral("--bridge")) == QStringLiteral("floor");
    Bench bench(QCoreApplication::applicationDirPath(), option(QStringLiteral("--kova")),
                option(QStringLiteral("--web")), floorBridge);
    QMap<QString, QMap<QString, QList<double>>> samples; // server -> metric -> runs
    for (int run = 0; run < runs; ++run) {
        if (standard) {
            for (const QString& server : {QStringLiteral("kova"), QStringLiteral("floor")}) {
                const Metrics m = bench.runAgainst(server);
                for (auto it = m.begin(); it != m.end(); ++it)
                    samples[server][it.key()].append(it.value());
            }
            for (const bool resizing : {false, true}) {
                const Metrics m = bench.runWindowed(resizing ? QStringLiteral("S2r") : QStringLiteral("S2w"), resizing);
                for (auto it = m.begin(); it != m.end(); ++it)
                    samples[QStringLiteral("kova")][it.key()].append(it.value());
            }
            const Metrics log = bench.logCost();
            for (auto it = log.begin(); it != log.end(); ++it)
                samples[QStringLiteral("kova")][it.key()].append(it.value());
        }
        if (web) {
            const Metrics m = bench.runWeb();
            for (auto it = m.begin(); it != m.end(); ++it)
                samples[QStringLiteral("kova")][it.key()].append(it.value());
        }
        for (const FloodScenario& scenario :
             (floods ? FloodScenarios : QList<FloodScenario>{}) + (storms ? StormScenarios : QList<FloodScenario>{})) {
            const Metrics m = bench.runFlood(scenario);
            for (auto it = m.begin(); it != m.end(); ++it)
                samples[QStringLiteral("kova")][it.key()].append(it.value());
        }
        std::fprintf(stderr, "run %d of %d done\n", run + 1, runs);
    }

    QTextStream out(stdout);
    auto value = [&](const QString& server, const QString& key) { return median(samples[server][key]); };
    // floorKey: the floor's figure to compare with, when it is not the same measure (the floor has no window).
    auto row = [&](const QString& label, const QString& key, const QString& target, int decimals = 0,
                   const QString& floorKey = {}) {
        const double k = value(QStringLiteral("kova"), key);
        const QString theFloors = floorKey.isEmpty() ? key : floorKey;
        const double f = value(QStringLiteral("floor"), theFloors);
        const QString ratio = f > 0 ? QString::number(k / f, 'f', 2) : QStringLiteral("-");
        out << "| " << label << " | " << QString::number(k, 'f', decimals) << " | "
            << (samples[QStringLiteral("floor")].contains(theFloors) ? QString::number(f, 'f', decimals)
                                                                     : QStringLiteral("-"))
            << " | " << (samples[QStringLiteral("floor")].contains(theFloors) ? ratio : QStringLiteral("-")) << " | "
            << target << " |\n";
    };
    out << "Medians of " << runs << " runs; latencies in microseconds.\n\n";
    if (floods) {
        auto flood = [&](const QString& label, const QString& key, int decimals = 0) {
            out << "| " << label;
            for (const FloodScenario& scenario : FloodScenarios)
                out << " | "
                    << QString::number(value(QStringLiteral("kova"), scenario.name + u'.' + key), 'f', decimals);
            out << " |\n";
        };
        out << "| flood measure";
        for (const FloodScenario& scenario : FloodScenarios)
            out << " | " << scenario.name;
        out << " |\n|---|" << QStringLiteral("---|").repeated(FloodScenarios.size()) << "\n";
        flood(QStringLiteral("flood relayed to each client (MB/s)"), QStringLiteral("flood_relayed_mbps"), 3);
        flood(QStringLiteral("people's lines back, p50 (µs)"), QStringLiteral("people_p50_us"));
        flood(QStringLiteral("people's lines back, p90 (µs)"), QStringLiteral("people_p90_us"));
        flood(QStringLiteral("people's lines back, p99 (µs)"), QStringLiteral("people_p99_us"));
        flood(QStringLiteral("people's lines lost (slow reader aside)"), QStringLiteral("people_lost"));
        flood(QStringLiteral("people cut off (slow reader aside)"), QStringLiteral("people_cut"));
        flood(QStringLiteral("slow reader cut off (1 = yes)"), QStringLiteral("reader_cut"));
        flood(QStringLiteral("slow reader's lines back, p50 (µs)"), QStringLiteral("reader_p50_us"));
        flood(QStringLiteral("logged while running (KB/s)"), QStringLiteral("logged_kbps_running"), 1);
        flood(QStringLiteral("logged, end save included (KB/s)"), QStringLiteral("logged_kbps"), 1);
        flood(QStringLiteral("log files written (MB)"), QStringLiteral("logged_mb"), 2);
        flood(QStringLiteral("resident memory after (MiB)"), QStringLiteral("rss_mib"), 1);
        flood(QStringLiteral("failure lines in the log"), QStringLiteral("failure_lines"));
        flood(QStringLiteral("flood lines in the log"), QStringLiteral("lines_logged"));
        flood(QStringLiteral("flood sent (MB)"), QStringLiteral("flood_sent_mb"), 2);
        out << "\n";
    }
    if (storms) {
        auto storm = [&](const QString& label, const QString& key, int decimals = 0) {
            out << "| " << label;
            for (const FloodScenario& scenario : StormScenarios)
                out << " | "
                    << QString::number(value(QStringLiteral("kova"), scenario.name + u'.' + key), 'f', decimals);
            out << " |\n";
        };
        out << "| storm measure";
        for (const FloodScenario& scenario : StormScenarios)
            out << " | " << scenario.name;
        out << " |\n|---|" << QStringLiteral("---|").repeated(StormScenarios.size()) << "\n";
        storm(QStringLiteral("connections made by the storm"), QStringLiteral("storm_connections"));
        storm(QStringLiteral("storm connections not made (backlog full)"), QStringLiteral("storm_failed"));
        storm(QStringLiteral("leave notices received, most by one person"), QStringLiteral("people_leaves_max"));
        storm(QStringLiteral("log lines, end save included"), QStringLiteral("log_lines"));
        storm(QStringLiteral("departure lines in the log"), QStringLiteral("departure_lines"));
        storm(QStringLiteral("refusal lines in the log"), QStringLiteral("refusal_lines"));
        storm(QStringLiteral("people's lines back, p50 (µs)"), QStringLiteral("people_p50_us"));
        storm(QStringLiteral("people's lines back, p99 (µs)"), QStringLiteral("people_p99_us"));
        storm(QStringLiteral("people's lines lost"), QStringLiteral("people_lost"));
        storm(QStringLiteral("server's CPU (% of a core)"), QStringLiteral("cpu_percent"), 1);
        storm(QStringLiteral("resident memory after (MiB)"), QStringLiteral("rss_mib"), 1);
        out << "\n";
    }
    if (web) {
        auto w1 = [&](const QString& label, const QString& path, const QString& p, const QString& target) {
            auto at = [&](const QString& key) {
                return QString::number(value(QStringLiteral("kova"), QStringLiteral("W1.") + key), 'f', 0);
            };
            const QString direct = path == u"back" ? QStringLiteral("back_direct") : QStringLiteral("direct");
            out << "| " << label << " | " << at(QStringLiteral("%1_%2_us").arg(direct, p)) << " | "
                << at(QStringLiteral("%1_kova_web_%2_us").arg(path, p)) << " | "
                << at(QStringLiteral("%1_bridge_%2_us").arg(path, p)) << " | "
                << at(QStringLiteral("%1_kova_web_%2_added_us").arg(path, p)) << " | "
                << at(QStringLiteral("%1_bridge_%2_added_us").arg(path, p)) << " | " << target << " |\n";
        };
        const QString bridge = floorBridge ? QStringLiteral("floor bridge") : QStringLiteral("websockify");
        out << "| W1, one line at a time (µs) | direct | kova-web | " << bridge << " | kova-web adds | " << bridge
            << " adds | target |\n|---|---|---|---|---|---|---|\n";
        // The targets are websockify's; beside the floor bridge there are none.
        const QString half = floorBridge ? QString() : QStringLiteral("adds <= half of websockify's");
        const QString whole = floorBridge ? QString() : QStringLiteral("adds <= websockify's");
        w1(QStringLiteral("server to browser p50"), QStringLiteral("to"), QStringLiteral("p50"), half);
        w1(QStringLiteral("server to browser p99"), QStringLiteral("to"), QStringLiteral("p99"), whole);
        w1(QStringLiteral("browser to server p50"), QStringLiteral("from"), QStringLiteral("p50"), half);
        w1(QStringLiteral("browser to server p99"), QStringLiteral("from"), QStringLiteral("p99"), whole);
        w1(QStringLiteral("own line back (round trip) p50"), QStringLiteral("back"), QStringLiteral("p50"), {});
        w1(QStringLiteral("own line back (round trip) p99"), QStringLiteral("back"), QStringLiteral("p99"), {});
        auto gateway = [&](const QString& label, const QString& key, int decimals) {
            out << "| " << label << " | | "
                << QString::number(value(QStringLiteral("kova"), QStringLiteral("W1.") + key), 'f', decimals)
                << " | | | | |\n";
        };
        gateway(QStringLiteral("lines lost"), QStringLiteral("lost"), 0);
        gateway(QStringLiteral("seconds for the 4,000 lines (5 ms apart, each waited for)"), QStringLiteral("seconds"),
                1);
        gateway(QStringLiteral("kova-web start-up until it accepts (ms)"), QStringLiteral("web_startup_ms"), 1);
        gateway(QStringLiteral("kova-web resident memory after start-up (MiB)"), QStringLiteral("web_rss_start_mib"),
                1);
        gateway(QStringLiteral("kova-web resident memory after W1 (MiB)"), QStringLiteral("web_rss_mib"), 1);
        out << "\n";
    }
    if (!standard)
        return 0;
    out << "| measure | kova | floor | kova/floor | target |\n|---|---|---|---|---|\n";
    row(QStringLiteral("S1 fan-out p50"), QStringLiteral("S1.fanout_p50_us"), QStringLiteral("ratio <= 1.5"));
    row(QStringLiteral("S1 fan-out p90"), QStringLiteral("S1.fanout_p90_us"), {});
    row(QStringLiteral("S1 fan-out p99"), QStringLiteral("S1.fanout_p99_us"), QStringLiteral("ratio <= 2"));
    row(QStringLiteral("S1 fan-out max"), QStringLiteral("S1.fanout_max_us"), {});
    row(QStringLiteral("S1 per-receiver p50"), QStringLiteral("S1.recv_p50_us"), {});
    row(QStringLiteral("S1 per-receiver p99"), QStringLiteral("S1.recv_p99_us"), {});
    row(QStringLiteral("S1 lines delivered per second"), QStringLiteral("S1.throughput"), {});
    row(QStringLiteral("S1 lost / duplicated / reordered"), QStringLiteral("S1.lost"), QStringLiteral("0"));
    row(QStringLiteral("S1 duplicated"), QStringLiteral("S1.duplicated"), QStringLiteral("0"));
    row(QStringLiteral("S1 reordered"), QStringLiteral("S1.reordered"), QStringLiteral("0"));
    row(QStringLiteral("S2 lines sent per second (offered 2000)"), QStringLiteral("S2.sent_rate"),
        QStringLiteral("2000"));
    row(QStringLiteral("S2 fan-out p50"), QStringLiteral("S2.fanout_p50_us"), {});
    row(QStringLiteral("S2 fan-out p99"), QStringLiteral("S2.fanout_p99_us"), QStringLiteral("ratio <= 2"));
    row(QStringLiteral("S2 fan-out max"), QStringLiteral("S2.fanout_max_us"), {});
    row(QStringLiteral("S2 lost"), QStringLiteral("S2.lost"), QStringLiteral("0"));
    row(QStringLiteral("S2 duplicated"), QStringLiteral("S2.duplicated"), QStringLiteral("0"));
    row(QStringLiteral("S2 reordered"), QStringLiteral("S2.reordered"), QStringLiteral("0"));
    for (const QString& variant : {QStringLiteral("S2w"), QStringLiteral("S2r")}) {
        const QString shown = variant == QStringLiteral("S2w") ? QStringLiteral("S2 with the window shown")
                                                               : QStringLiteral("S2 while the window is resized");
        row(shown + QStringLiteral(" (floor: S2), fan-out p50"), variant + QStringLiteral(".fanout_p50_us"), {}, 0,
            QStringLiteral("S2.fanout_p50_us"));
        row(shown + QStringLiteral(" (floor: S2), fan-out p99"), variant + QStringLiteral(".fanout_p99_us"),
            QStringLiteral("ratio <= 2"), 0, QStringLiteral("S2.fanout_p99_us"));
        row(shown + QStringLiteral(", fan-out max"), variant + QStringLiteral(".fanout_max_us"), {}, 0,
            QStringLiteral("S2.fanout_max_us"));
        row(shown + QStringLiteral(", lost"), variant + QStringLiteral(".lost"), QStringLiteral("0"));
        row(shown + QStringLiteral(", duplicated"), variant + QStringLiteral(".duplicated"), QStringLiteral("0"));
        row(shown + QStringLiteral(", reordered"), variant + QStringLiteral(".reordered"), QStringLiteral("0"));
    }
    row(QStringLiteral("S2 while the window is resized: resizes asked for"), QStringLiteral("S2r.resizes"), {});
    row(QStringLiteral("S3 round trip p50"), QStringLiteral("S3.recv_p50_us"), {});
    row(QStringLiteral("S3 round trip p99"), QStringLiteral("S3.recv_p99_us"), {});
    row(QStringLiteral("S4 lines delivered (of 270000)"), QStringLiteral("S4.delivered"), QStringLiteral("270000"));
    row(QStringLiteral("S4 lost"), QStringLiteral("S4.lost"), QStringLiteral("0"));
    row(QStringLiteral("S4 duplicated"), QStringLiteral("S4.duplicated"), QStringLiteral("0"));
    row(QStringLiteral("S4 reordered"), QStringLiteral("S4.reordered"), QStringLiteral("0"));
    row(QStringLiteral("S4 seconds until all delivered (3 s offered)"), QStringLiteral("S4.duration_s"), {}, 2);
    row(QStringLiteral("S4 fan-out p99"), QStringLiteral("S4.fanout_p99_us"), {});
    row(QStringLiteral("start-up until port 557 accepts (ms)"), QStringLiteral("startup_ms"), QStringLiteral("< 300"),
        1);
    row(QStringLiteral("resident memory after start-up (MiB)"), QStringLiteral("rss_start_mib"), {}, 1);
    row(QStringLiteral("resident memory after S2 (MiB)"), QStringLiteral("S2.rss_mib"), QStringLiteral("< 60"), 1);
    row(QStringLiteral("resident memory after S4 (MiB)"), QStringLiteral("S4.rss_mib"), QStringLiteral("bounded"), 1);
    row(QStringLiteral("log line, first 1000s of 30000 (ns each, median of 5)"), QStringLiteral("log_first_ns"), {});
    row(QStringLiteral("log line, last 1000s of 30000 (ns each, median of 5)"), QStringLiteral("log_last_ns"),
        QStringLiteral("no slower than the first"));
    return 0;
}
