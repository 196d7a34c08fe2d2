// CMSIS-DAP commands without any I/O: the requests this back-end sends, the
// parsing of what the probe answers, and the packing of JTAG clocks into
// DAP_JTAG_Sequence commands.
//
// The protocol is Arm's CMSIS-DAP (the "CMSIS-DAP Commands" of its public
// documentation). Every command is one packet: byte 0 is the command id and
// the response starts with the same id (0xFF answers a command the probe
// does not know). A packet holds at most the probe's packet size, which
// DAP_Info reports; the host may have as many packets in flight as the
// probe's packet count.
//
// DAP_JTAG_Sequence (0x14) carries up to 255 sequences, each one to 64 TCK
// clocks with one TMS level: an info byte (bits 0-5 the clocks, 0 meaning
// 64; bit 6 TMS; bit 7 capture TDO) and the TDI bits, LSB first, padded to
// a byte. The response is 0x14, a status byte and the TDO bits of every
// capturing sequence, each padded to a byte, in order. JtagBatch turns TAP
// moves, scans, idle clocks and raw sequences into such commands, filling
// each packet as far as the packet size allows, and tracks the TAP state;
// everything here is tested byte for byte without a probe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "JTAG/core/TapController.h"

namespace cmsisdap {

enum Command : uint8_t {
    DAP_INFO = 0x00,
    DAP_CONNECT = 0x02,
    DAP_DISCONNECT = 0x03,
    DAP_SWJ_PINS = 0x10,
    DAP_SWJ_CLOCK = 0x11,
    DAP_JTAG_SEQUENCE = 0x14,
    ID_DAP_INVALID = 0xFF,  // the answer to an unknown command
};

// DAP_Info identifiers.
enum InfoId : uint8_t {
    INFO_VENDOR = 0x01,
    INFO_PRODUCT = 0x02,
    INFO_SERIAL = 0x03,
    INFO_PROTOCOL_VERSION = 0x04,
    INFO_FIRMWARE_VERSION = 0x09,
    INFO_CAPABILITIES = 0xF0,
    INFO_PACKET_COUNT = 0xFE,
    INFO_PACKET_SIZE = 0xFF,
};

constexpr uint8_t DAP_OK = 0x00;
constexpr uint8_t DAP_ERROR = 0xFF;
constexpr uint8_t PORT_JTAG = 2;
constexpr uint8_t CAPABILITY_SWD = 0x01;
constexpr uint8_t CAPABILITY_JTAG = 0x02;
// DAP_SWJ_Pins bits.
constexpr uint8_t PIN_nTRST = 1u << 5;
constexpr uint8_t PIN_nRESET = 1u << 7;

// The packet sizes this back-end works with: what Arm's reference firmware
// allows (64 to 32768 bytes, 1 to 255 packets in flight).
constexpr unsigned kMinPacketSize = 64;
constexpr unsigned kMaxPacketSize = 32768;
constexpr unsigned kMaxSequences = 255;

// The name of a command for messages: "DAP_JTAG_Sequence (0x14)".
std::string CommandName(uint8_t command);

// Requests.
std::vector<uint8_t> InfoRequest(uint8_t id);
std::vector<uint8_t> ConnectRequest(uint8_t port);
std::vector<uint8_t> DisconnectRequest();
std::vector<uint8_t> ClockRequest(uint32_t hertz);
// Drives the pins of `select` to their levels in `value`, then waits up to
// `waitUs` microseconds for them to settle.
std::vector<uint8_t> PinsRequest(uint8_t value, uint8_t select, uint32_t waitUs);

// Replies. Each parser checks that the reply answers `command` and is long
// enough, and throws a reply_error naming the command and what is wrong.
class reply_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// [command, status] with status DAP_OK; returns nothing else.
void CheckStatus(uint8_t command, const uint8_t* reply, size_t size);
// DAP_Info: the string (its NUL terminator and anything after it dropped;
// "" when the probe has no such information).
std::string InfoString(const uint8_t* reply, size_t size);
// DAP_Info: a BYTE, SHORT or WORD value, little-endian; `missing` when the
// probe gives none (Len 0).
uint32_t InfoNumber(const uint8_t* reply, size_t size, uint32_t missing);
// DAP_Connect: the port connected, 0 when the probe could not.
uint8_t ConnectedPort(const uint8_t* reply, size_t size);
// DAP_SWJ_Pins: the levels the pins read back.
uint8_t PinsRead(const uint8_t* reply, size_t size);

// A stream of bits, bit k in bit (k mod 8) of byte k / 8.
class BitStream {
public:
    void Append(bool bit);
    void Append(const uint8_t* bits, uint64_t count);
    uint64_t Size() const { return m_size; }
    // Bits offset .. offset + count - 1 moved down to bit 0, in (count + 7)
    // / 8 bytes; std::out_of_range when the stream is shorter.
    std::vector<uint8_t> Slice(uint64_t offset, uint64_t count) const;
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }

private:
    std::vector<uint8_t> m_bytes;
    uint64_t m_size = 0;
};

// One DAP_JTAG_Sequence command and the size of its response.
struct SequencePacket {
    std::vector<uint8_t> request;
    size_t replySize = 2;  // 0x14, status, and the captured TDO bytes
    uint64_t clocks = 0;
};

// The TDO bits a DAP_JTAG_Sequence response carries for `request`,
// appended to `tdo`. Throws reply_error for a response to another command,
// a status other than DAP_OK, or a response shorter than the request asks
// for; a malformed request is refused the same way, never read past.
void ParseSequenceReply(const std::vector<uint8_t>& request, const uint8_t* reply, size_t size, BitStream& tdo);

// TAP operations turned into DAP_JTAG_Sequence packets of at most
// `packetSize` bytes each way. The batch owns the TAP state it tracks: it
// starts where the TAP is when the batch begins and follows every move,
// scan and raw sequence appended. TDI is 0 wherever no bits are given.
class JtagBatch {
public:
    using State = TapController::State;

    // std::logic_error for a packet size outside kMinPacketSize..kMaxPacketSize.
    JtagBatch(State from, unsigned packetSize);

    State GetState() const { return m_state; }
    bool Empty() const { return m_packets.empty(); }
    const std::vector<SequencePacket>& Packets() const { return m_packets; }
    // TDO bits the responses will carry, all packets together.
    uint64_t CapturedBits() const { return m_captured; }

    // The route from the tracked state to `target`: TapStateMachine's, or
    // from a state only a raw sequence leaves the TAP in, one by the same
    // rule (TapController::RouteTo). Nothing when the TAP already rests in
    // `target`, unless that is Test-Logic-Reset or Run-Test/Idle, whose
    // route is one clock.
    void Move(TapState target);
    // A scan from Shift-DR or Shift-IR: TMS 0 but on the last clock, which
    // leaves for Exit1; TDO captured when `capture`. Returns the offset of
    // its TDO bits among all captured ones. std::logic_error outside a
    // Shift state; 0 bits does nothing.
    uint64_t Scan(const uint8_t* tdi, uint64_t bits, bool capture);
    // `count` clocks with TMS 0 and TDI 0, where the TAP stays (Run-Test/Idle).
    void Idle(uint64_t count);
    // Clock k drives bit k of `tms` and of `tdi`, and every clock's TDO is
    // captured; the tracked state follows the TMS bits through all sixteen
    // states. Returns the offset of its TDO bits.
    uint64_t Raw(const uint8_t* tms, const uint8_t* tdi, uint64_t bits);

private:
    // Appends clocks with one TMS level; `tdi` null for TDI 0.
    void Clocks(bool tms, const uint8_t* tdi, uint64_t first, uint64_t count, bool capture);
    void Route(const TapStateMachine::Route& route);
    void NewPacket();

    State m_state;
    unsigned m_packetSize;
    std::vector<SequencePacket> m_packets;
    uint64_t m_captured = 0;
    // The last sequence of the last packet, which more clocks may extend.
    size_t m_lastInfo = 0;  // its info byte in the request; 0: none
    unsigned m_lastClocks = 0;
    bool m_lastTms = false;
    bool m_lastCapture = false;
};

}  // namespace cmsisdap
