#pragma once
// The listening socket and the wake-up descriptor that the web server and the
// stream server both run on, opened one way for both.

#include <cstdint>

#include "platform/UniqueHandle.h"

// Connections the kernel may hold for a server before it accepts them. Both
// servers accept as fast as connections come and close at once what they will
// not serve, so the queue only has to ride out a burst (viewers reconnecting
// together after a restart, a page with many parts). Linux caps it at
// net.core.somaxconn in any case.
constexpr int kListenBacklog = 4096;

// The step of OpenListenSocket that failed, for the caller's own log.
enum class ListenStep { Socket, Bind, Listen };

// Opens a non-blocking TCP socket listening on every IPv6 and IPv4 address at
// port (one IPv6 socket that takes IPv4 too; IPv4 alone where the system has
// no IPv6) (0: one the system picks) and writes the port actually opened to *boundPort.
// Another socket's connections that linger in TIME_WAIT do not keep the port;
// a socket that really listens on it does. On failure returns no socket,
// leaves errno as the failing call set it and names the step in *failed.
UniqueFd OpenListenSocket(std::uint16_t port, std::uint16_t* boundPort, ListenStep* failed);

// A wake-up descriptor (an eventfd, non-blocking): readable from the first
// SignalWakeEvent until ClearWakeEvent. Any thread may signal it.
UniqueFd OpenWakeEvent();
void SignalWakeEvent(int wake);
void ClearWakeEvent(int wake);
