// Load generator: N chat clients on loopback register, then send chat lines of a fixed size carrying a
// sequence number, senders in turn. Every receiver scans what it gets for the markers, per speaker, so the
// server may merge or split reads as it likes. Reports latency (send until the last client has the line,
// and per receiver), throughput, and lost, duplicated and reordered lines.
//   kova_loadgen --port P --clients N --lines L [--rate R --seconds S] [--size B] [--network K]
// With --network, client i connects from 127.K.0.i, so that runs one after the other stay within the server's
// connection throttle for each address.
// Without --rate it runs closed loop: the next line goes out when everybody has the current one.
#include "Generator.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace kova::bench;

namespace {

struct Options {
    int port = 557;
    int clients = 9;
    long long lines = 2000;
    double rate = 0; // lines per second; 0: closed loop
    double seconds = 0;
    int size = 40;
    int network = 0; // 0: every client from the system's choice of address
};

struct Receiver {
    int fd = -1;
    std::string pending;              // bytes not yet parsed (an incomplete speaker name)
    int speaker = 0;                  // whose piece is arriving
    std::vector<std::string> streams; // per speaker: text not yet scanned for markers
    std::vector<long long> lastSeq;   // per speaker
    std::vector<char> seen;           // per line
    std::string outbox;
};

struct Line {
    long long sentNs = 0;
    long long lastArrivalNs = 0;
    int arrivals = 0;
};

Options parse(int argc, char** argv)
{
    Options o;
    forEachOption(argc, argv, [&o](const std::string& key, const char* value) {
        if (key == "--port")
            o.port = std::atoi(value);
        else if (key == "--clients")
            o.clients = std::clamp(std::atoi(value), 1, 9);
        else if (key == "--lines")
            o.lines = std::atoll(value);
        else if (key == "--rate")
            o.rate = std::atof(value);
        else if (key == "--seconds")
            o.seconds = std::atof(value);
        else if (key == "--size")
            o.size = std::max(12, std::atoi(value));
        else if (key == "--network")
            o.network = std::clamp(std::atoi(value), 0, 255);
    });
    if (o.rate > 0 && o.seconds > 0)
        o.lines = static_cast<long long>(o.rate * o.seconds);
    return o;
}

void sendAll(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            std::perror("send");
            std::exit(1);
        }
        done += std::size_t(n);
    }
}

class Run {
public:
    explicit Run(const Options& o)
        : m_o(o)
        , m_lines(std::size_t(o.lines))
    {
        for (int id = 1; id <= o.clients; ++id) {
            Receiver r;
            r.fd = connectTo(o.port, 0, o.network == 0 ? 0 : (127U << 24) | (uint32_t(o.network) << 16) | uint32_t(id));
            sendAll(r.fd, "NAME:L" + std::to_string(id));
            awaitRoster(r.fd, ":L" + std::to_string(id) + "+");
            r.streams.resize(std::size_t(o.clients) + 1);
            r.lastSeq.assign(std::size_t(o.clients) + 1, -1);
            r.seen.assign(std::size_t(o.lines), 0);
            m_receivers.push_back(std::move(r));
        }
        // Let the later rosters arrive, then drop them.
        ::usleep(200'000);
        for (Receiver& r : m_receivers) {
            char buffer[65536];
            while (::recv(r.fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
            }
            ::fcntl(r.fd, F_SETFL, ::fcntl(r.fd, F_GETFL) | O_NONBLOCK);
        }
    }

    void go()
    {
        const long long start = nowNs();
        long long next = 0;
        const long long drainNs = 10'000'000'000LL;
        long long lastSendNs = start;
        while (true) {
            const long long now = nowNs();
            if (next < m_o.lines) {
                const bool due = m_o.rate > 0 ? now >= start + static_cast<long long>(double(next) * 1e9 / m_o.rate)
                                              : (next == 0 || m_lines[std::size_t(next - 1)].arrivals == m_o.clients);
                if (due) {
                    send(next++);
                    lastSendNs = nowNs();
                    continue;
                }
            } else if (m_complete == m_o.lines || now - lastSendNs > drainNs) {
                break;
            }
            int timeoutMs = 100;
            if (m_o.rate > 0 && next < m_o.lines) {
                const long long wait = start + static_cast<long long>(double(next) * 1e9 / m_o.rate) - now;
                timeoutMs = wait > 0 ? int(wait / 1'000'000) : 0;
            }
            poll(timeoutMs);
        }
        m_durationNs = nowNs() - start;
        m_sendDurationNs = lastSendNs - start;
    }

    void report() const
    {
        std::vector<double> fanout;
        std::vector<double> perReceiver = m_perReceiverUs;
        for (const Line& line : m_lines) {
            if (line.arrivals == m_o.clients)
                fanout.push_back(double(line.lastArrivalNs - line.sentNs) / 1000.0);
        }
        long long delivered = 0;
        for (const Line& line : m_lines)
            delivered += line.arrivals;
        const long long expected = m_o.lines * m_o.clients;
        std::printf("RESULT clients=%d lines=%lld offered_rate=%.0f sent_rate=%.0f duration_s=%.3f "
                    "delivered=%lld expected=%lld lost=%lld duplicated=%lld reordered=%lld "
                    "throughput=%.0f "
                    "fanout_p50_us=%.1f fanout_p90_us=%.1f fanout_p99_us=%.1f fanout_max_us=%.1f "
                    "recv_p50_us=%.1f recv_p90_us=%.1f recv_p99_us=%.1f recv_max_us=%.1f\n",
                    m_o.clients, m_o.lines, m_o.rate, double(m_o.lines) * 1e9 / double(std::max(1LL, m_sendDurationNs)),
                    double(m_durationNs) / 1e9, delivered, expected, expected - delivered, m_duplicated, m_reordered,
                    double(delivered) * 1e9 / double(std::max(1LL, m_durationNs)), percentile(fanout, 50),
                    percentile(fanout, 90), percentile(fanout, 99), percentile(fanout, 100),
                    percentile(perReceiver, 50), percentile(perReceiver, 90), percentile(perReceiver, 99),
                    percentile(perReceiver, 100));
    }

private:
    void send(long long seq)
    {
        Receiver& sender = m_receivers[std::size_t(seq % m_o.clients)];
        std::string line = "{" + std::to_string(seq) + "}";
        line.resize(std::size_t(m_o.size), 'x');
        m_lines[std::size_t(seq)].sentNs = nowNs();
        sender.outbox += line;
        flush(sender);
    }

    void flush(Receiver& r)
    {
        while (!r.outbox.empty()) {
            const ssize_t n = ::send(r.fd, r.outbox.data(), r.outbox.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n <= 0)
                return;
            r.outbox.erase(0, std::size_t(n));
        }
    }

    void poll(int timeoutMs)
    {
        std::vector<pollfd> fds;
        for (const Receiver& r : m_receivers)
            fds.push_back({r.fd, short(POLLIN | (r.outbox.empty() ? 0 : POLLOUT)), 0});
        if (::poll(fds.data(), fds.size(), timeoutMs) <= 0)
            return;
        const long long now = nowNs();
        for (std::size_t i = 0; i < fds.size(); ++i) {
            Receiver& r = m_receivers[i];
            if (fds[i].revents & POLLOUT)
                flush(r);
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[65536];
            for (;;) {
                const ssize_t n = ::recv(r.fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n <= 0)
                    break;
                r.pending.append(buffer, std::size_t(n));
            }
            consume(r, int(i), now);
        }
    }

    // Chat lines come as "L<n> > piece"; a piece belongs to speaker n until the next name.
    void consume(Receiver& r, int receiver, long long now)
    {
        std::size_t at = 0;
        while (at < r.pending.size()) {
            if (r.pending[at] == 'L') {
                if (r.pending.size() - at < 5)
                    break;
                r.speaker = r.pending[at + 1] - '0';
                at += 5;
                continue;
            }
            std::size_t end = r.pending.find('L', at);
            if (end == std::string::npos)
                end = r.pending.size();
            if (r.speaker >= 1 && r.speaker <= m_o.clients) {
                std::string& stream = r.streams[std::size_t(r.speaker)];
                stream.append(r.pending, at, end - at);
                scan(r, receiver, r.speaker, stream, now);
            }
            at = end;
        }
        r.pending.erase(0, at);
    }

    void scan(Receiver& r, int receiver, int speaker, std::string& stream, long long now)
    {
        std::size_t at = 0;
        while (true) {
            const std::size_t open = stream.find('{', at);
            if (open == std::string::npos) {
                at = stream.size();
                break;
            }
            const std::size_t close = stream.find('}', open);
            if (close == std::string::npos) {
                at = open;
                break;
            }
            const long long seq = std::atoll(stream.c_str() + open + 1);
            at = close + 1;
            if (seq < 0 || seq >= m_o.lines)
                continue;
            if (r.seen[std::size_t(seq)]) {
                ++m_duplicated;
                continue;
            }
            r.seen[std::size_t(seq)] = 1;
            if (seq < r.lastSeq[std::size_t(speaker)])
                ++m_reordered;
            r.lastSeq[std::size_t(speaker)] = seq;
            Line& line = m_lines[std::size_t(seq)];
            m_perReceiverUs.push_back(double(now - line.sentNs) / 1000.0);
            line.lastArrivalNs = std::max(line.lastArrivalNs, now);
            if (++line.arrivals == m_o.clients)
                ++m_complete;
            (void)receiver;
        }
        stream.erase(0, at);
    }

    Options m_o;
    std::vector<Receiver> m_receivers;
    std::vector<Line> m_lines;
    std::vector<double> m_perReceiverUs;
    long long m_complete = 0;
    long long m_duplicated = 0;
    long long m_reordered = 0;
    long long m_durationNs = 0;
    long long m_sendDurationNs = 0;
};

} // namespace

int main(int argc, char** argv)
{
    return runOnce<Run>(parse(argc, argv));
}
