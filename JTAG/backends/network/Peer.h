// CNetworkJTAG: a network peer seen as one more JTAG adapter.
//
// The peer is a simulator process, an RTL model of a chip ("RTL_JTAGdemo-0.1")
// or a stand-alone DSP cluster model ("Standalone_DSP_Cluster-0.1"), listening
// on TCP. After a two-line greeting that names its protocol it takes one CR LF
// terminated text command at a time (reset, run, set_trst, set_nrst, wait,
// wrIR, wrDR, dump, write_mem, read_word32, write_word32, save) and answers
// with LF terminated lines; Protocol.h builds and parses them.
// One blocking TCP connection per open adapter (LineSocket.h), one
// exchange at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "JTAG/core/JTAG.h"
#include "JTAG/backends/network/LineSocket.h"

namespace network {

// The time limits of a peer connection and the pause after closing one.
// A reply may take long as a whole (a slow RTL model, a large dump), but a
// peer that sends not a byte of it for `reply` fails the command, which
// closes the adapter: a stalled peer never holds it forever.
struct NetworkTiming {
    std::chrono::milliseconds connect{3000};     // connecting to the peer
    std::chrono::milliseconds greeting{5000};    // its two greeting lines
    std::chrono::milliseconds closePause{1000};  // for the peer to take its side down
                                                 // before this adapter connects again
    std::chrono::milliseconds reply{30000};      // silence within an awaited reply
    // Whole exchanges, so that a peer trickling a byte now and then (which
    // the silence limit never catches) cannot hold an adapter, a renumerate
    // or a session slot for ever: an open (the probe of a renumerate too)
    // has its greeting and both resets answered within `handshake` of the
    // connect; any other reply ends within twice `reply`, plus the time its
    // size takes at `minReplyRate` bytes a second.
    std::chrono::milliseconds handshake{10000};
    size_t minReplyRate = 256u << 10;
};

class CNetworkJTAG : public CNonAsyncJTAG {
public:
    // Probes the peer with Open() and Close(); a peer that does not answer or
    // does not conform leaves the constructor by exception.
    CNetworkJTAG(const std::string& address, unsigned short port, const std::string& name,
                 const AdapterContext& context, NetworkTiming timing = NetworkTiming());
    ~CNetworkJTAG() override;

    // One adapter per configured peer that answers; failing entries are logged
    // and skipped.
    static void AddAdapters(std::vector<std::shared_ptr<CJTAG>>& adapters, const AdapterContext& context);

    void Open() override;
    void Close() override;
    void ReadMemBlk(unsigned int address, void* buffer, unsigned int size) override;
    void WriteMemBlk(unsigned int address, const void* data, unsigned int size) override;
    void SetTRST(bool level) override;
    void SetSYS_RST(bool level) override;
    unsigned int ShiftIR(unsigned int value, int length, TapState end) override;
    void ShiftDR(const unsigned char* in, unsigned char* out, int length,
                 TapState end) override;
    void RunTest(unsigned int count) override;

    static constexpr int kKeepAliveIdleSeconds = 10;
    static constexpr int kKeepAliveIntervalSeconds = 5;
    static constexpr int kKeepAliveProbes = 3;
    // Most reply text accepted for one exchange, beyond the allowance per
    // expected line; more is a "Protocol error" rather than unbounded memory.
    static constexpr size_t kMaxReplyText = 64u << 20;
    static constexpr size_t kReplyLineAllowance = 64;
    // Longest dump row taken (a row is 36 characters; peers may add a
    // little), and the rows of a dump between two checks that its client
    // still waits for it.
    static constexpr size_t kMaxDumpRow = 1024;
    static constexpr uint32_t kDumpRowsPerCheck = 4096;
    // Reply text allowed for a dump row (36 characters and the line end).
    static constexpr size_t kDumpRowText = 40;
    // Most characters of unrequested peer text quoted in the error.
    static constexpr size_t kStrayShown = 64;

protected:
    static bool ParseResult(const std::string& line, unsigned long long& value);

private:
    using Clock = std::chrono::steady_clock;

    void Send(const std::string& command);
    // Sends a command (its text released once sent) and checks for exactly
    // one "ok" line; returns that line. `expected` is the reply's size when
    // it is known to be large: room is made for it at once, and it may exceed
    // kMaxReplyText by that much.
    std::string Exchange(std::string command, size_t expected = 0);
    void SetLine(const std::string& command);
    // `check` sees each line as it arrives and throws for one that cannot
    // belong to the reply.
    void ReadLines(std::vector<std::string>& lines, int n, const Clock::time_point* deadline,
                   const CLineSocket::LineCheck& check = nullptr);
    // When a reply of about `bytes` bytes, awaited from now, must have ended.
    Clock::time_point ReplyDeadline(size_t bytes) const;

    std::string m_serverAddress;
    unsigned short m_port;
    NetworkTiming m_timing;
    CLineSocket m_socket;
    // When this adapter last closed its connection; empty until it has: an
    // adapter that never closed owes the peer no pause (the steady clock's
    // epoch is the boot, so a default time point would be a real, recent time).
    std::optional<Clock::time_point> m_closedAt;
    uint32_t m_savepointCounter = 0;
    // While Open() runs: when the handshake must be done.
    std::optional<Clock::time_point> m_handshakeEnd;
};

}  // namespace network
