#include "client/svf/SvfPlayer.h"

#include "base/ByteOrder.h"
#include "wire/Packets.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace kestrad::svf {

namespace {

// Whether `read` equals `expected` wherever `mask` is set: `n` bytes,
// compared a 64-bit word at a time.
bool SameUnderMask(const uint8_t* read, const uint8_t* expected, const uint8_t* mask, size_t n)
{
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t r, e, m;
        std::memcpy(&r, read + i, 8);
        std::memcpy(&e, expected + i, 8);
        std::memcpy(&m, mask + i, 8);
        if ((r ^ e) & m)
            return false;
    }
    unsigned diff = 0;
    for (; i < n; ++i)
        diff |= (read[i] ^ expected[i]) & mask[i];
    return diff == 0;
}

bool Bit(const uint8_t* bits, uint64_t k) { return (bits[k / 8] >> (k % 8)) & 1; }

// `length` bits of `from` starting at bit `at`, as a stream of their own.
std::vector<uint8_t> TakeBits(const uint8_t* from, uint32_t at, uint32_t length)
{
    std::vector<uint8_t> out((static_cast<size_t>(length) + 7) / 8, 0);
    for (uint32_t k = 0; k < length; ++k)
        if (Bit(from, uint64_t{at} + k))
            out[k / 8] |= static_cast<uint8_t>(1u << (k % 8));
    return out;
}

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Buffers that grew past this (for a very long scan) are given back once
// used, so that one long scan does not hold its memory for the whole file.
constexpr size_t kKeepBytes = 4u << 20;

template <typename T>
void Release(std::vector<T>& v)
{
    if (v.capacity() > kKeepBytes)
        std::vector<T>().swap(v);
    else
        v.clear();
}

}  // namespace

SvfTotals CheckSvf(std::istream& in, const CSvfParser::Limits& limits)
{
    CSvfParser parser(limits);
    CSvfPlanner planner;
    SvfTotals totals;
    SvfOps ops;
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
    m_options.maxInFlight = std::max<size_t>(1, m_options.maxInFlight);
    // One slot more than may be in flight: the batch being built.
    m_slots.resize(m_options.maxInFlight + 1);
}

SvfReport CSvfPlayer::Play(std::istream& in)
{
    m_report = SvfReport{};
    m_first = m_inFlight = m_inFlightBytes = 0;
    for (Slot& slot : m_slots)
        slot = Slot{};
    m_start = Now();
    CSvfParser parser(m_options.limits);
    CSvfPlanner planner;
    SvfOps ops;
    std::vector<char> buffer(64 * 1024);
    auto sink = [&](SvfStatement&& st) {
        ops.clear();
        planner.Add(st, ops);
        for (const SvfOp& op : ops)
            Do(op);
        // A statement without commands of its own is played with the
        // command before it.
        if (!Building().scans.Empty())
            Building().statement = st.index;
        else if (m_inFlight > 0)
            m_slots[(m_first + m_inFlight - 1) % m_slots.size()].statement = st.index;
        else
            m_report.done.statements = st.index;
    };
    // The keep-alive covers long parses between commands and RUNTEST waits.
    m_client.EnableKeepAlive();
    try {
        while (in) {
            in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            parser.Feed(buffer.data(), static_cast<size_t>(in.gcount()), sink);
        }
        parser.Finish();
        SendBatch();
        Drain();
    } catch (...) {
        Abandon();
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
    switch (op.kind) {
    case SvfOp::Kind::Scan: AddScan(op); break;
    case SvfOp::Kind::RunTest: Send(CMD_RUN_TEST, op.clocks, op, "runtest"); break;
    case SvfOp::Kind::Trst: Send(CMD_TRST, op.level ? 1 : 0, op, "trst"); break;
    case SvfOp::Kind::Frequency:
        Send(CMD_JTAG_FREQUENCY, op.hertz, op, "frequency");
        m_hertz = op.hertz;
        break;
    case SvfOp::Kind::TapReset: TapReset(op); break;
    case SvfOp::Kind::Sleep: {
        // The wait comes after the clocks before it have run.
        SendBatch();
        Drain();
        const double until = Now() + op.seconds;
        while (Now() < until) {
            if (m_options.poll)
                m_options.poll();
            std::this_thread::sleep_for(std::chrono::duration<double>(std::min(0.05, until - Now())));
        }
        Progress();
        break;
    }
    }
}

namespace {

// CMD_RAW_SEQUENCE's body for five clocks with TMS high and TDI low.
const uint8_t kTmsReset[6] = {5, 0, 0, 0, 0x1F, 0x00};

bool RefusesSequences(const std::string& what)
{
    // An adapter that takes whole scans only, or a server older than the
    // command.
    return what.find("cannot clock raw JTAG sequences") != std::string::npos || what == "unknown command";
}

}  // namespace

void CSvfPlayer::TapReset(const SvfOp& op)
{
    if (m_rawReset == RawReset::Unknown && m_options.adapter.empty())
        m_rawReset = RawReset::Trst;
    if (m_rawReset == RawReset::Unknown) {
        // Asked once, alone: a refusal closes the adapter, and nothing sent
        // after it may meet a closed adapter.
        SendBatch();
        Drain();
        if (m_options.poll)
            m_options.poll();
        try {
            m_client.RawSequence({0x1F}, {0x00}, 5);
            m_rawReset = RawReset::Sequence;
            ++m_report.commands;
            m_report.done.statements = std::max(m_report.done.statements, op.statement);
            Progress();
            return;
        } catch (const client::ServerError& e) {
            if (!RefusesSequences(e.what()))
                throw;
        }
        m_rawReset = RawReset::Trst;
        m_client.Open(m_options.adapter);
        // Opened again, the adapter runs at its configured clock.
        if (m_hertz != 0)
            Send(CMD_JTAG_FREQUENCY, m_hertz, op, "frequency");
    }
    if (m_rawReset == RawReset::Sequence) {
        SendBody(CMD_RAW_SEQUENCE, kTmsReset, sizeof kTmsReset, 1, op, "raw");
    } else {
        Send(CMD_TRST, 0, op, "trst");
        Send(CMD_TRST, 1, op, "trst");
    }
}

void CSvfPlayer::AddScan(const SvfOp& op)
{
    // A sub-record is 8 bytes of header and the scan's payload.
    const size_t record = 8 + (op.ir ? 12 : 8 + op.tdi.size());
    const client::CBatch& building = Building().scans;
    if (!building.Empty() && (building.Body().size() + record > m_options.maxBatchBody ||
                              building.Size() >= m_options.maxBatchScans))
        SendBatch();
    Slot& b = Building();
    const size_t at = b.scans.ExpectedResultBytes();
    if (op.ir) {
        uint32_t value = 0;
        for (size_t i = 0; i < op.tdi.size(); ++i)
            value |= static_cast<uint32_t>(op.tdi[i]) << (8 * i);
        b.scans.ShiftIR(value, op.length, op.end);
    } else if (op.check) {
        b.scans.ShiftDR(op.tdi, op.length, op.end);
    } else {
        b.scans.WriteDR(op.tdi, op.length, op.end);
    }
    if (op.check) {
        b.checks.push_back(TdoCheck{op.line, op.length, op.bodyOffset, op.bodyLength, at, b.expected.size()});
        b.expected.insert(b.expected.end(), op.tdo.begin(), op.tdo.end());
        b.expected.insert(b.expected.end(), op.mask.begin(), op.mask.end());
    }
    b.statement = op.statement;
    ++b.scanCount;
    b.scanBits += op.length;
}

void CSvfPlayer::SendBatch()
{
    Slot& b = Building();
    if (b.scans.Empty())
        return;
    b.batch = true;
    b.what = "batch";
    b.reply = b.scans.ExpectedResultBytes();
    b.body = b.scans.Body().size();
    if (b.reply > m_client.Options().maxReplyBody)
        throw std::invalid_argument("batch results exceed the reply limit");
    if (m_options.poll)
        m_options.poll();
    m_client.Post(b.scans);
    Sent(b);
}

void CSvfPlayer::Send(uint32_t code, uint32_t word, const SvfOp& op, const char* what)
{
    uint8_t body[4];
    WriteLE32(body, word);
    SendBody(code, body, sizeof body, 0, op, what);
}

void CSvfPlayer::SendBody(uint32_t code, const uint8_t* data, size_t body, size_t reply, const SvfOp& op,
                          const char* what)
{
    SendBatch();
    Slot& c = Building();
    c.batch = false;
    c.code = code;
    std::memcpy(c.word, data, std::min(body, sizeof c.word));
    c.what = what;
    c.reply = reply;
    c.body = std::min(body, sizeof c.word);
    c.statement = op.statement;
    if (m_options.poll)
        m_options.poll();
    m_client.Post(code, c.word, c.body);
    Sent(c);
}

void CSvfPlayer::Sent(Slot& slot)
{
    ++m_inFlight;
    m_inFlightBytes += slot.body;
    while (m_inFlight > m_options.maxInFlight || (m_inFlight > 1 && m_inFlightBytes > m_options.maxInFlightBytes))
        CompleteOldest();
}

void CSvfPlayer::CompleteOldest()
{
    const Slot& s = m_slots[m_first];
    try {
        m_client.Receive(m_reply, s.reply, s.what);
        ++m_report.commands;
        if (s.batch)
            ++m_report.batches;
        m_report.done.scans += s.scanCount;
        m_report.done.scanBits += s.scanBits;
        m_report.done.statements = std::max(m_report.done.statements, s.statement);
        for (const TdoCheck& check : s.checks)
            Compare(check, s);
    } catch (...) {
        Retire();
        throw;
    }
    Retire();
    Release(m_reply);
    Progress();
}

void CSvfPlayer::Retire()
{
    Slot& s = m_slots[m_first];
    m_inFlightBytes -= s.body;
    if (s.scans.Body().capacity() > kKeepBytes)
        s.scans = client::CBatch();
    else
        s.scans.Clear();
    s.checks.clear();
    Release(s.expected);
    s.statement = s.scanCount = s.scanBits = 0;
    s.reply = s.body = 0;
    m_first = (m_first + 1) % m_slots.size();
    --m_inFlight;
}

void CSvfPlayer::Drain()
{
    while (m_inFlight > 0)
        CompleteOldest();
}

void CSvfPlayer::Abandon() noexcept
{
    // The replies still owed are read so that the connection stays in step;
    // after the first failure their errors and mismatches add nothing.
    while (m_inFlight > 0) {
        try {
            if (m_client.IsConnected() && m_client.Outstanding() > 0)
                m_client.Receive(m_reply, m_slots[m_first].reply, m_slots[m_first].what);
        } catch (...) {
            // A connection error closes the connection: nothing is owed then.
        }
        Retire();
    }
}

void CSvfPlayer::Compare(const TdoCheck& check, const Slot& slot)
{
    const size_t bytes = (static_cast<size_t>(check.length) + 7) / 8;
    const uint8_t* read = m_reply.data() + check.reply;
    const uint8_t* tdo = slot.expected.data() + check.expected;
    const uint8_t* mask = tdo + bytes;
    if (SameUnderMask(read, tdo, mask, bytes))
        return;
    // Shown in the statement's own terms when only its bits differ.
    uint32_t at = 0, length = check.length;
    bool whole = true;
    if (check.bodyLength > 0 && check.bodyLength < check.length) {
        whole = false;
        for (uint32_t k = 0; k < check.length && !whole; ++k)
            if (k < check.bodyOffset || k >= check.bodyOffset + check.bodyLength)
                whole = Bit(mask, k) && Bit(read, k) != Bit(tdo, k);
        if (!whole) {
            at = check.bodyOffset;
            length = check.bodyLength;
        }
    }
    SvfMismatch m;
    m.line = check.line;
    m.length = length;
    m.whole = whole && check.bodyLength < check.length;
    m.expected = SvfHex(TakeBits(tdo, at, length), length);
    m.mask = SvfHex(TakeBits(mask, at, length), length);
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
