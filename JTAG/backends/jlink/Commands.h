// J-Link USB protocol pieces without any I/O: the JTAG command builder
// (EMU_CMD_HW_JTAG3 / EMU_CMD_HW_JTAG_WRITE), the small fixed commands, and
// the parsing of what the probe answers.
//
// The J-Link clocks raw TMS/TDI bit streams: one JTAG command carries a bit
// count n, n TMS bits and n TDI bits, and EMU_CMD_HW_JTAG3 answers with n TDO
// bits and a status byte (SEGGER RM08001, as libjaylink implements it). The
// builder writes the TAP moves between scans itself, from TapStateMachine's
// routes, so that many scans share one command. Everything here turns
// arguments into bytes and replies into scan results; it is tested byte for
// byte without a probe. Raw sequences (AppendRaw) go into the same command,
// so the tracked TAP may rest in any of the sixteen states between steps.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "JTAG/core/TapController.h"
#include "JTAG/core/TapStateMachine.h"

namespace jlink {

// First bytes of the commands this server sends.
enum Command : uint8_t {
    EMU_CMD_VERSION = 0x01,
    EMU_CMD_SET_SPEED = 0x05,
    EMU_CMD_SET_KS_POWER = 0x08,
    EMU_CMD_HW_SELECT_IF = 0xC7,
    EMU_CMD_HW_JTAG3 = 0xCF,
    EMU_CMD_HW_JTAG_WRITE = 0xD5,
    EMU_CMD_HW_RESET0 = 0xDC,
    EMU_CMD_HW_RESET1 = 0xDD,
    EMU_CMD_HW_TRST0 = 0xDE,
    EMU_CMD_HW_TRST1 = 0xDF,
    EMU_CMD_READ_CONFIG = 0xF2,
};

constexpr unsigned kCommandBufferSize = 65536;
constexpr unsigned kMaxClocks = 65535;  // the bit count field is 16 bits
constexpr size_t kConfigSize = 256;
constexpr size_t kSelectInterfaceReplySize = 4;
constexpr uint16_t kMaxSpeedKHz = 12000;
constexpr uint16_t kMinSpeedKHz = 400;

// A JTAG command has no room for more clocks (or bytes).
class limit_exceeded : public std::runtime_error {
public:
    limit_exceeded()
        : std::runtime_error(
              "Reached the limit of transmitted data for EMU_CMD_HW_JTAG_WRITE/EMU_CMD_HW_JTAG3 command.")
    {
    }
};

// A clock in hertz as the kHz the probe is set to: hertz / 1000, raised to
// 400 and lowered to 12000 (the probe's range).
uint16_t SpeedFromHertz(unsigned int hertz);

// 0x05, then the speed in kHz, low byte first.
std::array<uint8_t, 3> SpeedCommand(uint16_t kHz);

// 1 when the version text holds "J-Link", else 0.
int AdapterTypeFromVersion(const uint8_t* text, size_t size);

// The probe follows a reply of `size` bytes with one more byte (or an empty
// packet) when it is a J-Link (type 1) and the size is a multiple of 64 (0
// included) other than 0x2000 and 0x8000.
bool ReplyHasTrailingByte(int adapterType, uint32_t size);

// TDO bits offset .. offset + bits - 1 of `tdo` moved down to bit 0, in
// (bits + 7) / 8 bytes. Bits beyond the tdoSize bytes read as 0, so a short
// reply is never read beyond its end.
std::vector<uint8_t> ExtractBits(const uint8_t* tdo, size_t tdoSize, uint32_t offset, uint32_t bits);

// One JTAG command being built in a caller's buffer:
//
//   0      0xCF (with read-back) or 0xD5 (write only)
//   1      0
//   2..3   n, the number of TCK clocks, little-endian (at most 65535)
//   4      m TMS bytes, bit 0 of byte 0 first; m = (n + 7) / 8, but 1 for n = 0
//   4 + m  m TDI bytes, same order
//
// The command is 4 + 2m bytes. The builder owns the TAP state it tracks: it
// starts where the TAP is when the command begins and follows every move,
// scan and raw sequence it appends, with TapStateMachine's routes for the
// moves (TapController::RouteTo's from a state only a raw sequence leaves).
class EmuCmdHwJtag {
public:
    enum CmdType {
        WRITE_ONLY = 0,  // EMU_CMD_HW_JTAG_WRITE: no reply
        READ_BACK = 1,   // EMU_CMD_HW_JTAG3: TDO and a status byte come back
    };

    // An empty command (n = 0, 6 bytes) at the start of `buffer`, which holds
    // `capacity` bytes (at least 6, else std::logic_error), for a TAP in `from`.
    EmuCmdHwJtag(TapController::State from, unsigned char* buffer, unsigned int capacity, CmdType type);
    EmuCmdHwJtag(TapState from, unsigned char* buffer, unsigned int capacity, CmdType type)
        : EmuCmdHwJtag(TapController::FromWire(from), buffer, capacity, type)
    {
    }

    EmuCmdHwJtag(const EmuCmdHwJtag&) = delete;
    EmuCmdHwJtag& operator=(const EmuCmdHwJtag&) = delete;

    // Bytes of each of the TMS and TDI fields for `bits` clocks.
    static unsigned int TmsTdiFieldsSize(unsigned int bits) { return bits == 0 ? 1 : (bits + 7) / 8; }

    // Makes room for `bits` more clocks; throws limit_exceeded, changing
    // nothing, when the command would exceed the buffer or 65535 clocks.
    void ExpandTmsTdiFields(unsigned int bits);
    // The clocks that still fit (the buffer and the 16-bit count).
    unsigned int Room() const;

    // Appends `bits` clocks with TMS and TDI from the given streams (bit 0
    // first), leaving the tracked state alone: callers clock only where the
    // TAP stays (idle clocks). std::runtime_error for a buffer that holds no
    // JTAG command or null streams; 0 bits does nothing.
    void AppendData(const uint8_t* tms, const uint8_t* tdi, unsigned int bits);

    // Appends clocks `first` .. `first + bits - 1` of the TMS and TDI
    // streams (bit k of byte k / 8 is clock k); the tracked state follows
    // the TMS bits. limit_exceeded, changing nothing, when they do not fit.
    void AppendRaw(const uint8_t* tms, const uint8_t* tdi, uint64_t first, unsigned int bits);

    // Appends the route from the tracked state to `target` (TDI 0), or
    // nothing when the TAP already rests there in a state other than
    // Test-Logic-Reset and Run-Test/Idle; the tracked state becomes `target`.
    // A missing route throws TapStateMachine's error and changes nothing.
    void Move(TapState target);

    // Appends a scan of `bits` clocks from Shift-DR or Shift-IR: TDI from
    // `tdi`, TMS 0 but 1 on the last clock; the tracked state becomes
    // Exit1-DR or Exit1-IR. 0 bits does nothing.
    void AppendScan(const uint8_t* tdi, unsigned int bits);

    // Where the TAP is once the command has been clocked.
    TapController::State State() const { return m_state; }
    unsigned int Size() const { return m_size; }
    // n, the clocks the command holds so far.
    unsigned int Clocks() const;
    CmdType Type() const { return m_type; }
    const unsigned char* data() const { return m_buffer; }

private:
    void SetBit(unsigned int fieldOffset, unsigned int bit, bool value);
    void AppendClocks(unsigned int bits, bool (*tms)(const void*, unsigned int), const void* tmsSource,
                      const uint8_t* tdi);

    TapController::State m_state;
    CmdType m_type;
    unsigned char* m_buffer;
    unsigned int m_capacity;
    unsigned char* m_numBits;  // the bit count field in the buffer
    unsigned int m_size = 6;
    unsigned int m_tmsOffset = 4;
    unsigned int m_tdiOffset = 5;
};

}  // namespace jlink
