// CLineSocket: one blocking TCP connection to a peer that speaks a line
// protocol, for CNetworkJTAG. It connects within a time limit, sends whole
// buffers, and gathers received text up to a number of line feeds or up to
// the end of a line; what the lines mean is the caller's business
// (Protocol.h). Failures are std::runtime_error with the cause
// and the system's error number.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include "base/Deadline.h"

namespace network {

class CLineSocket {
public:
    // TCP keep-alive: probes after `idleSeconds` of silence, every
    // `intervalSeconds`, and `probes` unanswered probes fail the receive.
    struct KeepAlive {
        int idleSeconds;
        int intervalSeconds;
        int probes;
    };

    CLineSocket() = default;
    ~CLineSocket() { Close(); }
    CLineSocket(const CLineSocket&) = delete;
    CLineSocket& operator=(const CLineSocket&) = delete;

    // Resolves `host` (IPv4) and connects within `timeout`, with keep-alive
    // and without Nagle's delay.
    void Connect(const std::string& host, unsigned short port, std::chrono::milliseconds timeout,
                 const KeepAlive& keepAlive);
    bool IsOpen() const { return m_fd >= 0; }

    void Send(const unsigned char* data, size_t size);
    // Bytes that have arrived and wait unread (up to `most` of them, peeked,
    // left in place); empty when none do. A connection the peer has closed
    // with nothing unread fails with "Connection closed by server".
    std::string Unread(size_t most);

    // Called with each line as it completes (its index from 0, the text
    // without LF and the character before it); throws to stop the receive.
    using LineCheck = std::function<void(size_t index, const std::string& line)>;

    // Receives until at least `lineFeeds` LF characters have arrived and
    // returns everything received. More than `limit` bytes is a "Protocol
    // error"; with a deadline, silence past it fails with ETIMEDOUT; a pause
    // of `silence` between two received pieces fails with a message that the
    // peer did not answer. `check`, when given, sees every complete line.
    std::string ReceiveLines(size_t lineFeeds, size_t limit, const SteadyTime* deadline,
                             std::chrono::milliseconds silence, const LineCheck& check = nullptr);
    // Receives `lines` lines and hands each to `each` as it completes (cut as
    // LineCheck's are), keeping nothing but the line in progress: a reply of
    // millions of lines costs no more memory than its longest line. A line
    // longer than `maxLine` characters is a "Protocol error"; `deadline` and
    // `silence` as for ReceiveLines. Bytes after the last line are dropped.
    void ReceiveEachLine(size_t lines, size_t maxLine, const SteadyTime* deadline, std::chrono::milliseconds silence,
                         const LineCheck& each);
    // Receives until a receive ends with LF (one reply, however many lines),
    // with the same limits; `expected` bytes are made room for at once.
    std::string ReceiveToLineEnd(size_t limit, const SteadyTime* deadline, std::chrono::milliseconds silence,
                                 size_t expected = 0);

    // Shuts both directions down and closes; returns the shutdown's errno, or
    // 0 (also when already closed). The descriptor is released either way.
    int ShutdownAndClose();
    void Close();

private:
    // One recv of at most 1023 bytes; throws on error, on a closed
    // connection, on an expired deadline or after `silence` without a byte.
    size_t ReceiveChunk(char* buffer, const SteadyTime* deadline, std::chrono::milliseconds silence);

    int m_fd = -1;
};

}  // namespace network
