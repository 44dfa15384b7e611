// Flood generator: one client floods while people chat beside it. The flooder sends lines "{n}....." of a fixed size,
// flat out (as fast as TCP takes them) or at a given rate, and reads everything it is sent. Each person sends a
// marked line "<Pk#n>---" at a person's pace and waits for it to come back; one person may read at a limited rate
// through a small receive window. Reports the people's line latency, what was relayed to the flooder, and whether
// anybody was cut off.
//   kova_flood [--port P] [--seconds S] [--flood-size B] [--flood-rate BYTES_PER_S] [--flood-lines N]
//              [--people K] [--pace-ms MS] [--reader-rate BYTES_PER_S] [--reconnect BYTES] [--storm S]
//              [--storm-rate CONNECTIONS_PER_S]
// --flood-rate 0 floods flat out; --reader-rate 0 lets every person read at full speed. --reconnect B makes the
// flooder a new, nameless connection for every B bytes: it sends them, ends its sending side, and connects again as
// soon as the server has ended that connection (or turned it away). The flood relayed is then counted at the first
// person, since the server cannot echo to a connection what it reads after that connection's end. --flood-lines 0
// brings no flooder at all. --storm S makes another address (127.0.0.9) connect and close, sending nothing, as fast
// as it can for the first S seconds, 16 connections in flight; the leave notices that each person receives are
// counted.
#include "Generator.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kova::bench;

namespace {

struct Options {
    int port = 557;
    double seconds = 10;
    int floodSize = 1000;
    double floodRate = 0;
    long long floodLines = -1;
    int people = 8;
    int paceMs = 1000;
    double readerRate = 100000;
    long long reconnect = 0;
    double storm = 0;
    double stormRate = 0;
};

Options parse(int argc, char** argv)
{
    Options o;
    forEachOption(argc, argv, [&o](const std::string& key, const char* value) {
        if (key == "--port")
            o.port = std::atoi(value);
        else if (key == "--seconds")
            o.seconds = std::atof(value);
        else if (key == "--flood-size")
            o.floodSize = std::max(10, std::atoi(value));
        else if (key == "--flood-rate")
            o.floodRate = std::atof(value);
        else if (key == "--flood-lines")
            o.floodLines = std::atoll(value);
        else if (key == "--people")
            o.people = std::clamp(std::atoi(value), 0, 8);
        else if (key == "--pace-ms")
            o.paceMs = std::max(10, std::atoi(value));
        else if (key == "--reader-rate")
            o.readerRate = std::atof(value);
        else if (key == "--reconnect")
            o.reconnect = std::max(0LL, std::atoll(value));
        else if (key == "--storm")
            o.storm = std::atof(value);
        else if (key == "--storm-rate")
            o.stormRate = std::atof(value);
    });
    return o;
}

struct Client {
    int fd = -1;
    std::string name;
    std::string outbox;
    bool ended = false;
    long long endedNs = 0;
    long long received = 0;
    long long dots = 0; // a person: flood text received
    long long lastDotsNs = 0;
    // A person: the send time of each of its lines, and the latencies of those that came back.
    std::vector<long long> sentNs;
    std::vector<char> back;
    std::vector<double> latencyUs;
    std::string tail;      // an incomplete marker at the end of the last read
    long long leaves = 0;  // leave notices ("RNAME:") received
    std::string leaveTail; // the last bytes of the last read, which may hold the start of one
    long long nextLineNs = 0;
    // A reader with a rate: bytes it may still read now.
    double rate = 0;
    double allowance = 0;
};

// Registers and waits for the roster that names the client, then makes the socket non-blocking.
void join(Client& c, int port, int receiveBuffer)
{
    c.fd = connectTo(port, receiveBuffer);
    const std::string hello = "NAME:" + c.name;
    ::send(c.fd, hello.data(), hello.size(), MSG_NOSIGNAL);
    awaitRoster(c.fd, ":" + c.name + "+");
    ::fcntl(c.fd, F_SETFL, ::fcntl(c.fd, F_GETFL) | O_NONBLOCK);
}

class Run {
public:
    explicit Run(const Options& o)
        : m_o(o)
    {
        m_flooder.name = "F";
        if (o.reconnect > 0)
            reconnect();
        else if (o.floodLines != 0)
            join(m_flooder, o.port, 0);
        for (int k = 1; k <= o.people; ++k) {
            Client p;
            p.name = "P" + std::to_string(k);
            const bool limited = k == o.people && o.readerRate > 0;
            if (limited)
                p.rate = o.readerRate;
            join(p, o.port, limited ? 4096 : 0);
            m_people.push_back(std::move(p));
        }
        // Let the later rosters arrive, then drop them.
        ::usleep(200'000);
        char buffer[65536];
        while (::recv(m_flooder.fd, buffer, sizeof buffer, 0) > 0) {
        }
        for (Client& p : m_people) {
            while (::recv(p.fd, buffer, sizeof buffer, 0) > 0) {
            }
        }
    }

    void go()
    {
        m_start = nowNs();
        if (m_o.storm > 0)
            startStorm();
        const long long stop = m_start + static_cast<long long>(m_o.seconds * 1e9);
        for (std::size_t k = 0; k < m_people.size(); ++k)
            m_people[k].nextLineNs = m_start + static_cast<long long>(k) * m_o.paceMs * 1'000'000LL /
                                                   static_cast<long long>(m_people.size());
        long long last = m_start;
        long long drainUntil = 0;
        while (true) {
            const long long now = nowNs();
            if (m_o.reconnect > 0)
                cycleConnection(now, now < stop);
            if (now < stop) {
                feedFlood(now);
                for (std::size_t k = 0; k < m_people.size(); ++k)
                    speak(m_people[k], int(k) + 1, now);
            } else if (drainUntil == 0) {
                m_floodEndNs = now;
                drainUntil = now + 5'000'000'000LL;
            } else if (now > drainUntil || everythingBack(now)) {
                break;
            }
            for (Client& p : m_people) {
                if (p.rate > 0)
                    p.allowance = std::min(p.allowance + p.rate * double(now - last) / 1e9, p.rate / 50);
            }
            last = now;
            poll();
        }
        m_endNs = nowNs();
        if (m_stormPid > 0)
            endStorm();
    }

    void report() const
    {
        std::vector<double> people;
        std::vector<double> reader;
        long long lines = 0;
        long long back = 0;
        int cut = 0;
        long long leavesMax = 0;
        for (const Client& p : m_people) {
            leavesMax = std::max(leavesMax, p.leaves);
            if (p.rate > 0) {
                reader = p.latencyUs;
                continue;
            }
            people.insert(people.end(), p.latencyUs.begin(), p.latencyUs.end());
            lines += static_cast<long long>(p.sentNs.size());
            back += static_cast<long long>(p.latencyUs.size());
            cut += p.ended ? 1 : 0;
        }
        const Client* limited = m_people.empty() || m_people.back().rate == 0 ? nullptr : &m_people.back();
        // Rates are over the whole run: what was held back is still relayed after the flood has stopped.
        const double seconds = double(m_endNs - m_start) / 1e9;
        const bool reconnecting = m_o.reconnect > 0 && !m_people.empty();
        const double relayed = reconnecting ? double(m_people.front().dots) : double(m_flooder.received);
        std::printf("RESULT flood_sent_bytes=%lld flood_relayed_mbps=%.3f flood_cut=%d people_lines=%lld "
                    "people_lost=%lld people_cut=%d people_p50_us=%.0f people_p90_us=%.0f people_p99_us=%.0f "
                    "people_max_us=%.0f reader_cut=%d reader_cut_s=%.2f reader_mbytes=%.3f reader_p50_us=%.0f "
                    "reader_p99_us=%.0f seconds=%.2f flood_seconds=%.2f flood_connections=%d storm_connections=%lld "
                    "storm_failed=%lld people_leaves_max=%lld\n",
                    m_floodSent, relayed / 1e6 / seconds, !reconnecting && m_flooder.ended ? 1 : 0, lines, lines - back,
                    cut, percentile(people, 50), percentile(people, 90), percentile(people, 99),
                    percentile(people, 100), limited && limited->ended ? 1 : 0,
                    limited && limited->ended ? double(limited->endedNs - m_start) / 1e9 : -1,
                    limited ? double(limited->received) / 1e6 : 0, percentile(reader, 50), percentile(reader, 99),
                    seconds, double(m_floodEndNs - m_start) / 1e9, m_connections, m_stormConnections, m_stormFailed,
                    leavesMax);
    }

private:
    void reconnect()
    {
        m_flooder.fd = connectTo(m_o.port, 0);
        ::fcntl(m_flooder.fd, F_SETFL, ::fcntl(m_flooder.fd, F_GETFL) | O_NONBLOCK);
        m_flooder.ended = false;
        m_leaving = false;
        m_connectionFirstLine = m_floodSent / m_o.floodSize;
        ++m_connections;
    }

    // With --reconnect: the connection ends its sending side once its share is sent (or the flood is over), and makes
    // way for the next once the server has ended it. One that ends before it has sent its share was turned away
    // (its slot not yet free): the next try comes 10 ms later, so that this measures the flood, not a storm of
    // connection requests.
    void cycleConnection(long long now, bool flooding)
    {
        if (m_flooder.fd < 0) {
            if (flooding && now >= m_retryNs)
                reconnect();
            return;
        }
        const long long share = m_o.reconnect / m_o.floodSize;
        if (!m_leaving && m_flooder.outbox.empty() &&
            (!flooding || m_floodSent / m_o.floodSize >= m_connectionFirstLine + share)) {
            ::shutdown(m_flooder.fd, SHUT_WR);
            m_leaving = true;
        }
        if (!m_flooder.ended)
            return;
        ::close(m_flooder.fd);
        m_flooder.fd = -1;
        m_flooder.outbox.clear();
        m_retryNs = m_leaving ? now : now + 10'000'000LL;
    }

    // The storm runs in a process of its own, so that its work does not delay the people's reads; it reports its
    // counts through a pipe.
    void startStorm()
    {
        int fds[2];
        if (::pipe(fds) != 0) {
            std::perror("pipe");
            std::exit(1);
        }
        m_stormPid = ::fork();
        if (m_stormPid != 0) {
            ::close(fds[1]);
            m_stormPipe = fds[0];
            return;
        }
        ::close(fds[0]);
        const long long stop = m_start + static_cast<long long>(m_o.storm * 1e9);
        for (long long now = nowNs(); now < stop || !m_storm.empty(); now = nowNs())
            storm(now, now < stop);
        const long long counts[2] = {m_stormConnections, m_stormFailed};
        ::_exit(::write(fds[1], counts, sizeof counts) == sizeof counts ? 0 : 1);
    }

    void endStorm()
    {
        long long counts[2] = {0, 0};
        if (::read(m_stormPipe, counts, sizeof counts) == sizeof counts) {
            m_stormConnections = counts[0];
            m_stormFailed = counts[1];
        }
        ::close(m_stormPipe);
        ::waitpid(m_stormPid, nullptr, 0);
    }

    // With --storm: keeps 16 connection attempts from 127.0.0.9 in flight; each is closed as soon as it is made, or
    // after 20 ms without an answer (the server's backlog is full and the kernel would retry only after a second).
    void storm(long long now, bool storming)
    {
        std::vector<pollfd> fds;
        for (const Attempt& attempt : m_storm)
            fds.push_back({attempt.fd, POLLOUT, 0});
        ::poll(fds.data(), fds.size(), 1);
        for (std::size_t i = fds.size(); i-- > 0;) {
            const bool answered = fds[i].revents != 0;
            int error = 0;
            socklen_t length = sizeof error;
            if (answered)
                ::getsockopt(fds[i].fd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (!answered && now - m_storm[i].startNs < 20'000'000LL)
                continue;
            (answered && error == 0 ? m_stormConnections : m_stormFailed) += 1;
            ::close(m_storm[i].fd);
            m_storm[i] = m_storm.back();
            m_storm.pop_back();
        }
        const long long attempts = m_stormConnections + m_stormFailed + static_cast<long long>(m_storm.size());
        const long long allowed =
            m_o.stormRate > 0 ? static_cast<long long>(m_o.stormRate * double(now - m_start) / 1e9) : attempts + 16;
        for (long long n = attempts; storming && m_storm.size() < 16 && n < allowed; ++n) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(0x7f000009);
            sockaddr_in server{};
            server.sin_family = AF_INET;
            server.sin_port = htons(static_cast<uint16_t>(m_o.port));
            server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
                (::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 && errno != EINPROGRESS)) {
                ::close(fd);
                ++m_stormFailed;
                break;
            }
            m_storm.push_back({fd, now});
        }
    }

    void feedFlood(long long now)
    {
        const long long sentLines = m_floodSent / m_o.floodSize;
        long long due = m_o.floodRate > 0
                            ? static_cast<long long>(m_o.floodRate * double(now - m_start) / 1e9) / m_o.floodSize
                            : sentLines + (m_flooder.outbox.size() < 65536 ? 64 : 0);
        if (m_o.floodLines >= 0)
            due = std::min(due, m_o.floodLines);
        if (m_o.reconnect > 0)
            due = m_leaving || m_flooder.fd < 0 ? sentLines
                                                : std::min(due, m_connectionFirstLine + m_o.reconnect / m_o.floodSize);
        for (long long n = sentLines; n < due; ++n) {
            std::string line = "{" + std::to_string(n) + "}";
            m_floodDots += m_o.floodSize - static_cast<long long>(line.size());
            line.resize(std::size_t(m_o.floodSize), '.');
            m_flooder.outbox += line;
            m_floodSent += m_o.floodSize;
        }
        flush(m_flooder);
    }

    void speak(Client& p, int k, long long now)
    {
        if (now < p.nextLineNs || p.ended)
            return;
        const std::size_t seq = p.sentNs.size();
        std::string line = "<P" + std::to_string(k) + "#" + std::to_string(seq) + ">";
        line.resize(40, '-');
        p.sentNs.push_back(nowNs());
        p.back.push_back(0);
        p.outbox += line;
        flush(p);
        p.nextLineNs += m_o.paceMs * 1'000'000LL;
    }

    static void flush(Client& c)
    {
        while (!c.outbox.empty() && !c.ended) {
            const ssize_t n = ::send(c.fd, c.outbox.data(), c.outbox.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n <= 0)
                return;
            c.outbox.erase(0, std::size_t(n));
        }
    }

    bool everythingBack(long long now) const
    {
        // A reconnecting flooder's text is through once its last connection has ended and the first person has had
        // none of it for two seconds.
        if (m_o.reconnect > 0 &&
            (m_flooder.fd >= 0 || (!m_people.empty() && now - m_people.front().lastDotsNs < 2'000'000'000LL)))
            return false;
        if (m_o.reconnect == 0 && !m_flooder.ended && m_flooder.received < m_floodDots)
            return false;
        return std::all_of(m_people.begin(), m_people.end(), [](const Client& p) {
            return p.ended || std::size_t(std::count(p.back.begin(), p.back.end(), 1)) == p.sentNs.size();
        });
    }

    void poll()
    {
        std::vector<Client*> clients{&m_flooder};
        for (Client& p : m_people)
            clients.push_back(&p);
        std::vector<pollfd> fds;
        for (Client* c : clients) {
            const bool mayRead = !c->ended && (c->rate == 0 || c->allowance >= 1);
            fds.push_back({c->fd, short((mayRead ? POLLIN : 0) | (c->outbox.empty() ? 0 : POLLOUT)), 0});
        }
        if (::poll(fds.data(), fds.size(), 1) <= 0)
            return;
        const long long now = nowNs();
        for (std::size_t i = 0; i < fds.size(); ++i) {
            Client& c = *clients[i];
            if (fds[i].revents & POLLOUT)
                flush(c);
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
                receive(c, i == 0 ? 0 : int(i), now);
        }
    }

    void receive(Client& c, int person, long long now)
    {
        char buffer[65536];
        for (int round = 0; round < 16; ++round) {
            std::size_t want = sizeof buffer;
            if (c.rate > 0)
                want = std::min(want, std::size_t(c.allowance));
            if (want == 0)
                return;
            const ssize_t n = ::recv(c.fd, buffer, want, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                c.ended = true;
                c.endedNs = now;
                return;
            }
            if (n < 0)
                return;
            if (c.rate > 0)
                c.allowance -= double(n);
            if (person == 0) {
                c.received += std::count(buffer, buffer + n, '.');
            } else {
                const long long dots = std::count(buffer, buffer + n, '.');
                c.dots += dots;
                c.lastDotsNs = dots > 0 ? now : c.lastDotsNs;
                scan(c, person, std::string_view(buffer, std::size_t(n)), now);
            }
        }
    }

    // Counts the leave notices in what arrived, one cut by the last read included.
    static void countLeaves(Client& c, std::string_view data)
    {
        static constexpr std::string_view Leave = "RNAME:";
        std::string joined = c.leaveTail;
        joined.append(data.substr(0, std::min(data.size(), Leave.size() - 1)));
        for (std::size_t at = joined.find(Leave); at != std::string::npos; at = joined.find(Leave, at + 1))
            ++c.leaves;
        for (std::size_t at = data.find(Leave); at != std::string::npos; at = data.find(Leave, at + 1))
            ++c.leaves;
        const std::size_t keep = std::min(data.size(), Leave.size() - 1);
        c.leaveTail = std::string(data.substr(data.size() - keep));
    }

    // Finds this person's markers "<Pk#n>" in what arrived.
    void scan(Client& c, int person, std::string_view data, long long now)
    {
        countLeaves(c, data);
        c.received += static_cast<long long>(data.size());
        // Only a marker cut by the last read costs a copy.
        std::string joined;
        if (!c.tail.empty()) {
            joined = c.tail;
            joined.append(data);
            data = joined;
        }
        const std::string_view text = data;
        const std::string mine = "<P" + std::to_string(person) + "#";
        std::size_t at = 0;
        std::size_t keep = text.size();
        while ((at = text.find('<', at)) != std::string::npos) {
            const std::size_t close = text.find('>', at);
            if (close == std::string::npos) {
                keep = at;
                break;
            }
            if (text.compare(at, mine.size(), mine) == 0) {
                const std::size_t seq = std::size_t(std::atoll(std::string(text.substr(at + mine.size(), 12)).c_str()));
                if (seq < c.sentNs.size() && !c.back[seq]) {
                    c.back[seq] = 1;
                    c.latencyUs.push_back(double(now - c.sentNs[seq]) / 1000.0);
                }
            }
            at = close + 1;
        }
        c.tail = keep < text.size() ? std::string(text.substr(keep, 32)) : std::string();
    }

    Options m_o;
    Client m_flooder;
    std::vector<Client> m_people;
    long long m_floodSent = 0;
    long long m_floodDots = 0; // the padding of every flood line sent, which comes back to the flooder
    // With --reconnect: the flooder's current connection, and how many it made (those turned away included).
    bool m_leaving = false;
    long long m_connectionFirstLine = 0;
    long long m_retryNs = 0;
    int m_connections = 0;
    struct Attempt {
        int fd;
        long long startNs;
    };
    std::vector<Attempt> m_storm;
    long long m_stormConnections = 0;
    long long m_stormFailed = 0;
    pid_t m_stormPid = 0;
    int m_stormPipe = -1;
    long long m_start = 0;
    long long m_floodEndNs = 0;
    long long m_endNs = 0;
};

} // namespace

int main(int argc, char** argv)
{
    return runOnce<Run>(parse(argc, argv));
}
