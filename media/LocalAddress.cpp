#include "media/LocalAddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/UniqueHandle.h"

namespace {

// Calls take with each address of the family that an interface which is up
// has, loopback left out, in the system's order.
template <typename Take>
void ForEachAddress(int family, const Take& take) {
    ifaddrs* raw = nullptr;
    if (::getifaddrs(&raw) != 0) return;
    UniqueHandle<ifaddrs, ::freeifaddrs> list(raw);
    for (const ifaddrs* entry = raw; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != family) continue;
        if (!(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK)) continue;
        take(entry->ifa_addr);
    }
}

}  // namespace

std::vector<in_addr> LocalIpv4Addresses() {
    std::vector<in_addr> addresses;
    ForEachAddress(AF_INET, [&](const sockaddr* entry) {
        const in_addr address = reinterpret_cast<const sockaddr_in*>(entry)->sin_addr;
        if ((ntohl(address.s_addr) >> 24) != 127) addresses.push_back(address);
    });
    return addresses;
}

std::vector<in6_addr> GlobalIpv6Addresses() {
    std::vector<in6_addr> addresses;
    ForEachAddress(AF_INET6, [&](const sockaddr* entry) {
        const in6_addr address = reinterpret_cast<const sockaddr_in6*>(entry)->sin6_addr;
        // Global unicast only: no link-local, unique local or mapped ones.
        if ((address.s6_addr[0] & 0xE0) == 0x20) addresses.push_back(address);
    });
    return addresses;
}

std::string Ipv6ConnectionUrl(const std::vector<in6_addr>& addresses, std::uint32_t port) {
    if (addresses.empty()) return {};
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, &addresses.front(), text, sizeof(text));
    return "http://[" + std::string(text) + "]:" + std::to_string(port);
}

bool IsPrivateAddress(in_addr address) {
    const std::uint32_t a = ntohl(address.s_addr);
    return (a >> 24) == 10 ||                   // 10/8
           (a >> 20) == ((172u << 4) | 1) ||    // 172.16/12
           (a >> 16) == ((192u << 8) | 168) ||  // 192.168/16
           (a >> 16) == ((169u << 8) | 254) ||  // 169.254/16, link-local
           (a >> 22) == ((100u << 2) | 1);      // 100.64/10, shared
}

void FormatConnectionUrl(const std::vector<in_addr>& addresses, std::uint32_t port, char* url,
                         std::size_t size) {
    std::string candidate, fallback;
    for (const in_addr& address : addresses) {
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &address, text, sizeof(text));
        candidate = text;
        if (IsPrivateAddress(address)) {
            // Remember the last private address and keep looking for a
            // routable one.
            fallback = candidate;
            candidate.clear();
            continue;
        }
        break;
    }
    const std::string& chosen = candidate.empty() ? fallback : candidate;
    if (chosen.empty()) {
        std::snprintf(url, size, "%s", "Cannot detect IP address");
        return;
    }
    std::snprintf(url, size, "http://%s:%d", chosen.c_str(), static_cast<int>(port));
}
