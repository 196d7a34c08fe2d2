#include "client/svf/SvfPlayer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

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

SvfBits Ones(uint32_t length)
{
    SvfBits b{length, std::vector<uint8_t>((static_cast<size_t>(length) + 7) / 8, 0xFF)};
    if (length % 8)
        b.bytes.back() = static_cast<uint8_t>((1u << (length % 8)) - 1);
    return b;
}

// Copies `length` bits of `from` (bit 0 first) to bit `at` of `to`.
void PutBits(std::vector<uint8_t>& to, uint64_t at, const std::vector<uint8_t>& from, uint32_t length)
{
    if (at % 8 == 0) {
        std::copy(from.begin(), from.begin() + (length + 7) / 8, to.begin() + at / 8);
        return;
    }
    for (uint32_t k = 0; k < length; ++k)
        if ((from[k / 8] >> (k % 8)) & 1)
            to[(at + k) / 8] |= static_cast<uint8_t>(1u << ((at + k) % 8));
}

// `length` bits of `from` starting at bit `at`, as a stream of their own.
std::vector<uint8_t> TakeBits(const std::vector<uint8_t>& from, uint32_t at, uint32_t length)
{
    std::vector<uint8_t> out((static_cast<size_t>(length) + 7) / 8, 0);
    for (uint32_t k = 0; k < length; ++k)
        if ((from[(at + k) / 8] >> ((at + k) % 8)) & 1)
            out[k / 8] |= static_cast<uint8_t>(1u << (k % 8));
    return out;
}

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

// ---- planning ------------------------------------------------------------

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
    p.length = st.length;
    if (st.tdi)
        p.tdi = st.tdi;
    if (st.tdo || !carryTdo || !same)
        p.tdo = st.tdo;
    if (st.mask)
        p.mask = st.mask;
    else if (!same)
        p.mask = Ones(st.length);
    if (st.smask)
        p.smask = st.smask;
    else if (!same)
        p.smask = Ones(st.length);
    if (st.length == 0)
        p = Pattern{};
}

void CSvfPlanner::GoTo(SvfState target, const SvfStatement& st, std::vector<SvfOp>& out)
{
    if (!IsStable(target))
        Refuse(st, std::string("a path through ") + SvfStateName(target) +
                       " cannot be expressed: the protocol moves the TAP between stable states only");
    if (m_state == target)
        return;
    SvfOp op;
    op.line = st.line;
    op.statement = st.index;
    switch (target) {
    case SvfState::Idle:
        // The protocol's run of no clocks leaves the TAP in Run-Test/Idle.
        op.kind = SvfOp::Kind::RunTest;
        op.clocks = 0;
        out.push_back(op);
        break;
    case SvfState::Reset:
        // Without a bare TMS path the protocol resets the TAP through TRST,
        // which IEEE 1149.1 makes equivalent to the TMS reset.
        if (m_trstAbsent)
            Refuse(st, "RESET needs TRST, and the file declared TRST ABSENT");
        op.kind = SvfOp::Kind::Trst;
        op.level = false;
        out.push_back(op);
        op.level = true;
        out.push_back(op);
        m_trstAsserted = false;
        break;
    default:
        Refuse(st, std::string("the protocol reaches ") + SvfStateName(target) +
                       " only as the end state of a scan (ENDIR/ENDDR)");
    }
    m_state = target;
}

void CSvfPlanner::Scan(const SvfStatement& st, std::vector<SvfOp>& out)
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

    SvfOp op;
    op.kind = SvfOp::Kind::Scan;
    op.line = st.line;
    op.statement = st.index;
    op.ir = ir;
    op.length = static_cast<uint32_t>(total);
    op.end = WireState(ir ? m_endIr : m_endDr);
    const size_t bytes = (static_cast<size_t>(total) + 7) / 8;
    op.tdi.assign(bytes, 0);
    op.bodyOffset = head.length;
    op.bodyLength = body.length;
    const bool check = head.tdo || body.tdo || tail.tdo;
    if (check) {
        op.tdo.assign(bytes, 0);
        op.mask.assign(bytes, 0);
    }
    uint64_t at = 0;
    for (const Pattern* p : {&head, static_cast<const Pattern*>(&body), &tail}) {
        if (p->length == 0)
            continue;
        PutBits(op.tdi, at, p->tdi->bytes, p->length);
        if (p->tdo) {
            PutBits(op.tdo, at, p->tdo->bytes, p->length);
            PutBits(op.mask, at, p->mask ? p->mask->bytes : Ones(p->length).bytes, p->length);
            op.check = true;
        }
        at += p->length;
    }
    out.push_back(std::move(op));
    m_state = ir ? m_endIr : m_endDr;
}

void CSvfPlanner::Add(const SvfStatement& st, std::vector<SvfOp>& out)
{
    switch (st.kind) {
    case Kind::SIR:
    case Kind::SDR:
        Scan(st, out);
        break;
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
    case Kind::TRST: {
        if (m_trstAbsent && st.trst != SvfStatement::Trst::Absent)
            Refuse(st, "TRST was declared ABSENT");
        SvfOp op;
        op.kind = SvfOp::Kind::Trst;
        op.line = st.line;
        op.statement = st.index;
        switch (st.trst) {
        case SvfStatement::Trst::On:
            op.level = false;
            out.push_back(op);
            m_trstAsserted = true;
            m_state = SvfState::Reset;
            break;
        case SvfStatement::Trst::Off:
        case SvfStatement::Trst::Z:
            // A TRST left floating reads released: IEEE 1149.1 gives TRST a
            // pull-up. The protocol only drives levels, so Z is sent as OFF.
            op.level = true;
            out.push_back(op);
            if (m_trstAsserted)
                m_state = SvfState::Reset;
            m_trstAsserted = false;
            break;
        case SvfStatement::Trst::Absent:
            m_trstAbsent = true;
            break;
        }
        break;
    }
    case Kind::FREQUENCY: {
        if (!st.hertz) {
            // "Full speed": nothing to send; minimum times become sleeps.
            m_hertz.reset();
            break;
        }
        const double hz = std::round(*st.hertz);
        if (hz < 1 || hz > 4294967295.0)
            Refuse(st, "a frequency of 1 Hz to 4294967295 Hz is required");
        SvfOp op;
        op.kind = SvfOp::Kind::Frequency;
        op.line = st.line;
        op.statement = st.index;
        op.hertz = static_cast<uint32_t>(hz);
        out.push_back(op);
        m_hertz = hz;
        break;
    }
    case Kind::RUNTEST: {
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
        SvfOp op;
        op.kind = SvfOp::Kind::RunTest;
        op.line = st.line;
        op.statement = st.index;
        do {
            op.clocks = static_cast<uint32_t>(std::min<uint64_t>(clocks, 0xFFFFFFFFu));
            clocks -= op.clocks;
            out.push_back(op);
        } while (clocks > 0);
        if (sleep > 0) {
            op.kind = SvfOp::Kind::Sleep;
            op.seconds = sleep;
            out.push_back(op);
        }
        m_state = SvfState::Idle;
        if (m_runEnd)
            GoTo(*m_runEnd, st, out);
        break;
    }
    case Kind::PIO:
    case Kind::PIOMAP:
        Refuse(st, "parallel vectors cannot be sent through a JTAG adapter");
    }
}

SvfTotals CheckSvf(std::istream& in, const CSvfParser::Limits& limits)
{
    CSvfParser parser(limits);
    CSvfPlanner planner;
    SvfTotals totals;
    std::vector<SvfOp> ops;
    std::vector<char> buffer(64 * 1024);
    auto sink = [&](SvfStatement&& st) {
        ops.clear();
        planner.Add(st, ops);
        ++totals.statements;
        for (const SvfOp& op : ops)
            if (op.kind == SvfOp::Kind::Scan) {
                ++totals.scans;
                totals.scanBits += op.length;
            }
    };
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        parser.Feed(buffer.data(), static_cast<size_t>(in.gcount()), sink);
    }
    parser.Finish();
    return totals;
}

// ---- playing -------------------------------------------------------------

CSvfMismatchError::CSvfMismatchError(const SvfMismatch& m)
    : std::runtime_error("line " + std::to_string(m.line) + ": TDO mismatch in a " +
                         std::to_string(m.length) + "-bit scan" +
                         (m.whole ? " (header and trailer included)" : "") + ": expected " +
                         m.expected + ", mask " + m.mask + ", read " + m.read),
      m_mismatch(m)
{
}

CSvfPlayer::CSvfPlayer(client::CClient& client, SvfPlayOptions options)
    : m_client(client), m_options(std::move(options))
{
}

SvfReport CSvfPlayer::Play(std::istream& in)
{
    m_report = SvfReport{};
    m_batch.Clear();
    m_queued.clear();
    m_start = Now();
    CSvfParser parser(m_options.limits);
    CSvfPlanner planner;
    std::vector<SvfOp> ops;
    std::vector<char> buffer(64 * 1024);
    auto sink = [&](SvfStatement&& st) {
        ops.clear();
        planner.Add(st, ops);
        for (const SvfOp& op : ops)
            Do(op);
        if (m_batch.Empty())
            m_report.done.statements = st.index;
        else
            m_queuedStatement = st.index;
    };
    // The keep-alive covers long parses between commands and RUNTEST waits.
    m_client.EnableKeepAlive();
    try {
        while (in) {
            in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            parser.Feed(buffer.data(), static_cast<size_t>(in.gcount()), sink);
        }
        parser.Finish();
        Flush();
    } catch (...) {
        m_client.DisableKeepAlive();
        throw;
    }
    m_client.DisableKeepAlive();
    m_report.done.statements = parser.Statements();
    m_report.seconds = Now() - m_start;
    return m_report;
}

void CSvfPlayer::Do(const SvfOp& op)
{
    if (op.kind == SvfOp::Kind::Scan) {
        // A sub-record is 8 bytes of header and the scan's payload.
        const size_t record = 8 + (op.ir ? 12 : 8 + op.tdi.size());
        if (!m_batch.Empty() && (m_batch.Body().size() + record > m_options.maxBatchBody ||
                                 m_batch.Size() >= m_options.maxBatchScans))
            Flush();
        if (op.ir) {
            uint32_t value = 0;
            for (size_t i = 0; i < op.tdi.size(); ++i)
                value |= static_cast<uint32_t>(op.tdi[i]) << (8 * i);
            m_batch.ShiftIR(value, op.length, op.end);
        } else if (op.check) {
            m_batch.ShiftDR(op.tdi, op.length, op.end);
        } else {
            m_batch.WriteDR(op.tdi, op.length, op.end);
        }
        m_queued.push_back(Queued{op.line, op.length, op.bodyOffset, op.bodyLength,
                                  op.check ? op.tdo : std::vector<uint8_t>{},
                                  op.check ? op.mask : std::vector<uint8_t>{}});
        return;
    }
    Flush();
    if (m_options.poll)
        m_options.poll();
    switch (op.kind) {
    case SvfOp::Kind::RunTest: m_client.RunTest(op.clocks); break;
    case SvfOp::Kind::Trst: m_client.SetTrst(op.level); break;
    case SvfOp::Kind::Frequency: m_client.SetFrequency(op.hertz); break;
    case SvfOp::Kind::Sleep: {
        const double until = Now() + op.seconds;
        while (Now() < until) {
            if (m_options.poll)
                m_options.poll();
            std::this_thread::sleep_for(std::chrono::duration<double>(std::min(0.05, until - Now())));
        }
        break;
    }
    case SvfOp::Kind::Scan: break;
    }
    if (op.kind != SvfOp::Kind::Sleep)
        ++m_report.commands;
    Progress();
}

void CSvfPlayer::Flush()
{
    if (m_batch.Empty())
        return;
    if (m_options.poll)
        m_options.poll();
    const std::vector<std::vector<uint8_t>> results = m_client.Execute(m_batch);
    ++m_report.batches;
    ++m_report.commands;
    for (size_t i = 0; i < m_queued.size(); ++i) {
        ++m_report.done.scans;
        m_report.done.scanBits += m_queued[i].length;
        if (!m_queued[i].tdo.empty())
            Check(m_queued[i], results.at(i));
    }
    m_batch.Clear();
    m_queued.clear();
    m_report.done.statements = m_queuedStatement;
    Progress();
}

void CSvfPlayer::Check(const Queued& op, const std::vector<uint8_t>& reply)
{
    std::vector<uint8_t> read = reply;
    read.resize(op.tdo.size());  // the batch's Split gives exactly this size
    bool same = true;
    for (size_t i = 0; same && i < op.tdo.size(); ++i)
        same = ((read[i] ^ op.tdo[i]) & op.mask[i]) == 0;
    if (same)
        return;
    // Shown in the statement's own terms when only its bits differ.
    uint32_t at = 0, length = op.length;
    bool whole = true;
    if (op.bodyLength > 0 && op.bodyLength < op.length) {
        whole = false;
        for (uint32_t k = 0; k < op.length && !whole; ++k)
            if (k < op.bodyOffset || k >= op.bodyOffset + op.bodyLength)
                whole = (((read[k / 8] ^ op.tdo[k / 8]) & op.mask[k / 8]) >> (k % 8)) & 1;
        if (!whole) {
            at = op.bodyOffset;
            length = op.bodyLength;
        }
    }
    SvfMismatch m;
    m.line = op.line;
    m.length = length;
    m.whole = whole && op.bodyLength < op.length;
    m.expected = SvfHex(TakeBits(op.tdo, at, length), length);
    m.mask = SvfHex(TakeBits(op.mask, at, length), length);
    m.read = SvfHex(TakeBits(read, at, length), length);
    ++m_report.mismatches;
    if (!m_options.keepGoing)
        throw CSvfMismatchError(m);
    if (m_options.mismatch)
        m_options.mismatch(m);
}

void CSvfPlayer::Progress()
{
    if (!m_options.progress)
        return;
    m_report.seconds = Now() - m_start;
    m_options.progress(m_report);
}

}  // namespace kestrad::svf
