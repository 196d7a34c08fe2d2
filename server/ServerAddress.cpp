#include "server/ServerAddress.h"

#include <asio/ip/address_v4.hpp>

#include <stdexcept>

namespace {

[[noreturn]] void Refuse(const std::string& address, const std::string& what)
{
    throw std::invalid_argument("bad address '" + address + "': " + what);
}

void CheckPort(const std::string& address, const std::string& port)
{
    if (port.empty())
        Refuse(address, "missing port (use host:port)");
    if (port.find_first_not_of("0123456789") != std::string::npos)
        return;  // a service name, for the resolver to translate
    // The resolver would quietly wrap a number past 65535 into some other port.
    if (port.size() > 5 || std::stoul(port) > 65535)
        Refuse(address, "port " + port + " is out of range (0 to 65535)");
}

}  // namespace

bool ParseTcpAddress(const std::string& address, CTcpAddress& out)
{
    if (!address.empty() && address[0] == '[') {
        const std::string::size_type close = address.find(']');
        if (close == std::string::npos)
            Refuse(address, "'[' without ']'");
        const std::string rest = address.substr(close + 1);
        if (rest.empty())
            Refuse(address, "missing port (use [host]:port)");
        if (rest[0] != ':')
            Refuse(address, "expected ':' and a port after ']'");
        out.host = address.substr(1, close - 1);
        out.port = rest.substr(1);
        CheckPort(address, out.port);
        return true;
    }
    const std::string::size_type colon = address.rfind(':');
    if (colon == std::string::npos) {
        // A bare IPv4 address is a TCP address missing its port, not the
        // name of a socket file to create in the current directory.
        std::error_code ec;
        asio::ip::make_address_v4(address, ec);
        if (!ec)
            Refuse(address, "missing port (use host:port)");
        return false;
    }
    out.host = address.substr(0, colon);
    out.port = address.substr(colon + 1);
    CheckPort(address, out.port);
    return true;
}
