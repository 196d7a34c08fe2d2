// MPSSE command processor (see MpsseEngine.h).
#include "sim/usb/MpsseEngine.h"

#include <algorithm>

namespace simusb {

namespace {

constexpr uint8_t kWriteTdi = 0x10, kReadTdo = 0x20, kWriteTms = 0x40, kBitMode = 0x02, kLsbFirst = 0x08;

// Whether an opcode below 0x80 is a shift command AN_108 defines.
bool IsShift(uint8_t op)
{
    if (op & kWriteTms)  // TMS commands: bit mode, no TDI data
        return (op & kBitMode) && !(op & kWriteTdi);
    return (op & (kWriteTdi | kReadTdo)) != 0;
}

}  // namespace

CMpsseEngine::CMpsseEngine(simtap::Chain& chain) : m_Chain(chain) {}

void CMpsseEngine::Reset()
{
    m_Kept.clear();
    m_LowValue = m_LowDir = m_HighValue = m_HighDir = 0;
    m_Divisor = 0;
    m_Div5 = true;
    m_Adaptive = false;
    m_Loopback = false;
    m_Tms = true;
    m_Tdi = false;
}

size_t CMpsseEngine::CommandSize(const uint8_t* p, size_t have) const
{
    const uint8_t op = p[0];
    if (op < 0x80) {
        if (!IsShift(op))
            return 1;
        if (op & (kBitMode | kWriteTms))
            return (op & (kWriteTdi | kWriteTms)) ? 3 : 2;
        if (!(op & kWriteTdi))
            return 3;
        if (have < 3)
            return 0;
        return 3 + (size_t(p[1]) | size_t(p[2]) << 8) + 1;
    }
    switch (op) {
    case 0x80:
    case 0x82:
    case 0x86:
    case 0x8F:
        return 3;
    case 0x8E:
        return 2;
    default:
        return 1;
    }
}

void CMpsseEngine::Feed(const uint8_t* data, size_t size, std::vector<uint8_t>& out)
{
    // The longest command is 65539 bytes; what is kept never exceeds it.
    m_Kept.insert(m_Kept.end(), data, data + size);
    size_t at = 0;
    while (at < m_Kept.size()) {
        const size_t need = CommandSize(&m_Kept[at], m_Kept.size() - at);
        if (need == 0 || need > m_Kept.size() - at)
            break;
        Run(&m_Kept[at], out);
        at += need;
    }
    m_Kept.erase(m_Kept.begin(), m_Kept.begin() + static_cast<std::ptrdiff_t>(at));
}

bool CMpsseEngine::Clock(bool tms, bool tdi)
{
    m_Tms = tms;
    m_Tdi = tdi;
    const bool tdiPin = (m_LowDir & 0x02) ? tdi : true;
    const bool tmsPin = (m_LowDir & 0x08) ? tms : true;
    bool tdo = true;
    if (m_LowDir & 0x01)
        tdo = m_Chain.Clock(tmsPin, tdiPin);
    return m_Loopback ? tdiPin : tdo;
}

void CMpsseEngine::Run(const uint8_t* p, std::vector<uint8_t>& out)
{
    const uint8_t op = p[0];
    if (op < 0x80 && IsShift(op)) {
        const bool lsb = (op & kLsbFirst) != 0;
        const bool read = (op & kReadTdo) != 0;
        if (op & kWriteTms) {
            const unsigned n = (p[1] & 7) + 1;
            const uint8_t byte = p[2];
            const bool tdi = (byte >> 7) & 1;
            uint8_t in = 0;
            for (unsigned i = 0; i < n && i < 7; ++i)
                in = static_cast<uint8_t>((in >> 1) | (Clock((byte >> i) & 1, tdi) ? 0x80 : 0));
            if (read)
                out.push_back(in);
            return;
        }
        if (op & kBitMode) {
            const unsigned n = (p[1] & 7) + 1;
            const uint8_t byte = (op & kWriteTdi) ? p[2] : 0;
            uint8_t in = 0;
            for (unsigned i = 0; i < n; ++i) {
                const bool tdi = (op & kWriteTdi) ? ((lsb ? byte >> i : byte >> (7 - i)) & 1) != 0 : m_Tdi;
                const bool tdo = Clock(m_Tms, tdi);
                in = lsb ? static_cast<uint8_t>((in >> 1) | (tdo ? 0x80 : 0))
                         : static_cast<uint8_t>((in << 1) | (tdo ? 1 : 0));
            }
            if (read)
                out.push_back(in);
            return;
        }
        const size_t n = (size_t(p[1]) | size_t(p[2]) << 8) + 1;
        const uint8_t* data = p + 3;
        for (size_t k = 0; k < n; ++k) {
            const uint8_t byte = (op & kWriteTdi) ? data[k] : 0;
            uint8_t in = 0;
            for (unsigned i = 0; i < 8; ++i) {
                const unsigned bit = lsb ? i : 7 - i;
                const bool tdi = (op & kWriteTdi) ? ((byte >> bit) & 1) != 0 : m_Tdi;
                if (Clock(m_Tms, tdi))
                    in = static_cast<uint8_t>(in | (1u << bit));
            }
            if (read)
                out.push_back(in);
        }
        return;
    }
    switch (op) {
    case 0x80:
        m_LowValue = p[1];
        m_LowDir = p[2];
        // The pins keep what they drive: TDI and TMS follow the new value.
        if (m_LowDir & 0x02)
            m_Tdi = (m_LowValue & 0x02) != 0;
        if (m_LowDir & 0x08)
            m_Tms = (m_LowValue & 0x08) != 0;
        if (onGpio)
            onGpio();
        return;
    case 0x82:
        m_HighValue = p[1];
        m_HighDir = p[2];
        if (onGpio)
            onGpio();
        return;
    case 0x81:
        // Inputs read high (pulled up), TDO the chain's output level.
        out.push_back(static_cast<uint8_t>((m_LowValue & m_LowDir) | (~m_LowDir & 0xFF)));
        return;
    case 0x83:
        out.push_back(static_cast<uint8_t>((m_HighValue & m_HighDir) | (~m_HighDir & 0xFF)));
        return;
    case 0x84: m_Loopback = true; return;
    case 0x85: m_Loopback = false; return;
    case 0x86: m_Divisor = static_cast<uint16_t>(p[1] | p[2] << 8); return;
    case 0x87: return;  // replies go out at once here anyway
    case 0x8A: m_Div5 = false; return;
    case 0x8B: m_Div5 = true; return;
    case 0x8C:
    case 0x8D: return;  // three-phase clocking changes no sampled bit
    case 0x8E:
        for (unsigned i = 0; i <= (p[1] & 7u); ++i)
            Clock(m_Tms, m_Tdi);
        return;
    case 0x8F:
        for (size_t i = 0; i < 8 * ((size_t(p[1]) | size_t(p[2]) << 8) + 1); ++i)
            Clock(m_Tms, m_Tdi);
        return;
    case 0x96: m_Adaptive = true; return;
    case 0x97: m_Adaptive = false; return;
    default:
        out.push_back(0xFA);
        out.push_back(op);
        return;
    }
}

}  // namespace simusb
