#pragma once
// The machine's own IPv4 addresses and the choice of the one that goes into
// the stream's connection URL: the first routable address in the system's
// order, else the last private one.

#include <netinet/in.h>

#include <cstdint>
#include <vector>

// Addresses of interfaces that are up, without loopback, in the system's
// order. Empty when they cannot be read.
std::vector<in_addr> LocalIpv4Addresses();

// Private networks (10/8, 172.16/12, 192.168/16), link-local 169.254/16 and
// the shared range 100.64/10.
bool IsPrivateAddress(in_addr address);

// Writes "http://%s:%d" with the chosen address and the port into url
// (size bytes), or "Cannot detect IP address" when there is none.
void FormatConnectionUrl(const std::vector<in_addr>& addresses, std::uint32_t port, char* url,
                         std::size_t size);
