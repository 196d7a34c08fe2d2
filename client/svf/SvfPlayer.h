// Playing SVF statements on an adapter through a kestrad server.
//
// CSvfPlayer streams a text through the parser and the planner
// (SvfPlanner.h) and sends the scans in CMD_ASYNC_OPERATIONS batches; any
// other operation first sends the batch collected so far. Commands are
// pipelined: up to SvfPlayOptions::maxInFlight of them are sent before the
// reply of the oldest is read, so the server runs one batch while the
// player builds the next. TDO is checked on each batch's reply as it comes
// back. A mismatch, an error reply or any other failure stops playback once
// the replies still owed have been read (their commands have run by then),
// so nothing is left unread on the connection. Memory is bounded by the
// batches in flight, not by the file.
//
// Run CheckSvf over the same text first to refuse a bad file before anything
// is sent (kestractl does).
#pragma once

#include "client/Client.h"
#include "client/svf/SvfParser.h"
#include "client/svf/SvfPlanner.h"

#include <cstdint>
#include <functional>
#include <istream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrad::svf {

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
    SvfTotals done;         // statements and scans whose commands were answered
    uint64_t mismatches = 0;
    uint64_t batches = 0;   // CMD_ASYNC_OPERATIONS answered
    uint64_t commands = 0;  // every command answered
    double seconds = 0;
};

struct SvfPlayOptions {
    bool keepGoing = false;  // count TDO mismatches instead of stopping
    // A batch is sent once its body would grow past maxBatchBody or it holds
    // maxBatchScans scans (a scan larger than the limit goes alone). Batches
    // of a few thousand scans cost the server next to nothing per scan and
    // are small enough for the player to build the next while the server
    // runs one.
    size_t maxBatchBody = 1u << 20;
    size_t maxBatchScans = 4096;
    // Most commands sent and not yet answered, and most body bytes among
    // them (one larger command still goes). A mismatch is seen when its
    // batch is answered; the commands sent after it have run by then.
    size_t maxInFlight = 8;
    size_t maxInFlightBytes = 8u << 20;
    CSvfParser::Limits limits;
    // Called after each answered command with the totals so far.
    std::function<void(const SvfReport&)> progress;
    // Called for each mismatch when keepGoing is set.
    std::function<void(const SvfMismatch&)> mismatch;
    // Called before each command is sent; may throw to stop playback.
    std::function<void()> poll;
    // The open adapter's name. STATE RESET is played as five TMS-high clocks
    // (CMD_RAW_SEQUENCE); the first time, the player waits for the answer,
    // and an adapter that refuses (which closes it) is opened again under
    // this name and reset with TRST pulses from then on. Empty: TRST pulses
    // only, as nothing could open the adapter again.
    std::string adapter;
};

class CSvfPlayer {
public:
    CSvfPlayer(client::CClient& client, SvfPlayOptions options);
    // Plays all of `in` on the adapter the client has open. Throws CSvfError,
    // CSvfMismatchError (unless keepGoing) or the client's errors.
    SvfReport Play(std::istream& in);

private:
    // A TDO check of one scan of a batch: where its captured bits are in the
    // reply and its expected bits and mask (each `bytes` long) in `expected`.
    struct TdoCheck {
        uint64_t line;
        uint32_t length, bodyOffset, bodyLength;
        size_t reply, expected;
    };
    // A command being built (the batch) or sent and not yet answered.
    struct Slot {
        bool batch = true;
        client::CBatch scans;
        std::vector<TdoCheck> checks;
        std::vector<uint8_t> expected;
        uint32_t code = 0;  // a command of one word (or the reset sequence) when not a batch
        uint8_t word[8] = {};  // its body (4 bytes; the reset sequence's 6)
        const char* what = "batch";
        size_t reply = 0, body = 0;  // expected reply bytes; body bytes sent
        uint64_t statement = 0;      // the file is played up to here once answered
        uint64_t scanCount = 0, scanBits = 0;
    };

    void Do(const SvfOp& op);
    void TapReset(const SvfOp& op);
    void AddScan(const SvfOp& op);
    void SendBatch();
    void Send(uint32_t code, uint32_t word, const SvfOp& op, const char* what);
    // A command whose body is `body` bytes of `data` (copied into the slot).
    void SendBody(uint32_t code, const uint8_t* data, size_t body, size_t reply, const SvfOp& op,
                  const char* what);
    void Sent(Slot& slot);
    void CompleteOldest();
    void Retire();
    void Drain();
    void Abandon() noexcept;
    void Compare(const TdoCheck& check, const Slot& slot);
    void Progress();
    Slot& Building() { return m_slots[(m_first + m_inFlight) % m_slots.size()]; }

    client::CClient& m_client;
    SvfPlayOptions m_options;
    std::vector<Slot> m_slots;  // a ring: m_inFlight sent from m_first, then the batch being built
    size_t m_first = 0, m_inFlight = 0, m_inFlightBytes = 0;
    std::vector<uint8_t> m_reply;
    SvfReport m_report;
    double m_start = 0;
    // Whether the adapter clocks raw sequences: not asked yet, yes, no.
    enum class RawReset { Unknown, Sequence, Trst } m_rawReset = RawReset::Unknown;
    uint32_t m_hertz = 0;  // the last frequency sent, set again after a reopen
};

}  // namespace kestrad::svf
