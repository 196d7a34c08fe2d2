// The client side of kestrad's wire protocol without any I/O: tap state
// names, the adapter-list parser, the batch encoder, and the command-body
// encoders that CClient (client/Client.h) sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrad::client {

// ---- errors --------------------------------------------------------------

class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ConnectionError : public Error {
public:
    using Error::Error;
};

// An error reply. what() and Message() are the server's text unchanged.
class ServerError : public Error {
public:
    explicit ServerError(const std::string& message) : Error(message) {}
    std::string Message() const { return what(); }
};

class ProtocolError : public Error {
public:
    using Error::Error;
};

// ---- wire-level types ----------------------------------------------------

// End states of a scan; the values travel on the wire.
enum class TapState : uint32_t {
    TestLogicReset = 0,
    RunTestIdle = 1,
    ShiftDR = 2,
    ShiftIR = 3,
    Exit1DR = 4,
    Exit1IR = 5,
    PauseDR = 6,
    PauseIR = 7,
};

// "RUN_TEST_IDLE", "PAUSE_DR", ...
const char* TapStateName(TapState state);
// Accepts, in any letter case, the names above with '_' or '-' between the
// words ("run-test-idle"), the short names common JTAG tools use (RESET,
// IDLE, DRSHIFT, IRSHIFT, DREXIT1, IREXIT1, DRPAUSE, IRPAUSE), or a number
// 0..7. Anything else gives an empty result.
std::optional<TapState> ParseTapState(const std::string& text);

// One record of the adapter list.
struct AdapterInfo {
    std::string name;                   // what Open() takes
    std::string chipName;
    std::optional<std::string> serial;  // only for records with three strings
};

// Parses a CMD_RENUMERATE reply body; throws ProtocolError naming the offset
// of the first malformed record (bad string count, non-zero second byte,
// missing NUL).
std::vector<AdapterInfo> ParseAdapterList(const uint8_t* data, size_t size);

// A raw reply: its status word and its body.
struct Reply {
    uint32_t status = 0;
    std::vector<uint8_t> body;
};

// Number of bytes of a bit stream of `bits` bits.
inline size_t BitBytes(uint32_t bits) { return (static_cast<size_t>(bits) + 7) / 8; }

// ---- batches -------------------------------------------------------------

// A CMD_ASYNC_OPERATIONS body under construction. The reply comes back as
// one run of bytes; Split() cuts it into one result per queued scan.
class CBatch {
public:
    enum class Kind { ShiftIR, ShiftDR, WriteDR };

    struct Scan {
        Kind kind;
        uint32_t length;        // bits
        size_t resultBytes;     // bytes this scan contributes to the reply
    };

    // length 1..32; the result is (length + 7) / 8 bytes of captured bits.
    CBatch& ShiftIR(uint32_t value, uint32_t length, TapState end = TapState::RunTestIdle);
    // bits.size() must be (length + 7) / 8, length >= 1.
    CBatch& ShiftDR(const std::vector<uint8_t>& bits, uint32_t length,
                    TapState end = TapState::RunTestIdle);
    // Like ShiftDR but the captured bits are not returned (empty result).
    CBatch& WriteDR(const std::vector<uint8_t>& bits, uint32_t length,
                    TapState end = TapState::RunTestIdle);

    bool Empty() const { return m_scans.empty(); }
    size_t Size() const { return m_scans.size(); }
    const std::vector<Scan>& Scans() const { return m_scans; }
    const std::vector<uint8_t>& Body() const { return m_body; }
    size_t ExpectedResultBytes() const { return m_resultBytes; }
    void Clear();

    // One entry per queued scan, in order; WriteDR entries are empty.
    // Throws ProtocolError when `reply` is not exactly ExpectedResultBytes().
    std::vector<std::vector<uint8_t>> Split(const std::vector<uint8_t>& reply) const;

private:
    void AddDataScan(uint32_t code, const std::vector<uint8_t>& bits, uint32_t length,
                     TapState end, Kind kind);

    std::vector<Scan> m_scans;
    std::vector<uint8_t> m_body;
    size_t m_resultBytes = 0;
};

// ---- command bodies ------------------------------------------------------

// The body of one command, checked for what the command can carry; an
// argument it cannot carry throws std::invalid_argument.
namespace body {

// A command packet: header (code, body length) and body.
std::vector<uint8_t> Packet(uint32_t code, const uint8_t* body, size_t size);

std::vector<uint8_t> Name(const std::string& name);  // CMD_OPEN
std::vector<uint8_t> Word(uint32_t word);             // CMD_TRST, CMD_SYS_RST, CMD_RUN_TEST, CMD_JTAG_FREQUENCY
std::vector<uint8_t> ShiftIR(uint32_t value, uint32_t length, TapState end);
std::vector<uint8_t> ShiftDR(const std::vector<uint8_t>& bits, uint32_t length, TapState end);
std::vector<uint8_t> UpdateName(const std::string& adapter, const std::string& chipName);
std::vector<uint8_t> WriteBlock(uint32_t address, const uint8_t* data, size_t size);
std::vector<uint8_t> ReadBlock(uint32_t address, uint32_t size);
// CMD_RAW_SEQUENCE: the count, then the TMS and TDI vectors, each
// (bits + 7) / 8 bytes; 0 bits (empty vectors) is allowed.
std::vector<uint8_t> RawSequence(const std::vector<uint8_t>& tms, const std::vector<uint8_t>& tdi,
                                 uint32_t bits);

}  // namespace body

}  // namespace kestrad::client
