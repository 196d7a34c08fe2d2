// SVF: the parser and the planner (pure), the player's pipelining against a
// scripted server, and kestractl svf against the real kestrad with a
// kestrad-sim chain of three TAPs.
#include "client/svf/SvfPlayer.h"
#include "tests/client/FakeServer.h"
#include "tests/support/Process.h"
#include "tests/support/Programs.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

using namespace kestrad::svf;
using kestrad::client::TapState;

namespace {

std::vector<SvfStatement> Parse(const std::string& text, CSvfParser::Limits limits = {})
{
    std::vector<SvfStatement> out;
    CSvfParser parser(limits);
    parser.Feed(text.data(), text.size(), [&](SvfStatement&& st) { out.push_back(std::move(st)); });
    parser.Finish();
    return out;
}

std::vector<SvfOp> Plan(const std::string& text)
{
    SvfOps ops;
    CSvfPlanner planner;
    for (const SvfStatement& st : Parse(text))
        planner.Add(st, ops);
    return std::vector<SvfOp>(ops.begin(), ops.end());
}

struct Bad {
    const char* text;
    uint64_t line, column;
    const char* message;
};

void ExpectError(const Bad& c, const std::function<void(const std::string&)>& run)
{
    try {
        run(c.text);
        ADD_FAILURE() << "accepted: " << c.text;
    } catch (const CSvfError& e) {
        EXPECT_EQ(e.Line(), c.line) << c.text << ": " << e.what();
        EXPECT_EQ(e.Column(), c.column) << c.text << ": " << e.what();
        EXPECT_NE(e.Message().find(c.message), std::string::npos) << c.text << ": " << e.what();
    }
}

}  // namespace

TEST(SvfParser, RefusesBadTextNamingLineAndColumn)
{
    const Bad cases[] = {
        {"SIR 4 TDI (f);\nFOO 1;", 2, 1, "unknown statement 'FOO'"},
        {"SIR 4 TDI (1f);", 1, 11, "wider than its length of 4 bits"},
        {"SDR 8\n TDI (0000000000001ff);", 2, 6, "wider than its length of 8 bits"},
        {"SIR 4 TDI (f)", 1, 1, "not ended with ';'"},
        {"SIR 4 TDI (f", 1, 11, "not closed"},
        {"SIR 4 TDI (fg);", 1, 13, "'g' is not a hex digit"},
        {"SIR 4 TDI (f) TDI (1);", 1, 15, "TDI given twice"},
        {"SIR 4 (f);", 1, 7, "belongs after TDI"},
        {"SIR x TDI (1);", 1, 5, "scan length 'X'"},
        {"SIR 4 TDI;", 1, 1, "TDI needs a value"},
        {"STATE IDLE DRSHIFT;", 1, 12, "must end in a stable state"},
        {"ENDDR DREXIT1;", 1, 7, "not a stable state"},
        {"TRST MAYBE;", 1, 6, "expected ON, OFF, Z or ABSENT"},
        {"FREQUENCY 1E6;", 1, 1, "expected HZ"},
        {"RUNTEST 10 TCK ENDSTATE;", 1, 1, "expected an end state"},
        {"RUNTEST 1.5 TCK;", 1, 9, "whole number"},
        {"RUNTEST TCK;", 1, 9, "a clock count or a minimum time"},
        {"\n\n  PIO (HLX);", 3, 3, "parallel vectors"},
        {"SIR 4 TDI (f) ) ;", 1, 15, "')' without '('"},
        {"SIR 4 TDI (f) / x;", 1, 15, "stray '/'"},
        {"SIR 4 TDI (f) /\n;", 1, 15, "stray '/'"},
        {";", 1, 1, "empty statement"},
        {"SDR 65 TDI (0);", 1, 5, "up to 64"},
        {"SIR 4 TDI (f) TDO (1) MASK (f) SMASK (f) TDO (1) TDI (1) TDO (1) TDI (1);", 1, 50,
         "too many words"},
    };
    CSvfParser::Limits limits;
    limits.maxScanBits = 64;
    limits.maxItems = 12;
    for (const Bad& c : cases)
        ExpectError(c, [&](const std::string& text) { Parse(text, limits); });
}

TEST(SvfParser, ReadsValuesFieldsAndStatementsAcrossLinesAndComments)
{
    const std::string text =
        "! a comment; with a semicolon\n"
        "sir 5 tdi (1F) // lower case is fine\n"
        "  TDO (01) MASK\n(1f);\n"
        "SDR 12 TDI (abc) SMASK (fff);\n"
        "SDR 16 TDI (0000000000000000000000000000000000000000000000000000000001);\n"
        "RUNTEST IDLE 100 TCK 1.5E-3 SEC MAXIMUM 1 SEC ENDSTATE RESET;\n"
        "STATE DRPAUSE IDLE; TRST Z; FREQUENCY 2.5E6 HZ; FREQUENCY;\n";
    const std::vector<SvfStatement> all = Parse(text);
    ASSERT_EQ(all.size(), 8u);
    EXPECT_EQ(all[0].kind, SvfStatement::Kind::SIR);
    EXPECT_EQ(all[0].line, 2u);
    EXPECT_EQ(all[0].tdi->bytes, std::vector<uint8_t>{0x1f});
    EXPECT_EQ(all[0].tdo->bytes, std::vector<uint8_t>{0x01});
    EXPECT_EQ(all[0].mask->bytes, std::vector<uint8_t>{0x1f});
    // An odd number of digits is right-aligned: bit 0 is the last digit's.
    EXPECT_EQ(all[1].tdi->bytes, (std::vector<uint8_t>{0xbc, 0x0a}));
    EXPECT_EQ(all[1].smask->bytes, (std::vector<uint8_t>{0xff, 0x0f}));
    EXPECT_EQ(all[2].tdi->bytes, (std::vector<uint8_t>{0x01, 0x00}));
    EXPECT_EQ(all[3].runState, SvfState::Idle);
    EXPECT_EQ(all[3].runCount, 100u);
    EXPECT_DOUBLE_EQ(*all[3].minTime, 1.5e-3);
    EXPECT_DOUBLE_EQ(*all[3].maxTime, 1.0);
    EXPECT_EQ(all[3].endState, SvfState::Reset);
    EXPECT_EQ(all[4].states, (std::vector<SvfState>{SvfState::DrPause, SvfState::Idle}));
    EXPECT_EQ(all[5].trst, SvfStatement::Trst::Z);
    EXPECT_DOUBLE_EQ(*all[6].hertz, 2.5e6);
    EXPECT_FALSE(all[7].hertz);

    // Fed one byte at a time, the text gives the same statements.
    std::vector<SvfStatement> bytewise;
    CSvfParser parser;
    for (char c : text)
        parser.Feed(&c, 1, [&](SvfStatement&& st) { bytewise.push_back(std::move(st)); });
    parser.Finish();
    ASSERT_EQ(bytewise.size(), all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(bytewise[i].column, all[i].column);
        EXPECT_EQ(bytewise[i].tdi, all[i].tdi);
    }
}

TEST(SvfParser, MemoryStaysBoundedByTheDeclaredLength)
{
    // Millions of leading zeros are not stored; a statement that never ends
    // is refused once it has too many words, not buffered.
    CSvfParser::Limits limits;
    limits.maxScanBits = 32;
    std::string zeros = "SDR 32 TDI (" + std::string(8u << 20, '0') + "1);";
    EXPECT_EQ(Parse(zeros, limits).at(0).tdi->bytes, (std::vector<uint8_t>{1, 0, 0, 0}));
    std::string endless = "SDR 32";
    for (int i = 0; i < 100000; ++i)
        endless += " TDI";
    EXPECT_THROW(Parse(endless + ";", limits), CSvfError);
}

TEST(SvfPlanner, BuildsWholeChainScansWithCarriedValues)
{
    const std::vector<SvfOp> ops = Plan(
        "HIR 3 TDI (7) TDO (1) MASK (1); TIR 2 TDI (3);\n"
        "ENDIR IRPAUSE;\n"
        "SIR 4 TDI (a);\n"                          // header first: 11 | a << 3 | 7
        "HDR 1 TDI (0); ENDDR DRPAUSE;\n"
        "SDR 8 TDI (5a) TDO (ff) MASK (0f);\n"
        "SDR 8 TDO (00);\n"                         // TDI and MASK carried over
        "SDR 8 TDI (01);\n"                         // TDO is not carried over
        "FREQUENCY 1E6 HZ; RUNTEST 10 TCK 1E-3 SEC;\n"
        "FREQUENCY; RUNTEST 2E-3 SEC ENDSTATE RESET;\n");
    ASSERT_EQ(ops.size(), 9u);
    EXPECT_TRUE(ops[0].ir);
    EXPECT_EQ(ops[0].length, 9u);
    EXPECT_EQ(ops[0].tdi, (std::vector<uint8_t>{0xd7, 0x01}));  // 0b11'1010'111
    EXPECT_TRUE(ops[0].check);  // the header's TDO is compared
    EXPECT_EQ(ops[0].tdo, (std::vector<uint8_t>{0x01, 0x00}));
    EXPECT_EQ(ops[0].mask, (std::vector<uint8_t>{0x01, 0x00}));
    EXPECT_EQ(ops[0].end, TapState::PauseIR);
    EXPECT_EQ(ops[1].length, 9u);
    EXPECT_EQ(ops[1].tdi, (std::vector<uint8_t>{0xb4, 0x00}));  // 0x5a << 1
    EXPECT_EQ(ops[1].tdo, (std::vector<uint8_t>{0xfe, 0x01}));
    EXPECT_EQ(ops[1].mask, (std::vector<uint8_t>{0x1e, 0x00}));
    EXPECT_EQ(ops[1].end, TapState::PauseDR);
    EXPECT_EQ(ops[2].tdi, ops[1].tdi);
    EXPECT_EQ(ops[2].mask, ops[1].mask);
    EXPECT_FALSE(ops[3].check);
    EXPECT_EQ(ops[4].kind, SvfOp::Kind::Frequency);
    EXPECT_EQ(ops[4].hertz, 1000000u);
    // At a known frequency a minimum time is clocks; without one, a wait.
    EXPECT_EQ(ops[5].kind, SvfOp::Kind::RunTest);
    EXPECT_EQ(ops[5].clocks, 1000u);
    EXPECT_EQ(ops[6].clocks, 0u);
    EXPECT_EQ(ops[7].kind, SvfOp::Kind::Sleep);
    EXPECT_DOUBLE_EQ(ops[7].seconds, 2e-3);
    // ENDSTATE RESET: TMS high five times (a TRST pulse where the adapter
    // cannot clock raw sequences, which the player finds out).
    EXPECT_EQ(ops[8].kind, SvfOp::Kind::TapReset);
    // With TRST held asserted, the pulse releases it as the file expects.
    const std::vector<SvfOp> held = Plan("TRST ON; SDR 8 TDI (00); STATE IDLE; STATE RESET;");
    ASSERT_EQ(held.size(), 4u);
    EXPECT_EQ(held[2].kind, SvfOp::Kind::Trst);
    EXPECT_FALSE(held[2].level);
    EXPECT_TRUE(held[3].level);
}

TEST(SvfPlanner, RefusesWhatTheProtocolCannotCarry)
{
    const Bad cases[] = {
        {"HIR 20 TDI (0);\nSIR 13 TDI (0);", 2, 1, "instruction scan of 33 bits"},
        {"SDR 8 TDI (1);\n  SDR 9;", 2, 3, "TDI is required when the length changes"},
        {"RUNTEST DRPAUSE 10 TCK;", 1, 1, "clocks in DRPAUSE"},
        {"RUNTEST 10 SCK;", 1, 1, "SCK"},
        {"STATE IDLE DRSELECT DRCAPTURE DREXIT1 DRPAUSE;", 1, 1, "a path through DRSELECT"},
        {"STATE IDLE; STATE IRPAUSE;", 1, 13, "only as the end state of a scan"},
        {"TRST ABSENT; STATE RESET;", 1, 14, "TRST ABSENT"},
        {"TRST ABSENT; TRST ON;", 1, 14, "declared ABSENT"},
        {"FREQUENCY 5E9 HZ;", 1, 1, "4294967295 Hz"},
        {"SDR 0;", 1, 1, "no bits"},
        // A run must stay finite, and its plan small.
        {"RUNTEST 40444044444444445 TCK;", 1, 1, "more than the 2^40"},
        {"FREQUENCY 1E6 HZ;\nRUNTEST 1E7 SEC;", 2, 1, "above 86400 s"},
        {"RUNTEST 1E300 SEC;", 1, 1, "above 86400 s"},
    };
    for (const Bad& c : cases)
        ExpectError(c, [&](const std::string& text) { Plan(text); });
    // Pause states are reachable as the end states of scans.
    EXPECT_NO_THROW(Plan("ENDDR DRPAUSE; SDR 1 TDI (1); STATE DRPAUSE; STATE IDLE;"));
}

// ---- pipelined playback -------------------------------------------------

namespace {

// A batch's reply from a TAP that captures what is shifted in.
clienttest::Bytes Echo(const clienttest::Bytes& body)
{
    clienttest::Bytes out;
    for (size_t at = 0; at + 8 <= body.size();) {
        auto word = [&](size_t k) { return body[k] | body[k + 1] << 8 | body[k + 2] << 16 | uint32_t(body[k + 3]) << 24; };
        const uint32_t code = word(at), size = word(at + 4);
        if (code == 7)
            out.insert(out.end(), body.begin() + at + 16, body.begin() + at + 8 + size);
        else if (code == 6)
            for (uint32_t k = 0; k < (word(at + 12) + 7) / 8; ++k)
                out.push_back(static_cast<uint8_t>(word(at + 8) >> (8 * k)));
        at += 8 + size;
    }
    return out;
}

}  // namespace

TEST(SvfPipelining, AFailureInAnInFlightBatchNamesItsLineAndLeavesNothingUnread)
{
    // Batches of two scans: lines 1-2, 3-4 and 5, then the RUNTEST. The
    // server reads all four before it answers any, so all were in flight.
    const std::string text = "SDR 8 TDI (01) TDO (01);\nSDR 8 TDI (02) TDO (02);\nSDR 8 TDI (03) TDO (03);\n"
                             "SDR 8 TDI (04) TDO (05);\nSDR 8 TDI (06) TDO (06);\nRUNTEST 10 TCK;\n";
    const struct {
        const char* name;
        const char* error;  // the server's answer to the second batch, or none
        std::string expected;
    } cases[] = {
        {"mismatch", nullptr, "line 4: TDO mismatch in a 8-bit scan: expected 0x05, mask 0xff, read 0x04"},
        {"error reply", "the adapter failed", "the adapter failed"},
    };
    for (const auto& c : cases) {
        std::vector<uint32_t> codes;
        clienttest::FakeServer server([&](clienttest::FakeConnection& conn) {
            conn.SendGreeting();
            std::vector<clienttest::FakeConnection::Command> sent;
            for (int i = 0; i < 4; ++i) {
                auto cmd = conn.ReadCommand();
                ASSERT_TRUE(cmd);
                codes.push_back(cmd->code);
                sent.push_back(*cmd);
            }
            for (size_t i = 0; i < sent.size(); ++i) {
                if (c.error && i == 1)
                    conn.SendError(c.error);
                else if (c.error && i > 1)
                    conn.SendError("no jtag associated with debug session");
                else
                    conn.SendReply(1, sent[i].code == 15 ? Echo(sent[i].body) : clienttest::Bytes{});
            }
            // What comes next is a command of its own, not a stale reply.
            auto next = conn.ReadCommand();
            ASSERT_TRUE(next);
            EXPECT_EQ(next->code, 3u);
            conn.SendOk();
        });
        kestrad::client::ClientOptions fast;
        fast.replyTimeout = std::chrono::seconds(5);
        kestrad::client::CClient client(server.Address(), fast);
        SvfPlayOptions options;
        options.maxBatchScans = 2;
        std::istringstream in(text);
        try {
            CSvfPlayer(client, options).Play(in);
            ADD_FAILURE() << c.name << ": played through";
        } catch (const std::exception& e) {
            EXPECT_EQ(std::string(e.what()), c.expected) << c.name;
        }
        EXPECT_EQ(client.Outstanding(), 0u) << c.name;
        EXPECT_NO_THROW(client.Close()) << c.name;
        server.Join();
        EXPECT_EQ(codes, (std::vector<uint32_t>{15, 15, 15, 8})) << c.name;
    }
}

// ---- kestractl svf end to end ---------------------------------------------

namespace {

struct Ctl {
    int status;
    std::string out, err;
};

Ctl Kestractl(const std::string& dir, const std::vector<std::string>& args)
{
    testsupport::Process p(testsupport::ProgramPath("kestractl"), args, {{"KESTRAD_ADDRESS", ""}}, dir);
    Ctl r;
    r.status = p.Wait(std::chrono::seconds(60));
    if (r.status == -1)
        p.Kill();
    r.out = p.Stdout();
    r.err = p.Stderr();
    return r;
}

}  // namespace

TEST(SvfPlayback, PlaysChecksAndRefusesThroughTheRealServer)
{
    // taps[0] is nearest TDO, so its bits are shifted first: in SVF terms it
    // is the header of the last TAP and the first TAP's trailer is the rest.
    testsupport::Peer peer({"--chain", "0x4BA00477:4+bypass:5+0x06413041:5"});
    testsupport::Server server(testsupport::NetworkEntry("SIM", peer.port));
    testsupport::TempDir dir;
    const std::string good = dir.File("good.svf"), bad = dir.File("bad.svf"),
                      refused = dir.File("refused.svf");
    testsupport::WriteFile(good,
                           "TRST OFF; ENDIR IDLE; ENDDR IDLE; STATE RESET; STATE IDLE;\n"
                           "FREQUENCY 1E6 HZ;\n"
                           "! the last TAP: IDCODE behind the other two in BYPASS\n"
                           "HIR 9 TDI (1ff) TDO (011) MASK (1ff); TIR 0;\n"
                           "HDR 2 TDI (0) TDO (0) MASK (3); TDR 0;\n"
                           "SIR 5 TDI (03) TDO (01);\n"
                           "SDR 32 TDI (00000000) TDO (06413041);\n"
                           "// the first TAP: a user register written and read back\n"
                           "HIR 0; TIR 10 TDI (3ff); HDR 0; TDR 2 TDI (0);\n"
                           "SIR 4 TDI (8);\n"
                           "SDR 32 TDI (cafef00d);\n"
                           "RUNTEST 100 TCK ENDSTATE IDLE;\n"
                           "SDR 32 TDI (00000000) TDO (cafef00d);\n"
                           "TRST ON; TRST OFF;\n"
                           "SDR 33 TDI (0) TDO (4ba00477);\n");
    Ctl ok = Kestractl(dir.Path(), {"-a", server.Address(), "--json", "svf", "SIM", good});
    ASSERT_EQ(ok.status, 0) << ok.err << ok.out;
    const nlohmann::json summary = nlohmann::json::parse(ok.out);
    EXPECT_EQ(summary["statements"], 23);
    EXPECT_EQ(summary["scans"], 6);
    EXPECT_EQ(summary["mismatches"], 0);
    EXPECT_EQ(summary["batches"], 3);  // RUNTEST and TRST split the scans

    // STATE RESET selects every IDCODE again: five TMS-high clocks on an
    // adapter that clocks raw sequences (one command), a TRST pulse (two)
    // after the refusal of one that does not, which is opened again.
    const std::string reset = dir.File("reset.svf");
    testsupport::WriteFile(reset, "TRST OFF; ENDIR IDLE; ENDDR IDLE;\nSIR 14 TDI (3fff);\nSDR 3 TDI (0) TDO (0);\n"
                                  "STATE RESET;\nSDR 65 TDI (0) TDO (0C8260824BA00477);\nSTATE RESET;\n");
    testsupport::Server jlink("\t<usb name=\"JLINK\" idvendor=\"0x1366\" idproduct=\"0x0101\" frequency=\"12MHZ\"/>\n",
                              "jlink,chain=0x4BA00477:4+bypass:5+0x06413041:5");
    uint64_t commands[2] = {};
    for (int i = 0; i < 2; ++i) {
        Ctl run = Kestractl(dir.Path(), {"-a", i == 0 ? server.Address() : jlink.Address(), "--json", "svf",
                                         i == 0 ? "SIM" : "JLINK0", reset});
        ASSERT_EQ(run.status, 0) << run.err << run.out;
        const nlohmann::json played = nlohmann::json::parse(run.out);
        EXPECT_EQ(played["mismatches"], 0) << run.out;
        commands[i] = played["commands"];
    }
    EXPECT_EQ(commands[0], commands[1] + 2) << "TRST pulses on SIM, sequences on the J-Link";

    // A mismatch stops with the line, expected value, mask and value read;
    // --keep-going counts them instead.
    testsupport::WriteFile(bad, "TRST OFF;\nSIR 14 TDI (3fff);\nSDR 3 TDI (0) TDO (7) MASK (5);\n"
                                "SDR 3 TDI (0) TDO (0);\nHDR 1 TDI (0); SDR 3 TDI (0) TDO (4);\n");
    Ctl stop = Kestractl(dir.Path(), {"-a", server.Address(), "svf", "SIM", bad});
    EXPECT_EQ(stop.status, 1);
    EXPECT_NE(stop.err.find("line 3: TDO mismatch in a 3-bit scan: expected 0x7, mask 0x5, read 0x0"),
              std::string::npos)
        << stop.err;
    Ctl counted = Kestractl(dir.Path(), {"-a", server.Address(), "--json", "svf", "--keep-going", "SIM", bad});
    EXPECT_EQ(counted.status, 1);
    EXPECT_EQ(nlohmann::json::parse(counted.out)["mismatches"], 2) << counted.out;
    // Reported in the statement's own bits, without the header; MASK carried over.
    EXPECT_NE(counted.err.find("line 5: TDO mismatch in a 3-bit scan: expected 0x4, mask 0x5, read 0x0"),
              std::string::npos)
        << counted.err;

    // Batches split at the scan limit; a mismatch names its own line.
    kestrad::client::CClient client(server.Address());
    client.Open("SIM");
    SvfPlayOptions options;
    options.maxBatchScans = 2;
    SvfReport progress;
    options.progress = [&](const SvfReport& r) { progress = r; };
    std::istringstream small("SIR 14 TDI (3fff);\nSDR 3 TDI (0) TDO (0);\nSDR 3 TDI (0) TDO (0);\n"
                             "SDR 3 TDI (0) TDO (0);\nSDR 3 TDI (0) TDO (1);\n");
    try {
        CSvfPlayer(client, options).Play(small);
        ADD_FAILURE() << "no mismatch";
    } catch (const CSvfMismatchError& e) {
        EXPECT_EQ(e.Mismatch().line, 5u);
    }
    EXPECT_EQ(progress.batches, 2u);
    EXPECT_EQ(progress.done.statements, 4u);
    client.Disconnect();

    // What cannot be expressed is refused before anything is sent. The
    // session closes the peer connection after the disconnect: wait for the
    // peer to log it, so that the trace stands still.
    auto count = [](const std::string& text, const std::string& word) {
        size_t n = 0;
        for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
            ++n;
        return n;
    };
    ASSERT_TRUE(testsupport::WaitFor([&] {
        const std::string trace = peer.Trace();
        return count(trace, " opened\n") == count(trace, " closed\n");
    }));
    const std::string before = peer.Trace();
    testsupport::WriteFile(refused, "SIR 4 TDI (3);\nSDR 32 TDI (0);\nRUNTEST DRPAUSE 5 TCK;\n");
    Ctl no = Kestractl(dir.Path(), {"-a", server.Address(), "svf", "SIM", refused});
    EXPECT_EQ(no.status, 2);
    EXPECT_NE(no.err.find("line 3, column 1: RUNTEST: clocks in DRPAUSE"), std::string::npos) << no.err;
    EXPECT_EQ(peer.Trace(), before);
}
