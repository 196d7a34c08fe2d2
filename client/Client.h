// Client side of kestrad's wire protocol: the connection. What is sent is
// built by client/Protocol.h.
//
// A CClient is one connection to a server: TCP ("host:port", split at the
// last colon), a local endpoint name (a Unix-domain socket at
// LocalEndpointPath(name)) or ssh://[user@]host[:port][/socket] (through
// "kestractl proxy" on that host, started by ssh: client/SshAddress.h). The constructor connects and checks the
// 16-byte greeting; each typed call sends one command and waits for its one
// reply. Every wait is bounded: the connect by ClientOptions::connectTimeout,
// each reply by ClientOptions::replyTimeout (the longest silence allowed
// while a reply is awaited, so a long reply that keeps flowing is not cut).
//
// Failures are exceptions derived from kestrad::client::Error:
//   ConnectionError  connect, greeting, I/O, time-out, connection closed
//   ServerError      an error reply; what() is the server's text exactly
//   ProtocolError    a reply with an unexpected status, size or layout
// Arguments a command cannot carry (an IR length of 40, a bit buffer of the
// wrong size) throw std::invalid_argument before anything is sent.
//
// After a ConnectionError or ProtocolError the stream can no longer be
// trusted: the connection is closed and further calls throw ConnectionError.
// A ServerError leaves the connection usable (the server then holds its
// adapter closed; Open it again to go on).
//
// Post() and Receive() pipeline commands: several are sent before their
// replies are read, in order (the server answers the commands of one
// connection one after the other).
//
// All public calls are serialised by an internal mutex, so the optional
// keep-alive thread (EnableKeepAlive) can share the connection.
#pragma once

#include "client/Protocol.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace kestrad::client {

class CSshTunnel;

struct ClientOptions {
    std::chrono::milliseconds connectTimeout{30000};
    // Longest silence while a reply (or the greeting) is awaited, and the
    // longest wait for the socket to take more bytes while sending.
    std::chrono::milliseconds replyTimeout{30000};
    // Replies with a longer body are refused (ProtocolError) before any
    // allocation: the server's largest reply is a 64 MiB block read.
    size_t maxReplyBody = 64u * 1024u * 1024u + 64u * 1024u;
    // Read and check the greeting while connecting. Tests of the greeting
    // itself turn this off and read it with ReadReply().
    bool checkGreeting = true;
    // A local endpoint is only trusted when the server behind it runs as
    // root, as this user or as the packaged service's user "kestrad" (anyone
    // else may have taken the name first and would hear every command and
    // answer in the server's place). This names one more user to trust, by
    // uid or name; empty means $KESTRAD_SERVER_UID.
    std::string serverUser;
};

// Whether a local endpoint served by `serverUid` is trusted by a client of
// effective user `euid`: root, the client's own user, `serviceUid` (the
// "kestrad" user, or -1 when there is none) and `extraUid` (-1 for none).
bool TrustedServerUid(long serverUid, long euid, long serviceUid, long extraUid);

// ---- the connection ------------------------------------------------------

class CClient {
public:
    // Not connected; call Connect().
    explicit CClient(ClientOptions options = {});
    // Connects at once (see Connect).
    explicit CClient(const std::string& address, ClientOptions options = {});
    // Disconnects (CMD_DISCONNECT, best effort) if still connected.
    ~CClient();
    CClient(const CClient&) = delete;
    CClient& operator=(const CClient&) = delete;

    // "ssh://..." goes through ssh; "host:port" (last colon splits;
    // "[::1]:5000" works too) is TCP, anything else a local endpoint name.
    // Throws ConnectionError; for ssh:// it says which step failed (ssh not
    // found, authentication, no kestractl or no kestrad on the remote host).
    void Connect(const std::string& address);
    bool IsConnected() const;
    const std::string& Address() const { return m_address; }
    const ClientOptions& Options() const { return m_options; }
    void SetReplyTimeout(std::chrono::milliseconds timeout);

    // ---- one call per command ----
    std::vector<AdapterInfo> List();  // CMD_RENUMERATE
    void Open(const std::string& name);
    void Close();
    void SetTrst(bool level);    // false drives TRST low (asserted)
    void SetSysRst(bool level);  // false drives the system reset low
    uint32_t ShiftIR(uint32_t value, uint32_t length, TapState end = TapState::RunTestIdle);
    std::vector<uint8_t> ShiftDR(const std::vector<uint8_t>& bits, uint32_t length,
                                 TapState end = TapState::RunTestIdle);
    void RunTest(uint32_t count);
    void UpdateName(const std::string& adapter, const std::string& chipName);
    void WriteBlock(uint32_t address, const uint8_t* data, size_t size);
    void WriteBlock(uint32_t address, const std::vector<uint8_t>& data)
    {
        WriteBlock(address, data.data(), data.size());
    }
    std::vector<uint8_t> ReadBlock(uint32_t address, uint32_t size);
    void Reset();
    void SetFrequency(uint32_t hertz);
    // CMD_RAW_SEQUENCE: clocks `bits` cycles with bit k of `tms` and `tdi`
    // in cycle k; returns the TDO bits ((bits + 7) / 8 bytes). The TAP ends
    // where the TMS bits lead. An adapter that takes whole scans only
    // refuses it (ServerError), also with 0 bits.
    std::vector<uint8_t> RawSequence(const std::vector<uint8_t>& tms, const std::vector<uint8_t>& tdi,
                                     uint32_t bits);
    void KeepAlive();  // no reply
    // Sends CMD_DISCONNECT (no reply) and closes. Never throws; a no-op when
    // not connected.
    void Disconnect() noexcept;
    // Runs a batch; one result per queued scan (see CBatch::Split).
    std::vector<std::vector<uint8_t>> Execute(const CBatch& batch);

    // ---- pipelining ----
    // Sends a command and returns without waiting for its reply. Replies
    // that arrive while it is being sent are read ahead, so a server that
    // waits for this client to take a reply never stalls the send.
    void Post(uint32_t code, const uint8_t* body, size_t size);
    void Post(const CBatch& batch);  // CMD_ASYNC_OPERATIONS
    // Reads the reply of the oldest posted command into `body` (its memory
    // reused). REPLY_ERROR throws ServerError and leaves the connection
    // usable; another status, or a body of other than `expectedBody` bytes,
    // throws ProtocolError and closes it. `what` names the command.
    void Receive(std::vector<uint8_t>& body, size_t expectedBody, const char* what);
    // Posted commands whose replies have not been received. While there are
    // any, the calls that read a reply of their own (the typed calls,
    // Command, Execute) throw std::logic_error: they would read another's.
    size_t Outstanding() const;

    // ---- keep-alive ----
    // Sends CMD_KEEPALIVE from a background thread whenever nothing has been
    // sent for `interval` (the server drops a session after 10 s of
    // silence). Stops on Disconnect, on DisableKeepAlive, or at the first
    // failure.
    void EnableKeepAlive(std::chrono::milliseconds interval = std::chrono::seconds(4));
    void DisableKeepAlive();
    // Why the keep-alive thread found the connection closed (empty when it
    // did not): no call of the caller's saw that failure.
    std::string KeepAliveFailure() const;

    // ---- raw layer, for tests and tools ----
    // Sends one command packet and reads its reply, without interpreting the
    // status (an error reply is returned, not thrown).
    Reply Command(uint32_t code, const std::vector<uint8_t>& body = {});
    // Sends one command packet; no reply is read.
    void SendCommand(uint32_t code, const std::vector<uint8_t>& body = {});
    // Sends bytes as they are (a partial header, a broken packet).
    void SendRaw(const void* data, size_t size);
    // Reads one reply packet (status, length, body) within the reply time-out
    // (or `timeout` when given). Status values are not checked here, sizes
    // are (maxReplyBody).
    Reply ReadReply();
    Reply ReadReply(std::chrono::milliseconds timeout);
    // True when the server closes the connection within `timeout`. False
    // when the time passes, or at once when bytes arrive instead (they stay
    // unread).
    bool ServerClosedWithin(std::chrono::milliseconds timeout);
    // True when at least one byte (or the end of the stream) is ready to be
    // read within `timeout`; nothing is consumed.
    bool DataWithin(std::chrono::milliseconds timeout);
    // The socket descriptor, -1 when not connected.
    int NativeHandle() const { return m_fd; }
    // The ssh process of an ssh:// connection, -1 for other transports.
    pid_t TunnelPid() const;

private:
    using Clock = std::chrono::steady_clock;

    void ConnectTcp(const std::string& host, const std::string& port);
    void ConnectLocal(const std::string& path);
    void ConnectSsh();
    void ReadGreeting();
    void CloseSocket() noexcept;
    void RequireConnected() const;
    void SendPacketLocked(uint32_t code, const uint8_t* body, size_t size);
    void SendAllLocked(const uint8_t* data, size_t size);
    // Sends header and body with scatter I/O, reading replies ahead while
    // the socket takes no more and replies are outstanding.
    void SendLocked(const uint8_t* head, size_t headSize, const uint8_t* body, size_t bodySize);
    // Reads what has arrived, at most `most` bytes, into m_ahead without
    // waiting: recv()'s result (0: the peer closed; -1: errno says why).
    ssize_t ReadAheadLocked(size_t most);
    size_t TakeAheadLocked(uint8_t* data, size_t size);
    void RequireNoneOutstanding() const;
    void RecvAllLocked(uint8_t* data, size_t size, std::chrono::milliseconds timeout,
                       const char* what);
    Reply ReadReplyLocked(std::chrono::milliseconds timeout);
    // Sends a command and returns the body of its REPLY_OK; throws
    // ServerError for REPLY_ERROR and ProtocolError for any other status or,
    // when expectedBody is set, any other body length.
    std::vector<uint8_t> Transact(uint32_t code, const std::vector<uint8_t>& body,
                                  std::optional<size_t> expectedBody, const char* what);
    [[noreturn]] void FailConnection(const std::string& message);
    [[noreturn]] void FailProtocol(const std::string& message);
    void KeepAliveLoop(std::chrono::milliseconds interval);
    std::string Where() const;

    ClientOptions m_options;
    std::string m_address;
    int m_fd = -1;
    mutable std::mutex m_mutex;
    Clock::time_point m_lastSend{};
    size_t m_outstanding = 0;
    // Bytes received and not yet used: [m_aheadBegin, m_aheadEnd) of m_ahead.
    std::vector<uint8_t> m_ahead;
    size_t m_aheadBegin = 0, m_aheadEnd = 0;

    // ssh:// only: the process, its host, and how the last one ended.
    std::unique_ptr<CSshTunnel> m_tunnel;
    std::string m_tunnelHost;
    std::string m_tunnelEnd;
    bool m_tunnelUninformative = false;
    bool m_connecting = false;

    std::thread m_keepAlive;
    std::condition_variable m_keepAliveCv;
    bool m_keepAliveStop = false;
    std::string m_keepAliveFailure;
};

}  // namespace kestrad::client
