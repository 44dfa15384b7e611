// The browser gateway under request-size attacks: four clients send as fast as they can a request body
// (Content-Length), a chunked body, an endless header line and an endless request line, and each starts again as
// soon as the gateway closes it. Beside them a browser's WebSocket sends chat lines one at a time and waits for each
// to come back from the chat server. Prints the gateway's most resident memory (from /proc) and the round trip's
// median and 99th percentile, quiet and under attack, with the ratio of the two, all in a network namespace.
//   kova_web_attack [--seconds N] [--web PATH]
// --web measures another build of the gateway, such as one from before a change.
#include "KovaProcess.h"
#include "NetworkNamespace.h"
#include "WebGatewayProcess.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono;

namespace {

int connectToGateway()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kova::test::WebGatewayProcess::Port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

bool sendAll(int fd, const std::string& data)
{
    for (size_t sent = 0; sent < data.size();) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return true;
}

// One attacker: the head, then filler for as long as the gateway takes it; again on a new connection.
void attack(const std::string& head, const std::atomic<bool>& stop, std::atomic<int>& connections)
{
    const std::string filler(64 * 1024, 'a');
    while (!stop) {
        const int fd = connectToGateway();
        if (fd < 0)
            continue;
        ++connections;
        if (sendAll(fd, head)) {
            while (!stop && sendAll(fd, filler)) {
            }
        }
        ::close(fd);
    }
}

// A browser as the gateway sees it, on a blocking socket: masked text frames out, unmasked frames in.
class Browser {
public:
    bool open()
    {
        m_fd = connectToGateway();
        if (m_fd < 0)
            return false;
        const int on = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (!sendAll(m_fd, "GET /chat HTTP/1.1\r\nHost: 127.0.0.1:8557\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"))
            return false;
        while (m_input.find("\r\n\r\n") == std::string::npos) {
            if (!fill())
                return false;
        }
        const bool switched = m_input.rfind("HTTP/1.1 101", 0) == 0;
        m_input.erase(0, m_input.find("\r\n\r\n") + 4);
        return switched && waitFor("\"connected\"") && say("NAME:bench") && waitFor("NAME:1:bench+");
    }
    bool say(const std::string& text)
    {
        const std::string json = "{\"type\":\"send\",\"text\":\"" + text + "\"}";
        std::string frame = {char(0x81), char(0x80 | json.size())};
        frame += std::string(4, '\0') + json; // a mask of zeros
        return json.size() < 126 && sendAll(m_fd, frame);
    }
    // Reads frames until one holds the text.
    bool waitFor(const std::string& text)
    {
        for (;;) {
            while (m_input.size() >= 2) {
                size_t length = quint8(m_input[1]) & 0x7f;
                size_t head = 2;
                if (length == 126) {
                    if (m_input.size() < 4)
                        break;
                    length = (size_t(quint8(m_input[2])) << 8) | quint8(m_input[3]);
                    head = 4;
                }
                if (m_input.size() < head + length)
                    break;
                const bool found = m_input.compare(head, length, text) == 0 ||
                                   m_input.substr(head, length).find(text) != std::string::npos;
                m_input.erase(0, head + length);
                if (found)
                    return true;
            }
            if (!fill())
                return false;
        }
    }
    ~Browser()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

private:
    bool fill()
    {
        char buffer[65536];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        m_input.append(buffer, size_t(n));
        return true;
    }

    int m_fd = -1;
    std::string m_input;
};

struct RoundTrips {
    std::vector<double> ms;
    bool failed = false;

    double percentile(double p)
    {
        if (ms.empty())
            return -1;
        std::sort(ms.begin(), ms.end());
        return ms[std::min(ms.size() - 1, size_t(p * double(ms.size())))];
    }
};

// Chat lines one after another, each waited for, until the deadline.
RoundTrips measure(Browser& browser, int& counter, steady_clock::time_point until)
{
    RoundTrips trips;
    while (steady_clock::now() < until) {
        const std::string line = "line " + std::to_string(++counter);
        const auto start = steady_clock::now();
        if (!browser.say(line) || !browser.waitFor("bench > " + line)) {
            trips.failed = true;
            break;
        }
        trips.ms.push_back(duration<double, std::milli>(steady_clock::now() - start).count());
        std::this_thread::sleep_for(milliseconds(10));
    }
    return trips;
}

} // namespace

int main(int argc, char* argv[])
{
    QString error;
    if (!kova::test::enterPrivateNetwork(&error)) {
        std::fprintf(stderr, "kova_web_attack needs a network namespace of its own (run as root): %s\n",
                     qPrintable(error));
        return 1;
    }
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    auto option = [&args](const QString& name) {
        const qsizetype at = args.indexOf(name);
        return at > 0 && at + 1 < args.size() ? args.at(at + 1) : QString();
    };
    const int seconds =
        option(QStringLiteral("--seconds")).isEmpty() ? 20 : option(QStringLiteral("--seconds")).toInt();
    const QString dir = QCoreApplication::applicationDirPath() + QStringLiteral("/..");
    qputenv("KOVA_BINARY", (dir + QStringLiteral("/kova")).toLocal8Bit());
    const QString web = option(QStringLiteral("--web"));
    qputenv("KOVA_WEB_BINARY", (web.isEmpty() ? dir + QStringLiteral("/kova-web") : web).toLocal8Bit());

    kova::test::KovaProcess kova;
    kova::test::WebGatewayProcess gateway;
    // Its log is not read here: it must never wait for a pipe.
    gateway.process.setStandardOutputFile(QProcess::nullDevice());
    if (!kova.startListening() || !gateway.start()) {
        std::fprintf(stderr, "kova_web_attack: the chat server or the gateway did not start\n");
        return 1;
    }
    const qint64 pid = gateway.process.processId();
    Browser browser;
    if (!browser.open()) {
        std::fprintf(stderr, "kova_web_attack: the browser could not join\n");
        return 1;
    }
    int counter = 0;
    const qint64 quietKiB = kova::test::residentKiB(pid);
    RoundTrips quiet = measure(browser, counter, steady_clock::now() + seconds * 1s / 4);

    std::atomic<bool> stop = false;
    std::atomic<int> connections = 0;
    std::vector<std::thread> attackers;
    for (const char* head : {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 100000000000\r\n\r\n",
                             "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n",
                             "GET / HTTP/1.1\r\nHost: a\r\nX-Endless: ", "GET /"})
        attackers.emplace_back(attack, std::string(head), std::cref(stop), std::ref(connections));
    std::atomic<qint64> mostKiB = quietKiB;
    std::thread sampler([&] {
        while (!stop) {
            mostKiB = std::max<qint64>(mostKiB, kova::test::residentKiB(pid));
            std::this_thread::sleep_for(100ms);
        }
    });
    RoundTrips attacked = measure(browser, counter, steady_clock::now() + seconds * 1s);
    stop = true;
    // The attackers may be blocked in a send to a gateway that stopped reading: ending it frees them.
    gateway.process.kill();
    for (auto& attacker : attackers)
        attacker.join();
    sampler.join();
    kova.terminate();

    std::printf("gateway resident memory: %.1f MiB quiet, %.1f MiB at most under attack (%d attacking connections "
                "in %d s)\n",
                double(quietKiB) / 1024, double(mostKiB) / 1024, connections.load(), seconds);
    const double quiet99 = quiet.percentile(0.99);
    const double attacked99 = attacked.percentile(0.99);
    std::printf("chat round trip quiet:  median %.2f ms, p99 %.2f ms (%zu lines)\n", quiet.percentile(0.5), quiet99,
                quiet.ms.size());
    std::printf("chat round trip attack: median %.2f ms, p99 %.2f ms (%zu lines%s); p99 ratio %.2f\n",
                attacked.percentile(0.5), attacked99, attacked.ms.size(), attacked.failed ? ", then cut off" : "",
                attacked99 / quiet99);
    return attacked.failed ? 2 : 0;
}
