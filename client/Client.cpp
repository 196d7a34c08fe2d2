// Client side of kestrad's wire protocol: the connection over plain POSIX
// sockets. What is sent is built by client/Protocol.cpp.
#include "client/Client.h"

#include "client/SshAddress.h"
#include "client/SshTunnel.h"

#include "base/ByteOrder.h"
#include "base/Connect.h"
#include "base/Deadline.h"
#include "wire/LocalEndpoint.h"
#include "wire/Packets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace kestrad::client {

namespace {

std::string Hex(const uint8_t* data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        if (i)
            out += ' ';
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

std::string ErrnoText(int err) { return std::strerror(err); }

// The uid of a user given by number or name; -1 when there is no such user.
long UserId(const std::string& user)
{
    if (user.empty())
        return -1;
    if (user.find_first_not_of("0123456789") == std::string::npos && user.size() <= 10)
        return std::stol(user);
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return -1;
    return static_cast<long>(found->pw_uid);
}

std::string UserName(long uid)
{
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr)
        return std::string();
    return found->pw_name;
}

// Reads shorter than this go through the read-ahead buffer, in pieces of
// kAheadChunk: one call then takes a small reply and whatever follows it.
constexpr size_t kSmallRead = 4096;
constexpr size_t kAheadChunk = 64 * 1024;

}  // namespace

bool TrustedServerUid(long serverUid, long euid, long serviceUid, long extraUid)
{
    return serverUid == 0 || serverUid == euid || (serviceUid >= 0 && serverUid == serviceUid) ||
           (extraUid >= 0 && serverUid == extraUid);
}

// ---- connection ----------------------------------------------------------

CClient::CClient(ClientOptions options) : m_options(options) {}

CClient::CClient(const std::string& address, ClientOptions options) : m_options(options)
{
    Connect(address);
}

CClient::~CClient()
{
    DisableKeepAlive();
    Disconnect();
}

bool CClient::IsConnected() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_fd >= 0;
}

void CClient::SetReplyTimeout(std::chrono::milliseconds timeout)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_options.replyTimeout = timeout;
}

std::string CClient::Where() const { return "'" + m_address + "'"; }

void CClient::Connect(const std::string& address)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd >= 0)
        throw ConnectionError("already connected to " + Where());
    m_address = address;
    m_tunnelEnd.clear();
    m_keepAliveFailure.clear();
    const size_t colon = address.rfind(':');
    if (IsSshAddress(address)) {
        ConnectSsh();
    } else if (colon != std::string::npos) {
        std::string host = address.substr(0, colon);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        ConnectTcp(host, address.substr(colon + 1));
    } else {
        ConnectLocal(LocalEndpointPath(address));
    }
    try {
        m_connecting = true;
        if (m_options.checkGreeting)
            ReadGreeting();
        m_connecting = false;
    } catch (...) {
        m_connecting = false;
        CloseSocket();
        throw;
    }
    m_lastSend = Clock::now();
}

std::string CClient::KeepAliveFailure() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_keepAliveFailure;
}

pid_t CClient::TunnelPid() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_tunnel ? m_tunnel->Pid() : -1;
}

void CClient::ConnectSsh()
{
    auto env = [](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value ? value : "");
    };
    SshAddress parsed;
    std::vector<std::string> argv;
    try {
        parsed = ParseSshAddress(m_address);
        argv = SshArgv(parsed, env("KESTRAD_SSH"), env("KESTRAD_REMOTE_KESTRACTL"));
    } catch (const std::invalid_argument& e) {
        throw ConnectionError("cannot connect to " + Where() + ": " + e.what());
    }
    try {
        m_tunnel = std::make_unique<CSshTunnel>(argv);
    } catch (const CSshTunnel::StartError& e) {
        throw ConnectionError("cannot connect to " + Where() + ": " + e.what());
    }
    m_tunnelHost = parsed.host;
    m_fd = m_tunnel->TakeFd();
}

void CClient::ConnectTcp(const std::string& host, const std::string& port)
{
    const bool numeric = !port.empty() && port.size() <= 5 &&
                         std::all_of(port.begin(), port.end(),
                                     [](char c) { return c >= '0' && c <= '9'; });
    if (!numeric || std::stoul(port) > 65535)
        throw ConnectionError("cannot connect to " + Where() + ": bad port '" + port + "'");

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &list);
    if (rc != 0)
        throw ConnectionError("cannot connect to " + Where() + ": " + ::gai_strerror(rc));

    const auto deadline = Clock::now() + m_options.connectTimeout;
    std::string lastError = "no address";
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                          ai->ai_protocol);
        if (fd < 0) {
            lastError = ErrnoText(errno);
            continue;
        }
        int err = ConnectWithDeadline(fd, ai->ai_addr, ai->ai_addrlen, deadline);
        if (err != 0) {
            lastError = err == ETIMEDOUT ? "connection timed out" : ErrnoText(err);
            ::close(fd);
            if (RemainingMs(deadline) == 0)
                break;
            continue;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        m_fd = fd;
        break;
    }
    ::freeaddrinfo(list);
    if (m_fd < 0)
        throw ConnectionError("cannot connect to " + Where() + ": " + lastError);
}

void CClient::ConnectLocal(const std::string& path)
{
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(sa.sun_path))
        throw ConnectionError("cannot connect to " + Where() + ": bad socket path '" + path + "'");
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        throw ConnectionError("cannot connect to " + Where() + ": " + ErrnoText(errno));
    // EAGAIN is a full backlog: wait for the server to accept, within the limit.
    int err = ConnectWithDeadline(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa),
                                  Clock::now() + m_options.connectTimeout);
    if (err != 0) {
        ::close(fd);
        // The socket path first: it is what a user can check with ls.
        throw ConnectionError("cannot connect to " + path +
                              (path == m_address ? std::string() : " (" + Where() + ")") + ": " +
                              (err == ETIMEDOUT ? "connection timed out" : ErrnoText(err)));
    }
    // Before a byte is sent: who is listening there?
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        const int error = errno;
        ::close(fd);
        throw ConnectionError("cannot connect to " + path + ": cannot tell who serves it: " + ErrnoText(error));
    }
    std::string extra = m_options.serverUser;
    if (extra.empty())
        if (const char* value = std::getenv("KESTRAD_SERVER_UID"))
            extra = value;
    const long server = static_cast<long>(peer.uid);
    if (!TrustedServerUid(server, static_cast<long>(::geteuid()), UserId("kestrad"), UserId(extra))) {
        ::close(fd);
        const std::string name = UserName(server);
        throw ConnectionError("refusing the server at " + path + ": it runs as uid " + std::to_string(server) +
                              (name.empty() ? std::string() : " (" + name + ")") +
                              ", not as root, as you or as the kestrad service user; set KESTRAD_SERVER_UID=" +
                              std::to_string(server) + " to trust it");
    }
    m_fd = fd;
}

void CClient::ReadGreeting()
{
    const CReplyVersion greeting;
    uint8_t got[sizeof(greeting)];
    // Through ssh the greeting comes after the login: the connect's time.
    RecvAllLocked(got, sizeof(got), m_tunnel ? std::max(m_options.connectTimeout, m_options.replyTimeout)
                                             : m_options.replyTimeout,
                  "greeting");
    if (std::memcmp(got, &greeting, sizeof(got)) != 0)
        FailConnection("bad greeting from " + Where() + ": " + Hex(got, sizeof(got)));
}

void CClient::CloseSocket() noexcept
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_outstanding = 0;
    m_aheadBegin = m_aheadEnd = 0;
    if (m_tunnel) {
        // Closing our end ends ssh and the remote proxy within a round trip.
        const SshEnd& end = m_tunnel->Finish(std::chrono::seconds(2));
        m_tunnelEnd = DescribeSshEnd(end, m_tunnelHost);
        m_tunnelUninformative = end.stoppedByUs || (end.exited && end.status == 0);
        m_tunnel.reset();
    }
    m_keepAliveCv.notify_all();
}

void CClient::RequireConnected() const
{
    if (m_fd < 0)
        throw ConnectionError(m_address.empty() ? std::string("not connected")
                                                : "not connected to " + Where());
}

void CClient::FailConnection(const std::string& message)
{
    const bool tunnel = m_tunnel != nullptr;
    CloseSocket();
    if (!tunnel)
        throw ConnectionError(message);
    // Through ssh, how ssh ended says which step failed; while connecting
    // that is the message. When it says nothing of its own (we stopped it
    // after a time-out, or it ended cleanly after a bad greeting), what the
    // client saw follows.
    if (m_connecting)
        throw ConnectionError("cannot connect to " + Where() + ": " + m_tunnelEnd +
                              (m_tunnelUninformative ? " (" + message + ")" : std::string()));
    throw ConnectionError(message + ": " + m_tunnelEnd);
}

void CClient::FailProtocol(const std::string& message)
{
    // The stream position is unknown after a reply we cannot make sense of.
    CloseSocket();
    throw ProtocolError(message);
}

void CClient::SendAllLocked(const uint8_t* data, size_t size) { SendLocked(data, size, nullptr, 0); }

void CClient::SendLocked(const uint8_t* head, size_t headSize, const uint8_t* body, size_t bodySize)
{
    RequireConnected();
    const size_t total = headSize + bodySize;
    size_t sent = 0;
    auto deadline = Clock::now() + m_options.replyTimeout;
    while (sent < total) {
        iovec iov[2];
        int parts = 0;
        if (sent < headSize)
            iov[parts++] = {const_cast<uint8_t*>(head) + sent, headSize - sent};
        const size_t bodySent = sent > headSize ? sent - headSize : 0;
        if (bodySize > bodySent)
            iov[parts++] = {const_cast<uint8_t*>(body) + bodySent, bodySize - bodySent};
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = parts;
        ssize_t n = ::sendmsg(m_fd, &msg, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            deadline = Clock::now() + m_options.replyTimeout;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // With replies owed, the server may be waiting for this client to
            // take one before it reads further: take them while waiting.
            const short events = m_outstanding > 0 ? POLLOUT | POLLIN : POLLOUT;
            int ev = PollUntil(m_fd, events, deadline);
            if (ev == 0)
                FailConnection("send to " + Where() + " timed out");
            if (ev < 0)
                FailConnection("send to " + Where() + " failed: " + ErrnoText(errno));
            if ((events & POLLIN) && (ev & POLLIN)) {
                // The replies owed bound what may come meanwhile.
                const size_t owed = m_outstanding * (m_options.maxReplyBody + sizeof(CReplyPacketHdr));
                const size_t held = m_aheadEnd - m_aheadBegin;
                if (held >= owed)
                    FailProtocol("reply data from " + Where() + " beyond the " +
                                 std::to_string(m_outstanding) + " replies owed");
                const ssize_t got = ReadAheadLocked(std::min(kAheadChunk, owed - held));
                if (got == 0)
                    FailConnection("connection closed by " + Where() + " while sending");
                if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                    FailConnection("receive from " + Where() + " failed: " + ErrnoText(errno));
                if (got > 0)
                    deadline = Clock::now() + m_options.replyTimeout;
            }
            continue;
        }
        FailConnection("send to " + Where() + " failed: " + ErrnoText(n < 0 ? errno : EPIPE));
    }
    m_lastSend = Clock::now();
}

ssize_t CClient::ReadAheadLocked(size_t most)
{
    if (m_aheadBegin == m_aheadEnd) {
        m_aheadBegin = m_aheadEnd = 0;
    } else if (m_aheadBegin > 0) {
        std::memmove(m_ahead.data(), m_ahead.data() + m_aheadBegin, m_aheadEnd - m_aheadBegin);
        m_aheadEnd -= m_aheadBegin;
        m_aheadBegin = 0;
    }
    if (m_ahead.size() < m_aheadEnd + most)
        m_ahead.resize(m_aheadEnd + most);
    const ssize_t n = ::recv(m_fd, m_ahead.data() + m_aheadEnd, most, MSG_DONTWAIT);
    if (n > 0)
        m_aheadEnd += static_cast<size_t>(n);
    return n;
}

size_t CClient::TakeAheadLocked(uint8_t* data, size_t size)
{
    const size_t n = std::min(size, m_aheadEnd - m_aheadBegin);
    if (n > 0) {
        std::memcpy(data, m_ahead.data() + m_aheadBegin, n);
        m_aheadBegin += n;
    }
    // Large replies read ahead while sending leave no large buffer behind.
    if (m_aheadBegin == m_aheadEnd && m_ahead.size() > 4 * kAheadChunk) {
        std::vector<uint8_t>().swap(m_ahead);
        m_aheadBegin = m_aheadEnd = 0;
    }
    return n;
}

void CClient::RecvAllLocked(uint8_t* data, size_t size, std::chrono::milliseconds timeout,
                            const char* what)
{
    RequireConnected();
    size_t got = TakeAheadLocked(data, size);
    auto deadline = Clock::now() + timeout;
    while (got < size) {
        const bool small = size - got < kSmallRead;
        const ssize_t n = small ? ReadAheadLocked(kAheadChunk) : ::recv(m_fd, data + got, size - got, 0);
        if (n > 0) {
            got += small ? TakeAheadLocked(data + got, size - got) : static_cast<size_t>(n);
            deadline = Clock::now() + timeout;
            continue;
        }
        if (n == 0)
            FailConnection("connection closed by " + Where() + " while reading the " + what + " (" +
                           std::to_string(got) + " of " + std::to_string(size) + " bytes)");
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            int ev = PollUntil(m_fd, POLLIN, deadline);
            if (ev == 0)
                FailConnection(std::string("timed out after ") + std::to_string(timeout.count()) +
                               " ms waiting for the " + what + " from " + Where());
            if (ev < 0)
                FailConnection("receive from " + Where() + " failed: " + ErrnoText(errno));
            continue;
        }
        FailConnection("receive from " + Where() + " failed: " + ErrnoText(errno));
    }
}

void CClient::SendPacketLocked(uint32_t code, const uint8_t* data, size_t size)
{
    if (size > std::numeric_limits<uint32_t>::max())
        throw std::invalid_argument("command body of " + std::to_string(size) +
                                    " bytes does not fit the length field");
    uint8_t header[sizeof(CCmdPacketHdr)];
    WriteLE32(header, code);
    WriteLE32(header + 4, static_cast<uint32_t>(size));
    SendLocked(header, sizeof header, data, size);
}

void CClient::RequireNoneOutstanding() const
{
    if (m_outstanding > 0)
        throw std::logic_error(std::to_string(m_outstanding) +
                               " posted commands are unanswered: Receive their replies first");
}

Reply CClient::ReadReplyLocked(std::chrono::milliseconds timeout)
{
    uint8_t hdr[sizeof(CReplyPacketHdr)];
    RecvAllLocked(hdr, sizeof(hdr), timeout, "reply header");
    Reply reply;
    reply.status = ReadLE32(hdr);
    const uint32_t length = ReadLE32(hdr + 4);
    if (length > m_options.maxReplyBody)
        FailProtocol("reply from " + Where() + " announces " + std::to_string(length) +
                     " body bytes, more than the limit of " +
                     std::to_string(m_options.maxReplyBody));
    reply.body.resize(length);
    if (length)
        RecvAllLocked(reply.body.data(), length, timeout, "reply body");
    return reply;
}

std::vector<uint8_t> CClient::Transact(uint32_t code, const std::vector<uint8_t>& body,
                                       std::optional<size_t> expectedBody, const char* what)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    RequireConnected();
    RequireNoneOutstanding();
    SendPacketLocked(code, body.data(), body.size());
    Reply reply = ReadReplyLocked(m_options.replyTimeout);
    if (reply.status == REPLY_ERROR)
        throw ServerError(std::string(reply.body.begin(), reply.body.end()));
    if (reply.status != REPLY_OK)
        FailProtocol(std::string(what) + ": unexpected reply status " +
                     std::to_string(reply.status) + " from " + Where());
    if (expectedBody && reply.body.size() != *expectedBody)
        FailProtocol(std::string(what) + ": reply body of " + std::to_string(reply.body.size()) +
                     " bytes, expected " + std::to_string(*expectedBody));
    return std::move(reply.body);
}

// ---- commands ------------------------------------------------------------

std::vector<AdapterInfo> CClient::List()
{
    std::vector<uint8_t> body = Transact(CMD_RENUMERATE, {}, std::nullopt, "list");
    // A malformed list leaves the framing intact, so the connection stays open.
    return ParseAdapterList(body.data(), body.size());
}

void CClient::Open(const std::string& name) { Transact(CMD_OPEN, body::Name(name), 0, "open"); }

void CClient::Close() { Transact(CMD_CLOSE, {}, 0, "close"); }

void CClient::SetTrst(bool level) { Transact(CMD_TRST, body::Word(level ? 1 : 0), 0, "trst"); }

void CClient::SetSysRst(bool level) { Transact(CMD_SYS_RST, body::Word(level ? 1 : 0), 0, "srst"); }

uint32_t CClient::ShiftIR(uint32_t value, uint32_t length, TapState end)
{
    std::vector<uint8_t> reply = Transact(CMD_SHIFT_IR, body::ShiftIR(value, length, end), 4, "irscan");
    return ReadLE32(reply.data());
}

std::vector<uint8_t> CClient::ShiftDR(const std::vector<uint8_t>& bits, uint32_t length,
                                      TapState end)
{
    std::vector<uint8_t> request = body::ShiftDR(bits, length, end);
    if (bits.size() > m_options.maxReplyBody)
        throw std::invalid_argument("ShiftDR: " + std::to_string(length) +
                                    " bits exceed the reply limit");
    return Transact(CMD_SHIFT_DR, request, bits.size(), "drscan");
}

void CClient::RunTest(uint32_t count) { Transact(CMD_RUN_TEST, body::Word(count), 0, "runtest"); }

void CClient::UpdateName(const std::string& adapter, const std::string& chipName)
{
    Transact(CMD_UPDATE_NAME, body::UpdateName(adapter, chipName), 0, "chipname");
}

void CClient::WriteBlock(uint32_t address, const uint8_t* data, size_t size)
{
    Transact(CMD_WRITE_BLK, body::WriteBlock(address, data, size), 0, "write");
}

std::vector<uint8_t> CClient::ReadBlock(uint32_t address, uint32_t size)
{
    if (size > m_options.maxReplyBody)
        throw std::invalid_argument("ReadBlock: " + std::to_string(size) +
                                    " bytes exceed the reply limit; split the transfer");
    return Transact(CMD_READ_BLK, body::ReadBlock(address, size), size, "read");
}

void CClient::Reset() { Transact(CMD_RESET, {}, 0, "reset"); }

void CClient::SetFrequency(uint32_t hertz)
{
    Transact(CMD_JTAG_FREQUENCY, body::Word(hertz), 0, "frequency");
}

std::vector<uint8_t> CClient::RawSequence(const std::vector<uint8_t>& tms,
                                          const std::vector<uint8_t>& tdi, uint32_t bits)
{
    std::vector<uint8_t> request = body::RawSequence(tms, tdi, bits);
    if (tms.size() > m_options.maxReplyBody)
        throw std::invalid_argument("RawSequence: " + std::to_string(bits) +
                                    " bits exceed the reply limit");
    return Transact(CMD_RAW_SEQUENCE, request, tms.size(), "raw");
}

void CClient::KeepAlive()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    SendPacketLocked(CMD_KEEPALIVE, nullptr, 0);
}

void CClient::Disconnect() noexcept
{
    DisableKeepAlive();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd < 0)
        return;
    unsigned char packet[sizeof(CCmdPacketHdr)];
    WriteLE32(packet, CMD_DISCONNECT);
    WriteLE32(packet + 4, 0);
    // Best effort and without waiting: the server answers nothing, and a full
    // socket buffer only means it is gone or stuck.
    (void)::send(m_fd, packet, sizeof(packet), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(m_fd, SHUT_RDWR);
    CloseSocket();
}

std::vector<std::vector<uint8_t>> CClient::Execute(const CBatch& batch)
{
    if (batch.ExpectedResultBytes() > m_options.maxReplyBody)
        throw std::invalid_argument("batch results exceed the reply limit");
    std::vector<uint8_t> reply =
        Transact(CMD_ASYNC_OPERATIONS, batch.Body(), batch.ExpectedResultBytes(), "batch");
    return batch.Split(reply);
}

// ---- pipelining ----------------------------------------------------------

void CClient::Post(uint32_t code, const uint8_t* body, size_t size)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    RequireConnected();
    // Counted first: the replies of the commands before it may be read
    // ahead while this one is sent.
    ++m_outstanding;
    try {
        SendPacketLocked(code, body, size);
    } catch (const std::invalid_argument&) {
        --m_outstanding;
        throw;
    }
}

void CClient::Post(const CBatch& batch)
{
    Post(CMD_ASYNC_OPERATIONS, batch.Body().data(), batch.Body().size());
}

void CClient::Receive(std::vector<uint8_t>& body, size_t expectedBody, const char* what)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    RequireConnected();
    if (m_outstanding == 0)
        throw std::logic_error("Receive: no posted command is unanswered");
    uint8_t hdr[sizeof(CReplyPacketHdr)];
    RecvAllLocked(hdr, sizeof(hdr), m_options.replyTimeout, "reply header");
    const uint32_t status = ReadLE32(hdr);
    const uint32_t length = ReadLE32(hdr + 4);
    if (length > m_options.maxReplyBody)
        FailProtocol("reply from " + Where() + " announces " + std::to_string(length) +
                     " body bytes, more than the limit of " + std::to_string(m_options.maxReplyBody));
    body.resize(length);
    if (length)
        RecvAllLocked(body.data(), length, m_options.replyTimeout, "reply body");
    --m_outstanding;
    if (status == REPLY_ERROR)
        throw ServerError(std::string(body.begin(), body.end()));
    if (status != REPLY_OK)
        FailProtocol(std::string(what) + ": unexpected reply status " + std::to_string(status) + " from " +
                     Where());
    if (length != expectedBody)
        FailProtocol(std::string(what) + ": reply body of " + std::to_string(length) + " bytes, expected " +
                     std::to_string(expectedBody));
}

size_t CClient::Outstanding() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_outstanding;
}

// ---- keep-alive ----------------------------------------------------------

void CClient::EnableKeepAlive(std::chrono::milliseconds interval)
{
    DisableKeepAlive();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        RequireConnected();
        m_keepAliveStop = false;
    }
    m_keepAlive = std::thread([this, interval] { KeepAliveLoop(interval); });
}

void CClient::DisableKeepAlive()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_keepAliveStop = true;
    }
    m_keepAliveCv.notify_all();
    if (m_keepAlive.joinable() && m_keepAlive.get_id() != std::this_thread::get_id())
        m_keepAlive.join();
}

void CClient::KeepAliveLoop(std::chrono::milliseconds interval)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_keepAliveStop && m_fd >= 0) {
        const auto due = m_lastSend + interval;
        if (Clock::now() < due) {
            m_keepAliveCv.wait_until(lock, due);
            continue;
        }
        try {
            SendPacketLocked(CMD_KEEPALIVE, nullptr, 0);
        } catch (const std::exception& e) {
            // The connection is closed now; the next call reports it, and
            // KeepAliveFailure() says what happened meanwhile.
            m_keepAliveFailure = e.what();
            return;
        }
    }
}

// ---- raw layer -----------------------------------------------------------

Reply CClient::Command(uint32_t code, const std::vector<uint8_t>& body)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    RequireNoneOutstanding();
    SendPacketLocked(code, body.data(), body.size());
    return ReadReplyLocked(m_options.replyTimeout);
}

void CClient::SendCommand(uint32_t code, const std::vector<uint8_t>& body)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    SendPacketLocked(code, body.data(), body.size());
}

void CClient::SendRaw(const void* data, size_t size)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    SendAllLocked(static_cast<const uint8_t*>(data), size);
}

Reply CClient::ReadReply()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Reply reply = ReadReplyLocked(m_options.replyTimeout);
    if (m_outstanding > 0)
        --m_outstanding;  // the reply of the oldest posted command
    return reply;
}

Reply CClient::ReadReply(std::chrono::milliseconds timeout)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Reply reply = ReadReplyLocked(timeout);
    if (m_outstanding > 0)
        --m_outstanding;
    return reply;
}

bool CClient::DataWithin(std::chrono::milliseconds timeout)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    RequireConnected();
    if (m_aheadEnd > m_aheadBegin)
        return true;
    int ev = PollUntil(m_fd, POLLIN, Clock::now() + timeout);
    if (ev < 0)
        FailConnection("poll on " + Where() + " failed: " + ErrnoText(errno));
    return ev != 0;
}

bool CClient::ServerClosedWithin(std::chrono::milliseconds timeout)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    RequireConnected();
    if (m_aheadEnd > m_aheadBegin)
        return false;  // bytes arrived (and were read ahead)
    int ev = PollUntil(m_fd, POLLIN, Clock::now() + timeout);
    if (ev == 0)
        return false;
    if (ev < 0)
        FailConnection("poll on " + Where() + " failed: " + ErrnoText(errno));
    uint8_t byte;
    for (;;) {
        ssize_t n = ::recv(m_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 0)
            return true;
        if (n > 0)
            return false;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return false;
        return true;  // reset by the peer: closed as well
    }
}

}  // namespace kestrad::client
