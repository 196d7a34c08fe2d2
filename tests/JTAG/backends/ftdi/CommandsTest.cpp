// The MPSSE command layer byte for byte. Its moves are TapStateMachine's
// routes, whose every path tests/JTAG/core checks against IEEE 1149.1.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "JTAG/backends/ftdi/Commands.h"

using namespace ftdi;
using Bytes = std::vector<unsigned char>;

namespace {

// The states by short names, for the tables below.
constexpr TapState kReset = TapState::TEST_LOGIC_RESET, kIdle = TapState::RUN_TEST_IDLE,
                   kShiftDR = TapState::SHIFT_DR, kShiftIR = TapState::SHIFT_IR, kPauseDR = TapState::PAUSE_DR,
                   kPauseIR = TapState::PAUSE_IR, kExit1DR = TapState::EXIT1_DR, kExit1IR = TapState::EXIT1_IR;

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
        char kind;  // 'I' ScanDrIO, 'O' ScanDrOut, 'R' ScanIrIO, 'E' a DR read-back scan ending in Exit1-DR
        Bytes data;
        unsigned bits;
        Bytes expected;
        unsigned returned;
        TapState end;
    };
    // IR scans read TDO as DR scans do (0x3B, 0x39 and 0x6B where they once
    // had 0x1B, 0x19 and 0x4B). Back into a Shift state from Pause, the move
    // passes Update and Capture (0x4B 0x04 0x07), never Exit2 -> Shift.
    const std::vector<Case> cases = {
        {"0x1234", kIdle, 'I', {0x34, 0x12}, 16,
         {0x4B, 0x02, 0x01, 0x39, 0x00, 0x00, 0x34, 0x3B, 0x06, 0x12, 0x6B, 0x01, 0x01}, 3, kPauseDR},
        {"1 bit", kIdle, 'I', {0x01}, 1, {0x4B, 0x02, 0x01, 0x6B, 0x01, 0x81}, 1, kPauseDR},
        {"8 bits", kIdle, 'I', {0xA5}, 8, {0x4B, 0x02, 0x01, 0x3B, 0x06, 0xA5, 0x6B, 0x01, 0x81}, 2, kPauseDR},
        {"9 bits", kIdle, 'I', {0x5A, 0x01}, 9,
         {0x4B, 0x02, 0x01, 0x39, 0x00, 0x00, 0x5A, 0x6B, 0x01, 0x81}, 2, kPauseDR},
        {"already in Shift-DR", kShiftDR, 'I', {0x02}, 2, {0x3B, 0x00, 0x02, 0x6B, 0x01, 0x81}, 2, kPauseDR},
        {"write only from Pause-DR", kPauseDR, 'O', {0xFF, 0x3F}, 15,
         {0x4B, 0x04, 0x07, 0x19, 0x00, 0x00, 0xFF, 0x1B, 0x05, 0x3F, 0x4B, 0x01, 0x01}, 0, kPauseDR},
        {"IR from Run-Test/Idle", kIdle, 'R', {0x0A}, 4,
         {0x4B, 0x03, 0x03, 0x3B, 0x02, 0x0A, 0x6B, 0x01, 0x81}, 2, kPauseIR},
        {"14-bit IR", kIdle, 'R', {0xFF, 0x3F}, 14,
         {0x4B, 0x03, 0x03, 0x39, 0x00, 0x00, 0xFF, 0x3B, 0x04, 0x3F, 0x6B, 0x01, 0x81}, 3, kPauseIR},
        {"1-bit IR resumed from Pause-IR", kPauseIR, 'R', {0x01}, 1, {0x4B, 0x05, 0x0F, 0x6B, 0x01, 0x81}, 1,
         kPauseIR},
        {"ending in Exit1-DR: one exit clock", kShiftDR, 'E', {0x02}, 2, {0x3B, 0x00, 0x02, 0x6B, 0x00, 0x81}, 2,
         kExit1DR},
    };
    for (const Case& c : cases) {
        Recorder r;
        CommandBuilder builder(r.buffer, c.from);
        const unsigned returned =
            c.kind == 'I'   ? builder.ScanDrIO(c.data.data(), c.bits)
            : c.kind == 'O' ? builder.ScanDrOut(c.data.data(), c.bits)
            : c.kind == 'R' ? builder.ScanIrIO(c.data.data(), c.bits)
                            : builder.Scan({kShiftDR, kExit1DR, SCAN_IO}, c.data.data(), c.bits);
        EXPECT_EQ(c.expected, r.Emitted()) << c.what;
        EXPECT_EQ(c.returned, returned) << c.what;
        EXPECT_EQ(c.end, builder.CurrentState()) << c.what;
    }
    // The other register's Exit1 is out of reach: refused before any byte.
    Recorder r;
    CommandBuilder builder(r.buffer, kIdle);
    const Bytes one = {0x01};
    EXPECT_THROW(builder.Scan({kShiftDR, kExit1IR, SCAN_IO}, one.data(), 1), std::runtime_error);
    EXPECT_TRUE(r.Emitted().empty());
    EXPECT_EQ(kIdle, builder.CurrentState());
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
    // The clock into Run-Test/Idle is not counted (once seven clocks, when
    // the layer had a path table of its own).
    const Bytes fromReset = {0x4B, 0x00, 0x00, 0x4B, 0x02, 0x00};
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
         {0x6B, 0x02, 0x83}, kIdle},
        {"into Test-Logic-Reset from Exit1-IR", kExit1IR, [](CommandBuilder& b) { b.Move(kReset); },
         {0x4B, 0x03, 0x0F}, kReset},
    };
    for (const Case& c : cases) {
        Recorder r;
        CommandBuilder builder(r.buffer, c.from);
        c.run(builder);
        EXPECT_EQ(c.expected, r.Emitted()) << c.what;
        EXPECT_EQ(c.end, builder.CurrentState()) << c.what;
    }
}

// Raw sequences: TMS runs in 0x6B commands that share a TDI level, TMS-0
// runs as data once a TMS command has left the pin low; the read-back is
// what a chip with TDO wired to TDI sends, rebuilt into the TDI bits.
TEST(FtdiCommands, RawSequencesEncodeAndDecode)
{
    struct Case {
        const char* what;
        Bytes tms, tdi;
        unsigned bits;
        Bytes commands;
        Bytes loopback;
    };
    const std::vector<Case> cases = {
        {"a 20-bit scan from Shift-DR", {0x00, 0x00, 0x08}, {0xA5, 0x5A, 0x03}, 20,
         {0x6B, 0x00, 0x80, 0x39, 0x01, 0x00, 0x52, 0xAD, 0x3B, 0x01, 0x01, 0x6B, 0x00, 0x01},
         {0x80, 0x52, 0xAD, 0x40, 0x00}},
        {"five TMS-high clocks, TDI changing", {0x1F}, {0x03}, 5, {0x6B, 0x01, 0x83, 0x6B, 0x02, 0x07}, {0xC0, 0x00}},
        {"TMS 1 0 1 0 at one TDI level", {0x05}, {0x00}, 4, {0x6B, 0x03, 0x05}, {0x00}},
    };
    for (const Case& c : cases) {
        const RawCommands raw = EncodeRawSequence(c.tms.data(), c.tdi.data(), 0, c.bits, 2048);
        EXPECT_EQ(c.commands, raw.commands) << c.what;
        EXPECT_EQ(c.bits, raw.clocks) << c.what;
        EXPECT_EQ(c.loopback.size(), raw.readBack) << c.what;
        Bytes tdo(c.tdi.size(), 0);
        DecodeRawSequence(raw.pieces, c.loopback.data(), c.loopback.size(), tdo.data(), 0);
        EXPECT_EQ(c.tdi, tdo) << c.what;
        EXPECT_THROW(DecodeRawSequence(raw.pieces, c.loopback.data(), c.loopback.size() - 1, tdo.data(), 0),
                     std::runtime_error)
            << c.what;
    }
    // The read-back limit ends a part: one TMS clock, then 7 data bytes.
    const Bytes zeros(25, 0);
    const RawCommands part = EncodeRawSequence(zeros.data(), zeros.data(), 3, 197, 8);
    EXPECT_EQ(57u, part.clocks);
    EXPECT_EQ(8u, part.readBack);

    // From Exit2-DR, where only a raw sequence leaves the TAP, a move takes
    // the same rule's route: Update-DR, Select-DR, Select-IR, Capture-IR.
    Recorder r;
    CommandBuilder builder(r.buffer, TapController::State::Exit2DR);
    EXPECT_THROW(builder.CurrentState(), std::logic_error);
    builder.Move(kShiftIR);
    EXPECT_EQ((Bytes{0x4B, 0x04, 0x07}), r.Emitted());
    EXPECT_EQ(kShiftIR, builder.CurrentState());
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
    // After a one-clock exit (into Exit1) the last bit is bit 7.
    EXPECT_EQ((Bytes{0xCD, 0xAB}), ReadScanChain({0xCD, 0x56, 0x80}, 16, 1));
    EXPECT_EQ((Bytes{0x01}), ReadScanChain({0x80}, 1, 1));
    EXPECT_EQ((Bytes{0x00}), ReadScanChain({0x40}, 1, 1));
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
    // The clock each divisor really gives.
    EXPECT_EQ(1000000u, SpeedUsed(true, 1000000));
    EXPECT_EQ(6000000u, SpeedUsed(true, 7000000));  // never faster than asked
    EXPECT_EQ((Bytes{0x86, 0x04, 0x00}), SpeedCommand(true, 7000000));
    EXPECT_EQ(6000000u, SpeedUsed(false, 10000000));
    EXPECT_EQ(457u, SpeedUsed(true, 0));

    EXPECT_EQ(0x02, olimex::LineValue(0x01, 1, 1));
    EXPECT_EQ(0x01, olimex::LineValue(0x02, 0, 0));
    EXPECT_EQ(0x28, flyswatter2::LineValue(0x18, 1, 0));
    EXPECT_EQ(0x38, flyswatter2::LineValue(0x28, 0, 0));
}

}  // namespace
