// The MPSSE command layer byte for byte, and the FTDI back-end's pure
// conversions (frequency texts, end states).
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "JTAG/backends/ftdi/Board.h"
#include "JTAG/backends/ftdi/Commands.h"

using namespace ftdi;
using Bytes = std::vector<unsigned char>;

namespace {

// The stable states by short names, for the tables below.
constexpr TapState kReset = TapState::TEST_LOGIC_RESET, kIdle = TapState::RUN_TEST_IDLE,
                   kShiftDR = TapState::SHIFT_DR, kShiftIR = TapState::SHIFT_IR, kPauseDR = TapState::PAUSE_DR,
                   kPauseIR = TapState::PAUSE_IR;

// A command buffer that records every flush.
struct Recorder {
    std::vector<Bytes> flushes;
    CommandBuffer buffer{256, [this](const unsigned char* d, unsigned int n) { flushes.emplace_back(d, d + n); }};

    Bytes Emitted()
    {
        buffer.Flush();
        Bytes all;
        for (const Bytes& f : flushes)
            all.insert(all.end(), f.begin(), f.end());
        flushes.clear();
        return all;
    }
};

Bytes Repeat(const Bytes& unit, int times)
{
    Bytes out;
    for (int i = 0; i < times; ++i)
        out.insert(out.end(), unit.begin(), unit.end());
    return out;
}

TEST(FtdiCommands, ScansEmitTheirCommandsAndReadBackCounts)
{
    struct Case {
        const char* what;
        TapState from;
        char kind;  // 'I' ScanDrIO, 'O' ScanDrOut, 'R' ScanIrOut
        Bytes data;
        unsigned bits;
        Bytes expected;
        unsigned returned;
        TapState end;
    };
    const std::vector<Case> cases = {
        {"0x1234", kIdle, 'I', {0x34, 0x12}, 16,
         {0x4B, 0x02, 0x01, 0x39, 0x00, 0x00, 0x34, 0x3B, 0x06, 0x12, 0x6B, 0x01, 0x01}, 3, kPauseDR},
        {"1 bit", kIdle, 'I', {0x01}, 1, {0x4B, 0x02, 0x01, 0x6B, 0x01, 0x81}, 1, kPauseDR},
        {"8 bits", kIdle, 'I', {0xA5}, 8, {0x4B, 0x02, 0x01, 0x3B, 0x06, 0xA5, 0x6B, 0x01, 0x81}, 2, kPauseDR},
        {"9 bits", kIdle, 'I', {0x5A, 0x01}, 9,
         {0x4B, 0x02, 0x01, 0x39, 0x00, 0x00, 0x5A, 0x6B, 0x01, 0x81}, 2, kPauseDR},
        {"already in Shift-DR", kShiftDR, 'I', {0x02}, 2, {0x3B, 0x00, 0x02, 0x6B, 0x01, 0x81}, 2, kPauseDR},
        {"write only from Pause-DR", kPauseDR, 'O', {0xFF, 0x3F}, 15,
         {0x4B, 0x01, 0x01, 0x19, 0x00, 0x00, 0xFF, 0x1B, 0x05, 0x3F, 0x4B, 0x01, 0x01}, 0, kPauseDR},
        {"IR from Run-Test/Idle", kIdle, 'R', {0x0A}, 4,
         {0x4B, 0x03, 0x03, 0x1B, 0x02, 0x0A, 0x4B, 0x01, 0x81}, 0, kPauseIR},
    };
    for (const Case& c : cases) {
        Recorder r;
        CommandBuilder builder(r.buffer, c.from);
        const unsigned returned = c.kind == 'I'   ? builder.ScanDrIO(c.data.data(), c.bits)
                                  : c.kind == 'O' ? builder.ScanDrOut(c.data.data(), c.bits)
                                                  : builder.ScanIrOut(c.data.data(), c.bits);
        EXPECT_EQ(c.expected, r.Emitted()) << c.what;
        EXPECT_EQ(c.returned, returned) << c.what;
        EXPECT_EQ(c.end, builder.CurrentState()) << c.what;
    }
}

TEST(FtdiCommands, ScansOfMoreThan65536BytesGetSeveralByteCommands)
{
    const unsigned bits = 8 * 65537 + 1;  // 65537 whole bytes, the last bit with the exit move
    Bytes data(65538, 0x3C);
    data.back() = 0x01;
    Recorder r;
    CommandBuilder builder(r.buffer, kShiftDR);
    EXPECT_EQ(65538u, builder.ScanDrIO(data.data(), bits));
    const Bytes out = r.Emitted();
    ASSERT_EQ(3 + 65536 + 3 + 1 + 3, out.size());
    EXPECT_EQ((Bytes{0x39, 0xFF, 0xFF}), Bytes(out.begin(), out.begin() + 3));
    EXPECT_EQ((Bytes{0x39, 0x00, 0x00, 0x3C, 0x6B, 0x01, 0x81}), Bytes(out.begin() + 3 + 65536, out.end()));
}

TEST(FtdiCommands, RunTestResetAndMoves)
{
    struct Case {
        const char* what;
        TapState from;
        std::function<void(CommandBuilder&)> run;
        Bytes expected;
        TapState end;
    };
    const Bytes idle7 = {0x4B, 0x06, 0x00};
    Bytes hundred = Repeat(idle7, 14);
    hundred.insert(hundred.end(), {0x4B, 0x01, 0x00});
    Bytes fromReset = idle7;  // seven clocks into Run-Test/Idle are not counted
    fromReset.insert(fromReset.end(), {0x4B, 0x02, 0x00});
    const std::vector<Case> cases = {
        {"RunTest(100)", kIdle, [](CommandBuilder& b) { b.RunTest(100); }, hundred, kIdle},
        {"RunTest(14)", kIdle, [](CommandBuilder& b) { b.RunTest(14); }, Repeat(idle7, 2), kIdle},
        {"RunTest(0)", kIdle, [](CommandBuilder& b) { b.RunTest(0); }, {}, kIdle},
        {"RunTest(3) from reset", kReset, [](CommandBuilder& b) { b.RunTest(3); }, fromReset,
         kIdle},
        {"Reset from Shift-IR", kShiftIR, [](CommandBuilder& b) { b.Reset(); }, {0x4B, 0x06, 0xFF}, kReset},
        {"Reset from Pause-DR", kPauseDR, [](CommandBuilder& b) { b.Reset(); }, {0x4B, 0x06, 0xFF}, kReset},
        {"to the current pause state", kPauseDR, [](CommandBuilder& b) { b.Move(kPauseDR); }, {0x4B, 0x00, 0x00},
         kPauseDR},
        {"to the current shift state", kShiftDR, [](CommandBuilder& b) { b.Move(kShiftDR); }, {0x4B, 0x04, 0x07},
         kShiftDR},
        {"with a read and TDI high", kShiftIR, [](CommandBuilder& b) { b.Move(MPSSE_TMS_IO, kIdle, 1); },
         {0x6B, 0x03, 0x83}, kIdle},
    };
    for (const Case& c : cases) {
        Recorder r;
        CommandBuilder builder(r.buffer, c.from);
        c.run(builder);
        EXPECT_EQ(c.expected, r.Emitted()) << c.what;
        EXPECT_EQ(c.end, builder.CurrentState()) << c.what;
    }
}

// Every table path, clocked through the IEEE 1149.1 controller, ends where
// it says, within one TMS command.
TEST(FtdiCommands, EveryTmsPathReachesItsTarget)
{
    enum S { TLR, RTI, SELDR, CAPDR, SDR, E1DR, PDR, E2DR, UPDR, SELIR, CAPIR, SIR, E1IR, PIR, E2IR, UPIR };
    const S next[16][2] = {{RTI, TLR},  {RTI, SELDR},  {CAPDR, SELIR}, {SDR, E1DR},  {SDR, E1DR},  {PDR, UPDR},
                           {PDR, E2DR}, {SDR, UPDR},   {RTI, SELDR},   {CAPIR, TLR}, {SIR, E1IR},  {SIR, E1IR},
                           {PIR, UPIR}, {PIR, E2IR},   {SIR, UPIR},    {RTI, SELDR}};
    const S ieee[kTapStates] = {TLR, RTI, SIR, PIR, SDR, PDR};
    EXPECT_EQ(36u, BuildTmsSequences().size());
    for (unsigned from = 0; from < kTapStates; ++from) {
        for (unsigned to = 0; to < kTapStates; ++to) {
            const TmsPath path = GetTmsPath(kStableStates[from], kStableStates[to]);
            ASSERT_GE(path.second, 1);
            ASSERT_LE(path.second, 7);
            S s = ieee[from];
            for (unsigned k = 0; k < path.second; ++k)
                s = next[s][(path.first >> k) & 1];
            EXPECT_EQ(ieee[to], s) << from << " -> " << to;
            if (ieee[from] == SIR || ieee[from] == SDR) {  // the first clock leaves the shift state
                EXPECT_EQ(1, path.first & 1) << from << " -> " << to;
            }
        }
    }
}

TEST(FtdiCommands, BufferFlushRules)
{
    Recorder r;
    const Bytes b250(250, 0x11), b10(10, 0x22), b300(300, 0x33);
    r.buffer.Write(b250.data(), 250);
    EXPECT_TRUE(r.flushes.empty());
    r.buffer.Write(b10.data(), 10);
    ASSERT_EQ(1u, r.flushes.size());
    EXPECT_EQ(b250, r.flushes[0]);
    EXPECT_EQ(10u, r.buffer.Pending());
    r.buffer.Flush();
    r.flushes.clear();
    r.buffer.Flush();  // empty: no call
    EXPECT_TRUE(r.flushes.empty());
    r.buffer.Write(b300.data(), 300);
    EXPECT_TRUE(r.flushes.empty());
    r.buffer.Flush();
    ASSERT_EQ(1u, r.flushes.size());
    EXPECT_EQ(b300, r.flushes[0]);
}

TEST(FtdiCommands, ReadScanChainRebuildsTheCapturedBits)
{
    // 16 bits 0xABCD: a byte, 7 bits in the top of the next byte, the last
    // bit in bit 6 of the exit move's byte.
    EXPECT_EQ((Bytes{0xCD, 0xAB}), ReadScanChain({0xCD, 0x56, 0x40}, 16));
    EXPECT_EQ((Bytes{0x01}), ReadScanChain({0x40}, 1));
    EXPECT_EQ((Bytes{0x00}), ReadScanChain({0xBF}, 1));
    EXPECT_EQ((Bytes{0x77, 0x01}), ReadScanChain({0x77, 0x40}, 9));
    EXPECT_EQ((Bytes{0x05}), ReadScanChain({0xA0, 0x00}, 4));  // bits 101 on top, last bit 0
    // Short read-back is refused, never read past.
    EXPECT_THROW(ReadScanChain({0xCD, 0x56}, 16), std::invalid_argument);
    EXPECT_THROW(ReadScanChain({}, 1), std::invalid_argument);
    EXPECT_THROW(ReadScanChain({0x00}, 0), std::invalid_argument);
}

TEST(FtdiCommands, ClockDivisorAndBoardLines)
{
    EXPECT_EQ((Bytes{0x86, 0x1D, 0x00}), SpeedCommand(true, 1000000));
    EXPECT_EQ((Bytes{0x86, 0x00, 0x00}), SpeedCommand(false, 6000000));
    EXPECT_EQ((Bytes{0x86, 0xFF, 0xFF}), SpeedCommand(true, 100));
    EXPECT_EQ((Bytes{0x86, 0xFF, 0xFF}), SpeedCommand(true, 0));         // no division by zero
    EXPECT_EQ((Bytes{0x86, 0x00, 0x00}), SpeedCommand(false, 30000000));  // above base: fastest, not slowest

    EXPECT_EQ(0x02, olimex::LineValue(0x01, 1, 1));
    EXPECT_EQ(0x01, olimex::LineValue(0x02, 0, 0));
    EXPECT_EQ(0x28, flyswatter2::LineValue(0x18, 1, 0));
    EXPECT_EQ(0x38, flyswatter2::LineValue(0x28, 0, 0));
}

TEST(FtdiJTAGConversions, FrequencyTexts)
{
    const std::vector<std::pair<std::string, unsigned>> good = {
        {"1000KHZ", 1000000}, {"10MHz", 10000000}, {"500kHz", 500000},       {"12000hz", 12000},
        {"50mhz", 30000000},  {"1.5mhz", 1000000}, {"  7khz", 7000},          {"99999999999999999999mhz", 30000000},
    };
    for (const auto& g : good)
        EXPECT_EQ(g.second, ParseFrequency(g.first)) << g.first;
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"fast", "fast"}, {"", ""}, {"0hz", "0hz"}, {"MHZ", "mhz"}, {"x5khz", "x5khz"}, {"12", "12"}};
    for (const auto& b : bad) {
        try {
            ParseFrequency(b.first);
            ADD_FAILURE() << b.first << " accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ("invalid frequency string: " + b.second, e.what());
        }
    }
}

TEST(FtdiJTAGConversions, EndStates)
{
    for (TapState stable : kStableStates)
        EXPECT_EQ(stable, CheckEndState(stable));
    for (int refused : {int(TapState::EXIT1_DR), int(TapState::EXIT1_IR), 8, -1}) {
        try {
            CheckEndState(static_cast<TapState>(refused));
            ADD_FAILURE() << refused << " accepted";
        } catch (const std::logic_error& e) {
            EXPECT_STREQ("TapState conversion error!", e.what());
        }
    }
    // A path to or from a state the table lacks is refused, not made up.
    EXPECT_THROW(GetTmsPath(TapState::EXIT1_DR, TapState::RUN_TEST_IDLE), std::logic_error);
}

}  // namespace
