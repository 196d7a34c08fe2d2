#include "client/svf/SvfPlanner.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

namespace kestrad::svf {

using client::TapState;
using Kind = SvfStatement::Kind;

namespace {

[[noreturn]] void Refuse(const SvfStatement& st, const std::string& why)
{
    throw CSvfError(st.line, st.column, std::string(SvfKindName(st.kind)) + ": " + why);
}

TapState WireState(SvfState s)
{
    switch (s) {
    case SvfState::Reset: return TapState::TestLogicReset;
    case SvfState::DrPause: return TapState::PauseDR;
    case SvfState::IrPause: return TapState::PauseIR;
    default: return TapState::RunTestIdle;
    }
}

// `length` ones, in place (the vector keeps its memory).
void SetOnes(std::optional<SvfBits>& bits, uint32_t length)
{
    if (!bits)
        bits.emplace();
    bits->length = length;
    bits->bytes.assign((static_cast<size_t>(length) + 7) / 8, 0xFF);
    if (length % 8)
        bits->bytes.back() = static_cast<uint8_t>((1u << (length % 8)) - 1);
}

}  // namespace

void PutBits(std::vector<uint8_t>& to, uint64_t at, const std::vector<uint8_t>& from, uint32_t length)
{
    const size_t bytes = (static_cast<size_t>(length) + 7) / 8;
    uint8_t* out = to.data() + at / 8;
    const unsigned shift = at % 8;
    if (shift == 0) {
        std::memcpy(out, from.data(), bytes);
        return;
    }
    for (size_t i = 0; i < bytes; ++i) {
        unsigned b = from[i];
        if (i + 1 == bytes && length % 8)
            b &= (1u << (length % 8)) - 1;
        out[i] |= static_cast<uint8_t>(b << shift);
        // Only bits that exist are written: the last byte may end here.
        if (b >> (8 - shift))
            out[i + 1] |= static_cast<uint8_t>(b >> (8 - shift));
    }
}

SvfOp& SvfOps::Add(SvfOp::Kind kind, const SvfStatement& st)
{
    if (m_size == m_ops.size())
        m_ops.emplace_back();
    SvfOp& op = m_ops[m_size++];
    op.kind = kind;
    op.line = st.line;
    op.statement = st.index;
    op.ir = false;
    op.length = 0;
    op.tdi.clear();
    op.end = TapState::RunTestIdle;
    op.check = false;
    op.tdo.clear();
    op.mask.clear();
    op.bodyOffset = op.bodyLength = 0;
    op.clocks = 0;
    op.level = true;
    op.hertz = 0;
    op.seconds = 0;
    return op;
}

void CSvfPlanner::Update(Pattern& p, const SvfStatement& st, bool carryTdo)
{
    // A scan of the same length keeps the previous TDI, MASK and SMASK; a new
    // length needs TDI and resets MASK and SMASK to all ones. TDO is compared
    // only where given, except that a header's or trailer's TDO belongs to
    // the pattern and stays with it.
    const bool same = st.length == p.length;
    if (!same && st.length > 0 && !st.tdi)
        Refuse(st, "TDI is required when the length changes (was " + std::to_string(p.length) +
                       ", now " + std::to_string(st.length) + ")");
    if (same && st.length > 0 && !st.tdi && !p.tdi)
        Refuse(st, "TDI is required");
    if (st.length == 0) {
        p = Pattern{};
        return;
    }
    p.length = st.length;
    if (st.tdi)
        p.tdi = st.tdi;
    if (st.tdo || !carryTdo || !same)
        p.tdo = st.tdo;
    if (st.mask)
        p.mask = st.mask;
    else if (!same)
        SetOnes(p.mask, st.length);
    if (st.smask)
        p.smask = st.smask;
    else if (!same)
        SetOnes(p.smask, st.length);
}

void CSvfPlanner::GoTo(SvfState target, const SvfStatement& st, SvfOps& out)
{
    if (!IsStable(target))
        Refuse(st, std::string("a path through ") + SvfStateName(target) +
                       " cannot be expressed: the protocol moves the TAP between stable states only");
    if (m_state == target)
        return;
    switch (target) {
    case SvfState::Idle:
        // The protocol's run of no clocks leaves the TAP in Run-Test/Idle.
        out.Add(SvfOp::Kind::RunTest, st).clocks = 0;
        break;
    case SvfState::Reset:
        // Five TMS-high clocks, or on an adapter that takes whole scans only
        // a TRST pulse, which IEEE 1149.1 makes equivalent (so the file must
        // allow TRST). A TRST the file holds asserted is released by the
        // pulse, as before.
        if (m_trstAbsent)
            Refuse(st, "RESET needs TRST, and the file declared TRST ABSENT");
        if (m_trstAsserted) {
            out.Add(SvfOp::Kind::Trst, st).level = false;
            out.Add(SvfOp::Kind::Trst, st).level = true;
        } else {
            out.Add(SvfOp::Kind::TapReset, st);
        }
        m_trstAsserted = false;
        break;
    default:
        Refuse(st, std::string("the protocol reaches ") + SvfStateName(target) +
                       " only as the end state of a scan (ENDIR/ENDDR)");
    }
    m_state = target;
}

void CSvfPlanner::Scan(const SvfStatement& st, SvfOps& out)
{
    const bool ir = st.kind == Kind::SIR;
    Pattern& body = ir ? m_sir : m_sdr;
    Update(body, st, false);
    const Pattern& head = ir ? m_hir : m_hdr;
    const Pattern& tail = ir ? m_tir : m_tdr;
    const uint64_t total = uint64_t{head.length} + body.length + tail.length;
    if (total == 0)
        Refuse(st, "a scan of no bits cannot be expressed");
    if (ir && total > 32)
        Refuse(st, "an instruction scan of " + std::to_string(total) +
                       " bits (header and trailer included) cannot be expressed: at most 32");
    if (total > CSvfParser::Limits{}.maxScanBits)
        Refuse(st, "a scan of " + std::to_string(total) + " bits is longer than one command can carry");

    SvfOp& op = out.Add(SvfOp::Kind::Scan, st);
    op.ir = ir;
    op.length = static_cast<uint32_t>(total);
    op.end = WireState(ir ? m_endIr : m_endDr);
    const size_t bytes = (static_cast<size_t>(total) + 7) / 8;
    op.tdi.assign(bytes, 0);
    op.bodyOffset = head.length;
    op.bodyLength = body.length;
    if (head.tdo || body.tdo || tail.tdo) {
        op.check = true;
        op.tdo.assign(bytes, 0);
        op.mask.assign(bytes, 0);
    }
    uint64_t at = 0;
    for (const Pattern* p : {&head, static_cast<const Pattern*>(&body), &tail}) {
        if (p->length == 0)
            continue;
        PutBits(op.tdi, at, p->tdi->bytes, p->length);
        if (p->tdo) {
            // A pattern of non-zero length always has a MASK (all ones by default).
            PutBits(op.tdo, at, p->tdo->bytes, p->length);
            PutBits(op.mask, at, p->mask->bytes, p->length);
        }
        at += p->length;
    }
    m_state = ir ? m_endIr : m_endDr;
}

void CSvfPlanner::Trst(const SvfStatement& st, SvfOps& out)
{
    if (m_trstAbsent && st.trst != SvfStatement::Trst::Absent)
        Refuse(st, "TRST was declared ABSENT");
    switch (st.trst) {
    case SvfStatement::Trst::On:
        out.Add(SvfOp::Kind::Trst, st).level = false;
        m_trstAsserted = true;
        m_state = SvfState::Reset;
        break;
    case SvfStatement::Trst::Off:
    case SvfStatement::Trst::Z:
        // A TRST left floating reads released: IEEE 1149.1 gives TRST a
        // pull-up. The protocol only drives levels, so Z is sent as OFF.
        out.Add(SvfOp::Kind::Trst, st).level = true;
        if (m_trstAsserted)
            m_state = SvfState::Reset;
        m_trstAsserted = false;
        break;
    case SvfStatement::Trst::Absent:
        m_trstAbsent = true;
        break;
    }
}

void CSvfPlanner::RunTest(const SvfStatement& st, SvfOps& out)
{
    if (st.runState)
        m_runState = *st.runState;
    if (st.endState)
        m_runEnd = st.endState;
    else if (st.runState)
        m_runEnd = st.runState;
    if (m_runState != SvfState::Idle)
        Refuse(st, std::string("clocks in ") + SvfStateName(m_runState) +
                       " cannot be expressed: the protocol clocks in IDLE only");
    if (st.runCount && st.runClock == SvfStatement::Clock::SCK)
        Refuse(st, "SCK counts cannot be expressed: the protocol counts TCK only");
    // Bounds that keep the plan small and the run finite: 2^40 clocks
    // take over nine hours even at 30 MHz, and no device needs a day.
    constexpr uint64_t kMaxClocks = uint64_t(1) << 40;
    constexpr double kMaxSeconds = 86400;
    uint64_t clocks = st.runCount.value_or(0);
    double sleep = 0;
    if (st.minTime) {
        if (!(*st.minTime <= kMaxSeconds))
            Refuse(st, "a minimum time above 86400 s is not played");
        // At a known frequency the minimum time becomes clocks; without
        // one it becomes a wait after the clocks.
        if (m_hertz)
            clocks = std::max<uint64_t>(clocks, static_cast<uint64_t>(std::ceil(*st.minTime * *m_hertz)));
        else
            sleep = *st.minTime;
    }
    if (clocks > kMaxClocks)
        Refuse(st, std::to_string(clocks) + " clocks are more than the 2^40 (" + std::to_string(kMaxClocks) +
                       ") this player runs");
    do {
        const uint32_t now = static_cast<uint32_t>(std::min<uint64_t>(clocks, 0xFFFFFFFFu));
        out.Add(SvfOp::Kind::RunTest, st).clocks = now;
        clocks -= now;
    } while (clocks > 0);
    if (sleep > 0)
        out.Add(SvfOp::Kind::Sleep, st).seconds = sleep;
    m_state = SvfState::Idle;
    if (m_runEnd)
        GoTo(*m_runEnd, st, out);
}

void CSvfPlanner::Add(const SvfStatement& st, SvfOps& out)
{
    switch (st.kind) {
    case Kind::SIR:
    case Kind::SDR: Scan(st, out); break;
    case Kind::HIR: Update(m_hir, st, true); break;
    case Kind::TIR: Update(m_tir, st, true); break;
    case Kind::HDR: Update(m_hdr, st, true); break;
    case Kind::TDR: Update(m_tdr, st, true); break;
    case Kind::ENDIR: m_endIr = st.states.at(0); break;
    case Kind::ENDDR: m_endDr = st.states.at(0); break;
    case Kind::STATE:
        // Each state of the path is passed in turn; only stable ones can be.
        for (SvfState s : st.states)
            GoTo(s, st, out);
        break;
    case Kind::TRST: Trst(st, out); break;
    case Kind::FREQUENCY: {
        if (!st.hertz) {
            // "Full speed": nothing to send; minimum times become sleeps.
            m_hertz.reset();
            break;
        }
        const double hz = std::round(*st.hertz);
        if (hz < 1 || hz > 4294967295.0)
            Refuse(st, "a frequency of 1 Hz to 4294967295 Hz is required");
        out.Add(SvfOp::Kind::Frequency, st).hertz = static_cast<uint32_t>(hz);
        m_hertz = hz;
        break;
    }
    case Kind::RUNTEST: RunTest(st, out); break;
    case Kind::PIO:
    case Kind::PIOMAP: Refuse(st, "parallel vectors cannot be sent through a JTAG adapter");
    }
}

}  // namespace kestrad::svf
