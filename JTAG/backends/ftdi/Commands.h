// MPSSE command layer of the FTDI back-end, without any I/O.
//
// FTDI's dual and quad channel chips (FT2232C/D, FT2232H, FT4232H) have a
// serial engine, the MPSSE, that clocks TCK, TDI and TMS and samples TDO on
// command (FTDI AN_108, "Command Processor for MPSSE and MCU Host Bus
// Emulation Modes"). JTAG use: data least significant bit first, written on
// the falling TCK edge and read on the rising one. Everything here turns TAP
// moves, idle clocks and register scans into those command bytes, and the
// bytes the chip sends back into captured bit streams; Channel.h moves the
// bytes through libftdi.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "wire/TapState.h"

namespace ftdi {

// The stable TAP states the layer moves between, in the order of the path
// table's rows and columns. EXIT1_DR and EXIT1_IR are passed through only.
constexpr unsigned kTapStates = 6;
constexpr TapState kStableStates[kTapStates] = {
    TapState::TEST_LOGIC_RESET, TapState::RUN_TEST_IDLE, TapState::SHIFT_IR,
    TapState::PAUSE_IR,         TapState::SHIFT_DR,      TapState::PAUSE_DR,
};

// Opcode that clocks a TMS sequence: without or with reading TDO.
enum Mpsse : unsigned char {
    MPSSE_TMS_OUT = 0x4B,
    MPSSE_TMS_IO = 0x6B,
};

// MPSSE opcodes the layer emits besides the TMS ones.
enum MpsseOpcode : unsigned char {
    MPSSE_BYTES_OUT = 0x19,
    MPSSE_BITS_OUT = 0x1B,
    MPSSE_BYTES_IO = 0x39,
    MPSSE_BITS_IO = 0x3B,
    MPSSE_SET_LOW = 0x80,
    MPSSE_SET_HIGH = 0x82,
    MPSSE_LOOPBACK_OFF = 0x85,
    MPSSE_DIVISOR = 0x86,
    MPSSE_DIV5_OFF = 0x8A,
    MPSSE_ADAPTIVE_OFF = 0x97,
};

// 0: bits go out and TDO comes back; 1: bits go out only.
enum ScanDirection : unsigned char {
    SCAN_IO = 0,
    SCAN_OUT = 1,
};

// TMS bits (bit 0 clocked first) and clock count (1..7) of one path.
using TmsPath = std::pair<unsigned char, unsigned char>;
using TmsTable = std::map<std::pair<TapState, TapState>, TmsPath>;

// The 36 paths between the six stable states; built once per process on
// first use. GetTmsPath throws std::logic_error for any other state.
const TmsTable& BuildTmsSequences();
TmsPath GetTmsPath(TapState from, TapState to);

// Collects command bytes and hands them to the flush function in blocks of
// up to `capacity` bytes. A single write longer than the capacity stays
// whole and goes out with the next flush.
class CommandBuffer {
public:
    using FlushFunction = std::function<void(const unsigned char*, unsigned int)>;

    CommandBuffer(unsigned int capacity, FlushFunction flush);

    void Write(const unsigned char* data, unsigned int size);
    // Hands all pending bytes to the flush function once; nothing when empty.
    // The buffer is empty afterwards even when the flush function throws:
    // bytes a failed transfer may have half sent are never sent again.
    void Flush();

    unsigned int Pending() const { return static_cast<unsigned int>(m_pending.size()); }

private:
    FlushFunction m_flush;
    std::vector<unsigned char> m_pending;
    unsigned int m_capacity;
};

// Turns TAP operations into MPSSE commands on a CommandBuffer while tracking
// the TAP state. Made per batch; its user stores CurrentState() afterwards.
class CommandBuilder {
public:
    struct ScanContext {
        TapState shiftState;  // SHIFT_IR or SHIFT_DR
        TapState exitState;   // PAUSE_IR or PAUSE_DR
        ScanDirection direction;
    };

    CommandBuilder(CommandBuffer& buffer, TapState state);

    TapState CurrentState() const { return m_state; }

    // Seven clocks with TMS and TDI high: Test-Logic-Reset from anywhere.
    void Reset();
    // The table path to `target`, clocked with `opcode`; lastBit (0 or 1) is
    // held on TDI meanwhile, so the first clock out of a shift state shifts it.
    void Move(Mpsse opcode, TapState target, unsigned char lastBit);
    void Move(TapState target) { Move(MPSSE_TMS_OUT, target, 0); }
    // Exactly `count` clocks in Run-Test/Idle (after moving there).
    void RunTest(unsigned int count);

    // `count` whole bytes in the current shift state, which stays: the first
    // part of a scan that is too long to go out in one flush.
    void ShiftBytes(ScanDirection direction, const unsigned char* data, unsigned int count);
    // All bits of `data` but the last, as byte and bit commands. bits >= 1.
    void WriteScanCommand(ScanDirection direction, const unsigned char* data, unsigned int bits);
    // A whole scan: into the shift state, the bits, out to the exit state.
    void Scan(const ScanContext& context, const unsigned char* data, unsigned int bits);
    // Returns the bytes the chip will send back for the scan.
    unsigned int ScanDrIO(const unsigned char* data, unsigned int bits);
    unsigned int ScanDrOut(const unsigned char* data, unsigned int bits);
    unsigned int ScanIrOut(const unsigned char* data, unsigned int bits);

private:
    CommandBuffer& m_buffer;
    TapState m_state;
};

// Bytes the chip sends back for a ScanDrIO of `bits` bits (bits >= 1).
unsigned int ReadBackSize(unsigned int bits);

// The captured stream of a ScanDrIO of `bits` bits, (bits + 7) / 8 bytes,
// from the bytes the chip sent back for it. Throws std::invalid_argument
// when bits is 0 or rawData is shorter than ReadBackSize(bits).
std::vector<unsigned char> ReadScanChain(const std::vector<unsigned char>& rawData, int bits);

// Clock set-up: 0x86 and the divisor for `hertz` on a chip whose TCK is
// base / (divisor + 1), base 30 MHz on high-speed chips, else 6 MHz. A
// frequency the divisor cannot reach is clamped: 0 Hz and anything below the
// slowest clock give the slowest (0xFFFF), anything above base the fastest (0).
std::vector<unsigned char> SpeedCommand(bool highSpeed, unsigned int hertz);

// GPIO line bits of the two boards.
namespace olimex {
constexpr unsigned char kTrst = 0x01;      // high byte, low asserts
constexpr unsigned char kSrst = 0x02;      // high byte, high asserts
constexpr unsigned char kMask = 0x04;      // cleared once during set-up
constexpr unsigned char kDirection = 0x0F;
// The high byte value for the two reset requests (non-zero asserts).
unsigned char LineValue(unsigned char value, int assertTrst, int assertSrst);
}  // namespace olimex

namespace flyswatter2 {
constexpr unsigned char kTrst = 0x10;  // low byte, low asserts
constexpr unsigned char kSrst = 0x20;  // low byte, low asserts
constexpr unsigned char kDirection = 0x7B;
unsigned char LineValue(unsigned char value, int assertTrst, int assertSrst);
}  // namespace flyswatter2

}  // namespace ftdi
