// J-Link command building and reply parsing (see Commands.h).
#include "JTAG/backends/jlink/Commands.h"

#include <algorithm>
#include <cstring>

namespace jlink {

uint16_t SpeedFromHertz(unsigned int hertz)
{
    const unsigned int kHz = hertz / 1000;
    return static_cast<uint16_t>(std::min<unsigned int>(std::max<unsigned int>(kHz, kMinSpeedKHz), kMaxSpeedKHz));
}

std::array<uint8_t, 3> SpeedCommand(uint16_t kHz)
{
    return {EMU_CMD_SET_SPEED, static_cast<uint8_t>(kHz & 0xFF), static_cast<uint8_t>(kHz >> 8)};
}

int AdapterTypeFromVersion(const uint8_t* text, size_t size)
{
    static const char kMark[] = "J-Link";
    const uint8_t* end = text + size;
    return text && std::search(text, end, kMark, kMark + sizeof kMark - 1) != end ? 1 : 0;
}

bool ReplyHasTrailingByte(int adapterType, uint32_t size)
{
    return adapterType == 1 && size % 64 == 0 && size != 0x2000 && size != 0x8000;
}

std::vector<uint8_t> ExtractBits(const uint8_t* tdo, size_t tdoSize, uint32_t offset, uint32_t bits)
{
    std::vector<uint8_t> out((static_cast<size_t>(bits) + 7) / 8, 0);
    for (uint32_t k = 0; k < bits; ++k) {
        const size_t from = static_cast<size_t>(offset) + k;
        if (from / 8 >= tdoSize)
            break;
        if ((tdo[from / 8] >> (from % 8)) & 1)
            out[k / 8] |= static_cast<uint8_t>(1u << (k % 8));
    }
    return out;
}

// ---------------------------------------------------------------------------

EmuCmdHwJtag::EmuCmdHwJtag(TapController::State from, unsigned char* buffer, unsigned int capacity,
                           CmdType type)
    : m_state(from), m_type(type), m_buffer(buffer), m_capacity(capacity), m_numBits(buffer + 2)
{
    if (!buffer || capacity < 6)
        throw std::logic_error("A J-Link JTAG command needs a buffer of at least 6 bytes");
    std::memset(m_buffer, 0, 6);
    m_buffer[0] = type == READ_BACK ? EMU_CMD_HW_JTAG3 : EMU_CMD_HW_JTAG_WRITE;
}

unsigned int EmuCmdHwJtag::Clocks() const
{
    return static_cast<unsigned int>(m_numBits[0]) | static_cast<unsigned int>(m_numBits[1]) << 8;
}

void EmuCmdHwJtag::ExpandTmsTdiFields(unsigned int bits)
{
    const unsigned long long n = Clocks();
    const unsigned long long next = n + bits;
    const unsigned long long m = TmsTdiFieldsSize(static_cast<unsigned int>(n));
    const unsigned long long nextM = next == 0 ? 1 : (next + 7) / 8;
    const unsigned long long nextSize = 4 + 2 * nextM;
    if (nextSize > m_capacity || next > kMaxClocks)
        throw limit_exceeded();
    m_numBits[0] = static_cast<unsigned char>(next & 0xFF);
    m_numBits[1] = static_cast<unsigned char>(next >> 8);
    if (nextM > m) {
        const unsigned int newTdi = 4 + static_cast<unsigned int>(nextM);
        std::memmove(m_buffer + newTdi, m_buffer + m_tdiOffset, static_cast<size_t>(m));
        // Zero the TMS bytes freed between the fields and the TDI tail.
        std::memset(m_buffer + m_tdiOffset, 0, newTdi - m_tdiOffset);
        std::memset(m_buffer + newTdi + m, 0, static_cast<size_t>(nextM - m));
        m_tdiOffset = newTdi;
        m_size = static_cast<unsigned int>(nextSize);
    }
}

unsigned int EmuCmdHwJtag::Room() const
{
    // Each 8 clocks take a TMS and a TDI byte once the fields' first bytes
    // (which 0 clocks already occupy) are full.
    const unsigned long long n = Clocks();
    const unsigned long long bytes = m_capacity > 4 ? (m_capacity - 4) / 2 : 0;
    const unsigned long long byBuffer = bytes * 8 > n ? bytes * 8 - n : 0;
    const unsigned long long byCount = kMaxClocks - n;
    return static_cast<unsigned int>(std::min(byBuffer, byCount));
}

void EmuCmdHwJtag::SetBit(unsigned int fieldOffset, unsigned int bit, bool value)
{
    unsigned char& byte = m_buffer[fieldOffset + bit / 8];
    const unsigned char mask = static_cast<unsigned char>(1u << (bit % 8));
    byte = static_cast<unsigned char>(value ? (byte | mask) : (byte & ~mask));
}

void EmuCmdHwJtag::AppendClocks(unsigned int bits, bool (*tms)(const void*, unsigned int), const void* tmsSource,
                                const uint8_t* tdi)
{
    const unsigned int first = Clocks();
    ExpandTmsTdiFields(bits);
    for (unsigned int k = 0; k < bits; ++k) {
        SetBit(m_tmsOffset, first + k, tms(tmsSource, k));
        SetBit(m_tdiOffset, first + k, tdi && ((tdi[k / 8] >> (k % 8)) & 1));
    }
}

namespace {

bool StreamBit(const void* source, unsigned int k)
{
    return (static_cast<const uint8_t*>(source)[k / 8] >> (k % 8)) & 1;
}

// TMS of a scan: 0 on every clock but the last, which leaves the Shift state.
bool LastClockHigh(const void* last, unsigned int k)
{
    return k == *static_cast<const unsigned int*>(last);
}

}  // namespace

void EmuCmdHwJtag::AppendData(const uint8_t* tms, const uint8_t* tdi, unsigned int bits)
{
    if (m_buffer[0] != EMU_CMD_HW_JTAG3 && m_buffer[0] != EMU_CMD_HW_JTAG_WRITE)
        throw std::runtime_error("Invalid command type for adding data.");
    if (!tms || !tdi)
        throw std::runtime_error("Pointers to TMS and TDI Field is invalid.");
    if (bits == 0)
        return;
    AppendClocks(bits, StreamBit, tms, tdi);
}

void EmuCmdHwJtag::AppendRaw(const uint8_t* tms, const uint8_t* tdi, uint64_t first, unsigned int bits)
{
    if (!tms || !tdi)
        throw std::runtime_error("Pointers to TMS and TDI Field is invalid.");
    if (bits == 0)
        return;
    const unsigned int start = Clocks();
    ExpandTmsTdiFields(bits);
    for (unsigned int k = 0; k < bits; ++k) {
        const uint64_t from = first + k;
        const bool level = (tms[from / 8] >> (from % 8)) & 1;
        SetBit(m_tmsOffset, start + k, level);
        SetBit(m_tdiOffset, start + k, (tdi[from / 8] >> (from % 8)) & 1);
        m_state = TapController::Next(m_state, level);
    }
}

void EmuCmdHwJtag::Move(TapState target)
{
    TapStateMachine::Route route;
    TapState current;
    if (TapController::ToWire(m_state, current)) {
        if (target == current && target != TapState::TEST_LOGIC_RESET && target != TapState::RUN_TEST_IDLE)
            return;
        route = TapStateMachine::RouteBetween(current, target);  // throws for a missing route
    } else {
        // From where a raw sequence left the TAP (Select, Capture, Update,
        // Exit2), by the table's rule.
        route = TapController::RouteTo(m_state, TapController::FromWire(target));
    }
    const uint8_t tms[1] = {route.tms};
    const uint8_t tdi[1] = {0};
    AppendData(tms, tdi, route.count);
    m_state = TapController::FromWire(target);
}

void EmuCmdHwJtag::AppendScan(const uint8_t* tdi, unsigned int bits)
{
    if (bits == 0)
        return;
    if (!tdi)
        throw std::runtime_error("Pointers to TMS and TDI Field is invalid.");
    const unsigned int last = bits - 1;
    AppendClocks(bits, LastClockHigh, &last, tdi);
    m_state = m_state == TapController::State::ShiftDR ? TapController::State::Exit1DR : TapController::State::Exit1IR;
}

}  // namespace jlink
