// What both bridges share: the kestrad session they drive, the listening
// socket, and moving bytes to and from one client.
#include "client/bridge/Bridge.h"
#include "client/bridge/BridgeIo.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kestrad::bridge {

// ---- the adapter ---------------------------------------------------------

CSessionTarget::CSessionTarget(client::CClient& client, std::string adapter)
    : m_client(client), m_adapter(std::move(adapter))
{
}

template <typename Call>
auto CSessionTarget::Run(Call&& call)
{
    if (m_closed) {
        m_client.Open(m_adapter);
        m_closed = false;
    }
    try {
        return call();
    } catch (const client::ServerError&) {
        // The server closed the adapter with its refusal; it stays ours.
        m_closed = true;
        throw;
    }
}

void CSessionTarget::Probe()
{
    try {
        Run([&] { return m_client.RawSequence({}, {}, 0); });
    } catch (const client::ServerError& e) {
        const std::string what = e.what();
        if (what == "unknown command")
            throw client::ServerError("the server does not know raw JTAG sequences "
                                      "(CMD_RAW_SEQUENCE); it is older than this kestractl");
        throw client::ServerError(what + "; a bridge needs an adapter that does");
    }
}

std::vector<uint8_t> CSessionTarget::Sequence(const std::vector<uint8_t>& tms, const std::vector<uint8_t>& tdi,
                                              uint32_t bits)
{
    return Run([&] { return m_client.RawSequence(tms, tdi, bits); });
}

void CSessionTarget::SetTrst(bool level)
{
    Run([&] { m_client.SetTrst(level); });
}

void CSessionTarget::SetSysRst(bool level)
{
    Run([&] { m_client.SetSysRst(level); });
}

void CSessionTarget::SetFrequency(uint32_t hertz)
{
    Run([&] { m_client.SetFrequency(hertz); });
}

// ---- the listening socket ------------------------------------------------

namespace {

std::string AddressText(const sockaddr* sa)
{
    char host[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (sa->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        port = ntohs(in->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    if (sa->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        port = ntohs(in6->sin6_port);
        return "[" + std::string(host) + "]:" + std::to_string(port);
    }
    return "?";
}

}  // namespace

CListener::CListener(const std::string& hostPort)
{
    const size_t colon = hostPort.rfind(':');
    if (colon == std::string::npos)
        throw BridgeError("listen address '" + hostPort + "' is not HOST:PORT");
    std::string host = hostPort.substr(0, colon);
    const std::string port = hostPort.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const bool numeric = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
    if (host.empty() || !numeric || std::stoul(port) > 65535)
        throw BridgeError("listen address '" + hostPort + "' is not HOST:PORT (a port from 0 to 65535)");

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
    if (rc != 0)
        throw BridgeError("cannot listen on '" + hostPort + "': " + ::gai_strerror(rc));
    std::string lastError = "no address";
    for (addrinfo* ai = list; ai && m_fd < 0; ai = ai->ai_next) {
        const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
        if (fd < 0) {
            lastError = std::strerror(errno);
            continue;
        }
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd, 8) != 0) {
            lastError = std::strerror(errno);
            ::close(fd);
            continue;
        }
        m_fd = fd;
    }
    ::freeaddrinfo(list);
    if (m_fd < 0)
        throw BridgeError("cannot listen on '" + hostPort + "': " + lastError);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&bound), &length);
    m_address = AddressText(reinterpret_cast<sockaddr*>(&bound));
}

CListener::~CListener()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int CListener::Accept(std::string& peer)
{
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    const int fd = ::accept4(m_fd, reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
        return -1;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    peer = AddressText(reinterpret_cast<sockaddr*>(&from));
    return fd;
}

// ---- one client ----------------------------------------------------------

CConnection::CConnection(int fd, std::string peer) : m_fd(fd), m_peer(std::move(peer)) {}

CConnection::~CConnection()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

CConnection::Read CConnection::ReadSome(uint8_t* buffer, size_t size, size_t& got)
{
    got = 0;
    for (;;) {
        const ssize_t n = ::recv(m_fd, buffer, size, 0);
        if (n > 0) {
            got = static_cast<size_t>(n);
            return Read::Data;
        }
        if (n == 0)
            return Read::End;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return Read::Nothing;
        m_error = std::strerror(errno);
        return Read::Failed;
    }
}

bool CConnection::SendAll(const uint8_t* data, size_t size, std::chrono::milliseconds timeout)
{
    // One send for the whole answer where the socket takes it: some clients
    // (openFPGALoader) read an answer with a single recv.
    size_t sent = 0;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (sent < size) {
        const ssize_t n = ::send(m_fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            deadline = std::chrono::steady_clock::now() + timeout;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int ev = PollUntil(m_fd, POLLOUT, deadline);
            if (ev > 0)
                continue;
            m_error = ev == 0 ? "it took no answer bytes for " + std::to_string(timeout.count()) + " ms"
                              : std::string(std::strerror(errno));
            return false;
        }
        m_error = std::strerror(n < 0 ? errno : EPIPE);
        return false;
    }
    return true;
}

unsigned RefuseWaiting(CListener& listener, const std::string& serving, const BridgeOptions& options)
{
    unsigned refused = 0;
    std::string peer;
    for (int fd; (fd = listener.Accept(peer)) >= 0;) {
        ::close(fd);
        options.log("client " + peer + " refused: serving " + serving);
        ++refused;
    }
    return refused;
}

Wake WaitForEither(int client, int listener, std::chrono::milliseconds timeout)
{
    pollfd fds[2] = {{client, POLLIN, 0}, {listener, POLLIN, 0}};
    const int n = ::poll(fds, 2, static_cast<int>(timeout.count()));
    Wake wake;
    if (n <= 0)
        return wake;
    wake.client = (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    wake.listener = (fds[1].revents & POLLIN) != 0;
    return wake;
}

bool WaitReadable(int fd, std::chrono::microseconds timeout)
{
    pollfd p{fd, POLLIN, 0};
    const timespec ts{static_cast<time_t>(timeout.count() / 1000000), static_cast<long>(timeout.count() % 1000000) * 1000};
    return ::ppoll(&p, 1, &ts, nullptr) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR));
}

// ---- bit vectors ---------------------------------------------------------

void AppendBits(std::vector<uint8_t>& dst, uint64_t at, const std::vector<uint8_t>& src, uint32_t bits)
{
    dst.resize(static_cast<size_t>((at + bits + 7) / 8), 0);
    if (bits == 0)
        return;
    const unsigned shift = static_cast<unsigned>(at % 8);
    uint8_t* out = dst.data() + at / 8;
    const size_t bytes = (static_cast<size_t>(bits) + 7) / 8;
    if (shift == 0) {
        std::memcpy(out, src.data(), bytes);
        if (bits % 8)
            out[bytes - 1] &= static_cast<uint8_t>((1u << (bits % 8)) - 1);
        return;
    }
    for (size_t i = 0; i < bytes; ++i) {
        uint8_t b = src[i];
        if (i == bytes - 1 && bits % 8)
            b &= static_cast<uint8_t>((1u << (bits % 8)) - 1);
        out[i] |= static_cast<uint8_t>(b << shift);
        const uint8_t high = static_cast<uint8_t>(b >> (8 - shift));
        if (high)
            out[i + 1] |= high;
    }
}

std::vector<uint8_t> ExtractBits(const std::vector<uint8_t>& src, uint64_t at, uint32_t bits)
{
    std::vector<uint8_t> out((static_cast<size_t>(bits) + 7) / 8, 0);
    const unsigned shift = static_cast<unsigned>(at % 8);
    const uint8_t* in = src.data() + at / 8;
    const size_t available = src.size() - static_cast<size_t>(at / 8);
    for (size_t i = 0; i < out.size(); ++i) {
        unsigned v = in[i] >> shift;
        if (shift && i + 1 < available)
            v |= static_cast<unsigned>(in[i + 1]) << (8 - shift);
        out[i] = static_cast<uint8_t>(v);
    }
    if (bits % 8)
        out.back() &= static_cast<uint8_t>((1u << (bits % 8)) - 1);
    return out;
}

}  // namespace kestrad::bridge
