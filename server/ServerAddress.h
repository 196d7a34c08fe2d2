// The -a address of kestrad: a TCP host:port, or the name of a local
// endpoint. Pure text work (no resolver, no sockets), so every case is tested
// without binding anything.
#pragma once

#include <string>

struct CTcpAddress {
    std::string host;  // brackets of "[::1]" removed; may be empty
    std::string port;  // a number 0..65535 or a service name; never empty
};

// Splits a TCP address. Returns false for a local endpoint name (no colon and
// not an IPv4 address). "[host]:port" takes IPv6 hosts in brackets; anything
// else splits at the last colon, so "::1:5000" is host ::1, port 5000.
// Throws std::invalid_argument, naming the address, for a missing port
// ("127.0.0.1", "host:", "[::1]"), a numeric port above 65535 and a
// malformed bracket.
bool ParseTcpAddress(const std::string& address, CTcpAddress& out);
