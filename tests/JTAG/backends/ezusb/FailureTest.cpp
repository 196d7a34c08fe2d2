// The EZ-USB adapter under failing transfers, in the manner of Beast's
// fail-count loop: for every n, the n-th USB transfer of a run of operations
// fails, until a run completes. Each failure must leave its operation as the
// transfer's own error, and the adapter must carry nothing stale into the
// next operation: the next instruction scan sends the frame for the line
// levels last asked for, and the next read brings the right words.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "JTAG/backends/ezusb/Adapter.h"
#include "tests/JTAG/usb/RecordingUsbInterface.h"
#include "tests/support/TestContext.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t kReply = 0x86;

}  // namespace

TEST(KorselFailures, EveryFailedTransferGivesACleanErrorAndNoStaleState)
{
    const Bytes memory{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    CTestContext context;
    for (int n = 1;; ++n) {
        SCOPED_TRACE("transfer " + std::to_string(n) + " fails");
        ASSERT_LT(n, 100) << "the run never completes";
        // A fresh adapter whose probe found firmware 0x4000.
        auto* usb = new CRecordingUsbInterface(context.Logger());
        usb->Script(kReply, {});
        usb->Script(kReply, {0x00, 0x40});
        ezusb::CKorselUsbJTAG jtag(std::unique_ptr<usb::CUsbInterface>(usb), "EZ-USB0", "12MHZ", 0, context);
        jtag.Open();
        usb->transfers = 0;
        usb->failTransfer = n;

        bool trst = true;
        bool failed = false;
        auto step = [&](const std::function<void()>& operation) {
            if (failed)
                return;
            try {
                operation();
            } catch (const std::runtime_error& e) {
                EXPECT_EQ(e.what(), "injected failure of transfer " + std::to_string(n));
                failed = true;
            }
        };
        step([&] {
            trst = false;
            jtag.SetTRST(false);
        });
        step([&] {
            usb->Script(kReply, {0x05, 0x00});
            EXPECT_EQ(5u, jtag.ShiftIR(0x3, 4, TapState::RUN_TEST_IDLE));
        });
        step([&] {
            trst = true;
            jtag.SetTRST(true);
        });
        step([&] {
            Bytes out(8);
            usb->Script(kReply, memory);
            jtag.ReadMemBlk(0x1000, out.data(), 8);
            EXPECT_EQ(out, memory);
        });
        step([&] { jtag.WriteMemBlk(0x1000, memory.data(), 8); });
        step([&] {
            const uint8_t in[4] = {0xFF, 0xFF, 0xFF, 0xFF};
            uint8_t out[4] = {};
            usb->Script(kReply, {0x77, 0x04, 0xA0, 0x4B});
            jtag.ShiftDR(in, out, 32, TapState::RUN_TEST_IDLE);
        });
        step([&] { jtag.ResetAdapter(); });
        if (!failed)
            break;

        // What the device had queued for the failed operation goes with it.
        usb->failTransfer = 0;
        usb->replies.clear();
        usb->events.clear();
        usb->Script(kReply, {0x0A, 0x00});
        EXPECT_EQ(0xAu, jtag.ShiftIR(0x5, 4, TapState::RUN_TEST_IDLE));
        ASSERT_FALSE(usb->Writes().empty());
        const uint8_t header = static_cast<uint8_t>(0xB4 | (trst ? 0x08 : 0));
        EXPECT_EQ((Bytes{header, 0x55}), usb->Writes()[0].data);
        Bytes out(8);
        usb->Script(kReply, memory);
        jtag.ReadMemBlk(0x1000, out.data(), 8);
        EXPECT_EQ(out, memory);
    }
}
