// Playing SVF statements on an adapter through a kestrad server.
//
// CSvfPlanner (pure) turns statements into the operations the protocol can
// carry, keeping the format's carried-over values (the last TDI, MASK and
// SMASK of each scan kind, headers and trailers, ENDIR/ENDDR, the RUNTEST run
// and end states, the frequency). What the protocol cannot express is
// refused with the statement's line:
//   - instruction scans (with header and trailer) longer than 32 bits;
//   - RUNTEST clocks in another state than IDLE, or counted in SCK;
//   - STATE paths through unstable states. The protocol reaches IDLE with a
//     run of no clocks, RESET with a TRST pulse (refused after TRST ABSENT),
//     and a Pause state only as the end state of a scan, so STATE DRPAUSE or
//     IRPAUSE is accepted only where the TAP already is.
//
// CSvfPlayer streams a text through the parser and the planner and sends the
// scans in CMD_ASYNC_OPERATIONS batches as large as a command body may be;
// any other operation first sends the batch collected so far. TDO is checked
// on each batch's results. Run CheckSvf over the same text first to refuse a
// bad file before anything is sent (kestractl does).
#pragma once

#include "client/Client.h"
#include "client/svf/SvfParser.h"

#include <cstdint>
#include <functional>
#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrad::svf {

struct SvfOp {
    enum class Kind { Scan, RunTest, Trst, Frequency, Sleep };
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

class CSvfPlanner {
public:
    // Appends the operations of one statement to `out`; throws CSvfError
    // (at the statement) for what the protocol cannot express.
    void Add(const SvfStatement& st, std::vector<SvfOp>& out);

private:
    struct Pattern {
        uint32_t length = 0;
        std::optional<SvfBits> tdi, tdo, mask, smask;
    };
    void Update(Pattern& p, const SvfStatement& st, bool carryTdo);
    void Scan(const SvfStatement& st, std::vector<SvfOp>& out);
    void GoTo(SvfState target, const SvfStatement& st, std::vector<SvfOp>& out);

    Pattern m_sir, m_sdr, m_hir, m_tir, m_hdr, m_tdr;
    SvfState m_endIr = SvfState::Idle, m_endDr = SvfState::Idle;
    SvfState m_runState = SvfState::Idle;
    std::optional<SvfState> m_runEnd;
    std::optional<SvfState> m_state;  // where the TAP is, when known
    std::optional<double> m_hertz;
    bool m_trstAbsent = false;
    bool m_trstAsserted = false;
};

struct SvfTotals {
    uint64_t statements = 0;
    uint64_t scans = 0;
    uint64_t scanBits = 0;
};

// Parses and plans all of `in`, sending nothing: throws CSvfError at the
// first statement that cannot be played; returns what playing it would do.
SvfTotals CheckSvf(std::istream& in, const CSvfParser::Limits& limits = {});

// A TDO mismatch in the statement's own bits, or, when the header or
// trailer differs, in the whole scan (`whole` set).
struct SvfMismatch {
    uint64_t line = 0;
    uint32_t length = 0;
    bool whole = false;
    std::string expected, mask, read;  // SvfHex
};

class CSvfMismatchError : public std::runtime_error {
public:
    explicit CSvfMismatchError(const SvfMismatch& m);
    const SvfMismatch& Mismatch() const { return m_mismatch; }

private:
    SvfMismatch m_mismatch;
};

struct SvfReport {
    SvfTotals done;
    uint64_t mismatches = 0;
    uint64_t batches = 0;   // CMD_ASYNC_OPERATIONS sent
    uint64_t commands = 0;  // every command sent
    double seconds = 0;
};

struct SvfPlayOptions {
    bool keepGoing = false;  // count TDO mismatches instead of stopping
    // Largest batch body; the default is the server's command body limit.
    size_t maxBatchBody = 64u * 1024u * 1024u;
    // Most scans in one batch. Small scans would fill a body-limit batch with
    // millions of them: the client's bookkeeping for their checks would grow
    // to hundreds of MiB, and a slow adapter would work on one batch for
    // longer than the reply time-out. 65536 scans keep both small while the
    // round trip per batch stays negligible.
    size_t maxBatchScans = 65536;
    CSvfParser::Limits limits;
    // Called after each batch or command with the totals so far.
    std::function<void(const SvfReport&)> progress;
    // Called for each mismatch when keepGoing is set.
    std::function<void(const SvfMismatch&)> mismatch;
    // Called between commands; may throw to stop playback.
    std::function<void()> poll;
};

class CSvfPlayer {
public:
    CSvfPlayer(client::CClient& client, SvfPlayOptions options);
    // Plays all of `in` on the adapter the client has open. Throws CSvfError,
    // CSvfMismatchError (unless keepGoing) or the client's errors.
    SvfReport Play(std::istream& in);

private:
    // A scan in m_batch, kept for its TDO check.
    struct Queued {
        uint64_t line;
        uint32_t length, bodyOffset, bodyLength;
        std::vector<uint8_t> tdo, mask;  // empty: not checked
    };

    void Do(const SvfOp& op);
    void Flush();
    void Check(const Queued& scan, const std::vector<uint8_t>& read);
    void Progress();

    client::CClient& m_client;
    SvfPlayOptions m_options;
    client::CBatch m_batch;
    std::vector<Queued> m_queued;
    SvfReport m_report;
    uint64_t m_queuedStatement = 0;
    double m_start = 0;
};

}  // namespace kestrad::svf
