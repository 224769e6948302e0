#include "platform/PeerAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

std::string PeerAddressText(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr))
            inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text);
        else
            inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    }
    return text;
}

std::uint16_t PeerPort(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) return reinterpret_cast<const sockaddr_in&>(address).sin_port;
    if (address.ss_family == AF_INET6)
        return reinterpret_cast<const sockaddr_in6&>(address).sin6_port;
    return 0;
}

std::string CountedAddress(std::string_view text) {
    const std::string address(text);
    in6_addr v6{};
    if (address.find(':') == std::string::npos || inet_pton(AF_INET6, address.c_str(), &v6) != 1)
        return address;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        char v4[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &v6.s6_addr[12], v4, sizeof v4);
        return v4;
    }
    std::memset(&v6.s6_addr[8], 0, 8);
    char prefix[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &v6, prefix, sizeof prefix);
    return std::string(prefix) + "/64";
}
