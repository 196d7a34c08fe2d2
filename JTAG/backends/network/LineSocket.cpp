#include "JTAG/backends/network/LineSocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "JTAG/backends/network/Protocol.h"
#include "base/Connect.h"

namespace network {

namespace {

std::runtime_error SocketError(const char* what, int error)
{
    return std::runtime_error(what + std::to_string(error));
}

}  // namespace

void CLineSocket::Connect(const std::string& host, unsigned short port, std::chrono::milliseconds timeout,
                          const KeepAlive& keepAlive)
{
    Close();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        throw SocketError("Can't create socket, error: ", errno);

    // gethostbyname_r: the thread-safe form of the host name lookup; several
    // sessions may open peers at once. Its error numbers are the h_errno codes.
    hostent entry{};
    hostent* found = nullptr;
    int hostError = 0;
    std::vector<char> scratch(1024);
    int rc;
    while ((rc = ::gethostbyname_r(host.c_str(), &entry, scratch.data(), scratch.size(), &found,
                                   &hostError)) == ERANGE &&
           scratch.size() < (1u << 20))
        scratch.resize(scratch.size() * 2);
    if (rc != 0 || found == nullptr || found->h_addrtype != AF_INET || found->h_addr_list[0] == nullptr)
        throw SocketError("Can't resolve server, error: ", rc != 0 ? rc : hostError);

    // Keep-alive notices a peer that has vanished while a reply is awaited;
    // TCP_USER_TIMEOUT does the same for data the peer never acknowledged,
    // where keep-alive does not probe.
    const int on = 1;
    const unsigned int userTimeoutMs =
        (keepAlive.idleSeconds + keepAlive.intervalSeconds * keepAlive.probes + 5) * 1000;
    if (::setsockopt(m_fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_KEEPIDLE, &keepAlive.idleSeconds, sizeof(int)) != 0 ||
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_KEEPINTVL, &keepAlive.intervalSeconds, sizeof(int)) != 0 ||
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_KEEPCNT, &keepAlive.probes, sizeof(int)) != 0 ||
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs) != 0)
        throw SocketError("Can't make socket keepalive: ", errno);
    // Every exchange is one short line and a wait for its answer: Nagle's
    // algorithm would only add a delayed-ACK round to each of them.
    if (::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
        throw SocketError("Can't set TCP_NODELAY, error: ", errno);

    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    std::memcpy(&peer.sin_addr, found->h_addr_list[0], sizeof peer.sin_addr);

    // An unreachable peer costs at most the time-out instead of the system's
    // minutes of SYN retries.
    const int error = ConnectWithDeadline(m_fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer,
                                          std::chrono::steady_clock::now() + timeout);
    if (error != 0)
        throw SocketError("Can't connect to server, error: ", error);
}

void CLineSocket::Close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

int CLineSocket::ShutdownAndClose()
{
    if (m_fd < 0)
        return 0;
    const int error = ::shutdown(m_fd, SHUT_RDWR) != 0 ? errno : 0;
    Close();
    return error;
}

void CLineSocket::Send(const unsigned char* data, size_t size)
{
    size_t sent = 0;
    while (sent < size) {
        // MSG_NOSIGNAL: a peer that went away must give an error, not SIGPIPE.
        const ssize_t n = ::send(m_fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw SocketError("Can't send data to server, error: ", errno);
        }
        sent += static_cast<size_t>(n);
    }
}

std::string CLineSocket::Unread(size_t most)
{
    std::string text(most, '\0');
    for (;;) {
        const ssize_t n = ::recv(m_fd, text.data(), most, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return std::string();
        if (n < 0)
            throw SocketError("Can't recv data from server, error: ", errno);
        if (n == 0)
            throw std::runtime_error("Connection closed by server");
        text.resize(static_cast<size_t>(n));
        return text;
    }
}

size_t CLineSocket::ReceiveChunk(char* buffer, const SteadyTime* deadline, std::chrono::milliseconds silence)
{
    for (;;) {
        // A stalled peer must not hold the adapter (and its session) forever.
        const SteadyTime quiet = std::chrono::steady_clock::now() + silence;
        const bool byDeadline = deadline != nullptr && *deadline < quiet;
        const int ready = PollUntil(m_fd, POLLIN, byDeadline ? *deadline : quiet);
        if (ready < 0)
            throw SocketError("Can't recv data from server, error: ", errno);
        if (ready == 0 && byDeadline)
            throw SocketError("Can't recv data from server, error: ", ETIMEDOUT);
        if (ready == 0)
            throw std::runtime_error("The peer did not answer for " + std::to_string(silence.count()) + " ms");
        const ssize_t n = ::recv(m_fd, buffer, 1023, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw SocketError("Can't recv data from server, error: ", errno);
        // An orderly close while a reply is awaited: fail instead of waiting
        // for bytes that can never come.
        if (n == 0)
            throw std::runtime_error("Connection closed by server");
        return static_cast<size_t>(n);
    }
}

std::string CLineSocket::ReceiveLines(size_t lineFeeds, size_t limit, const SteadyTime* deadline,
                                      std::chrono::milliseconds silence, const LineCheck& check)
{
    std::string text;
    size_t seen = 0;
    size_t lineStart = 0;
    size_t lineIndex = 0;
    char buffer[1024];
    while (seen < lineFeeds) {
        const size_t got = ReceiveChunk(buffer, deadline, silence);
        const size_t before = text.size();
        seen += network::CountLF(buffer, got);
        text.append(buffer, got);
        if (text.size() > limit)
            throw std::runtime_error("Protocol error");
        if (!check)
            continue;
        // Each line as it completes, cut as SplitLines cuts it, so a reply
        // that cannot be the awaited one fails now rather than after lines
        // that will never come.
        for (size_t i = before; i < text.size(); ++i) {
            if (text[i] != '\n')
                continue;
            const size_t length = i - lineStart;
            check(lineIndex++, length > 0 ? text.substr(lineStart, length - 1) : std::string());
            lineStart = i + 1;
        }
    }
    return text;
}

void CLineSocket::ReceiveEachLine(size_t lines, size_t maxLine, const SteadyTime* deadline,
                                  std::chrono::milliseconds silence, const LineCheck& each)
{
    std::string line;
    size_t index = 0;
    char buffer[1024];
    while (index < lines) {
        const size_t got = ReceiveChunk(buffer, deadline, silence);
        for (size_t i = 0; i < got && index < lines; ++i) {
            if (buffer[i] != '\n') {
                if (line.size() == maxLine)
                    throw std::runtime_error("Protocol error");
                line += buffer[i];
                continue;
            }
            // The character before the LF is the CR and is dropped whatever it is.
            if (!line.empty())
                line.pop_back();
            each(index++, line);
            line.clear();
        }
    }
}

std::string CLineSocket::ReceiveToLineEnd(size_t limit, const SteadyTime* deadline, std::chrono::milliseconds silence,
                                          size_t expected)
{
    std::string text;
    text.reserve(std::min(expected, limit));
    char buffer[1024];
    size_t got;
    do {
        got = ReceiveChunk(buffer, deadline, silence);
        text.append(buffer, got);
        if (text.size() > limit)
            throw std::runtime_error("Protocol error");
    } while (buffer[got - 1] != '\n');
    return text;
}

}  // namespace network
