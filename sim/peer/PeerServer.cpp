#include "sim/peer/PeerServer.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace simpeer {

namespace {

[[noreturn]] void ThrowErrno(const char* operation)
{
    throw std::system_error(errno, std::generic_category(), operation);
}

// Closing a socket with unread input makes the kernel send a reset, which
// can destroy our last reply (an error line) before the client reads it.
// So end our side first and discard what the client still sends, for a
// short while.
void CloseGracefully(int fd)
{
    ::shutdown(fd, SHUT_WR);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    char buf[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n == 0 || (n < 0 && errno != EINTR))
            break;
    }
    ::close(fd);
}

}  // namespace

CPeerServer::CPeerServer(PeerOptions options)
    : m_Options(std::move(options)), m_Handler(m_Options.chain, m_Memory, m_Options.protocol)
{
    for (const MemoryImage& image : m_Options.images)
        m_Memory.LoadImage(image.path, image.address);
    if (!m_Options.trace.empty()) {
        m_Trace.open(m_Options.trace, std::ios::app);
        if (!m_Trace)
            throw std::runtime_error("cannot open trace file '" + m_Options.trace + "': " + std::strerror(errno));
    }
}

CPeerServer::~CPeerServer()
{
    if (m_Listener >= 0)
        ::close(m_Listener);
}

int CPeerServer::Listen()
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(m_Options.port);
    const int rc = getaddrinfo(m_Options.bind.c_str(), port.c_str(), &hints, &found);
    if (rc != 0)
        throw std::runtime_error("bad bind address '" + m_Options.bind + "': " + gai_strerror(rc));
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> guard(found, freeaddrinfo);

    m_Listener = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    if (m_Listener < 0)
        ThrowErrno("socket");
    const int on = 1;
    ::setsockopt(m_Listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(m_Listener, found->ai_addr, found->ai_addrlen) != 0)
        ThrowErrno("bind");
    if (::listen(m_Listener, SOMAXCONN) != 0)
        ThrowErrno("listen");
    sockaddr_storage local{};
    socklen_t len = sizeof local;
    if (::getsockname(m_Listener, reinterpret_cast<sockaddr*>(&local), &len) != 0)
        ThrowErrno("getsockname");
    if (local.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
}

void CPeerServer::Serve()
{
    for (uint64_t served = 0; m_Options.maxConnections == 0 || served < m_Options.maxConnections;) {
        const int fd = ::accept4(m_Listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            ThrowErrno("accept");
        }
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ++served;
        ServeConnection(fd, served);
        CloseGracefully(fd);
    }
}

void CPeerServer::ServeConnection(int fd, uint64_t number)
{
    Trace("# connection " + std::to_string(number) + " opened");
    m_Handler.StartConnection();
    bool open = SendLines(fd, m_Handler.Greeting());
    std::string pending;
    char buf[65536];
    while (open) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        pending.append(buf, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t lf; open && (lf = pending.find('\n', start)) != std::string::npos; start = lf + 1) {
            std::string line = pending.substr(start, lf - start);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const LineResult r = HandleLine(fd, line);
            if (r == LineResult::Stall) {
                // Keep the connection open and unanswered until the client gives up.
                Trace("# stalled");
                for (;;) {
                    const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
                    if (got == 0 || (got < 0 && errno != EINTR))
                        break;
                }
                open = false;
            } else if (r == LineResult::Close) {
                open = false;
            }
        }
        pending.erase(0, start);
        if (open && pending.size() > kMaxLineLength) {
            const std::string error = "error: line longer than " + std::to_string(kMaxLineLength) + " bytes";
            Trace("> (" + std::to_string(pending.size()) + " bytes without a line end)");
            SendLines(fd, {error});
            open = false;
        }
    }
    Trace("# connection " + std::to_string(number) + " closed");
}

CPeerServer::LineResult CPeerServer::HandleLine(int fd, const std::string& line)
{
    Trace("> " + line);
    const Fault* fault = FaultFor(CPeerLineHandler::CommandName(line));
    // A faulty reply follows the command's real effect: the target did the
    // work, only its answer goes wrong.
    std::vector<std::string> reply;
    try {
        reply = m_Handler.HandleLine(line);
    } catch (const std::exception& e) {
        // Whatever one command runs into ends that command, not the peer.
        reply = {std::string("error: ") + e.what()};
    }
    if (!fault)
        return SendLines(fd, reply) ? LineResult::Continue : LineResult::Close;
    switch (fault->kind) {
    case Fault::Kind::CloseMidReply: {
        const std::string half = reply.front().substr(0, (reply.front().size() + 1) / 2);
        Trace("< " + half + " (cut, closing)");
        SendAll(fd, half);
        return LineResult::Close;
    }
    case Fault::Kind::Garbage:
        return SendLines(fd, {"#%&? garbage from kestrad-sim ?&%#"}) ? LineResult::Continue : LineResult::Close;
    case Fault::Kind::Stall:
        return LineResult::Stall;
    }
    return LineResult::Continue;
}

const Fault* CPeerServer::FaultFor(const std::string& command)
{
    if (command.empty())
        return nullptr;
    const unsigned count = ++m_CommandCounts[command];
    for (const Fault& f : m_Options.faults)
        if (f.command == command && (f.occurrence == 0 || f.occurrence == count))
            return &f;
    return nullptr;
}

bool CPeerServer::SendLines(int fd, const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& l : lines) {
        Trace("< " + l);
        text += l;
        text += "\r\n";
    }
    return SendAll(fd, text);
}

bool CPeerServer::SendAll(int fd, const std::string& text)
{
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

void CPeerServer::Trace(const std::string& text)
{
    if (m_Trace.is_open())
        m_Trace << text << std::endl;  // flushed: tests read the trace while we run
}

}  // namespace simpeer
