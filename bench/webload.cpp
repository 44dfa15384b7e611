// W1, the browser's hop: chat lines one at a time between clients of the chat server itself and browsers. Each
// browser is a WebSocket client of our own in front of one of two gateways to the same server: kova-web, which
// carries JSON in text frames, and a plain bridge (websockify), which passes the server's bytes in binary frames.
// The lines are ASCII, so that both gateways carry the same bytes to the server. In turn, 5 ms apart, each browser's
// line and after each a direct client's: a browser's line timed until a direct client (the listener) has it (browser
// to server); a direct client's line timed until the listener has it (the baseline) and until each browser has it
// (server to browser); and each speaker's line until it is back with the speaker (the round trip, both hops for a
// browser). Each client comes from a loopback
// address of its own (the server limits connections per address).
//   kova_webload [--port 557] [--kova-web 8557] [--bridge 8558] [--lines 4000] [--pace-ms 5]
#include "Generator.h"

#include <array>
#include <cstring>

using namespace kova::bench;

namespace {

struct Options {
    int port = 557;
    int kovaWeb = 8557;
    int bridge = 8558;
    long long lines = 4000;
    int paceMs = 5;
};

Options parse(int argc, char** argv)
{
    Options o;
    forEachOption(argc, argv, [&o](const std::string& key, const char* value) {
        if (key == "--port")
            o.port = std::atoi(value);
        else if (key == "--kova-web")
            o.kovaWeb = std::atoi(value);
        else if (key == "--bridge")
            o.bridge = std::atoi(value);
        else if (key == "--lines")
            o.lines = std::max(3LL, std::atoll(value));
        else if (key == "--pace-ms")
            o.paceMs = std::max(0, std::atoi(value));
    });
    return o;
}

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "kova_webload: %s\n", what.c_str());
    std::exit(1);
}

void sendAll(int fd, const std::string& bytes)
{
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            fail(std::string("send: ") + std::strerror(errno));
        done += std::size_t(n);
    }
}

// Reads what is there without waiting; false once the peer has closed.
bool readAvailable(int fd, std::string& into)
{
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            into.append(buffer, std::size_t(n));
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    }
}

// A client of the server, or of a gateway: what it received so far, as text.
class Client {
public:
    enum class Kind { Direct, KovaWeb, Bridge };

    Client(Kind kind, const char* source, int port)
        : m_kind(kind)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        ::inet_pton(AF_INET, source, &address.sin_addr);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            fail(std::string("bind to ") + source + ": " + std::strerror(errno));
        address.sin_port = htons(uint16_t(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            fail("connect to port " + std::to_string(port) + ": " + std::strerror(errno));
        const int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (kind == Kind::Direct)
            return;
        sendAll(m_fd, "GET /chat HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
        std::string answer;
        while (answer.find("\r\n\r\n") == std::string::npos) {
            waitReadable(5000);
            if (!readAvailable(m_fd, answer))
                fail("a gateway closed during the upgrade");
        }
        if (answer.rfind("HTTP/1.1 101", 0) != 0)
            fail("a gateway refused the upgrade: " + answer.substr(0, answer.find('\r')));
        m_frames = answer.substr(answer.find("\r\n\r\n") + 4);
        if (kind == Kind::KovaWeb)
            awaitText("\"connected\"");
    }
    ~Client() { ::close(m_fd); }

    int fd() const { return m_fd; }
    std::string& text() { return m_text; }

    void say(const std::string& line)
    {
        if (m_kind == Kind::Direct)
            sendAll(m_fd, line);
        else if (m_kind == Kind::Bridge)
            sendAll(m_fd, frame(0x2, line));
        else
            sendAll(m_fd, frame(0x1, "{\"type\":\"send\",\"text\":\"" + line + "\"}"));
    }

    // Takes what arrived into text(); false once the peer has closed.
    bool take()
    {
        if (m_kind == Kind::Direct)
            return readAvailable(m_fd, m_text);
        const bool open = readAvailable(m_fd, m_frames);
        takeFrames();
        return open;
    }

    void awaitText(const std::string& wanted)
    {
        const long long deadline = nowNs() + 5'000'000'000LL;
        while (m_text.find(wanted) == std::string::npos) {
            if (nowNs() > deadline)
                fail("no \"" + wanted + "\" within 5 s");
            waitReadable(100);
            if (!take())
                fail("closed while waiting for \"" + wanted + "\"");
        }
        m_text.clear();
    }

private:
    void waitReadable(int timeoutMs)
    {
        pollfd p{m_fd, POLLIN, 0};
        ::poll(&p, 1, timeoutMs);
    }

    // A browser's frame: final, masked (with a mask of zeros, which leaves the payload as it is).
    static std::string frame(int opcode, const std::string& payload)
    {
        std::string out(1, char(0x80 | opcode));
        if (payload.size() < 126) {
            out += char(0x80 | payload.size());
        } else {
            out += char(0x80 | 126);
            out += char(payload.size() >> 8);
            out += char(payload.size() & 0xFF);
        }
        return out + std::string(4, '\0') + payload;
    }

    // The payloads of the complete data frames go to text; a ping is answered.
    void takeFrames()
    {
        std::size_t at = 0;
        while (m_frames.size() - at >= 2) {
            const int opcode = m_frames[at] & 0x0F;
            std::size_t length = std::size_t(uint8_t(m_frames[at + 1]) & 0x7F);
            std::size_t head = 2;
            if (length == 126) {
                if (m_frames.size() - at < 4)
                    break;
                length = std::size_t(uint8_t(m_frames[at + 2])) << 8 | uint8_t(m_frames[at + 3]);
                head = 4;
            } else if (length == 127) {
                fail("a frame over 64 KiB");
            }
            if (m_frames.size() - at < head + length)
                break;
            const std::string payload = m_frames.substr(at + head, length);
            at += head + length;
            if (opcode == 0x9)
                sendAll(m_fd, frame(0xA, payload));
            else if (opcode == 0x8)
                fail("a gateway closed the WebSocket");
            else if (opcode <= 0x2)
                m_text += payload;
        }
        m_frames.erase(0, at);
    }

    Kind m_kind;
    int m_fd = -1;
    std::string m_frames;
    std::string m_text;
};

void registerAs(Client& client, const std::string& name)
{
    client.say("NAME:" + name);
    client.awaitText(":" + name + "+");
}

class Run {
public:
    explicit Run(const Options& o)
        : m_o(o)
        , m_speaker(Client::Kind::Direct, "127.0.0.2", o.port)
        , m_listener(Client::Kind::Direct, "127.0.0.3", o.port)
        , m_kovaWeb(Client::Kind::KovaWeb, "127.0.0.4", o.kovaWeb)
        , m_bridge(Client::Kind::Bridge, "127.0.0.5", o.bridge)
    {
        registerAs(m_speaker, "W1S");
        registerAs(m_listener, "W1L");
        registerAs(m_kovaWeb, "W1K");
        registerAs(m_bridge, "W1B");
        // Let the later rosters arrive, then drop them.
        ::usleep(200'000);
        for (Client* client : clients()) {
            client->take();
            client->text().clear();
        }
    }

    void go()
    {
        for (long long seq = 0; seq < m_o.lines; ++seq) {
            // Speakers in turn: the browser through kova-web, the direct client, the browser through the bridge, the
            // direct client. So a direct client's line reaches each browser 5 ms after that browser spoke, as in a
            // conversation, where it must not wait for the acknowledgement of the browser's own line.
            const std::size_t speaker = seq % 2 == 1 ? 0 : seq % 4 == 0 ? 2 : 3; // index in clients()
            const std::string marker = "{" + std::to_string(seq) + "}";
            std::string line = marker;
            line.resize(40, 'x');
            const long long sent = nowNs();
            clients()[speaker]->say(line);
            const std::array<long long, 4> arrived = awaitEverywhere(marker);
            auto us = [sent](long long at) { return double(at - sent) / 1000.0; };
            const long long atListener = arrived[1];
            if (speaker == 0) {
                m_direct.push_back(us(atListener));
                m_toKovaWeb.push_back(us(arrived[2]));
                m_toBridge.push_back(us(arrived[3]));
            } else {
                (speaker == 2 ? m_fromKovaWeb : m_fromBridge).push_back(us(atListener));
            }
            // The speaker gets its line back too: for a browser, both hops one after the other.
            (speaker == 0 ? m_directBack : speaker == 2 ? m_kovaWebBack : m_bridgeBack).push_back(us(arrived[speaker]));
            if (m_o.paceMs > 0)
                ::usleep(useconds_t(m_o.paceMs) * 1000);
        }
    }

    void report() const
    {
        std::printf("RESULT lines=%lld lost=%lld", m_o.lines, m_lost);
        const std::pair<const char*, const std::vector<double>*> series[] = {{"direct", &m_direct},
                                                                             {"to_kova_web", &m_toKovaWeb},
                                                                             {"to_bridge", &m_toBridge},
                                                                             {"from_kova_web", &m_fromKovaWeb},
                                                                             {"from_bridge", &m_fromBridge},
                                                                             {"back_direct", &m_directBack},
                                                                             {"back_kova_web", &m_kovaWebBack},
                                                                             {"back_bridge", &m_bridgeBack}};
        for (const auto& [name, values] : series)
            std::printf(" %s_p50_us=%.1f %s_p99_us=%.1f %s_max_us=%.1f", name, percentile(*values, 50), name,
                        percentile(*values, 99), name, percentile(*values, 100));
        std::printf("\n");
    }

private:
    std::array<Client*, 4> clients() { return {&m_speaker, &m_listener, &m_kovaWeb, &m_bridge}; }

    // When each client had the marker (nowNs()), the time of giving up for those that never did.
    std::array<long long, 4> awaitEverywhere(const std::string& marker)
    {
        std::array<long long, 4> arrived{};
        int missing = 4;
        const long long deadline = nowNs() + 5'000'000'000LL;
        while (missing > 0) {
            std::array<pollfd, 4> fds{};
            for (std::size_t i = 0; i < fds.size(); ++i)
                fds[i] = {clients()[i]->fd(), POLLIN, 0};
            const int ready = ::poll(fds.data(), fds.size(), 100);
            const long long now = nowNs();
            if (now > deadline) {
                m_lost += missing;
                for (long long& at : arrived)
                    at = at == 0 ? now : at;
                break;
            }
            if (ready <= 0)
                continue;
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (fds[i].revents == 0)
                    continue;
                Client& client = *clients()[i];
                if (!client.take())
                    fail("the server or a gateway closed a connection");
                const std::size_t found = client.text().find(marker);
                if (found == std::string::npos || arrived[i] != 0)
                    continue;
                arrived[i] = now;
                client.text().erase(0, found + marker.size());
                --missing;
            }
        }
        return arrived;
    }

    Options m_o;
    Client m_speaker;
    Client m_listener;
    Client m_kovaWeb;
    Client m_bridge;
    std::vector<double> m_direct;
    std::vector<double> m_toKovaWeb;
    std::vector<double> m_toBridge;
    std::vector<double> m_fromKovaWeb;
    std::vector<double> m_fromBridge;
    std::vector<double> m_directBack;
    std::vector<double> m_kovaWebBack;
    std::vector<double> m_bridgeBack;
    long long m_lost = 0;
};

} // namespace

int main(int argc, char** argv)
{
    return runOnce<Run>(parse(argc, argv));
}
