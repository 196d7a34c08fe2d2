// Frame builders of the maker's adapter: the cases the adapter tests do not
// reach (length limits, short input buffers, reply placement at the edges,
// address wrap-around).
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "JTAG/backends/ezusb/Frames.h"

using namespace ezusb;
using Bytes = std::vector<uint8_t>;

namespace {

const Lines kReleased{true, true};

TEST(KorselFrames, LengthCodeCoversEveryRange)
{
    const std::vector<std::pair<int, unsigned>> table = {{-9, 1}, {0, 1},  {1, 3},  {8, 3},  {9, 2},
                                                         {12, 2}, {13, 1}, {16, 1}, {17, 0}, {32, 0}};
    for (const auto& entry : table)
        EXPECT_EQ(entry.second, GetLengthByBitsLen(entry.first)) << entry.first;
    try {
        GetLengthByBitsLen(33);
        FAIL() << "33 bits accepted";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ("Invalid bit length of register", e.what());
    }
}

TEST(KorselFrames, InstructionScanFrameSizes)
{
    EXPECT_EQ((Bytes{0xB4, 0xAA}), IRScanFrame(0xFA, 4, {false, true}));  // nibble twice, TRST low
    EXPECT_EQ((Bytes{0xBC}), IRScanFrame(5, 5, kReleased));                // no value byte under 8 bits
    EXPECT_EQ((Bytes{0x8C, 0x78, 0, 0, 0}), IRScanFrame(0x12345678, 32, kReleased));
    // Refused before anything is sized from the length.
    EXPECT_THROW(IRScanFrame(0, 0x7FFFFFFF, kReleased), std::logic_error);
    EXPECT_THROW(IRScanFrame(0, -1, kReleased), std::logic_error);
}

TEST(KorselFrames, DataScanFramesReadOnlyTheScanBits)
{
    // A 10-bit scan holds 2 bytes; the data byte's top bit would come from a
    // third one, which must count as zero.
    const uint8_t buffer[] = {0x00, 0x02, 0xFF};
    EXPECT_EQ((Bytes{0x7C, 0x00, 0x01}), DRScanFrame(buffer, 2, 10, kReleased));
    EXPECT_EQ((Bytes{0x7C, 0x00, 0x81}), DRScanFrame(buffer, 3, 10, kReleased));

    // 9 bits: the 16 data bits are zero whatever the second byte holds.
    const uint8_t in9[] = {0x5A, 0xFF};
    EXPECT_EQ((Bytes{0x5C, 0x5A, 0x00, 0x00}), DRScanFrame(in9, sizeof in9, 9, kReleased));

    // 41 bits: the longest the length code describes; bit 8 is dropped.
    const uint8_t in41[] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x01};
    EXPECT_EQ((Bytes{0x4C, 0x01, 0x01, 0x02, 0x04, 0x88}), DRScanFrame(in41, sizeof in41, 41, kReleased));
    EXPECT_EQ((Bytes{0x5C}), DRScanFrame(in41, 1, 1, kReleased));  // 1 bit: the header alone
    EXPECT_THROW(DRScanFrame(in41, sizeof in41, 42, kReleased), std::logic_error);
    EXPECT_THROW(DRScanFrame(in41, sizeof in41, -1, kReleased), std::logic_error);
}

TEST(KorselFrames, ReplyRealignmentStaysInsideTheScan)
{
    uint8_t out[4] = {0xA5, 0x00, 0x00, 0xEE};
    const uint8_t reply[] = {0xFF, 0x81};
    RealignDRReply(reply, 2, out, 3);
    EXPECT_EQ((Bytes{0xA5, 0xFE, 0x03, 0xEE}), Bytes(out, out + 4));

    // More received than room, or no room past the command byte.
    uint8_t out9[3] = {0x40, 0x00, 0x77};
    RealignDRReply(reply, 2, out9, 2);
    EXPECT_EQ((Bytes{0x40, 0xFE, 0x77}), Bytes(out9, out9 + 3));
    uint8_t one[2] = {0x11, 0x22};
    RealignDRReply(reply, 2, one, 1);
    EXPECT_EQ((Bytes{0x11, 0x22}), Bytes(one, one + 2));
}

TEST(KorselFrames, TransferPlanLimits)
{
    EXPECT_EQ(9u, PlanTransfer(0, 1000, 40, 9).size());
    // Target addresses wrap at 32 bits.
    const std::vector<Block> blocks = PlanTransfer(0xFFFFFFF0u, 80, 40, 9);
    ASSERT_EQ(2u, blocks.size());
    EXPECT_EQ(0x00000090u, blocks[1].address);
    EXPECT_TRUE(PlanTransfer(0, 0, 40, 9).empty());
    EXPECT_THROW(PlanTransfer(0, 4, 0, 9), std::logic_error);
    EXPECT_THROW(PlanTransfer(0, 4, 40, 0), std::logic_error);
}

}  // namespace
