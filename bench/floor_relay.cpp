// The floor: a minimal relay of the same protocol forms, to measure KOVA against on the same machine in the
// same run. One thread, non-blocking sockets with TCP_NODELAY, nine slots; each read is one message,
// relayed at once to every client ("name > text", or the roster after "NAME:").
//   kova_floor [port]
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Slot {
    int fd = -1;
    std::string name;
    std::string outbox;
};

Slot slots[10];
int epollFd = -1;

void watch(int fd, bool writable)
{
    epoll_event event{};
    event.events = writable ? uint32_t(EPOLLIN | EPOLLOUT) : uint32_t(EPOLLIN);
    event.data.fd = fd;
    ::epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &event);
}

void flush(Slot& slot)
{
    while (!slot.outbox.empty()) {
        const ssize_t n = ::send(slot.fd, slot.outbox.data(), slot.outbox.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0)
            break;
        slot.outbox.erase(0, std::size_t(n));
    }
    watch(slot.fd, !slot.outbox.empty());
}

void broadcast(const std::string& text)
{
    for (int i = 1; i < 10; ++i) {
        if (slots[i].fd < 0)
            continue;
        slots[i].outbox += text;
        flush(slots[i]);
    }
}

void closeSlot(int i)
{
    ::epoll_ctl(epollFd, EPOLL_CTL_DEL, slots[i].fd, nullptr);
    ::close(slots[i].fd);
    slots[i] = Slot{};
    broadcast("RNAME:" + std::to_string(i) + ":");
}

void handle(int i, const std::string& message)
{
    if (message == " ")
        return;
    if (message.find("RNAME:") != std::string::npos) {
        slots[i].name.clear();
        broadcast("RNAME:" + std::to_string(i) + ":");
    } else if (const auto at = message.find("NAME:"); at != std::string::npos) {
        slots[i].name = message.substr(at + 5);
        std::string roster = "NAME:0:floor+";
        for (int c = 1; c < 10; ++c) {
            if (slots[c].fd >= 0)
                roster += "NAME:" + std::to_string(c) + ":" + slots[c].name + "+";
        }
        broadcast(roster);
    } else {
        broadcast(slots[i].name + " > " + message);
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    const int port = argc > 1 ? std::atoi(argv[1]) : 557;
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 64) != 0) {
        std::perror("kova_floor: listen");
        return 1;
    }
    epollFd = ::epoll_create1(0);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listener;
    ::epoll_ctl(epollFd, EPOLL_CTL_ADD, listener, &event);

    epoll_event events[16];
    for (;;) {
        const int count = ::epoll_wait(epollFd, events, 16, -1);
        for (int e = 0; e < count; ++e) {
            const int fd = events[e].data.fd;
            if (fd == listener) {
                const int client = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
                if (client < 0)
                    continue;
                int slot = 1;
                while (slot < 10 && slots[slot].fd >= 0)
                    ++slot;
                if (slot == 10) {
                    ::close(client);
                    continue;
                }
                ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                slots[slot].fd = client;
                epoll_event added{};
                added.events = EPOLLIN;
                added.data.fd = client;
                ::epoll_ctl(epollFd, EPOLL_CTL_ADD, client, &added);
                continue;
            }
            int i = 1;
            while (i < 10 && slots[i].fd != fd)
                ++i;
            if (i == 10)
                continue;
            if (events[e].events & EPOLLOUT)
                flush(slots[i]);
            if (events[e].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                char buffer[65536];
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0)
                    closeSlot(i);
                else
                    handle(i, std::string(buffer, std::size_t(n)));
            }
        }
    }
}
