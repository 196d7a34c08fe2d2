// CNonAsyncJTAG runs each queued scan at once and packs the results for Wait:
// (length + 7) / 8 bytes per instruction or data scan, low byte first,
// nothing for a write-only scan.
#include <gtest/gtest.h>

#include <vector>

#include "JTAG/core/JTAG.h"
#include "tests/support/TestContext.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Captures a fixed instruction word, and each data byte XOR 0xFF.
class CScanAdapter : public CNonAsyncJTAG {
public:
    using CNonAsyncJTAG::CNonAsyncJTAG;
    void Open() override {}
    void Close() override {}
    void ReadMemBlk(unsigned int, void*, unsigned int) override {}
    void WriteMemBlk(unsigned int, const void*, unsigned int) override {}
    void SetTRST(bool) override {}
    void SetSYS_RST(bool) override {}
    unsigned int ShiftIR(unsigned int, int, TapState) override { return 0x87654321u; }
    void ShiftDR(const unsigned char* in, unsigned char* out, int length, TapState) override
    {
        for (int i = 0; i < (length + 7) / 8; ++i)
            out[i] = in[i] ^ 0xFF;
        ++dataScans;
    }
    int dataScans = 0;
};

}  // namespace

TEST(NonAsyncJTAG, PacksResultsInQueueOrder)
{
    CTestContext context;
    CScanAdapter adapter(context);
    const auto idle = TapState::RUN_TEST_IDLE;
    const struct {
        int irLength;
        Bytes expected;
    } irCases[] = {
        {1, {0x21}}, {8, {0x21}}, {9, {0x21, 0x43}}, {17, {0x21, 0x43, 0x65}}, {32, {0x21, 0x43, 0x65, 0x87}},
    };
    for (const auto& c : irCases) {
        adapter.AsyncShiftIR(1, c.irLength, idle);
        Bytes out{0xEE};  // Wait replaces what was there
        adapter.Wait(out);
        EXPECT_EQ(out, c.expected) << c.irLength << " bits";
    }

    // Mixed: 5-bit IR, 12-bit DR, 32-bit write-only DR, 1-bit DR.
    const Bytes dr12{0x0F, 0x0A}, dr32{1, 2, 3, 4}, dr1{0x01};
    adapter.AsyncShiftIR(1, 5, idle);
    adapter.AsyncShiftDR(dr12.data(), 12, idle);
    adapter.AsyncWriteDR(dr32.data(), 32, idle);
    adapter.AsyncShiftDR(dr1.data(), 1, idle);
    Bytes out;
    adapter.Wait(out);
    EXPECT_EQ(out, (Bytes{0x21, 0xF0, 0xF5, 0xFE}));
    EXPECT_EQ(adapter.dataScans, 3);  // the write-only scan still ran

    // Wait hands the results over once; DiscardResults drops queued ones.
    adapter.Wait(out);
    EXPECT_TRUE(out.empty());
    adapter.AsyncShiftIR(1, 8, idle);
    adapter.DiscardResults();
    adapter.Wait(out);
    EXPECT_TRUE(out.empty());
}
