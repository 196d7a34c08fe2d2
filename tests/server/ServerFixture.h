// An in-process kestrad server over a real transport (TCP on a kernel-chosen
// loopback port, or the local endpoint in a temporary directory), serving
// fake adapters, with its log recorded.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "client/Client.h"
#include "server/JTAGServerImpl.h"
#include "tests/support/FakeAdapter.h"
#include "tests/support/Process.h"
#include "tests/support/RecordingStream.h"

struct TcpTransport {
    using Protocol = asio::ip::tcp;
    static const char* Name() { return "tcp"; }
};
struct LocalTransport {
    using Protocol = LocalProtocol;
    static const char* Name() { return "local"; }
};

template <typename Transport>
class ServerHarness {
public:
    using Protocol = typename Transport::Protocol;
    using Server = CJTAGServerImpl<Protocol>;

    // Options are set before the server starts serving, as the program does.
    explicit ServerHarness(std::vector<CJTAGHolder::Source> sources, bool verbose = false,
                           std::chrono::milliseconds idleTimeout = Server::kIdleTimeout)
    {
        m_service = std::make_shared<asio::io_context>();
        std::error_code ec;
        if constexpr (std::is_same<Protocol, LocalProtocol>::value)
            m_server = std::make_shared<Server>(m_dir.File("kestrad.sock"), m_service, ec, idleTimeout);
        else
            m_server = std::make_shared<Server>(
                asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0), m_service, ec, idleTimeout);
        if (ec)
            throw std::runtime_error("server set-up failed: " + ec.message());
        m_server->Logger().AddOutputStream(std::make_unique<CStreamHandler>(&m_log));
        m_server->Logger().AddErrorStream(std::make_unique<CStreamHandler>(&m_log));
        // Keep the console quiet but for errors: verbose traces go to the
        // recorder only when a test turns them on.
        m_server->Options()[OPTION_VERBOSE].value = verbose;
        m_server->Description().LoadFromXML("");
        m_server->Holder().SetSources(std::move(sources));
        m_server->StartAccepting();
        m_address = m_server->EndpointText();
    }

    ~ServerHarness() { m_server->Shutdown(); }

    Server& server() { return *m_server; }
    const std::string& Address() const { return m_address; }
    std::string Log() { return m_log.text(); }

    std::unique_ptr<kestrad::client::CClient> Connect(
        kestrad::client::ClientOptions options = {})
    {
        options.connectTimeout = std::chrono::seconds(5);
        if (options.replyTimeout == std::chrono::milliseconds(30000))
            options.replyTimeout = std::chrono::seconds(15);
        return std::make_unique<kestrad::client::CClient>(m_address, options);
    }

    std::shared_ptr<CFakeAdapter> Adapter(const std::string& name)
    {
        std::lock_guard<std::mutex> lock(m_server->Holder().Mutex());
        for (const auto& a : m_server->Holder())
            if (a->IsNamed(name))
                return std::dynamic_pointer_cast<CFakeAdapter>(a);
        return nullptr;
    }

    bool LogContains(const std::string& text)
    {
        return Log().find(text) != std::string::npos;
    }

private:
    testsupport::TempDir m_dir;
    CRecordingStream m_log;
    std::shared_ptr<asio::io_context> m_service;
    std::shared_ptr<Server> m_server;
    std::string m_address;
};

inline std::vector<uint8_t> Le32(uint32_t v)
{
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

inline std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline std::string Text(const std::vector<uint8_t>& body) { return std::string(body.begin(), body.end()); }
