#include "tests/support/Sockets.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>

namespace testsupport {

namespace {

sockaddr_in Address(std::uint32_t host, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(host);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

// A socket bound to port 0 on every address, and the port it got.
UniqueFd BindFreePort(int* port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = Address(INADDR_ANY, 0);
    socklen_t length = sizeof address;
    if (!fd || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        *port = 0;
        return {};
    }
    *port = ntohs(address.sin_port);
    return fd;
}

}  // namespace

UniqueFd ListenOnFreePort(int* port) {
    UniqueFd fd = BindFreePort(port);
    if (fd && ::listen(fd.Get(), 16) != 0) {
        *port = 0;
        return {};
    }
    return fd;
}

int UnusedPort() {
    int port = 0;
    BindFreePort(&port);
    return port;
}

int FreeTcpPort() {
    // The settings take ports up to 32767 only, below the system's own range
    // of ports it hands out for port 0; so a port is picked at random there
    // until one is free on every address.
    static std::mt19937 random(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
    std::uniform_int_distribution<int> pick(20000, 32767);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int port = pick(random);
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in address = Address(INADDR_ANY, port);
        if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            return port;
        }
    }
    return 0;
}

UniqueFd ConnectLoopback(int port, const char* from, int receiveBuffer) {
    const bool v6 = std::strchr(from, ':') != nullptr;
    UniqueFd fd(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return {};
    if (receiveBuffer > 0) {
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    if (v6) {
        sockaddr_in6 local{};
        local.sin6_family = AF_INET6;
        sockaddr_in6 server{};
        server.sin6_family = AF_INET6;
        server.sin6_addr = in6addr_loopback;
        server.sin6_port = htons(static_cast<std::uint16_t>(port));
        if (::inet_pton(AF_INET6, from, &local.sin6_addr) != 1 ||
            ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0)
            return {};
        return fd;
    }
    sockaddr_in local = Address(INADDR_ANY, 0);
    if (::inet_pton(AF_INET, from, &local.sin_addr) != 1 ||
        ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        return {};
    }
    const sockaddr_in server = Address(INADDR_LOOPBACK, port);
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
        return {};
    }
    return fd;
}

bool InNetworkOfItsOwn(const std::vector<std::string>& ipv6Addresses,
                       const std::function<void()>& body) {
    bool made = false;
    // A thread of its own, since a namespace that unshare makes is the
    // calling thread's alone; the threads it starts are in it too.
    std::thread runner([&] {
        if (::unshare(CLONE_NEWNET) != 0) return;
        UniqueFd control(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (!control) return;
        ifreq up{};
        std::strcpy(up.ifr_name, "lo");
        if (::ioctl(control.Get(), SIOCGIFFLAGS, &up) != 0) return;
        up.ifr_flags |= IFF_UP;
        if (::ioctl(control.Get(), SIOCSIFFLAGS, &up) != 0) return;
        for (const std::string& text : ipv6Addresses) {
            // The kernel's in6_ifreq, whose header clashes with the C library's.
            struct {
                in6_addr ifr6_addr;
                std::uint32_t ifr6_prefixlen;
                int ifr6_ifindex;
            } address{};
            address.ifr6_ifindex = static_cast<int>(::if_nametoindex("lo"));
            address.ifr6_prefixlen = 128;
            if (::inet_pton(AF_INET6, text.c_str(), &address.ifr6_addr) != 1 ||
                ::ioctl(control.Get(), SIOCSIFADDR, &address) != 0)
                return;
        }
        // An address is tentative until the kernel's duplicate-address
        // check has passed, which it runs a moment later even on loopback:
        // until then nothing may bind to it.
        for (const std::string& text : ipv6Addresses) {
            sockaddr_in6 local{};
            local.sin6_family = AF_INET6;
            ::inet_pton(AF_INET6, text.c_str(), &local.sin6_addr);
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            for (;;) {
                UniqueFd probe(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
                if (probe &&
                    ::bind(probe.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0)
                    break;
                if (std::chrono::steady_clock::now() > deadline) return;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        made = true;
        body();
    });
    runner.join();
    return made;
}

bool AcceptsConnections(int port) {
    return static_cast<bool>(ConnectLoopback(port));
}

bool WaitForPort(int port, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!AcceptsConnections(port)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool SendAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

std::string Fetch(int port, const std::string& request, int timeoutMs, const char* from) {
    UniqueFd fd = ConnectLoopback(port, from);
    if (!fd || !SendAll(fd.Get(), request)) return {};
    std::string reply;
    char buffer[4096];
    for (;;) {
        pollfd event{fd.Get(), POLLIN, 0};
        if (::poll(&event, 1, timeoutMs) <= 0) break;
        const ssize_t got = ::recv(fd.Get(), buffer, sizeof buffer, 0);
        if (got <= 0) break;
        reply.append(buffer, static_cast<std::size_t>(got));
    }
    return reply;
}

}  // namespace testsupport
