#include "tests/client/FakeServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace clienttest {

Bytes LE32(uint32_t v)
{
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes FakeConnection::Command::Wire() const
{
    return Concat({LE32(code), LE32(static_cast<uint32_t>(body.size())), body});
}

void FakeConnection::SendGreeting()
{
    Send({0x01, 0, 0, 0, 0x08, 0, 0, 0, 0xAB, 0xEE, 0xDD, 0xFF, 0, 0, 0, 0});
}

void FakeConnection::Send(const Bytes& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;  // the client went away; the test's own checks say whether that was due
        sent += static_cast<size_t>(n);
    }
}

void FakeConnection::SendReply(uint32_t status, const Bytes& body)
{
    Send(Concat({LE32(status), LE32(static_cast<uint32_t>(body.size())), body}));
}

bool FakeConnection::ReadExactly(uint8_t* out, size_t n, std::chrono::milliseconds timeout)
{
    size_t got = 0;
    while (got < n) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return false;
        ssize_t r = ::recv(m_fd, out + got, n - got, 0);
        if (r <= 0)
            return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

std::optional<FakeConnection::Command> FakeConnection::ReadCommand(std::chrono::milliseconds timeout)
{
    uint8_t hdr[8];
    if (!ReadExactly(hdr, 8, timeout))
        return std::nullopt;
    Command c;
    c.code = hdr[0] | hdr[1] << 8 | hdr[2] << 16 | static_cast<uint32_t>(hdr[3]) << 24;
    const uint32_t len = hdr[4] | hdr[5] << 8 | hdr[6] << 16 | static_cast<uint32_t>(hdr[7]) << 24;
    if (len > (1u << 26))
        return std::nullopt;
    c.body.resize(len);
    if (len && !ReadExactly(c.body.data(), len, timeout))
        return std::nullopt;
    return c;
}

bool FakeConnection::ClientClosed(std::chrono::milliseconds timeout)
{
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
        return false;
    uint8_t b;
    return ::recv(m_fd, &b, 1, MSG_PEEK) <= 0;
}

void FakeConnection::Close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

FakeServer::FakeServer(Script script)
{
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = 0;
    socklen_t len = sizeof(sa);
    if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
        ::listen(m_listen, 4) != 0 ||
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        throw std::runtime_error(std::string("fake server: ") + std::strerror(errno));
    m_address = "127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
    m_thread = std::thread([this, script] { Run(script); });
}

FakeServer::FakeServer(Script script, const std::string& socketPath) : m_path(socketPath)
{
    m_listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strncpy(sa.sun_path, socketPath.c_str(), sizeof(sa.sun_path) - 1);
    ::unlink(socketPath.c_str());
    if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
        ::listen(m_listen, 4) != 0)
        throw std::runtime_error(std::string("fake server: ") + std::strerror(errno));
    m_address = socketPath;
    m_thread = std::thread([this, script] { Run(script); });
}

void FakeServer::Run(Script script)
{
    pollfd p{m_listen, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) {
        ADD_FAILURE() << "fake server: no connection within 10 s";
        return;
    }
    int fd = ::accept(m_listen, nullptr, nullptr);
    if (fd < 0) {
        ADD_FAILURE() << "fake server: accept failed";
        return;
    }
    FakeConnection conn(fd);
    script(conn);
    conn.Close();
}

void FakeServer::Join()
{
    if (m_thread.joinable())
        m_thread.join();
}

FakeServer::~FakeServer()
{
    // Wake a thread still waiting in accept.
    if (m_listen >= 0)
        ::shutdown(m_listen, SHUT_RDWR);
    Join();
    if (m_listen >= 0)
        ::close(m_listen);
    if (!m_path.empty())
        ::unlink(m_path.c_str());
}

}  // namespace clienttest
