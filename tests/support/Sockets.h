#pragma once
// Loopback sockets for tests: ports the system picks and reads back, ports
// in the settings' range, clients that connect from any 127.x.y.z address,
// and a request sent whole with the reply read until the server closes.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/UniqueHandle.h"

namespace testsupport {

// A socket listening on every address, on a port the system picked; *port is
// that port.
UniqueFd ListenOnFreePort(int* port);

// A port the system picked for a socket that is closed again: nothing
// listens there, and for a while nothing else is handed it.
int UnusedPort();

// A port in the settings' range (up to 32767, below the system's own range
// for port 0) that nothing uses on any address right now; 0 when none is
// found.
int FreeTcpPort();

// A client connected to port on loopback from the loopback address from
// (every 127.x.y.z address is the machine itself, so tests play several
// clients); receiveBuffer, when above 0, is its receive buffer in bytes.
// An IPv6 from connects to [::1] from there (an address that a network of
// the test's own gave its loopback). Empty when the connection is refused.
UniqueFd ConnectLoopback(int port, const char* from = "127.0.0.1", int receiveBuffer = 0);

// Runs body on a thread in a network namespace of its own, whose loopback is
// up and also holds the IPv6 addresses given, so that a test can play
// clients from several IPv6 networks; what the thread opens stays in that
// namespace. False (body not run) when no namespace can be made here.
bool InNetworkOfItsOwn(const std::vector<std::string>& ipv6Addresses,
                       const std::function<void()>& body);

// Whether something accepts connections on the loopback port now.
bool AcceptsConnections(int port);

// Waits until something accepts connections on the loopback port.
bool WaitForPort(int port, std::chrono::milliseconds limit = std::chrono::seconds(20));

// Sends all of bytes; false when the peer goes away first.
bool SendAll(int fd, const std::string& bytes);

// Sends request from the address from and reads the reply until the server
// closes or is quiet for timeoutMs; empty when the connection is refused.
std::string Fetch(int port, const std::string& request, int timeoutMs = 5000,
                  const char* from = "127.0.0.1");

}  // namespace testsupport
