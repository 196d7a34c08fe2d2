// IEEE 1149.1 TAP controller chain: see SimTap.h.
//
// Timing model: everything happens at the rising TCK edge, decided by the
// state the controller is in *before* the edge:
//   Capture-xR  loads the shift stage,
//   Shift-xR    shifts one bit (also on the edge that leaves for Exit1),
// and by the state it enters:
//   Update-xR   latches the shift stage (on real parts at the falling edge
//               that follows; nothing can observe the difference),
//   Test-Logic-Reset  selects IDCODE (BYPASS without one).
// TDO is only driven in the Shift states; elsewhere the model reports 1,
// as a pulled-up TDO line reads.
#include "sim/tap/SimTap.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <stdexcept>

namespace simtap {

namespace {

uint64_t Mask(unsigned width) { return width >= 64 ? ~0ull : ((1ull << width) - 1); }

std::string Hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

void Validate(const TapConfig& c, size_t index)
{
    const std::string where = "TAP " + std::to_string(index) + ": ";
    if (c.irLength < 2 || c.irLength > 32)
        throw std::invalid_argument(where + "IR length " + std::to_string(c.irLength) + " is outside 2..32");
    const uint64_t bypass = Mask(c.irLength);
    if (c.idcode != 0) {
        if ((c.idcode & 1) == 0)
            throw std::invalid_argument(where + "IDCODE " + Hex(c.idcode) + " lacks bit 0");
        if (c.idcodeInstruction > bypass || c.idcodeInstruction == bypass)
            throw std::invalid_argument(where + "IDCODE instruction " + Hex(c.idcodeInstruction) +
                                        " does not fit an IR of " + std::to_string(c.irLength) +
                                        " bits or is BYPASS");
    }
    if (c.userRegisters.empty())
        throw std::invalid_argument(where + "needs at least one user register");
    for (const auto& [opcode, width] : c.userRegisters) {
        if (opcode >= bypass)
            throw std::invalid_argument(where + "user register opcode " + Hex(opcode) +
                                        " does not fit an IR of " + std::to_string(c.irLength) +
                                        " bits or is BYPASS");
        if (c.idcode != 0 && opcode == c.idcodeInstruction)
            throw std::invalid_argument(where + "user register opcode " + Hex(opcode) + " is the IDCODE instruction");
        if (width < 1 || width > 64)
            throw std::invalid_argument(where + "user register " + Hex(opcode) + " width " + std::to_string(width) +
                                        " is outside 1..64");
    }
}

}  // namespace

const char* TapStateName(TapState s)
{
    switch (s) {
    case TapState::TestLogicReset: return "Test-Logic-Reset";
    case TapState::RunTestIdle: return "Run-Test/Idle";
    case TapState::SelectDRScan: return "Select-DR-Scan";
    case TapState::CaptureDR: return "Capture-DR";
    case TapState::ShiftDR: return "Shift-DR";
    case TapState::Exit1DR: return "Exit1-DR";
    case TapState::PauseDR: return "Pause-DR";
    case TapState::Exit2DR: return "Exit2-DR";
    case TapState::UpdateDR: return "Update-DR";
    case TapState::SelectIRScan: return "Select-IR-Scan";
    case TapState::CaptureIR: return "Capture-IR";
    case TapState::ShiftIR: return "Shift-IR";
    case TapState::Exit1IR: return "Exit1-IR";
    case TapState::PauseIR: return "Pause-IR";
    case TapState::Exit2IR: return "Exit2-IR";
    case TapState::UpdateIR: return "Update-IR";
    }
    return "?";
}

TapState NextState(TapState s, bool tms)
{
    using S = TapState;
    switch (s) {
    case S::TestLogicReset: return tms ? S::TestLogicReset : S::RunTestIdle;
    case S::RunTestIdle: return tms ? S::SelectDRScan : S::RunTestIdle;
    case S::SelectDRScan: return tms ? S::SelectIRScan : S::CaptureDR;
    case S::CaptureDR: return tms ? S::Exit1DR : S::ShiftDR;
    case S::ShiftDR: return tms ? S::Exit1DR : S::ShiftDR;
    case S::Exit1DR: return tms ? S::UpdateDR : S::PauseDR;
    case S::PauseDR: return tms ? S::Exit2DR : S::PauseDR;
    case S::Exit2DR: return tms ? S::UpdateDR : S::ShiftDR;
    case S::UpdateDR: return tms ? S::SelectDRScan : S::RunTestIdle;
    case S::SelectIRScan: return tms ? S::TestLogicReset : S::CaptureIR;
    case S::CaptureIR: return tms ? S::Exit1IR : S::ShiftIR;
    case S::ShiftIR: return tms ? S::Exit1IR : S::ShiftIR;
    case S::Exit1IR: return tms ? S::UpdateIR : S::PauseIR;
    case S::PauseIR: return tms ? S::Exit2IR : S::PauseIR;
    case S::Exit2IR: return tms ? S::UpdateIR : S::ShiftIR;
    case S::UpdateIR: return tms ? S::SelectDRScan : S::RunTestIdle;
    }
    return S::TestLogicReset;
}

// ---------------------------------------------------------------- Chain

Chain::Chain(std::vector<TapConfig> taps)
{
    if (taps.empty())
        throw std::invalid_argument("a TAP chain needs at least one TAP");
    for (size_t i = 0; i < taps.size(); ++i) {
        Validate(taps[i], i);
        Tap t;
        t.config = std::move(taps[i]);
        for (const auto& reg : t.config.userRegisters)
            t.userValues[reg.first] = 0;
        m_Taps.push_back(std::move(t));
    }
    ResetTaps();
}

uint32_t Chain::BypassOpcode(const Tap& t) const { return static_cast<uint32_t>(Mask(t.config.irLength)); }

uint32_t Chain::ResetInstruction(const Tap& t) const
{
    return t.config.idcode != 0 ? t.config.idcodeInstruction : BypassOpcode(t);
}

void Chain::ResetTaps()
{
    m_State = TapState::TestLogicReset;
    for (Tap& t : m_Taps) {
        t.instruction = ResetInstruction(t);
        t.irShift = 0;
        t.drShift = 0;
        t.drWidth = 1;
    }
}

void Chain::CaptureDRStage(Tap& t)
{
    if (t.config.idcode != 0 && t.instruction == t.config.idcodeInstruction) {
        t.drShift = t.config.idcode;
        t.drWidth = 32;
        return;
    }
    auto reg = t.config.userRegisters.find(t.instruction);
    if (reg != t.config.userRegisters.end()) {
        t.drShift = t.userValues[reg->first];
        t.drWidth = reg->second;
        return;
    }
    t.drShift = 0;  // BYPASS, also for every unknown instruction
    t.drWidth = 1;
}

void Chain::UpdateDRStage(Tap& t)
{
    // Only user registers are writable; IDCODE and BYPASS ignore Update-DR.
    auto reg = t.config.userRegisters.find(t.instruction);
    if (reg != t.config.userRegisters.end() && t.drWidth == reg->second)
        t.userValues[reg->first] = t.drShift & Mask(reg->second);
}

bool Chain::Clock(bool tms, bool tdi)
{
    ++m_Clocks;
    if (!m_Trst)
        return true;  // held in Test-Logic-Reset, TDO not driven

    bool tdo = true;
    switch (m_State) {
    case TapState::CaptureIR:
        for (Tap& t : m_Taps)
            t.irShift = 1;  // 0b..01
        break;
    case TapState::CaptureDR:
        for (Tap& t : m_Taps)
            CaptureDRStage(t);
        break;
    case TapState::ShiftIR:
    case TapState::ShiftDR: {
        const bool ir = m_State == TapState::ShiftIR;
        // taps[0] is nearest TDO; each TAP's bit 0 feeds the MSB of the one before it.
        tdo = (ir ? m_Taps[0].irShift : m_Taps[0].drShift) & 1;
        for (size_t i = 0; i < m_Taps.size(); ++i) {
            Tap& t = m_Taps[i];
            const bool in = i + 1 < m_Taps.size()
                                ? ((ir ? m_Taps[i + 1].irShift : m_Taps[i + 1].drShift) & 1) != 0
                                : tdi;
            uint64_t& reg = ir ? t.irShift : t.drShift;
            const unsigned width = ir ? t.config.irLength : t.drWidth;
            reg = (reg >> 1) | (static_cast<uint64_t>(in) << (width - 1));
        }
        break;
    }
    default:
        break;
    }

    m_State = NextState(m_State, tms);
    switch (m_State) {
    case TapState::TestLogicReset:
        for (Tap& t : m_Taps)
            t.instruction = ResetInstruction(t);
        break;
    case TapState::UpdateIR:
        for (Tap& t : m_Taps)
            t.instruction = static_cast<uint32_t>(t.irShift & Mask(t.config.irLength));
        break;
    case TapState::UpdateDR:
        for (Tap& t : m_Taps)
            UpdateDRStage(t);
        break;
    default:
        break;
    }
    return tdo;
}

void Chain::SetTrst(bool level)
{
    m_Trst = level;
    if (!level)
        ResetTaps();
}

bool Chain::Trst() const { return m_Trst; }
TapState Chain::State() const { return m_State; }
size_t Chain::TapCount() const { return m_Taps.size(); }

const TapConfig& Chain::Config(size_t i) const { return m_Taps.at(i).config; }
uint32_t Chain::Instruction(size_t i) const { return m_Taps.at(i).instruction; }

uint64_t Chain::UserRegister(size_t tap, uint32_t opcode) const
{
    const Tap& t = m_Taps.at(tap);
    auto it = t.userValues.find(opcode);
    return it == t.userValues.end() ? 0 : it->second;
}

void Chain::SetUserRegister(size_t tap, uint32_t opcode, uint64_t value)
{
    Tap& t = m_Taps.at(tap);
    auto reg = t.config.userRegisters.find(opcode);
    if (reg == t.config.userRegisters.end())
        throw std::invalid_argument("TAP " + std::to_string(tap) + " has no user register " + Hex(opcode));
    t.userValues[opcode] = value & Mask(reg->second);
}

size_t Chain::TotalIrLength() const
{
    size_t n = 0;
    for (const Tap& t : m_Taps)
        n += t.config.irLength;
    return n;
}

namespace {

// The shortest TMS path between two states: `length` bits, the first in bit 0.
struct TmsPath {
    uint8_t length = 0;
    uint16_t bits = 0;
};

constexpr int kStates = 16;

// Breadth-first search over the 16 states from `from`. Test-Logic-Reset is
// never passed through on the way elsewhere, because entering it would reset
// the instructions the caller has set up.
std::array<TmsPath, kStates> PathsFrom(TapState from)
{
    std::array<int, kStates> prev;
    std::array<bool, kStates> viaTms{};
    prev.fill(-1);
    std::array<TapState, kStates> queue{};
    size_t head = 0, tail = 0;
    queue[tail++] = from;
    prev[static_cast<int>(from)] = static_cast<int>(from);
    while (head < tail) {
        TapState s = queue[head++];
        if (s == TapState::TestLogicReset && s != from)
            continue;
        for (bool tms : {false, true}) {
            TapState n = NextState(s, tms);
            if (prev[static_cast<int>(n)] != -1)
                continue;
            prev[static_cast<int>(n)] = static_cast<int>(s);
            viaTms[static_cast<int>(n)] = tms;
            queue[tail++] = n;
        }
    }
    std::array<TmsPath, kStates> paths{};
    for (int target = 0; target < kStates; ++target) {
        if (prev[target] == -1 || target == static_cast<int>(from))
            continue;
        TmsPath& p = paths[target];
        // Walk back from the target; the last step found is the first taken.
        for (int s = target; s != static_cast<int>(from); s = prev[s]) {
            p.bits = static_cast<uint16_t>((p.bits << 1) | (viaTms[s] ? 1 : 0));
            ++p.length;
        }
    }
    return paths;
}

const TmsPath& ShortestPath(TapState from, TapState to)
{
    static const auto table = [] {
        std::array<std::array<TmsPath, kStates>, kStates> t{};
        for (int from = 0; from < kStates; ++from)
            t[from] = PathsFrom(static_cast<TapState>(from));
        return t;
    }();
    return table[static_cast<int>(from)][static_cast<int>(to)];
}

}  // namespace

void Chain::MoveTo(TapState target)
{
    if (m_State == target)
        return;
    const TmsPath& path = ShortestPath(m_State, target);
    for (unsigned i = 0; i < path.length; ++i)
        Clock(((path.bits >> i) & 1) != 0, false);
}

std::vector<uint8_t> Chain::Scan(bool ir, const uint8_t* in, size_t bits, TapState end)
{
    std::vector<uint8_t> out((bits + 7) / 8, 0);
    ScanInto(ir, in, bits, end, out.data());
    return out;
}

void Chain::ScanInto(bool ir, const uint8_t* in, size_t bits, TapState end, uint8_t* out)
{
    const TapState capture = ir ? TapState::CaptureIR : TapState::CaptureDR;
    const TapState shift = ir ? TapState::ShiftIR : TapState::ShiftDR;
    std::fill(out, out + (bits + 7) / 8, 0);
    // With TRST asserted the clocks below leave the chain in Test-Logic-Reset
    // and TDO undriven, so such a scan reads all ones.
    // A new scan always captures: from Shift/Pause states leave through Update.
    MoveTo(capture);
    if (bits == 0) {
        Clock(end != shift, false);
    } else {
        Clock(false, false);  // Capture -> Shift
        for (size_t k = 0; k < bits; ++k) {
            const bool last = k + 1 == bits;
            const bool tdi = in && ((in[k / 8] >> (k % 8)) & 1);
            const bool tdo = Clock(last && end != shift, tdi);
            if (tdo)
                out[k / 8] |= static_cast<uint8_t>(1u << (k % 8));
        }
    }
    MoveTo(end);
}

std::vector<uint8_t> Chain::ScanIR(const uint8_t* in, size_t bits, TapState end) { return Scan(true, in, bits, end); }
std::vector<uint8_t> Chain::ScanDR(const uint8_t* in, size_t bits, TapState end) { return Scan(false, in, bits, end); }

void Chain::Reset()
{
    for (int i = 0; i < 5; ++i)
        Clock(true, false);
}

void Chain::RunTestIdle(unsigned clocks)
{
    MoveTo(TapState::RunTestIdle);
    // Idle clocks change no register, so count them instead of running each:
    // a peer may ask for billions of them.
    m_Clocks += clocks;
}

// ---------------------------------------------------------------- Memory

uint8_t Memory::Read8(uint32_t addr) const
{
    auto it = m_Pages.find(addr >> kPageBits);
    return it == m_Pages.end() ? 0 : it->second[addr & (kPageSize - 1)];
}

void Memory::Write8(uint32_t addr, uint8_t v)
{
    auto& page = m_Pages[addr >> kPageBits];
    if (page.empty())
        page.assign(kPageSize, 0);
    page[addr & (kPageSize - 1)] = v;
}

uint32_t Memory::Read32(uint32_t addr) const
{
    uint8_t b[4];
    Read(addr, b, 4);
    return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

void Memory::Write32(uint32_t addr, uint32_t v)
{
    const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                          static_cast<uint8_t>(v >> 24)};
    Write(addr, b, 4);
}

void Memory::Read(uint32_t addr, void* out, size_t n) const
{
    auto* dst = static_cast<uint8_t*>(out);
    while (n > 0) {
        const uint32_t offset = addr & (kPageSize - 1);
        const size_t chunk = std::min<size_t>(n, kPageSize - offset);
        auto it = m_Pages.find(addr >> kPageBits);
        if (it == m_Pages.end())
            std::memset(dst, 0, chunk);
        else
            std::memcpy(dst, it->second.data() + offset, chunk);
        dst += chunk;
        n -= chunk;
        addr += static_cast<uint32_t>(chunk);  // wraps at 2^32
    }
}

void Memory::Write(uint32_t addr, const void* in, size_t n)
{
    const auto* src = static_cast<const uint8_t*>(in);
    while (n > 0) {
        const uint32_t offset = addr & (kPageSize - 1);
        const size_t chunk = std::min<size_t>(n, kPageSize - offset);
        auto& page = m_Pages[addr >> kPageBits];
        if (page.empty())
            page.assign(kPageSize, 0);
        std::memcpy(page.data() + offset, src, chunk);
        src += chunk;
        n -= chunk;
        addr += static_cast<uint32_t>(chunk);
    }
}

void Memory::LoadImage(const std::string& path, uint32_t base)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw std::runtime_error("cannot open memory image '" + path + "': " + std::strerror(errno));
    f.seekg(0, std::ios::end);
    const std::streamoff size = f.tellg();
    f.seekg(0, std::ios::beg);
    if (size < 0 || !f)
        throw std::runtime_error("cannot read memory image '" + path + "': not a regular file");
    if (static_cast<uint64_t>(size) > (1ull << 32) - base)
        throw std::runtime_error("memory image '" + path + "' (" + std::to_string(size) + " bytes) does not fit at " +
                                 Hex(base) + " in a 32-bit address space");
    std::vector<char> chunk(1 << 16);
    uint32_t addr = base;
    std::streamoff left = size;
    while (left > 0) {
        const std::streamsize want = static_cast<std::streamsize>(std::min<std::streamoff>(left, chunk.size()));
        f.read(chunk.data(), want);
        if (f.gcount() != want)
            throw std::runtime_error("cannot read memory image '" + path + "': short read");
        Write(addr, chunk.data(), static_cast<size_t>(want));
        addr += static_cast<uint32_t>(want);
        left -= want;
    }
}

// ---------------------------------------------------------------- ParseChain

namespace {

std::vector<std::string> Split(const std::string& s, char sep)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t pos = s.find(sep, start);
        parts.push_back(s.substr(start, pos - start));
        if (pos == std::string::npos)
            return parts;
        start = pos + 1;
    }
}

uint32_t HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<uint32_t>(c - '0');
    return static_cast<uint32_t>(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
}

// Opcodes for a TAP made from the chain syntax: the usual ones where the IR
// is wide enough, otherwise the free codes of a short IR.
void ChooseOpcodes(TapConfig& c)
{
    if (c.irLength >= 4)
        return;  // defaults: IDCODE 0x3, user 0x8 and 0x9
    if (c.irLength == 3) {
        c.idcodeInstruction = 0x3;
        c.userRegisters = {{0x4, 32}, {0x5, 32}};
    } else {
        c.idcodeInstruction = 0x1;
        c.userRegisters = {{0x2, 32}};
    }
}

}  // namespace

std::vector<TapConfig> ParseChain(const std::string& text)
{
    if (text.empty())
        throw std::invalid_argument("empty TAP chain");
    std::vector<TapConfig> taps;
    for (const std::string& part : Split(text, '+')) {
        const std::string bad = "bad TAP '" + part + "' in chain '" + text + "': ";
        const size_t colon = part.find(':');
        const std::string id = part.substr(0, colon);
        TapConfig c;
        if (id == "bypass") {
            c.idcode = 0;
        } else {
            if (id.size() < 3 || id.size() > 10 || id[0] != '0' || (id[1] != 'x' && id[1] != 'X'))
                throw std::invalid_argument(bad + "IDCODE must be 0x and 1 to 8 hex digits, or \"bypass\"");
            uint32_t v = 0;
            for (size_t i = 2; i < id.size(); ++i) {
                if (!std::isxdigit(static_cast<unsigned char>(id[i])))
                    throw std::invalid_argument(bad + "IDCODE must be 0x and 1 to 8 hex digits, or \"bypass\"");
                v = (v << 4) | HexDigit(id[i]);
            }
            if ((v & 1) == 0)
                throw std::invalid_argument(bad + "bit 0 of an IDCODE is always 1");
            c.idcode = v;
        }
        if (colon != std::string::npos) {
            const std::string len = part.substr(colon + 1);
            if (len.empty() || len.size() > 2 || len.find_first_not_of("0123456789") != std::string::npos)
                throw std::invalid_argument(bad + "IR length must be a decimal number from 2 to 32");
            c.irLength = static_cast<unsigned>(std::stoul(len));
            if (c.irLength < 2 || c.irLength > 32)
                throw std::invalid_argument(bad + "IR length must be a decimal number from 2 to 32");
        }
        ChooseOpcodes(c);
        taps.push_back(std::move(c));
    }
    return taps;
}

}  // namespace simtap
