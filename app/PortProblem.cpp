#include "app/PortProblem.h"

#include <cerrno>
#include <cstring>

namespace {

// The lowest port that Linux lets every user open, unless the administrator
// lowered net.ipv4.ip_unprivileged_port_start.
constexpr int kFirstUnprivilegedPort = 1024;

std::string Reason(int port, int error) {
    switch (error) {
        case EACCES:
        case EPERM:
            if (port < kFirstUnprivilegedPort) {
                return "on this system only the administrator may open ports below 1024";
            }
            return "the system does not allow this program to open it";
        case EADDRINUSE:
            return "another program, or another copy of Lumacast, already uses it";
        case EADDRNOTAVAIL:
            return "this computer has no network address to open it on";
        case 0:
            return "the server did not start (its log REZizuve.log tells more)";
        default:
            return std::string("the system reports \"") + std::strerror(error) + "\"";
    }
}

}  // namespace

std::string PortProblemText(PortRole role, int port, int error) {
    const std::string number = std::to_string(port);
    const bool privileged = (error == EACCES || error == EPERM) && port < kFirstUnprivilegedPort;
    if (role == PortRole::WebServer) {
        return "The web server cannot listen on HTTP port " + number + ": " + Reason(port, error) +
               ".\nViewers cannot open the viewers' page until it does.\n\n" +
               (privileged ? "Choose an HTTP port from 1024 to 32768"
                           : "Choose another HTTP port") +
               " in Server setup, then save the configuration.";
    }
    return "The broadcast cannot start: the stream cannot listen on ASF port " + number + ": " +
           Reason(port, error) + ".\n\n" +
           (privileged ? "Choose an ASF port from 1024 to 32767" : "Choose another ASF port") +
           " in Server setup, then save the configuration.";
}

int PortErrorOf(HRESULT hr) {
    const auto code = static_cast<std::uint32_t>(hr);
    if ((code & 0xFFFF0000u) != 0x80070000u) return 0;
    const int error = static_cast<int>(code & 0xFFFFu);
    switch (error) {
        case EACCES:
        case EPERM:
        case EADDRINUSE:
        case EADDRNOTAVAIL:
            return error;
        default:
            return 0;
    }
}
