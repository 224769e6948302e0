#include "platform/ListenSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

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
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return {};
    // A server replaced on its port takes it over at once from the old one's
    // connections in TIME_WAIT; a port that is really listening still refuses
    // the bind.
    const int reuse = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    *failed = ListenStep::Bind;
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return Fail(fd);
    *failed = ListenStep::Listen;
    if (::listen(fd.Get(), kListenBacklog) != 0) return Fail(fd);
    socklen_t length = sizeof address;
    if (::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return Fail(fd);
    if (boundPort) *boundPort = ntohs(address.sin_port);
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
