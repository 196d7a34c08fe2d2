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
#include <vector>

#include "JTAG/core/TapController.h"
#include "JTAG/core/TapStateMachine.h"

namespace ftdi {

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
// the TAP state. Made per batch; its user stores Tracked() afterwards. Its
// moves are TapStateMachine's routes (each fits one TMS command), or from a
// state only a raw sequence leaves the TAP in (Select, Capture, Update,
// Exit2), TapController::RouteTo's by the same rule.
class CommandBuilder {
public:
    struct ScanContext {
        TapState shiftState;  // SHIFT_IR or SHIFT_DR
        TapState exitState;   // PAUSE_IR or PAUSE_DR (two exit clocks), or
                              // EXIT1_IR or EXIT1_DR (one)
        ScanDirection direction;
    };

    CommandBuilder(CommandBuffer& buffer, TapState state);
    CommandBuilder(CommandBuffer& buffer, TapController::State state);

    // The wire's state the TAP is in (after a scan or move, always one of
    // the eight); Tracked() is where it is among all sixteen.
    TapState CurrentState() const;
    TapController::State Tracked() const { return m_state; }

    // Seven clocks with TMS and TDI high: Test-Logic-Reset from anywhere.
    void Reset();
    // The route to `target`, clocked with `opcode`; lastBit (0 or 1) is held
    // on TDI meanwhile, so the first clock out of a shift state shifts it.
    // A missing route throws TapStateMachine's error and writes nothing.
    void Move(Mpsse opcode, TapState target, unsigned char lastBit);
    void Move(TapState target) { Move(MPSSE_TMS_OUT, target, 0); }
    // Exactly `count` clocks in Run-Test/Idle (after moving there), in
    // commands of seven.
    void RunTest(unsigned int count);

    // `count` whole bytes in the current shift state, which stays: the first
    // part of a scan that is too long to go out in one flush.
    void ShiftBytes(ScanDirection direction, const unsigned char* data, unsigned int count);
    // All bits of `data` but the last, as byte and bit commands. bits >= 1.
    void WriteScanCommand(ScanDirection direction, const unsigned char* data, unsigned int bits);
    // A whole scan: into the shift state, the bits, out to the exit state
    // (the exit's first clock carries the last bit). Returns the bytes the
    // chip will send back for it: ReadBackSize(bits) when reading, else 0.
    unsigned int Scan(const ScanContext& context, const unsigned char* data, unsigned int bits);
    // Scans that end in the register's pause state.
    unsigned int ScanDrIO(const unsigned char* data, unsigned int bits);
    unsigned int ScanDrOut(const unsigned char* data, unsigned int bits);
    unsigned int ScanIrIO(const unsigned char* data, unsigned int bits);

private:
    // Clocks a route's TMS bits, in commands of up to seven.
    void WriteRoute(Mpsse opcode, const TapStateMachine::Route& route, unsigned char lastBit);

    CommandBuffer& m_buffer;
    TapController::State m_state;
};

// A raw JTAG sequence (CJTAG::ClockSequence) as MPSSE commands that read
// TDO on every clock: a run of TMS-0 clocks goes out as data (0x39 for whole
// bytes, 0x3B for the rest) while the TMS pin is low, which it stays after a
// TMS command whose last bit was 0; every other clock goes in a TMS command
// (0x6B, up to seven clocks sharing one TDI level, held by bit 7).
struct RawPiece {
    uint32_t clocks;
    // True: clocks / 8 bytes read back as they were clocked (0x39). False:
    // one byte whose top `clocks` bits hold the TDO samples, the first in
    // bit 8 - clocks (bit mode and TMS reads arrive left-aligned).
    bool wholeBytes;
};

struct RawCommands {
    std::vector<unsigned char> commands;
    std::vector<RawPiece> pieces;
    uint64_t clocks = 0;         // the clocks encoded
    unsigned int readBack = 0;   // the bytes the chip sends back for them
};

// Encodes clocks `first` .. of the sequence (bit k of byte k / 8 is clock
// k), at most `bits` of them, stopping where the read-back would exceed
// `maxReadBack` (at least 8 bytes, else std::logic_error): the caller sends
// the rest after reading these. Nothing is assumed about the TMS pin at the
// start.
RawCommands EncodeRawSequence(const unsigned char* tms, const unsigned char* tdi, uint64_t first, uint64_t bits,
                              unsigned int maxReadBack);

// Puts the TDO bits of `pieces` from the `size` bytes read back into `tdo`
// from bit `at` on (setting the ones, leaving the zeros). Throws
// std::runtime_error when `size` is short of the pieces' bytes.
void DecodeRawSequence(const std::vector<RawPiece>& pieces, const unsigned char* raw, size_t size,
                       unsigned char* tdo, uint64_t at);

// Bytes the chip sends back for a read-back scan of `bits` bits (bits >= 1).
unsigned int ReadBackSize(unsigned int bits);

// Clocks of the exit move of a scan that ends in `exitState`: 2 into a
// pause state, 1 into an Exit1 state. The exit move reads its clocks into
// the top bits of its byte, so the scan's last bit lands in bit
// 8 - ExitClocks.
unsigned int ExitClocks(TapState exitState);

// The captured stream of a read-back scan of `bits` bits, (bits + 7) / 8
// bytes, from the bytes the chip sent back for it (the same for IR and DR
// scans); `exitClocks` is the exit move's (ExitClocks). Throws
// std::invalid_argument when bits is 0 or rawData is shorter than
// ReadBackSize(bits).
std::vector<unsigned char> ReadScanChain(const std::vector<unsigned char>& rawData, int bits,
                                         unsigned int exitClocks = 2);

// Clock set-up: 0x86 and the divisor for `hertz` on a chip whose TCK is
// base / (divisor + 1), base 30 MHz on high-speed chips, else 6 MHz: the
// fastest clock not above `hertz`. A frequency the divisor cannot reach is
// clamped: 0 Hz and anything below the slowest clock give the slowest
// (0xFFFF), anything above base the fastest (0).
std::vector<unsigned char> SpeedCommand(bool highSpeed, unsigned int hertz);
// The TCK in hertz that SpeedCommand's divisor gives for `hertz`.
unsigned int SpeedUsed(bool highSpeed, unsigned int hertz);

// A board's reset lines among the channel's 16 GPIO pins (the low byte in
// bits 0-7, the high byte in bits 8-15); a mask of 0 is a line the board
// does not have.
struct ResetLines {
    uint16_t trst = 0;
    bool trstActiveHigh = false;
    uint16_t srst = 0;
    bool srstActiveHigh = false;
};

// The GPIO value with each line asserted (non-zero) or released.
uint16_t LineValue(uint16_t value, const ResetLines& lines, int assertTrst, int assertSrst);

// 0x80 with the low byte of value and direction, then 0x82 with the high
// byte; with `only` set, just the commands of the bytes that hold one of
// its bits (a reset line changes no other byte).
std::vector<unsigned char> GpioCommands(uint16_t value, uint16_t direction, uint16_t only = 0xFFFF);

// GPIO line bits of the two boards the built-in configuration describes
// (config/kestrad.xml), in the byte that holds them.
namespace olimex {
constexpr unsigned char kTrst = 0x01;      // high byte, low asserts
constexpr unsigned char kSrst = 0x02;      // high byte, high asserts
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
