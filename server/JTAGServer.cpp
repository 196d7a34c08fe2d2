#include <asio.hpp>

#include <unistd.h>

#include <stdexcept>
#include <string>

#include "server/JTAGServerImpl.h"
#include "server/ServerAddress.h"
#include "wire/LocalEndpoint.h"

std::shared_ptr<CJTAGServer> CJTAGServer::CreateJtagServer(const std::string& address)
{
    auto service = std::make_shared<asio::io_context>();
    std::error_code ec;
    std::shared_ptr<CJTAGServer> server;

    CTcpAddress tcp;
    if (!ParseTcpAddress(address, tcp)) {
        // A local endpoint: make way for it (a stale socket of a dead server
        // goes; anything else stays and stops us here).
        if (IsPipeName(address))
            PrepareLocalRuntimeDir(::geteuid());
        RemoveStaleLocalEndpoint(LocalEndpointPath(address));
        server = std::make_shared<CJTAGServerImpl<LocalProtocol>>(address, service, ec);
    } else {
        asio::ip::tcp::resolver resolver(*service);
        // Any address family, TCP, no resolver flags. Throws "resolve: ...".
        auto results = resolver.resolve(tcp.host, tcp.port, asio::ip::resolver_base::flags());
        ec = asio::error::host_not_found;
        for (const auto& entry : results) {
            server = std::make_shared<CJTAGServerImpl<asio::ip::tcp>>(entry.endpoint(), service, ec);
            if (!ec)
                break;
        }
    }
    if (ec)
        throw std::runtime_error("binding to '" + address + "' failed");
    return server;
}

template class CJTAGServerImpl<asio::ip::tcp>;
template class CJTAGServerImpl<LocalProtocol>;
template class CDebugSession<asio::ip::tcp>;
template class CDebugSession<LocalProtocol>;
