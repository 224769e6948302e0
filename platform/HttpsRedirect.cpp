#include "platform/HttpsRedirect.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/PeerAddress.h"

std::string HttpsRedirect(std::string_view host, std::string_view target, int socket) {
    std::string where(host);
    if (where.empty() ||
        where.find_first_not_of(
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-:[]") !=
            std::string::npos) {
        sockaddr_storage local{};
        socklen_t length = sizeof local;
        std::string address = "127.0.0.1";
        if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) == 0)
            address = PeerAddressText(local);
        if (address.find(':') != std::string::npos) address = "[" + address + "]";
        where = address + ":" + std::to_string(ntohs(PeerPort(local)));
    }
    std::string path(target.empty() || target.front() != '/' ? std::string_view("/") : target);
    for (char& c : path) {
        if (static_cast<unsigned char>(c) < 0x21 || c == 0x7F) c = '_';
    }
    return "HTTP/1.0 301 Moved Permanently\r\nLocation: https://" + where + path +
           "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}
