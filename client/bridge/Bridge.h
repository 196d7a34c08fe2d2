// Bridges from third-party JTAG protocols to an adapter that kestrad holds:
// XVC 1.0 for Xilinx's tools and openFPGALoader, and OpenOCD's
// remote_bitbang. A bridge is a client of kestrad like any other: it holds
// the adapter open in its own session for as long as it runs and serves one
// tool at a time on a TCP socket of its own.
//
// The protocols are parsed by the pure parsers of XvcProtocol.h and
// BitbangProtocol.h; this file moves bytes, runs what they give on the
// adapter (CTarget), and keeps one client at a time:
//   - A client that connects while another is served is refused: it is
//     accepted and closed at once, and the refusal is logged. Neither
//     protocol has an error message, and a closed connection makes the tool
//     say so at once, where a queued client would wait without a word.
//   - Every client that connects, leaves or is refused is logged.
//   - Run* return when options.stop() says so (SIGINT, SIGTERM), within
//     about 100 ms while no adapter call is running.
#pragma once

#include "client/Client.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrad::bridge {

// A failure of the bridge itself (address, listening socket, an adapter
// that cannot serve), not of one of its clients.
class BridgeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What a bridge drives: one open adapter.
class CTarget {
public:
    virtual ~CTarget() = default;
    // Clocks a raw JTAG sequence (CMD_RAW_SEQUENCE); returns the TDO bits.
    virtual std::vector<uint8_t> Sequence(const std::vector<uint8_t>& tms, const std::vector<uint8_t>& tdi,
                                          uint32_t bits) = 0;
    virtual void SetTrst(bool level) = 0;    // false asserts (drives low)
    virtual void SetSysRst(bool level) = 0;  // false asserts (drives low)
    virtual void SetFrequency(uint32_t hertz) = 0;
};

// The adapter `adapter` held open on a kestrad connection. A command the
// server refuses closes the adapter there (the server's rule); the next
// call opens it again before it goes on, so one client's failure does not
// end the bridge.
class CSessionTarget : public CTarget {
public:
    CSessionTarget(client::CClient& client, std::string adapter);

    // Asks for a sequence of 0 clocks, which an adapter that cannot clock
    // sequences refuses: throws client::ServerError with the server's reason.
    void Probe();

    std::vector<uint8_t> Sequence(const std::vector<uint8_t>& tms, const std::vector<uint8_t>& tdi,
                                  uint32_t bits) override;
    void SetTrst(bool level) override;
    void SetSysRst(bool level) override;
    void SetFrequency(uint32_t hertz) override;

private:
    template <typename Call>
    auto Run(Call&& call);

    client::CClient& m_client;
    std::string m_adapter;
    bool m_closed = false;
};

// A listening TCP socket for "HOST:PORT" (split at the last colon; "[::1]:P"
// for IPv6; port 0 picks a free port).
class CListener {
public:
    explicit CListener(const std::string& hostPort);  // throws BridgeError
    ~CListener();
    CListener(const CListener&) = delete;
    CListener& operator=(const CListener&) = delete;

    int Fd() const { return m_fd; }
    // What it is bound to, as HOST:PORT with the real port.
    const std::string& Address() const { return m_address; }
    // One waiting connection (TCP_NODELAY, non-blocking) and its peer as
    // text; -1 when none waits.
    int Accept(std::string& peer);

private:
    int m_fd = -1;
    std::string m_address;
};

struct BridgeOptions {
    std::string adapter;                                // for the log
    std::function<bool()> stop = [] { return false; };  // polled
    // Polled while no client is served: false when the kestrad connection
    // is gone, which ends the bridge (a client would only find out later).
    std::function<bool()> serverAlive = [] { return true; };
    std::function<void(const std::string&)> log = [](const std::string&) {};
    // XVC: the largest TMS or TDI vector of one shift:, as getinfo: says.
    uint32_t maxVectorBytes = 8192;
    // remote_bitbang: the longest sequence sent at once.
    uint32_t maxSequenceBits = 1u << 20;
    // remote_bitbang: how long an 'R' may wait for its clock edge while the
    // client sends nothing (a client that waits for the answer first).
    std::chrono::milliseconds edgeWait{2000};
    // A client that takes no answer bytes for this long is dropped.
    std::chrono::milliseconds sendTimeout{10000};
};

struct BridgeReport {
    unsigned clients = 0;   // served
    unsigned refused = 0;   // turned away while another was served
    uint64_t bits = 0;      // clocked for all clients
};

// Serve until options.stop(). A failure of the kestrad connection ends the
// bridge with its exception (client::ConnectionError, also when
// options.serverAlive() says so between clients); anything a client does
// ends only that client.
BridgeReport RunXvcBridge(CTarget& target, CListener& listener, const BridgeOptions& options);
BridgeReport RunBitbangBridge(CTarget& target, CListener& listener, const BridgeOptions& options);

// Appends `bits` bits of `src` at bit `at` of `dst` (resized to hold them);
// bits of `dst` from `at` on must be 0.
void AppendBits(std::vector<uint8_t>& dst, uint64_t at, const std::vector<uint8_t>& src, uint32_t bits);

}  // namespace kestrad::bridge
