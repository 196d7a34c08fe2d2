// SVF statements turned into the operations kestrad's protocol carries.
//
// CSvfPlanner is pure (no I/O): it keeps the format's carried-over values
// (the last TDI, MASK and SMASK of each scan kind, headers and trailers,
// ENDIR/ENDDR, the RUNTEST run and end states, the frequency) and refuses,
// with the statement's line, what the protocol cannot express:
//   - instruction scans (with header and trailer) longer than 32 bits;
//   - RUNTEST clocks in another state than IDLE, or counted in SCK;
//   - STATE paths through unstable states. The protocol reaches IDLE with a
//     run of no clocks, RESET with five TMS-high clocks where the adapter
//     clocks raw sequences and a TRST pulse where it does not (the player
//     finds out; refused after TRST ABSENT, as the adapter may need TRST),
//     and a Pause state only as the end state of a scan, so STATE DRPAUSE or
//     IRPAUSE is accepted only where the TAP already is.
// The player (SvfPlayer.h) sends what it plans.
#pragma once

#include "client/Protocol.h"
#include "client/svf/SvfParser.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace kestrad::svf {

struct SvfOp {
    // TapReset: Test-Logic-Reset by five TMS-high clocks (CMD_RAW_SEQUENCE),
    // or by a TRST pulse on an adapter that does not clock raw sequences.
    enum class Kind { Scan, RunTest, Trst, Frequency, Sleep, TapReset };
    Kind kind = Kind::Scan;
    uint64_t line = 0;       // of the statement it comes from
    uint64_t statement = 0;  // its index

    // Scan: the whole chain, header first (bit 0 is shifted first).
    bool ir = false;
    uint32_t length = 0;
    std::vector<uint8_t> tdi;
    client::TapState end = client::TapState::RunTestIdle;
    bool check = false;                // compare TDO
    std::vector<uint8_t> tdo, mask;    // when check: expected bits, bits compared
    uint32_t bodyOffset = 0, bodyLength = 0;  // the SIR/SDR's own bits within the scan

    uint32_t clocks = 0;  // RunTest
    bool level = true;    // Trst: false drives it low (asserted)
    uint32_t hertz = 0;   // Frequency
    double seconds = 0;   // Sleep
};

// A list of operations that keeps the memory of those it held: clear()
// forgets them but not their byte vectors, so that planning statement after
// statement into one SvfOps allocates nothing once the vectors have grown.
class SvfOps {
public:
    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    const SvfOp& operator[](size_t i) const { return m_ops[i]; }
    const SvfOp* begin() const { return m_ops.data(); }
    const SvfOp* end() const { return m_ops.data() + m_size; }
    void clear() { m_size = 0; }
    // A new operation at the end, from `st`, with empty byte vectors.
    SvfOp& Add(SvfOp::Kind kind, const SvfStatement& st);

private:
    std::vector<SvfOp> m_ops;
    size_t m_size = 0;
};

class CSvfPlanner {
public:
    // Appends the operations of one statement to `out`; throws CSvfError
    // (at the statement) for what the protocol cannot express.
    void Add(const SvfStatement& st, SvfOps& out);

private:
    struct Pattern {
        uint32_t length = 0;
        std::optional<SvfBits> tdi, tdo, mask, smask;
    };
    void Update(Pattern& p, const SvfStatement& st, bool carryTdo);
    void Scan(const SvfStatement& st, SvfOps& out);
    void GoTo(SvfState target, const SvfStatement& st, SvfOps& out);
    void RunTest(const SvfStatement& st, SvfOps& out);
    void Trst(const SvfStatement& st, SvfOps& out);

    Pattern m_sir, m_sdr, m_hir, m_tir, m_hdr, m_tdr;
    SvfState m_endIr = SvfState::Idle, m_endDr = SvfState::Idle;
    SvfState m_runState = SvfState::Idle;
    std::optional<SvfState> m_runEnd;
    std::optional<SvfState> m_state;  // where the TAP is, when known
    std::optional<double> m_hertz;
    bool m_trstAbsent = false;
    bool m_trstAsserted = false;
};

// Copies `length` bits of `from` (bit 0 first) to bit `at` of `to`, which
// holds zeros there.
void PutBits(std::vector<uint8_t>& to, uint64_t at, const std::vector<uint8_t>& from, uint32_t length);

}  // namespace kestrad::svf
