// CCmsisDapJTAG over the simulated CMSIS-DAP probe: this program is linked
// against kestrad-simusb in place of libusb-0.1, so the back-end's USB
// transfers reach the probe models of KESTRAD_SIM_USB.
// The model's header first: usb.h declares a function named usb_device,
// which hides the struct name the header's declarations use.
#include "sim/usb/CmsisDapModel.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "JTAG/Sources.h"
#include "JTAG/backends/cmsisdap/Probe.h"
#include "JTAG/usb/BusScan.h"
#include "config/Description.h"
#include "tests/JTAG/usb/SimBusFixture.h"
#include "tests/support/TestContext.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Fault = simusb::CCmsisDapModel::Fault;

uint32_t Le32(const unsigned char* b) { return b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24; }

class CmsisDapSimBus : public SimBusFixture<simusb::CCmsisDapModel> {
protected:
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto& adapter : m_adapters)
            names.push_back(adapter->GetName() + "/" + adapter->GetSerialNumberString());
        return names;
    }

    cmsisdap::CCmsisDapJTAG& Probe(size_t i) { return dynamic_cast<cmsisdap::CCmsisDapJTAG&>(*m_adapters.at(i)); }

    static simusb::CCmsisDapModel& Model(size_t i) { return DeviceModel(i); }
};

TEST_F(CmsisDapSimBus, ProbesAreFoundByIdsOrInterfaceStringAndThoseThatCannotServeAreSkipped)
{
    // A DAPLink by its ids; a probe at ids nobody lists, found by its
    // interface string; an SWD-only probe; a v1 (HID) probe; and a J-Link,
    // which has no CMSIS-DAP interface and is left alone.
    Scan("cmsis-dap,serial=DAP1;cmsis-dap,vid=0x1234,pid=0x0001,serial=ANY;cmsis-dap,caps=0x01;"
         "cmsis-dap,version=1,vid=0x1234,pid=0x0002;jlink,vid=0x1234,pid=0x0003");
    EXPECT_EQ((std::vector<std::string>{"DAPLINK0/DAP1", "CMSIS-DAP0/ANY"}), Names());
    const std::string log = m_context.LogText();
    EXPECT_NE(std::string::npos, log.find("DAPLINK1: skipped: the probe has no JTAG (capabilities 0x01)\n")) << log;
    EXPECT_NE(std::string::npos, log.find("CMSIS-DAP1: skipped: it is a CMSIS-DAP v1 (HID) probe: serving it would "
                                          "take the interface from the kernel's usbhid driver"))
        << log;
    EXPECT_EQ(std::string::npos, log.find("CMSIS-DAP2")) << log;
    const cmsisdap::ProbeInfo& info = Probe(0).Info();
    EXPECT_EQ(64u, info.packetSize);
    EXPECT_EQ(4u, info.packetCount);
    EXPECT_EQ("2.1.0", info.protocolVersion);
    EXPECT_EQ(1000000u, Probe(0).Frequency());
    EXPECT_FALSE(Probe(0).IsOpened());
}

TEST_F(CmsisDapSimBus, ScansBatchesAndResetsReachTheChain)
{
    Scan("cmsis-dap,serial=DAP1,packets=2,chain=0x4BA00477:4+bypass:5+0x06413041:5",
         "<cmsis-dap name=\"DAP\" idvendor=\"0x0d28\" idproduct=\"0x0204\" frequency=\"4MHZ\"/>\n");
    ASSERT_EQ(1u, m_adapters.size()) << m_context.LogText();
    cmsisdap::CCmsisDapJTAG& jtag = Probe(0);
    simusb::CCmsisDapModel& model = Model(0);
    jtag.Open();
    EXPECT_EQ(2, model.Port());
    EXPECT_EQ(4000000u, model.ClockHz());
    EXPECT_EQ(simtap::TapState::TestLogicReset, model.Chain().State());

    jtag.SetTRST(false);
    EXPECT_FALSE(model.Chain().Trst());
    jtag.SetTRST(true);
    EXPECT_EQ(simtap::TapState::RunTestIdle, model.Chain().State());
    // After TRST every TAP holds IDCODE or BYPASS: 32 + 1 + 32 bits.
    const Bytes zeros(9, 0);
    Bytes chain(9);
    jtag.ShiftDR(zeros.data(), chain.data(), 65, TapState::RUN_TEST_IDLE);
    EXPECT_EQ(0x4BA00477u, Le32(chain.data()));

    // A batch of 300 IR and DR scans rides full packets, two in flight.
    const uint64_t before = model.Sequences();
    const uint64_t sentBefore = jtag.SequencePackets();
    for (int i = 0; i < 150; ++i) {
        jtag.AsyncShiftIR(0x3FFF, 14, TapState::RUN_TEST_IDLE);  // all BYPASS
        jtag.AsyncShiftDR(zeros.data(), 3, TapState::RUN_TEST_IDLE);
    }
    std::vector<unsigned char> results;
    jtag.Wait(results);
    ASSERT_EQ(150u * 3, results.size());
    EXPECT_EQ(0x01, results[0] & 0x03);  // an IR capture ends in 01
    EXPECT_EQ(0x00, results[2]);         // BYPASS shifts zeros
    const uint64_t packets = model.Sequences() - before;
    EXPECT_EQ(packets, jtag.SequencePackets() - sentBefore);
    EXPECT_LE(model.LargestRequest(), 64u);
    EXPECT_GE(packets, 60u);  // 150 x (14 + 3 bits and their moves) does not fit fewer
    EXPECT_LE(packets, 72u);

    jtag.SetSYS_RST(false);
    EXPECT_TRUE(model.SystemReset());
    jtag.SetSYS_RST(true);
    EXPECT_FALSE(model.SystemReset());
    jtag.SetFrequency(250000);
    EXPECT_EQ(250000u, model.ClockHz());
    jtag.Close();
    EXPECT_EQ(0, model.Port());
}

TEST_F(CmsisDapSimBus, ErrorAndShortRepliesAreClearAndTheNextCommandWorks)
{
    Scan("cmsis-dap,serial=DAP1,packets=3");
    ASSERT_EQ(1u, m_adapters.size()) << m_context.LogText();
    cmsisdap::CCmsisDapJTAG& jtag = Probe(0);
    simusb::CCmsisDapModel& model = Model(0);
    jtag.Open();
    jtag.SetTRST(false);
    jtag.SetTRST(true);
    const Bytes zeros(4, 0);
    const struct {
        Fault fault;
        const char* message;
    } cases[] = {
        {Fault::DapError, "CMSIS-DAP DAPLINK0: DAP_JTAG_Sequence (0x14) failed: the probe answered DAP_ERROR"},
        {Fault::Short, "CMSIS-DAP DAPLINK0: the reply to DAP_JTAG_Sequence (0x14) is 2 bytes, 6 or more expected"},
    };
    for (const auto& c : cases) {
        // The fault hits the first of many packets in flight: the replies of
        // the others are read before the error is reported.
        model.FailNextSequence(c.fault);
        for (int i = 0; i < 40; ++i)
            jtag.AsyncShiftDR(zeros.data(), 32, TapState::RUN_TEST_IDLE);
        std::vector<unsigned char> results;
        try {
            jtag.Wait(results);
            ADD_FAILURE() << "the fault went unnoticed";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(c.message, e.what());
        }
        EXPECT_TRUE(results.empty());
        // The next command gets its own reply. TRST first: the TAP may have
        // moved differently from what was tracked.
        jtag.SetTRST(false);
        jtag.SetTRST(true);
        Bytes idcode(4);
        jtag.ShiftDR(zeros.data(), idcode.data(), 32, TapState::RUN_TEST_IDLE);
        EXPECT_EQ(0x4BA00477u, Le32(idcode.data()));
    }
    jtag.Close();
}

TEST_F(CmsisDapSimBus, LongRunsAndRawSequencesGoInPiecesAndStopWhenTheClientHasGone)
{
    Scan("cmsis-dap,serial=DAP1");
    ASSERT_EQ(1u, m_adapters.size()) << m_context.LogText();
    cmsisdap::CCmsisDapJTAG& jtag = Probe(0);
    simusb::CCmsisDapModel& model = Model(0);
    jtag.Open();
    jtag.SetTRST(false);
    jtag.SetTRST(true);
    jtag.ShiftIR(0xF, 4, TapState::RUN_TEST_IDLE);  // BYPASS

    // Into Shift-DR, then a million bits through BYPASS: each comes out one
    // clock later, across every piece the sequence is sent in.
    const unsigned bits = 1000003;
    Bytes tms((bits + 7) / 8, 0), tdi((bits + 7) / 8), tdo((bits + 7) / 8, 0xFF);
    tms[0] = 0x01;  // Select-DR, Capture-DR, Shift-DR
    for (size_t i = 0; i < tdi.size(); ++i)
        tdi[i] = static_cast<unsigned char>(i * 151 + 7);
    jtag.ClockSequence(tms.data(), tdi.data(), tdo.data(), bits);
    auto bit = [](const Bytes& v, unsigned k) { return (v[k / 8] >> (k % 8)) & 1; };
    unsigned wrong = 0;
    for (unsigned k = 3; k + 1 < bits; ++k)
        wrong += bit(tdo, k + 1) != bit(tdi, k);
    EXPECT_EQ(0u, wrong);
    EXPECT_EQ(simtap::TapState::ShiftDR, model.Chain().State());
    EXPECT_EQ(TapController::State::ShiftDR, jtag.TrackedState());

    // 2^32 clocks and long sequences nobody waits for stop after one piece
    // (before, every packet was built first: 1.4 GB for 2^32 clocks).
    jtag.SetStillWanted([] { return false; });
    for (const char* operation : {"RunTest", "ClockSequence"}) {
        const uint64_t before = model.Sequences();
        try {
            if (std::string(operation) == "RunTest")
                jtag.RunTest(0xFFFFFFFF);
            else
                jtag.ClockSequence(tms.data(), tdi.data(), tdo.data(), bits);
            ADD_FAILURE() << operation << " nobody waits for ran to its end";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(operation) + " stopped: its client has gone", e.what());
        }
        EXPECT_LT(model.Sequences() - before, 3000u) << operation;
    }
    jtag.SetStillWanted(nullptr);
    jtag.Close();
}

}  // namespace
