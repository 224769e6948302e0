#pragma once
// What a TLS port answers a client that speaks plain HTTP to it: the same
// address with https://, so that the client does not hang on a handshake
// that never comes.

#include <string>
#include <string_view>

// The whole response for a request of target with the Host line's value
// host ("" when it had none), on the accepted socket: the host the client
// asked for where it is a plain host[:port], the socket's own address and
// port otherwise.
std::string HttpsRedirect(std::string_view host, std::string_view target, int socket);
