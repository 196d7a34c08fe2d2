// TransportTraits<Protocol>: what differs between the two transports the
// server template runs over, TCP (asio::ip::tcp) and the local endpoint
// (LocalProtocol): the acceptor and endpoint types, how the acceptor is made,
// closed and described, who a connection comes from, what is set on an
// accepted stream, and the spelling of the accept handler's trace.
#pragma once

#include <asio.hpp>

#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <string>
#include <system_error>

#include "server/LocalTransport.h"

template <typename Protocol>
struct TransportTraits;

template <>
struct TransportTraits<asio::ip::tcp> {
    using Acceptor = asio::ip::tcp::acceptor;
    using Endpoint = asio::ip::tcp::endpoint;

    // open, set_option (address reuse), bind and listen; a failing step
    // raises std::system_error "cannot listen on HOST:PORT: " and the
    // system's message, so the user sees which address is taken.
    static std::shared_ptr<Acceptor> MakeAcceptor(asio::io_context& io, const Endpoint& endpoint,
                                                  std::error_code& ec)
    {
        std::shared_ptr<Acceptor> acceptor;
        try {
            acceptor = std::make_shared<Acceptor>(io, endpoint, true);
        } catch (const std::system_error& e) {
            throw std::system_error(e.code(), "cannot listen on " + Text(endpoint));
        }
        if (!acceptor->is_open())
            ec = std::error_code(EFAULT, std::system_category());
        else
            ec.clear();
        return acceptor;
    }

    static void Close(Acceptor& acceptor)
    {
        std::error_code ignored;
        acceptor.close(ignored);
    }

    // host:port, an IPv6 host in brackets (as -a takes it).
    static std::string Text(const Endpoint& ep)
    {
        const std::string host = ep.address().to_string();
        return (ep.address().is_v6() ? "[" + host + "]" : host) + ":" + std::to_string(ep.port());
    }

    // The address and the port the system chose.
    static std::string EndpointText(const Acceptor& acceptor)
    {
        std::error_code ec;
        return Text(acceptor.local_endpoint(ec));
    }

    // 127.0.0.0/8, ::1, and IPv4 loopback mapped into IPv6.
    static bool IsLoopback(const asio::ip::address& address)
    {
        if (address.is_v6() && address.to_v6().is_v4_mapped())
            return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).is_loopback();
        return address.is_loopback();
    }

    // What the start-up log says about who may connect: nothing on
    // loopback; elsewhere a warning, as the protocol has no authentication.
    static std::string AccessNote(const Acceptor& acceptor, bool* warning)
    {
        std::error_code ec;
        const Endpoint endpoint = acceptor.local_endpoint(ec);
        if (ec || IsLoopback(endpoint.address()))
            return std::string();
        *warning = true;
        return "Warning: " + Text(endpoint) +
               " is not a loopback address and TCP clients are not authenticated: whoever reaches it drives the "
               "adapters and reads and writes target memory. Keep TCP on 127.0.0.1 and reach kestrad from other "
               "machines through SSH (kestractl -a ssh://HOST).";
    }

    // Who is connecting, for the cap on one source's sessions: the peer's
    // address (every port of one host is one source).
    static std::string Source(asio::ip::tcp::socket& socket)
    {
        std::error_code ec;
        const auto peer = socket.remote_endpoint(ec);
        return ec ? std::string("an unknown address") : peer.address().to_string();
    }

    // Every client waits for each reply: Nagle's algorithm would only add
    // delay to small round trips.
    static void Accepted(asio::ip::tcp::socket& socket)
    {
        std::error_code ignored;
        socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    }

    // GCC qualifies the error code type in __PRETTY_FUNCTION__; the trace
    // keeps the unqualified spelling that logs have always shown.
    static const char* HandleAcceptSignature()
    {
        return "void CJTAGServerImpl<Protocol>::HandleAccept(std::shared_ptr<CDebugSession<Protocol> >, "
               "const error_code&) [with Protocol = asio::ip::tcp; asio::error_code = std::error_code]";
    }
};

template <>
struct TransportTraits<LocalProtocol> {
    using Acceptor = CPipeAcceptor;
    using Endpoint = std::string;

    // Nothing is created on the system yet: the first accept makes the
    // listening socket.
    static std::shared_ptr<Acceptor> MakeAcceptor(asio::io_context& io, const Endpoint& endpoint,
                                                  std::error_code& ec)
    {
        ec.clear();
        return std::make_shared<Acceptor>(io, endpoint);
    }

    static void Close(Acceptor& acceptor) { acceptor.close(); }

    // The socket path.
    static std::string EndpointText(const Acceptor& acceptor) { return acceptor.Path(); }

    // The socket file's mode and group, and who that lets connect.
    static std::string AccessNote(const Acceptor& acceptor, bool* /*warning*/) { return acceptor.AccessText(); }

    // Who is connecting: the client's user, from the kernel (SO_PEERCRED).
    static std::string Source(CPipe& pipe)
    {
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(pipe.native_handle(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
            return "an unknown user";
        return "uid " + std::to_string(peer.uid);
    }

    static void Accepted(CPipe&) {}

    static const char* HandleAcceptSignature()
    {
        return "void CJTAGServerImpl<Protocol>::HandleAccept(std::shared_ptr<CDebugSession<Protocol> >, "
               "const error_code&) [with Protocol = LocalProtocol; asio::error_code = std::error_code]";
    }
};
