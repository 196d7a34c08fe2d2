// A software model of a chain of IEEE 1149.1 (JTAG) test access ports.
//
// Each TAP has the sixteen-state controller of IEEE Std 1149.1, an
// instruction register of configurable length that captures 0b..01, a
// one-bit BYPASS register capturing 0, an optional 32-bit IDCODE register
// (selected in Test-Logic-Reset) and user data registers that capture their
// current value and take the shifted value on Update-DR.  TMS and TDI are
// sampled on the rising edge of TCK; TDO is the bit leaving the chain at
// that edge.  TRST is asynchronous and active low.
//
// Simulators (USB adapters, the network peer) build on this model; tests use
// it in place of real targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace simtap {

enum class TapState {
    TestLogicReset,
    RunTestIdle,
    SelectDRScan,
    CaptureDR,
    ShiftDR,
    Exit1DR,
    PauseDR,
    Exit2DR,
    UpdateDR,
    SelectIRScan,
    CaptureIR,
    ShiftIR,
    Exit1IR,
    PauseIR,
    Exit2IR,
    UpdateIR
};

const char* TapStateName(TapState s);
TapState NextState(TapState s, bool tms);  // IEEE 1149.1 transition

struct TapConfig {
    unsigned irLength = 4;              // 2..32
    uint32_t idcode = 0x4BA00477;       // bit 0 set; 0 = no IDCODE register (BYPASS selected after reset)
    uint32_t idcodeInstruction = 0x3;   // IR value selecting IDCODE; all ones is BYPASS
    // User data registers selected by these instructions (at least one);
    // widths are 1..64 bits.
    std::map<uint32_t, unsigned> userRegisters = {{0x8, 32}, {0x9, 32}};  // opcode -> width in bits
};

// A chain of TAPs. taps[0] is nearest TDO: its bits come out first, so a
// detect after reset sees taps[0]'s IDCODE first. TDI enters the last TAP.
class Chain {
public:
    // Throws std::invalid_argument for an empty chain or a bad TapConfig.
    explicit Chain(std::vector<TapConfig> taps = {TapConfig{}});

    bool Clock(bool tms, bool tdi);  // one TCK cycle; returns the TDO bit sampled at this rising edge
    void SetTrst(bool level);        // false asserts TRST: all TAPs to Test-Logic-Reset, held there while low
    bool Trst() const;
    TapState State() const;
    size_t TapCount() const;
    const TapConfig& Config(size_t i) const;
    uint32_t Instruction(size_t i) const;                      // current (updated) instruction of TAP i
    uint64_t UserRegister(size_t tap, uint32_t opcode) const;  // for tests; 0 for an unknown opcode
    void SetUserRegister(size_t tap, uint32_t opcode, uint64_t value);

    // Register-level helpers built on Clock(): go from the current state to
    // Shift-IR / Shift-DR by the IEEE path, shift `bits` bits of `in` (bit 0
    // first, bit k in bit k%8 of byte k/8, whole chain), leave the TAP in
    // `end` (RunTestIdle, PauseDR/PauseIR, Exit1.., or TestLogicReset) and
    // return the captured bits.  `in` may be null to shift zeros.  With
    // bits == 0 the state just moves to `end` through Capture and Exit1.
    std::vector<uint8_t> ScanIR(const uint8_t* in, size_t bits, TapState end = TapState::RunTestIdle);
    std::vector<uint8_t> ScanDR(const uint8_t* in, size_t bits, TapState end = TapState::RunTestIdle);
    // The same without allocating: the captured bits go to out[(bits + 7) / 8].
    void ScanInto(bool ir, const uint8_t* in, size_t bits, TapState end, uint8_t* out);
    void Reset();                       // five clocks with TMS high
    void RunTestIdle(unsigned clocks);  // go to Run-Test/Idle, then clock there `clocks` times
    size_t TotalIrLength() const;

    // Number of TCK cycles seen since construction (for tests and traces).
    uint64_t ClockCount() const { return m_Clocks; }

private:
    struct Tap {
        TapConfig config;
        uint64_t irShift = 0;   // IR shift stage
        uint32_t instruction = 0;
        uint64_t drShift = 0;   // the selected data register's shift stage
        unsigned drWidth = 1;
        std::map<uint32_t, uint64_t> userValues;
    };

    void ResetTaps();
    uint32_t BypassOpcode(const Tap& t) const;
    uint32_t ResetInstruction(const Tap& t) const;
    void CaptureDRStage(Tap& t);
    void UpdateDRStage(Tap& t);
    void MoveTo(TapState target);  // from the current state by the shortest IEEE path
    std::vector<uint8_t> Scan(bool ir, const uint8_t* in, size_t bits, TapState end);

    std::vector<Tap> m_Taps;
    TapState m_State = TapState::TestLogicReset;
    bool m_Trst = true;  // line level; false = asserted
    uint64_t m_Clocks = 0;
};

// Sparse 32-bit target memory; bytes never written read as 0.
class Memory {
public:
    uint8_t Read8(uint32_t addr) const;
    void Write8(uint32_t addr, uint8_t v);
    uint32_t Read32(uint32_t addr) const;  // little-endian
    void Write32(uint32_t addr, uint32_t v);
    // Addresses wrap at 2^32.
    void Read(uint32_t addr, void* out, size_t n) const;
    void Write(uint32_t addr, const void* in, size_t n);
    void LoadImage(const std::string& path, uint32_t base);  // raw binary file; throws std::runtime_error with path and cause
    void Clear() { m_Pages.clear(); }

private:
    static constexpr uint32_t kPageBits = 12;
    static constexpr uint32_t kPageSize = 1u << kPageBits;
    std::map<uint32_t, std::vector<uint8_t>> m_Pages;  // page number -> kPageSize bytes
};

// Chain syntax shared by every simulator's command line / environment:
//   chain := tap ( "+" tap )* ; tap := IDCODE [ ":" IRLEN ] ; IDCODE is hex with 0x, or "bypass" (no IDCODE)
//   e.g. "0x4BA00477:4+bypass:5+0x06413041:5". taps listed from TDO side. Throws std::invalid_argument naming the bad part.
std::vector<TapConfig> ParseChain(const std::string& text);

}  // namespace simtap
