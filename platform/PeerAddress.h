#pragma once
// A client's address as the servers log it, limit it and ask the access rule
// about it. An IPv4 client that came in on the IPv6 socket (::ffff:a.b.c.d)
// is its IPv4 address everywhere.

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>

// "192.0.2.7" or "2001:db8::5".
std::string PeerAddressText(const sockaddr_storage& address);
// The port of address, in network byte order.
std::uint16_t PeerPort(const sockaddr_storage& address);

// What the per-address limits count a client by: its IPv4 address, or for an
// IPv6 client the /64 it belongs to ("2001:db8:0:1::/64"), since one home
// holds a whole /64. Text that is no address stays as it is.
std::string CountedAddress(std::string_view text);
