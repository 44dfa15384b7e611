#pragma once

// What the load generator and the flood generator share: the clock, clients on loopback, the command line, and the
// shape of a run. Plain POSIX, like both of them.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kova::bench {

inline long long nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A blocking client on loopback without Nagle's delay, with the given receive buffer (0: the system's), from the
// loopback address source (host order; 0: the system's choice); ends the program when it cannot connect.
inline int connectTo(int port, int receiveBuffer = 0, uint32_t source = 0)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (source != 0) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(source);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            std::perror("bind");
            std::exit(1);
        }
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// Reads the answer to a registration until the roster has the entry (":name+"); ends the program when none came
// within five seconds.
inline void awaitRoster(int fd, const std::string& entry)
{
    std::string data;
    const long long deadline = nowNs() + 5'000'000'000LL;
    while (data.find(entry) == std::string::npos && nowNs() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            char buffer[4096];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            data.append(buffer, std::size_t(n));
        }
    }
    if (data.find(entry) == std::string::npos) {
        std::fprintf(stderr, "registration of %s got no roster\n", entry.c_str());
        std::exit(1);
    }
}

// The value below which p percent of the values lie (nearest rank); -1 for none.
inline double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(p / 100.0 * double(values.size() - 1) + 0.5))];
}

// Calls apply(key, value) for each "--key value" pair of the command line.
template <typename Apply> void forEachOption(int argc, char** argv, Apply apply)
{
    for (int i = 1; i + 1 < argc; i += 2)
        apply(std::string(argv[i]), argv[i + 1]);
}

// A whole run of a generator: set up from the options, run, and its one RESULT line printed.
template <typename Run, typename Options> int runOnce(const Options& options)
{
    Run run(options);
    run.go();
    run.report();
    return 0;
}

} // namespace kova::bench
