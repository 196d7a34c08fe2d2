// The peer's command interpreter, line in and reply lines out, and its
// command-line pieces.  Result values are read back with the protocol's own
// rule (text from the sixth character on, as hex), so a reply that a client
// would misread fails here.
#include "sim/peer/PeerLineHandler.h"
#include "sim/peer/PeerOptions.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

using simpeer::CPeerLineHandler;
using Lines = std::vector<std::string>;

namespace {

bool IsOk(const std::string& line) { return line.compare(0, 2, "ok") == 0; }

// The client's reading of a result line.
uint64_t ResultValue(const std::string& line)
{
    if (line.size() <= 5)
        return 0;
    return std::strtoull(line.c_str() + 5, nullptr, 16);
}

struct Peer {
    explicit Peer(const std::string& protocol = simpeer::kRtlProtocol,
                  std::vector<simtap::TapConfig> chain = {simtap::TapConfig{}})
        : handler(std::move(chain), memory, protocol)
    {
    }
    Lines operator()(const std::string& line) { return handler.HandleLine(line); }
    // One "ok" result line, its value.
    uint64_t Value(const std::string& line)
    {
        const Lines r = handler.HandleLine(line);
        EXPECT_EQ(r.size(), 1u) << line;
        EXPECT_TRUE(!r.empty() && IsOk(r[0])) << line << " -> " << (r.empty() ? "" : r[0]);
        return r.empty() ? ~0ull : ResultValue(r[0]);
    }
    simtap::Memory memory;
    CPeerLineHandler handler;
};

void ExpectError(Peer& p, const std::string& line)
{
    const Lines r = p(line);
    ASSERT_EQ(r.size(), 1u) << line;
    EXPECT_FALSE(IsOk(r[0])) << line << " -> " << r[0];
    EXPECT_EQ(r[0].compare(0, 7, "error: "), 0) << r[0];
}

}  // namespace

TEST(PeerLineHandler, GreetingNamesTheProtocolOnItsSecondLine)
{
    Peer rtl;
    EXPECT_EQ(rtl.handler.Greeting().size(), 2u);
    EXPECT_EQ(rtl.handler.Greeting()[1], "protocol RTL_JTAGdemo-0.1");
    Peer dsp(simpeer::kDspProtocol);
    EXPECT_EQ(dsp.handler.Greeting()[1], "protocol Standalone_DSP_Cluster-0.1");
}

TEST(PeerLineHandler, ControlCommandsAnswerOk)
{
    Peer p;
    for (const char* cmd : {"reset", "reset\r", "run 100", "run 4294967295", "wait 10", "set_nrst 0x0",
                            "set_nrst 0x1", "set_trst 0x1", "  run   0  "})
        EXPECT_EQ(p(cmd), Lines{"ok"}) << cmd;
    EXPECT_TRUE(p.handler.SystemResetLevel());
    p("set_nrst 0x0");
    EXPECT_FALSE(p.handler.SystemResetLevel());
    EXPECT_EQ(p.handler.Chain().State(), simtap::TapState::RunTestIdle);
}

TEST(PeerLineHandler, TrstHoldsTheTapsInReset)
{
    Peer p;
    EXPECT_EQ(p.Value("wrIR 0xf"), 0x1u);  // BYPASS
    EXPECT_EQ(p("set_trst 0x0"), Lines{"ok"});
    EXPECT_EQ(p.Value("set_trst 0x0"), 0u) << "a set command must not report a value";
    EXPECT_FALSE(p.handler.Chain().Trst());
    EXPECT_EQ(p.Value("wrDR 0x0 8"), 0xFFu) << "TDO undriven while held in reset";
    p("set_trst 0x1");
    EXPECT_EQ(p.Value("wrDR 0x0 32"), 0x4BA00477u) << "IDCODE selected by the reset";
}

TEST(PeerLineHandler, ScansShiftTheWholeChain)
{
    simtap::TapConfig second;
    second.idcode = 0x06413041;
    second.irLength = 5;
    Peer p(simpeer::kRtlProtocol, {simtap::TapConfig{}, second});
    EXPECT_EQ(p.Value("reset"), 0u);
    // Two IDCODEs, taps[0] first.
    EXPECT_EQ(p.Value("wrDR 0x0 64"), 0x064130414BA00477ull);
    // 9 bits of IR: captures 0b00001'0001.
    EXPECT_EQ(p(std::string("wrIR 0x8f")), Lines{"ok 0x11"});
    EXPECT_EQ(p.handler.Chain().Instruction(0), 0xFu);
    EXPECT_EQ(p.handler.Chain().Instruction(1), 0x8u);
    // BYPASS (1 bit) then the 32-bit user register of the second TAP.
    EXPECT_EQ(p.Value("wrDR 0x2468acf0 33"), 0u);
    EXPECT_EQ(p.handler.Chain().UserRegister(1, 0x8), 0x12345678u);
    EXPECT_EQ(p.handler.Chain().State(), simtap::TapState::RunTestIdle);
}

TEST(PeerLineHandler, DataScansLongerThan64BitsKeepEveryBit)
{
    Peer p;
    p("wrIR 0xf");  // BYPASS delays TDI by one clock
    const std::string in = "0x8123456789abcdef0123";  // 80 bits
    const Lines r = p("wrDR " + in + " 80");
    ASSERT_EQ(r.size(), 1u);
    // Shifted left by one within 80 bits: the top bit drops out.
    EXPECT_EQ(r[0], "ok 0x2468acf13579bde0246");
    EXPECT_EQ(p("wrDR 0x0 1"), Lines{"ok 0x0"});
}

TEST(PeerLineHandler, MalformedCommandsGetOneErrorLine)
{
    Peer p;
    for (const char* bad : {"", "   ", "frobnicate", "RESET", "reset now", "run", "run -1", "run 1x", "run 4294967296",
                            "wait", "wait ten", "set_trst", "set_trst 0x2", "set_trst 0xg", "set_nrst 1 2", "wrIR",
                            "wrIR 0x", "wrIR 12 3", "wrIR zz", "wrDR 0x1", "wrDR 0x1 0", "wrDR 0x1 8388609",
                            "wrDR 0x1 99999999999999999999999", "wrDR 0xq 4", "dump", "dump 0x0", "dump 0x100000000 0xf",
                            "dump 0x0 0xffffffffffffffff", "dump 0x0 0x1000000", "save", "save a b"})
        ExpectError(p, bad);
    const Lines unknown = p("foo 1 2");
    EXPECT_EQ(unknown, Lines{"error: unknown command foo"});
}

TEST(PeerLineHandler, DumpPrintsRowsOfFourWordsThenOk)
{
    Peer p;
    for (uint32_t i = 0; i < 12; ++i)
        p.memory.Write32(0x1000 + 4 * i, 0xA0000000 + i);
    const Lines r = p("dump 0x1000 0x2f");
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0], "a0000000 a0000001 a0000002 a0000003 ");
    EXPECT_EQ(r[2], "a0000008 a0000009 a000000a a000000b ");
    EXPECT_EQ(r[3], "ok");
    // The client reads word j of a row at characters 9j..9j+8.
    EXPECT_EQ(std::strtoul(r[1].substr(9 * 2, 9).c_str(), nullptr, 16), 0xA0000006u);
    // A last offset inside a row still covers that row; the limit is exactly 16 MiB.
    EXPECT_EQ(p("dump 0x1000 0x10").size(), 3u);
    EXPECT_EQ(p("dump 0x0 0xffffff").size(), (16u << 20) / 16 + 1);
}

TEST(PeerLineHandler, WriteMemWritesEveryEntryOrNothing)
{
    Peer p;
    EXPECT_EQ(p("write_mem 03020100 07060504 0b0a0908 0f0e0d0c //00002000,"
                "11111111 22222222 33333333 44444444 //00003000"),
              Lines{"ok"});
    EXPECT_EQ(p.memory.Read8(0x2000), 0x00);
    EXPECT_EQ(p.memory.Read8(0x200F), 0x0F);
    EXPECT_EQ(p.memory.Read32(0x300C), 0x44444444u);
    EXPECT_EQ(p("dump 0x2000 0xf")[0], "03020100 07060504 0b0a0908 0f0e0d0c ");

    for (const char* bad : {"write_mem", "write_mem 1 2 3 4", "write_mem 1 2 3 4 //", "write_mem //00001000",
                            "write_mem 123456789 //0", "write_mem 1 2 3 4 //00004000,", "write_mem 1 x //0",
                            "write_mem 1 //100000000"})
        ExpectError(p, bad);
    // The good first entry of a bad command was not written.
    ExpectError(p, "write_mem aaaaaaaa //00005000,zz //00005010");
    EXPECT_EQ(p.memory.Read32(0x5000), 0u);
}

TEST(PeerLineHandler, WordCommandsBelongToTheDspModel)
{
    Peer dsp(simpeer::kDspProtocol);
    EXPECT_EQ(dsp("write_word32 deadbeef //00001004"), Lines{"ok"});
    EXPECT_EQ(dsp.memory.Read8(0x1004), 0xEF);
    EXPECT_EQ(dsp("read_word32 0x1004"), (Lines{"deadbeef", "ok"}));
    EXPECT_EQ(dsp("read_word32 0x2000"), (Lines{"00000000", "ok"}));
    EXPECT_EQ(dsp("dump 0x1000 0xf")[0], "00000000 deadbeef 00000000 00000000 ");
    for (const char* bad : {"read_word32", "read_word32 0x1 0x2", "read_word32 0x1ffffffff", "write_word32 1 2",
                            "write_word32 1 2 //3", "write_word32 //3"})
        ExpectError(dsp, bad);

    Peer rtl;
    ExpectError(rtl, "read_word32 0x1004");
    ExpectError(rtl, "write_word32 deadbeef //00001004");
    EXPECT_EQ(rtl.memory.Read32(0x1004), 0u);
}

TEST(PeerLineHandler, SaveAnswersTwoLines)
{
    Peer p;
    EXPECT_EQ(p("save vrk_point_0"), (Lines{"saving vrk_point_0", "ok"}));
    EXPECT_EQ(p.handler.LastSavepoint(), "vrk_point_0");
}

TEST(PeerLineHandler, NewConnectionResetsTheTapsButKeepsMemory)
{
    Peer p;
    p("write_word32 1 //0");
    p("write_mem 12345678 //00000100");
    p("wrIR 0x8");
    p("wrDR 0xcafe 32");
    p("set_trst 0x0");
    p("set_nrst 0x0");
    p.handler.StartConnection();
    EXPECT_TRUE(p.handler.Chain().Trst());
    EXPECT_TRUE(p.handler.SystemResetLevel());
    EXPECT_EQ(p.handler.Chain().State(), simtap::TapState::TestLogicReset);
    EXPECT_EQ(p.handler.Chain().Instruction(0), 0x3u);
    EXPECT_EQ(p.memory.Read32(0x100), 0x12345678u);
}

TEST(PeerOptions, FaultOptions)
{
    auto f = simpeer::ParseFault("close-mid-reply=wrIR");
    EXPECT_EQ(f.kind, simpeer::Fault::Kind::CloseMidReply);
    EXPECT_EQ(f.command, "wrIR");
    EXPECT_EQ(f.occurrence, 0u);
    f = simpeer::ParseFault("stall=reset:3");
    EXPECT_EQ(f.kind, simpeer::Fault::Kind::Stall);
    EXPECT_EQ(f.command, "reset");
    EXPECT_EQ(f.occurrence, 3u);
    EXPECT_EQ(simpeer::ParseFault("garbage=dump").kind, simpeer::Fault::Kind::Garbage);
    for (const char* bad : {"", "stall", "stall=", "explode=run", "stall=run:0", "stall=run:x", "stall=a b", "garbage=:2"})
        EXPECT_THROW(simpeer::ParseFault(bad), std::invalid_argument) << bad;
}

TEST(PeerOptions, CommandLine)
{
    auto parse = [](std::vector<std::string> args, simpeer::PeerOptions& o, std::string& msg) {
        args.insert(args.begin(), "kestrad-sim");
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        return simpeer::ParsePeerOptions(static_cast<int>(args.size()), argv.data(), o, msg);
    };
    simpeer::PeerOptions o;
    std::string msg;
    ASSERT_EQ(parse({"--port", "5555", "--dsp", "--chain", "0x3:2+bypass", "--memory", "a@b.bin@0x100", "--memory",
                     "x@y", "--fault", "stall=run", "--max-connections", "2", "--trace", "t.log"},
                    o, msg),
              simpeer::ParseOutcome::Run)
        << msg;
    EXPECT_EQ(o.port, 5555);
    EXPECT_EQ(o.protocol, simpeer::kDspProtocol);
    EXPECT_EQ(o.chain.size(), 2u);
    ASSERT_EQ(o.images.size(), 2u);
    EXPECT_EQ(o.images[0].path, "a@b.bin");
    EXPECT_EQ(o.images[0].address, 0x100u);
    EXPECT_EQ(o.images[1].path, "x@y") << "'y' is no address, so it is part of the name";
    EXPECT_EQ(o.maxConnections, 2u);
    EXPECT_EQ(o.trace, "t.log");

    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"--port", "65536"}, {"--port"}, {"--chain", "0x2"}, {"--fault", "stall"},
          {"--max-connections", "0"}, {"--bogus"}, {"extra"}, {"--protocol", ""}}) {
        simpeer::PeerOptions fresh;
        msg.clear();
        EXPECT_EQ(parse(bad, fresh, msg), simpeer::ParseOutcome::Error) << bad[0];
        EXPECT_FALSE(msg.empty());
    }
    simpeer::PeerOptions fresh;
    EXPECT_EQ(parse({"--help"}, fresh, msg), simpeer::ParseOutcome::Help);
}
