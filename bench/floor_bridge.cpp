// The least a gateway's hop can cost on this machine: a WebSocket-to-TCP bridge that does nothing else. It passes a
// browser's binary frames to the server as bytes and the server's bytes back in binary frames, as websockify does,
// in one thread with epoll and TCP_NODELAY on both sides. It answers any upgrade without checking it and reads only
// what a load generator sends (small, masked frames), so it is for measuring, never for browsers.
//   kova_floor_bridge [listen port] [server port]
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unordered_map>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Pair {
    int browser = -1;
    int server = -1;
    bool upgraded = false;
    std::string input; // the browser's bytes not yet passed on
};

int epollFd = -1;
// Both ends of each pair, by descriptor.
std::unordered_map<int, Pair*> pairs;

void watch(int fd)
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event);
}

void sendAll(int fd, const std::string& bytes)
{
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += std::size_t(n);
    }
}

void end(Pair* pair)
{
    for (int fd : {pair->browser, pair->server}) {
        if (fd < 0)
            continue;
        pairs.erase(fd);
        ::close(fd);
    }
    delete pair;
}

int connectToServer(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("kova_floor_bridge: connect to the server");
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// Passes the browser's complete frames on, unmasked; false when the browser closed or the server is gone.
bool passFrames(Pair& pair)
{
    std::size_t at = 0;
    std::string out;
    while (pair.input.size() - at >= 6) {
        const int opcode = pair.input[at] & 0x0F;
        std::size_t length = std::size_t(uint8_t(pair.input[at + 1]) & 0x7F);
        std::size_t head = 2;
        if (length == 126) {
            length = std::size_t(uint8_t(pair.input[at + 2])) << 8 | uint8_t(pair.input[at + 3]);
            head = 4;
        } else if (length == 127) {
            return false;
        }
        if (pair.input.size() - at < head + 4 + length)
            break;
        const char* mask = pair.input.data() + at + head;
        const char* payload = mask + 4;
        if (opcode == 0x8)
            return false;
        if (opcode <= 0x2) {
            for (std::size_t i = 0; i < length; ++i)
                out += char(payload[i] ^ mask[i % 4]);
        }
        at += head + 4 + length;
    }
    pair.input.erase(0, at);
    sendAll(pair.server, out);
    return true;
}

std::string binaryFrame(const char* data, std::size_t size)
{
    std::string frame(1, char(0x82));
    if (size < 126) {
        frame += char(size);
    } else {
        frame += char(126);
        frame += char(size >> 8);
        frame += char(size & 0xFF);
    }
    return frame.append(data, size);
}

} // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    const int port = argc > 1 ? std::atoi(argv[1]) : 8559;
    const int serverPort = argc > 2 ? std::atoi(argv[2]) : 557;
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 16) != 0) {
        std::perror("kova_floor_bridge: listen");
        return 1;
    }
    epollFd = ::epoll_create1(0);
    if (epollFd < 0) {
        std::perror("kova_floor_bridge: epoll");
        return 1;
    }
    watch(listener);

    epoll_event events[16];
    char buffer[65536];
    for (;;) {
        const int count = ::epoll_wait(epollFd, events, 16, -1);
        for (int e = 0; e < count; ++e) {
            const int fd = events[e].data.fd;
            if (fd == listener) {
                const int browser = ::accept(listener, nullptr, nullptr);
                if (browser < 0)
                    continue;
                ::setsockopt(browser, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                auto* pair = new Pair;
                pair->browser = browser;
                pairs[browser] = pair;
                watch(browser);
                continue;
            }
            const auto found = pairs.find(fd);
            if (found == pairs.end())
                continue;
            Pair* pair = found->second;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                end(pair);
                continue;
            }
            if (fd == pair->server) {
                sendAll(pair->browser, binaryFrame(buffer, std::size_t(n)));
                continue;
            }
            pair->input.append(buffer, std::size_t(n));
            if (!pair->upgraded) {
                const std::size_t headEnd = pair->input.find("\r\n\r\n");
                if (headEnd == std::string::npos)
                    continue;
                pair->input.erase(0, headEnd + 4);
                pair->server = connectToServer(serverPort);
                if (pair->server < 0) {
                    end(pair);
                    continue;
                }
                pairs[pair->server] = pair;
                watch(pair->server);
                pair->upgraded = true;
                sendAll(pair->browser,
                        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                        "Sec-WebSocket-Accept: unchecked\r\n\r\n");
            }
            if (!passFrames(*pair))
                end(pair);
        }
    }
}
