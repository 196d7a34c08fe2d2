// The TAP model against IEEE 1149.1: transitions, reset, register capture and
// shifting, checked bit by bit through Clock() so the helpers cannot hide a fault.
#include "sim/tap/SimTap.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>

using simtap::Chain;
using simtap::TapConfig;
using simtap::TapState;
using S = simtap::TapState;

namespace {

// TMS paths from Test-Logic-Reset, written out by hand.
const std::map<S, std::string> kPathFromReset = {
    {S::TestLogicReset, ""},  {S::RunTestIdle, "0"},    {S::SelectDRScan, "01"}, {S::CaptureDR, "010"},
    {S::ShiftDR, "0100"},     {S::Exit1DR, "0101"},     {S::PauseDR, "01010"},   {S::Exit2DR, "010101"},
    {S::UpdateDR, "01011"},   {S::SelectIRScan, "011"}, {S::CaptureIR, "0110"},  {S::ShiftIR, "01100"},
    {S::Exit1IR, "01101"},    {S::PauseIR, "011010"},   {S::Exit2IR, "0110101"}, {S::UpdateIR, "011011"},
};

void Drive(Chain& c, const std::string& tms)
{
    for (char t : tms)
        c.Clock(t == '1', false);
}

// Shifts `bits` bits (LSB first) through the current Shift state with TMS
// low, returning what came out of TDO.
uint64_t ShiftBits(Chain& c, uint64_t in, unsigned bits, bool exitOnLast)
{
    uint64_t out = 0;
    for (unsigned k = 0; k < bits; ++k)
        if (c.Clock(exitOnLast && k + 1 == bits, (in >> k) & 1))
            out |= 1ull << k;
    return out;
}

}  // namespace

TEST(SimTap, AllThirtyTwoTransitionsFollowTheStandard)
{
    // (state, next with TMS=0, next with TMS=1) as IEEE 1149.1 draws them.
    const struct { S from, tms0, tms1; } table[] = {
        {S::TestLogicReset, S::RunTestIdle, S::TestLogicReset}, {S::RunTestIdle, S::RunTestIdle, S::SelectDRScan},
        {S::SelectDRScan, S::CaptureDR, S::SelectIRScan},       {S::CaptureDR, S::ShiftDR, S::Exit1DR},
        {S::ShiftDR, S::ShiftDR, S::Exit1DR},                   {S::Exit1DR, S::PauseDR, S::UpdateDR},
        {S::PauseDR, S::PauseDR, S::Exit2DR},                   {S::Exit2DR, S::ShiftDR, S::UpdateDR},
        {S::UpdateDR, S::RunTestIdle, S::SelectDRScan},         {S::SelectIRScan, S::CaptureIR, S::TestLogicReset},
        {S::CaptureIR, S::ShiftIR, S::Exit1IR},                 {S::ShiftIR, S::ShiftIR, S::Exit1IR},
        {S::Exit1IR, S::PauseIR, S::UpdateIR},                  {S::PauseIR, S::PauseIR, S::Exit2IR},
        {S::Exit2IR, S::ShiftIR, S::UpdateIR},                  {S::UpdateIR, S::RunTestIdle, S::SelectDRScan},
    };
    for (const auto& row : table) {
        EXPECT_EQ(simtap::NextState(row.from, false), row.tms0) << simtap::TapStateName(row.from);
        EXPECT_EQ(simtap::NextState(row.from, true), row.tms1) << simtap::TapStateName(row.from);
        for (bool tms : {false, true}) {
            Chain c;
            Drive(c, kPathFromReset.at(row.from));
            ASSERT_EQ(c.State(), row.from);
            c.Clock(tms, false);
            EXPECT_EQ(c.State(), tms ? row.tms1 : row.tms0)
                << simtap::TapStateName(row.from) << " TMS=" << tms;
        }
    }
}

TEST(SimTap, FiveHighTmsClocksResetFromEveryState)
{
    for (const auto& [state, path] : kPathFromReset) {
        Chain c;
        Drive(c, path);
        Drive(c, "0");  // somewhere else
        Drive(c, "11111");
        EXPECT_EQ(c.State(), S::TestLogicReset) << simtap::TapStateName(state);
    }
}

TEST(SimTap, TrstIsAsynchronousAndHoldsReset)
{
    Chain c;
    Drive(c, kPathFromReset.at(S::ShiftIR));
    ShiftBits(c, 0xF, 4, true);  // BYPASS
    Drive(c, "1");                // Update-IR
    ASSERT_EQ(c.Instruction(0), 0xFu);
    Drive(c, "0100");             // Shift-DR
    c.SetTrst(false);             // no clock needed
    EXPECT_EQ(c.State(), S::TestLogicReset);
    EXPECT_EQ(c.Instruction(0), 0x3u);  // IDCODE again
    Drive(c, "0100");
    EXPECT_EQ(c.State(), S::TestLogicReset) << "held in reset while TRST is low";
    c.SetTrst(true);
    Drive(c, "0100");
    EXPECT_EQ(c.State(), S::ShiftDR);
    EXPECT_EQ(ShiftBits(c, 0, 32, true), 0x4BA00477u);
}

TEST(SimTap, IrCapturesOneThenUpdatesOnUpdateIr)
{
    TapConfig cfg;
    cfg.irLength = 6;
    Chain c({cfg});
    Drive(c, kPathFromReset.at(S::ShiftIR));
    // The first bit out is the captured LSB, and a bit shifts on the exit edge too.
    EXPECT_EQ(ShiftBits(c, 0x08, 6, true), 0x01u);
    EXPECT_EQ(c.State(), S::Exit1IR);
    EXPECT_EQ(c.Instruction(0), 0x3u) << "instruction changes only at Update-IR";
    Drive(c, "1");
    EXPECT_EQ(c.Instruction(0), 0x08u);
}

TEST(SimTap, IdcodeAfterResetAndBypassWithoutOne)
{
    Chain c;
    Drive(c, kPathFromReset.at(S::ShiftDR));
    EXPECT_EQ(ShiftBits(c, 0, 32, true), 0x4BA00477u);

    TapConfig none;
    none.idcode = 0;
    Chain b({none});
    EXPECT_EQ(b.Instruction(0), 0xFu);
    Drive(b, kPathFromReset.at(S::ShiftDR));
    // BYPASS: one bit that captured 0, then TDI delayed by one clock.
    EXPECT_EQ(ShiftBits(b, 0b1011, 5, true), 0b10110u);
}

TEST(SimTap, UnknownInstructionSelectsBypass)
{
    Chain c;
    c.ScanIR(std::vector<uint8_t>{0x5}.data(), 4);
    EXPECT_EQ(c.Instruction(0), 0x5u);
    Drive(c, "100");  // Run-Test/Idle -> Shift-DR
    EXPECT_EQ(ShiftBits(c, 0b111, 3, true), 0b110u);
}

TEST(SimTap, ChainShiftsTapZeroFirstWithBypassInTheMiddle)
{
    TapConfig a;  // 0x4BA00477, IR 4
    TapConfig mid;
    mid.idcode = 0;
    mid.irLength = 5;
    TapConfig last;
    last.idcode = 0x06413041;
    last.irLength = 5;
    Chain c({a, mid, last});
    EXPECT_EQ(c.TotalIrLength(), 14u);

    // Detect after reset: IDCODE of taps[0], the BYPASS zero, the last IDCODE.
    Drive(c, kPathFromReset.at(S::ShiftDR));
    EXPECT_EQ(ShiftBits(c, 0, 32, false), 0x4BA00477u);
    EXPECT_EQ(ShiftBits(c, 0, 1, false), 0u);
    EXPECT_EQ(ShiftBits(c, 0, 32, true), 0x06413041u);

    // IR capture: 0b0001 | 0b00001 << 4 | 0b00001 << 9
    Drive(c, "11100");  // Exit1-DR, Update-DR, Select-DR, Select-IR, Capture-IR, Shift-IR
    ASSERT_EQ(c.State(), S::ShiftIR);
    // taps[0] gets the bits that went in last: 0x8 for taps[0], BYPASS, 0x9 for the last.
    const uint64_t ir = 0x8 | (0x1Full << 4) | (0x9ull << 9);
    EXPECT_EQ(ShiftBits(c, ir, 14, true), 0x211u);
    Drive(c, "10");
    EXPECT_EQ(c.Instruction(0), 0x8u);
    EXPECT_EQ(c.Instruction(1), 0x1Fu);
    EXPECT_EQ(c.Instruction(2), 0x9u);

    // DR: 32 + 1 + 32 bits, writes both user registers in one scan.
    std::vector<uint8_t> in(9, 0), out;
    const uint64_t lastValue = 0xCAFEF00D, firstValue = 0x12345678;
    for (int k = 0; k < 32; ++k) {
        if ((firstValue >> k) & 1)
            in[k / 8] |= 1 << (k % 8);
        if ((lastValue >> k) & 1)
            in[(k + 33) / 8] |= 1 << ((k + 33) % 8);
    }
    c.ScanDR(in.data(), 65);
    EXPECT_EQ(c.UserRegister(0, 0x8), firstValue);
    EXPECT_EQ(c.UserRegister(2, 0x9), lastValue);
    EXPECT_EQ(c.State(), S::RunTestIdle);
}

TEST(SimTap, UserRegisterCapturesCurrentValueAndUpdatesOnUpdateDr)
{
    TapConfig cfg;
    cfg.userRegisters = {{0x8, 40}, {0x9, 7}};
    Chain c({cfg});
    c.SetUserRegister(0, 0x8, 0xAB12345678ull);
    const uint8_t sel = 0x8;
    c.ScanIR(&sel, 4);

    Drive(c, "100");
    EXPECT_EQ(ShiftBits(c, 0x1122334455ull, 40, true), 0xAB12345678ull);
    EXPECT_EQ(c.UserRegister(0, 0x8), 0xAB12345678ull) << "not before Update-DR";
    Drive(c, "1");
    EXPECT_EQ(c.UserRegister(0, 0x8), 0x1122334455ull);

    // A scan that leaves through Exit1 -> Update with fewer bits still updates
    // with whatever the stage holds (here: shifted by 8).
    Drive(c, "100");
    ShiftBits(c, 0xEE, 8, true);
    Drive(c, "1");
    EXPECT_EQ(c.UserRegister(0, 0x8), (0x1122334455ull >> 8) | (0xEEull << 32));
    EXPECT_EQ(c.UserRegister(0, 0x9), 0u) << "the other register is untouched";
}

TEST(SimTap, ShiftResumesThroughPauseAndExit2)
{
    Chain c;
    const uint8_t sel = 0x9;
    c.ScanIR(&sel, 4);
    Drive(c, "100");  // Shift-DR
    uint64_t out = ShiftBits(c, 0xBEEF, 16, true);  // ends in Exit1-DR
    Drive(c, "000");                                // Pause-DR, stays
    ASSERT_EQ(c.State(), S::PauseDR);
    Drive(c, "1");                                  // Exit2-DR
    Drive(c, "0");                                  // back to Shift-DR, no capture
    ASSERT_EQ(c.State(), S::ShiftDR);
    out |= ShiftBits(c, 0xDEAD, 16, true) << 16;
    Drive(c, "1");  // Update-DR
    EXPECT_EQ(out, 0u);
    EXPECT_EQ(c.UserRegister(0, 0x9), 0xDEADBEEFu);
}

TEST(SimTap, ScanHelpersCaptureAndEndWhereAsked)
{
    Chain c;
    uint8_t idcode[4] = {};
    auto got = c.ScanDR(idcode, 32, S::PauseDR);
    EXPECT_EQ(c.State(), S::PauseDR);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0] | got[1] << 8 | got[2] << 16 | uint32_t(got[3]) << 24, 0x4BA00477u);

    // From Pause a new scan captures again instead of continuing the old one.
    got = c.ScanDR(nullptr, 8, S::Exit1DR);
    EXPECT_EQ(got[0], 0x77);
    EXPECT_EQ(c.State(), S::Exit1DR);

    const uint8_t bypass = 0xF;
    got = c.ScanIR(&bypass, 4, S::PauseIR);
    EXPECT_EQ(got[0], 0x1);
    EXPECT_EQ(c.Instruction(0), 0x3u) << "Pause-IR is before Update-IR";
    c.RunTestIdle(3);
    EXPECT_EQ(c.State(), S::RunTestIdle);
    EXPECT_EQ(c.Instruction(0), 0xFu);

    c.ScanIR(&bypass, 4, S::TestLogicReset);
    EXPECT_EQ(c.State(), S::TestLogicReset);
    EXPECT_EQ(c.Instruction(0), 0x3u);
}

TEST(SimTap, ConfigurationsTheModelCannotRepresentAreRefused)
{
    EXPECT_THROW(Chain(std::vector<TapConfig>{}), std::invalid_argument);
    TapConfig bad;
    bad.irLength = 1;
    EXPECT_THROW(Chain({bad}), std::invalid_argument);
    bad = TapConfig{};
    bad.idcode = 0x10;  // bit 0 clear
    EXPECT_THROW(Chain({bad}), std::invalid_argument);
    bad = TapConfig{};
    bad.userRegisters = {{0xF, 32}};  // BYPASS opcode
    EXPECT_THROW(Chain({bad}), std::invalid_argument);
    bad = TapConfig{};
    bad.userRegisters = {{0x8, 65}};
    EXPECT_THROW(Chain({bad}), std::invalid_argument);
}

TEST(SimTapChainSyntax, ParsesTapsFromTheTdoSide)
{
    const auto taps = simtap::ParseChain("0x4BA00477:4+bypass:5+0x06413041:5");
    ASSERT_EQ(taps.size(), 3u);
    EXPECT_EQ(taps[0].idcode, 0x4BA00477u);
    EXPECT_EQ(taps[1].idcode, 0u);
    EXPECT_EQ(taps[1].irLength, 5u);
    EXPECT_EQ(taps[2].idcode, 0x06413041u);
    EXPECT_EQ(simtap::ParseChain("0x1")[0].irLength, 4u);
    // Short IRs get opcodes that fit, so the chain is usable.
    EXPECT_NO_THROW(Chain(simtap::ParseChain("0x3:2+0x5:3+bypass:2")));
}

TEST(SimTapChainSyntax, BadPartsAreNamed)
{
    for (const char* chain : {"", "0x4BA00477+", "0x4BA00476", "4BA00477", "0x123456789", "0xZZ", "bypass:1",
                             "bypass:33", "0x1:", "0x1:4x", "0x1:-4"}) {
        try {
            simtap::ParseChain(chain);
            ADD_FAILURE() << "accepted '" << chain << "'";
        } catch (const std::invalid_argument& e) {
            if (*chain) {
                EXPECT_NE(std::string(e.what()).find("chain '"), std::string::npos) << e.what();
            }
        }
    }
}

TEST(SimTapMemory, SparseLittleEndianAndWrapping)
{
    simtap::Memory m;
    EXPECT_EQ(m.Read32(0x12345678), 0u);
    m.Write32(0x1000, 0x04030201);
    EXPECT_EQ(m.Read8(0x1000), 0x01);
    EXPECT_EQ(m.Read8(0x1003), 0x04);
    // Across a page boundary and across the top of the address space.
    m.Write32(0xFFE, 0xAABBCCDD);
    EXPECT_EQ(m.Read32(0xFFE), 0xAABBCCDDu);
    m.Write32(0xFFFFFFFE, 0x11223344);
    EXPECT_EQ(m.Read8(0xFFFFFFFF), 0x33);
    EXPECT_EQ(m.Read8(0x0), 0x22);
    EXPECT_EQ(m.Read32(0xFFFFFFFE), 0x11223344u);
}

TEST(SimTapMemory, LoadImageReportsPathAndPlacesBytes)
{
    const std::string path = ::testing::TempDir() + "/simtap-image.bin";
    {
        std::ofstream f(path, std::ios::binary);
        for (int i = 0; i < 5000; ++i)
            f.put(static_cast<char>(i & 0xFF));
    }
    simtap::Memory m;
    m.LoadImage(path, 0x20000FF0);
    EXPECT_EQ(m.Read8(0x20000FF0), 0x00);
    EXPECT_EQ(m.Read32(0x20000FF0 + 256), 0x03020100u);
    EXPECT_EQ(m.Read8(0x20000FF0 + 4999), 4999 & 0xFF);
    EXPECT_EQ(m.Read8(0x20000FF0 + 5000), 0);
    EXPECT_THROW(m.LoadImage(path, 0xFFFFFF00), std::runtime_error) << "does not fit below 4 GiB";
    std::remove(path.c_str());
    try {
        m.LoadImage(path, 0);
        ADD_FAILURE() << "missing file accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos);
    }
}
