#pragma once
// The machine's own IPv4 addresses and the choice of the one that goes into
// the stream's connection URL: the first routable address in the system's
// order, else the last private one; and its global IPv6 addresses, which
// viewers are offered beside it.

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

// Addresses of interfaces that are up, without loopback, in the system's
// order. Empty when they cannot be read.
std::vector<in_addr> LocalIpv4Addresses();

// Global unicast IPv6 addresses (2000::/3) of interfaces that are up, in the
// system's order: those a viewer outside the home can reach without any
// port forwarding. Empty when there are none or they cannot be read.
std::vector<in6_addr> GlobalIpv6Addresses();

// "http://[ADDRESS]:PORT" with the first of the addresses; empty when there
// is none.
std::string Ipv6ConnectionUrl(const std::vector<in6_addr>& addresses, std::uint32_t port);

// Private networks (10/8, 172.16/12, 192.168/16), link-local 169.254/16 and
// the shared range 100.64/10.
bool IsPrivateAddress(in_addr address);

// Writes "http://%s:%d" with the chosen address and the port into url
// (size bytes), or "Cannot detect IP address" when there is none.
void FormatConnectionUrl(const std::vector<in_addr>& addresses, std::uint32_t port, char* url,
                         std::size_t size);
