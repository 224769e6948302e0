#include "platform/ListenSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/PeerAddress.h"

namespace {

// Closes fd with errno left as the failed call set it.
UniqueFd Fail(UniqueFd& fd) {
    const int error = errno;
    fd.Reset();
    errno = error;
    return {};
}

}  // namespace

UniqueFd OpenListenSocket(std::uint16_t port, std::uint16_t* boundPort, ListenStep* failed) {
    ListenStep ignored;
    if (!failed) failed = &ignored;
    *failed = ListenStep::Socket;
    UniqueFd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const bool v6 = static_cast<bool>(fd);
    if (!v6 && errno == EAFNOSUPPORT)
        fd = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return {};
    // A server replaced on its port takes it over at once from the old one's
    // connections in TIME_WAIT; a port that is really listening still refuses
    // the bind.
    const int reuse = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_storage address{};
    socklen_t length = 0;
    if (v6) {
        // IPv4 clients too, whatever the system's default for new sockets.
        const int both = 0;
        ::setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &both, sizeof both);
        auto& any = reinterpret_cast<sockaddr_in6&>(address);
        any.sin6_family = AF_INET6;
        any.sin6_addr = in6addr_any;
        any.sin6_port = htons(port);
        length = sizeof any;
    } else {
        auto& any = reinterpret_cast<sockaddr_in&>(address);
        any.sin_family = AF_INET;
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        any.sin_port = htons(port);
        length = sizeof any;
    }
    *failed = ListenStep::Bind;
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0) return Fail(fd);
    *failed = ListenStep::Listen;
    if (::listen(fd.Get(), kListenBacklog) != 0) return Fail(fd);
    length = sizeof address;
    if (::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return Fail(fd);
    if (boundPort) *boundPort = ntohs(PeerPort(address));
    return fd;
}

UniqueFd OpenWakeEvent() {
    return UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
}

void SignalWakeEvent(int wake) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake, &one, sizeof one);
}

void ClearWakeEvent(int wake) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t read = ::read(wake, &count, sizeof count);
}
