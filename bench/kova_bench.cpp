// Runs the standard scenarios against the real program and against the floor relay in the same run, in a
// network namespace of its own on port 557, three times, and prints the medians side by side with ratios.
//   kova_bench [--runs N]
#include "NetworkNamespace.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <cstdio>

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

bool accepting()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(557);
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

class Bench {
public:
    explicit Bench(const QString& binDir)
        : m_dir(binDir)
    {}

    // One run against one server: start-up, memory, and the four scenarios.
    Metrics runAgainst(const QString& server)
    {
        Metrics m;
        QTemporaryDir work;
        QTemporaryDir runtime;
        QProcess process;
        process.setWorkingDirectory(work.path());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
        process.setStandardErrorFile(QProcess::nullDevice());
        const QString program = server == QStringLiteral("kova") ? m_dir.filePath(QStringLiteral("../kova"))
                                                                 : m_dir.filePath(QStringLiteral("kova_floor"));
        QElapsedTimer startup;
        startup.start();
        process.start(program, {});
        while (!accepting() && startup.elapsed() < 10000)
            QThread::usleep(500);
        m.insert(QStringLiteral("startup_ms"), double(startup.nsecsElapsed()) / 1e6);
        QThread::msleep(300);
        m.insert(QStringLiteral("rss_start_mib"), residentMiB(process.processId()));

        for (const Scenario& scenario : Scenarios) {
            QProcess loadgen;
            loadgen.start(m_dir.filePath(QStringLiteral("kova_loadgen")), scenario.arguments);
            loadgen.waitForFinished(180000);
            const Metrics result = parseResult(loadgen.readAllStandardOutput());
            if (result.isEmpty())
                std::fprintf(stderr, "%s %s: %s\n", qPrintable(server), qPrintable(scenario.name),
                             loadgen.readAllStandardError().constData());
            for (auto it = result.begin(); it != result.end(); ++it)
                m.insert(scenario.name + u'.' + it.key(), it.value());
            m.insert(scenario.name + QStringLiteral(".rss_mib"), residentMiB(process.processId()));
            QThread::msleep(200);
        }
        ::kill(pid_t(process.processId()), SIGTERM);
        if (!process.waitForFinished(10000))
            process.kill();
        process.waitForFinished();
        return m;
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
    if (!kova::test::enterPrivateNetwork(&error)) {
        std::fprintf(stderr, "kova_bench needs a network namespace of its own (run as root): %s\n", qPrintable(error));
        return 1;
    }
    QCoreApplication app(argc, argv);
    int runs = 3;
    const QStringList args = app.arguments();
    if (const qsizetype at = args.indexOf(QStringLiteral("--runs")); at > 0 && at + 1 < args.size())
        runs = std::max(1, args.at(at + 1).toInt());

    Bench bench(QCoreApplication::applicationDirPath());
    QMap<QString, QMap<QString, QList<double>>> samples; // server -> metric -> runs
    for (int run = 0; run < runs; ++run) {
        for (const QString& server : {QStringLiteral("kova"), QStringLiteral("floor")}) {
            const Metrics m = bench.runAgainst(server);
            for (auto it = m.begin(); it != m.end(); ++it)
                samples[server][it.key()].append(it.value());
        }
        const Metrics log = bench.logCost();
        for (auto it = log.begin(); it != log.end(); ++it)
            samples[QStringLiteral("kova")][it.key()].append(it.value());
        std::fprintf(stderr, "run %d of %d done\n", run + 1, runs);
    }

    QTextStream out(stdout);
    auto value = [&](const QString& server, const QString& key) { return median(samples[server][key]); };
    auto row = [&](const QString& label, const QString& key, const QString& target, int decimals = 0) {
        const double k = value(QStringLiteral("kova"), key);
        const double f = value(QStringLiteral("floor"), key);
        const QString ratio = f > 0 ? QString::number(k / f, 'f', 2) : QStringLiteral("-");
        out << "| " << label << " | " << QString::number(k, 'f', decimals) << " | "
            << (samples[QStringLiteral("floor")].contains(key) ? QString::number(f, 'f', decimals)
                                                               : QStringLiteral("-"))
            << " | " << (samples[QStringLiteral("floor")].contains(key) ? ratio : QStringLiteral("-")) << " | "
            << target << " |\n";
    };
    out << "Medians of " << runs << " runs; latencies in microseconds.\n\n";
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
    row(QStringLiteral("S2 fan-out p99"), QStringLiteral("S2.fanout_p99_us"), {});
    row(QStringLiteral("S2 lost"), QStringLiteral("S2.lost"), QStringLiteral("0"));
    row(QStringLiteral("S2 duplicated"), QStringLiteral("S2.duplicated"), QStringLiteral("0"));
    row(QStringLiteral("S2 reordered"), QStringLiteral("S2.reordered"), QStringLiteral("0"));
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
