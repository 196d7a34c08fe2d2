// CJlinkJTAG over a recording transport: what it sends, how it batches scans
// and what it makes of the probe's replies.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "JTAG/backends/jlink/Probe.h"
#include "tests/JTAG/usb/RecordingUsbInterface.h"
#include "tests/support/TestContext.h"

using Bytes = std::vector<uint8_t>;
using Call = CRecordingUsbInterface::Call;

namespace {

constexpr uint8_t kIn = 0x81;

// A J-Link transport with the probe's two endpoints. With `echo` set it
// answers every EMU_CMD_HW_JTAG3 as a probe whose TDO is wired to TDI: the
// TDI bytes, the terminator of a multiple-of-64 reply, and status 0.
class CJlinkUsb : public CRecordingUsbInterface {
public:
    using CRecordingUsbInterface::CRecordingUsbInterface;

    std::vector<unsigned int> GetEndPoints() override { return endpoints; }

    int Write(const usb::CEndPoint& endpoint, const void* data, unsigned int size) override
    {
        const int sent = CRecordingUsbInterface::Write(endpoint, data, size);
        const uint8_t* bytes = static_cast<const uint8_t*>(data);
        if (echo && size >= 4 && bytes[0] == 0xCF) {
            const size_t m = (size_t(bytes[2]) | size_t(bytes[3]) << 8) / 8 + ((bytes[2] & 7) != 0);
            Script(kIn, Bytes(bytes + 4 + m, bytes + 4 + 2 * m));
            if (m % 64 == 0)
                Script(kIn, terminator);
            Script(kIn, {0});
        }
        return sent;
    }

    std::vector<unsigned int> endpoints{0x81, 0x02};
    bool echo = false;
    Bytes terminator;  // empty: a zero-length packet
};

// The replies of the constructor's configuration exchange.
void ScriptProbe(CJlinkUsb& usb)
{
    Bytes text(0x70, 0);
    const std::string version = "J-Link V9 compiled Dec  8 2026";
    std::copy(version.begin(), version.end(), text.begin());
    usb.Script(kIn, {0x70, 0x00});
    usb.Script(kIn, text);
    usb.Script(kIn, Bytes(256, 0xFF));
    usb.Script(kIn, {});  // the empty packet after a 256-byte reply
    usb.Script(kIn, {0, 0, 0, 0});
}

std::vector<Bytes> Written(const CRecordingUsbInterface& usb)
{
    std::vector<Bytes> out;
    for (const auto& e : usb.Writes())
        out.push_back(e.data);
    return out;
}

class JlinkJTAG : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_usb = new CJlinkUsb(m_context.Logger());
        ScriptProbe(*m_usb);
        m_jtag = std::make_unique<jlink::CJlinkJTAG>(std::unique_ptr<usb::CUsbInterface>(m_usb), "JLINK0", "700KHZ",
                                                     m_context);
        m_jtag->Open();
        m_usb->events.clear();
        m_context.ClearLog();
    }

    CTestContext m_context;
    CJlinkUsb* m_usb = nullptr;  // owned by m_jtag
    std::unique_ptr<jlink::CJlinkJTAG> m_jtag;
};

TEST(JlinkProbe, ConfiguresTheProbeAndEndsClosed)
{
    // The configured text, the speed command it gives (the probe takes 400 to
    // 12000 kHz), the clock line at the normal level when the probe cannot
    // run at the clock asked, and the serial number string, when there is one.
    struct Case {
        const char* frequency;
        Bytes speed;
        const char* clockLine;
        uint8_t serialIndex;
        const char* serial;
    };
    for (const Case& c : {Case{"700KHZ", {0x05, 0xBC, 0x02}, nullptr, 0, ""},
                          Case{"12MHZ", {0x05, 0xE0, 0x2E}, nullptr, 3, "000123456789"},
                          Case{"20000KHZ", {0x05, 0xE0, 0x2E}, "JLINK0: JTAG clock of 20000000 Hz asked, 12000000 Hz used\n",
                               0, ""},
                          Case{"100000", {0x05, 0x90, 0x01}, "JLINK0: JTAG clock of 100000 Hz asked, 400000 Hz used\n",
                               0, ""}}) {
        CTestContext context;
        context.Options()[3].value = false;  // the clock line of an exact clock is verbose
        auto* usb = new CJlinkUsb(context.Logger());
        if (c.serialIndex != 0) {
            const std::string serial = c.serial;
            usb->Script(c.serialIndex, Bytes(serial.begin(), serial.end()));
        }
        ScriptProbe(*usb);
        jlink::CJlinkJTAG jtag(std::unique_ptr<usb::CUsbInterface>(usb), "JLINK0", c.frequency, context, c.serialIndex);
        EXPECT_EQ((std::vector<Bytes>{{0x01}, {0xF2}, {0x08, 0x00}, {0xC7, 0x00}, c.speed}), Written(*usb));
        std::vector<unsigned> asked;
        for (const auto& e : usb->Reads())
            asked.push_back(e.size);
        // [The serial number,] length, text, configuration, the byte after it, interface reply.
        std::vector<unsigned> expected = {2, 0x70, 256, 1, 4};
        if (c.serialIndex != 0)
            expected.insert(expected.begin(), 255);
        EXPECT_EQ(expected, asked) << c.frequency;
        EXPECT_EQ(Call::Open, usb->events.front().call);
        EXPECT_EQ(Call::Close, usb->events.back().call);
        EXPECT_FALSE(jtag.IsOpened());
        EXPECT_EQ("JLINK0", jtag.GetName());
        EXPECT_EQ(c.serial, jtag.GetSerialNumberString());
        EXPECT_EQ(c.clockLine ? c.clockLine : "", context.LogText()) << c.frequency;
    }
}

TEST(JlinkProbe, RefusesADeviceWithoutBothEndpoints)
{
    for (const auto& c : {std::make_pair(std::vector<unsigned int>{0x02}, "IN"),
                          std::make_pair(std::vector<unsigned int>{0x81, 0x83}, "OUT")}) {
        CTestContext context;
        context.Options()[3].value = false;  // logged at the normal level
        auto* usb = new CJlinkUsb(context.Logger());
        usb->endpoints = c.first;
        const std::string message = std::string("J-Link JLINK3 has no bulk ") + c.second +
                                    " endpoint; the device is skipped.";
        try {
            jlink::CJlinkJTAG jtag(std::unique_ptr<usb::CUsbInterface>(usb), "JLINK3", "700KHZ", context);
            ADD_FAILURE() << "accepted: " << message;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(message, e.what());
        }
        EXPECT_EQ(message + "\n", context.LogText());
    }
}

// From Test-Logic-Reset: 5 clocks to Shift-IR, 4 data clocks, 2 to idle.
TEST_F(JlinkJTAG, InstructionScanFromResetIsOneCommandOfElevenClocks)
{
    m_jtag->AsyncShiftIR(0x5, 4, TapState::RUN_TEST_IDLE);
    EXPECT_TRUE(m_usb->events.empty());  // batched until Wait
    m_usb->Script(kIn, {0x20, 0x01});    // TDO 1 at clocks 5 and 8
    m_usb->Script(kIn, {0x00});
    std::vector<unsigned char> out;
    m_jtag->Wait(out);
    // TMS 0,1,1,0,0 0,0,0,1 1,0; TDI 0,0,0,0,0 1,0,1,0 0,0.
    EXPECT_EQ((std::vector<Bytes>{{0xCF, 0x00, 0x0B, 0x00, 0x06, 0x03, 0xA0, 0x00}}), Written(*m_usb));
    EXPECT_EQ((std::vector<unsigned char>{0x09}), out);
    EXPECT_EQ(TapController::State::RunTestIdle, m_jtag->TrackedState());
}

TEST_F(JlinkJTAG, BatchedScansShareOneCommandAndWriteOnlyScansDeliverNothing)
{
    m_usb->echo = true;
    const unsigned char first[] = {0xBC, 0x0A}, second[] = {0x15}, third[] = {0x3C}, fourth[] = {0xFF};
    m_jtag->AsyncShiftDR(first, 12, TapState::RUN_TEST_IDLE);
    m_jtag->AsyncShiftDR(second, 5, TapState::PAUSE_DR);
    EXPECT_TRUE(m_usb->Writes().empty());
    // A write-only scan sends the pending read-back command first.
    m_jtag->AsyncWriteDR(third, 8, TapState::RUN_TEST_IDLE);
    ASSERT_EQ(1u, m_usb->Writes().size());
    EXPECT_EQ(0xCF, m_usb->Writes()[0].data[0]);
    m_jtag->AsyncWriteDR(fourth, 8, TapState::RUN_TEST_IDLE);
    const size_t readsBefore = m_usb->Reads().size();

    std::vector<unsigned char> out{9, 9, 9};
    m_jtag->Wait(out);
    EXPECT_EQ((std::vector<unsigned char>{0xBC, 0x0A, 0x15}), out);
    ASSERT_EQ(2u, m_usb->Writes().size());
    EXPECT_EQ(0xD5, m_usb->Writes()[1].data[0]);
    EXPECT_EQ(readsBefore, m_usb->Reads().size());

    m_usb->events.clear();
    m_jtag->Wait(out);  // nothing pending: nothing sent, nothing delivered
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(m_usb->events.empty());
}

// A synchronous scan sends what is queued first, whose results stay for the
// next Wait, and then goes out in a command of its own.
TEST_F(JlinkJTAG, SynchronousScanRunsAloneAfterThePendingBatch)
{
    m_usb->echo = true;
    const unsigned char queued[] = {0x5A}, own[] = {0xC3};
    m_jtag->AsyncShiftDR(queued, 8, TapState::RUN_TEST_IDLE);
    unsigned char out[1] = {};
    m_jtag->ShiftDR(own, out, 8, TapState::RUN_TEST_IDLE);
    EXPECT_EQ(0xC3, out[0]);
    // From Test-Logic-Reset 4 + 8 + 2 clocks, then from Run-Test/Idle 3 + 8 + 2.
    const std::vector<Bytes> written = Written(*m_usb);
    ASSERT_EQ(2u, written.size());
    EXPECT_EQ((Bytes{0xCF, 0x00, 0x0E, 0x00}), Bytes(written[0].begin(), written[0].begin() + 4));
    EXPECT_EQ((Bytes{0xCF, 0x00, 0x0D, 0x00}), Bytes(written[1].begin(), written[1].begin() + 4));
    std::vector<unsigned char> results;
    m_jtag->Wait(results);
    EXPECT_EQ((std::vector<unsigned char>{0x5A}), results);
    EXPECT_EQ(2u, Written(*m_usb).size());  // nothing was left to send
}

// 300 scans of 250 bits need 76 500 clocks: two commands, every result intact.
TEST_F(JlinkJTAG, LargeBatchesAreSplitAcrossCommands)
{
    m_usb->echo = true;
    std::vector<unsigned char> expected;
    std::vector<Bytes> inputs;
    for (int i = 0; i < 300; ++i) {
        Bytes in(32);
        for (size_t k = 0; k < in.size(); ++k)
            in[k] = static_cast<uint8_t>(i * 31 + k * 7);
        in[31] &= 0x03;  // 250 bits
        inputs.push_back(in);
        expected.insert(expected.end(), in.begin(), in.end());
    }
    for (const Bytes& in : inputs)
        m_jtag->AsyncShiftDR(in.data(), 250, TapState::RUN_TEST_IDLE);
    std::vector<unsigned char> out;
    m_jtag->Wait(out);
    EXPECT_EQ(expected, out);
    const std::vector<Bytes> written = Written(*m_usb);
    ASSERT_EQ(2u, written.size());
    for (const Bytes& command : written)
        EXPECT_LE(size_t(command[2]) | size_t(command[3]) << 8, 65535u);
}

// A raw sequence joins the pending command, hands back its own TDO while the
// queued scan's result waits for Wait, and leaves the TAP where its TMS bits
// lead: the next scan routes from Exit2-DR.
TEST_F(JlinkJTAG, RawSequenceRidesWithQueuedScansAndMovesTheTrackedTap)
{
    m_usb->echo = true;
    const unsigned char queued[] = {0x5A};
    m_jtag->AsyncShiftDR(queued, 8, TapState::RUN_TEST_IDLE);
    // Select-DR, Capture-DR, Shift-DR twice, Exit1-DR, Pause-DR, Exit2-DR.
    const unsigned char tms[] = {0x51}, tdi[] = {0x2B};
    unsigned char tdo[1] = {0xFF};
    m_jtag->ClockSequence(tms, tdi, tdo, 7);
    EXPECT_EQ(0x2B, tdo[0]);
    EXPECT_EQ(TapController::State::Exit2DR, m_jtag->TrackedState());
    std::vector<Bytes> written = Written(*m_usb);
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ((Bytes{0xCF, 0x00, 0x15, 0x00}), Bytes(written[0].begin(), written[0].begin() + 4));  // 14 + 7 clocks
    std::vector<unsigned char> results;
    m_jtag->Wait(results);
    EXPECT_EQ((std::vector<unsigned char>{0x5A}), results);

    // Update-DR, Select-DR, Select-IR, Capture-IR, Shift-IR; 4 bits; Update-IR, Run-Test/Idle.
    EXPECT_EQ(1u, m_jtag->ShiftIR(0x1, 4, TapState::RUN_TEST_IDLE));
    written = Written(*m_usb);
    ASSERT_EQ(2u, written.size());
    EXPECT_EQ((Bytes{0xCF, 0x00, 0x0B, 0x00, 0x07, 0x03, 0x20, 0x00}), written[1]);
    EXPECT_EQ(TapController::State::RunTestIdle, m_jtag->TrackedState());
}

// A sequence longer than a command's 65535 clocks continues in the next
// commands with every TDO bit in place; between commands it stops when its
// client has gone.
TEST_F(JlinkJTAG, LongRawSequencesAreSplitAndStopWhenUnwanted)
{
    m_usb->echo = true;
    const unsigned int bits = 140000;
    Bytes tms((bits + 7) / 8, 0), tdi(tms.size());
    for (size_t k = 0; k < tdi.size(); ++k)
        tdi[k] = static_cast<uint8_t>(k * 37 + 11);
    Bytes tdo(tdi.size());
    m_jtag->ClockSequence(tms.data(), tdi.data(), tdo.data(), bits);
    EXPECT_EQ(tdi, tdo);
    std::vector<Bytes> written = Written(*m_usb);
    ASSERT_EQ(3u, written.size());
    EXPECT_EQ((Bytes{0xCF, 0x00, 0xFF, 0xFF}), Bytes(written[0].begin(), written[0].begin() + 4));
    EXPECT_EQ((Bytes{0xCF, 0x00, 0xE2, 0x22}), Bytes(written[2].begin(), written[2].begin() + 4));  // 8930

    m_usb->events.clear();
    m_jtag->SetStillWanted([] { return false; });
    try {
        m_jtag->ClockSequence(tms.data(), tdi.data(), tdo.data(), bits);
        ADD_FAILURE() << "a sequence nobody waits for ran to its end";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("ClockSequence stopped: its client has gone", e.what());
    }
    EXPECT_EQ(0u, Written(*m_usb).size());
}

TEST_F(JlinkJTAG, TrstReleaseClocksIdleOnceAndLineCommands)
{
    m_jtag->SetTRST(true);
    m_jtag->SetTRST(true);
    Bytes idle = {0xD5, 0x00, 0x64, 0x00};
    idle.resize(4 + 2 * 13, 0);
    EXPECT_EQ((std::vector<Bytes>{{0xDF}, idle, {0xDF}}), Written(*m_usb));
    EXPECT_EQ(TapController::State::RunTestIdle, m_jtag->TrackedState());

    m_usb->events.clear();
    m_jtag->RunTest(0);  // no clocks: nothing sent
    m_jtag->SetFrequency(100000);
    m_jtag->SetFrequency(30000000);
    m_jtag->SetSYS_RST(false);
    m_jtag->SetSYS_RST(true);
    m_jtag->SetTRST(false);
    EXPECT_EQ((std::vector<Bytes>{{0x05, 0x90, 0x01}, {0x05, 0xE0, 0x2E}, {0xDC}, {0xDD}, {0xDE}}), Written(*m_usb));
    EXPECT_EQ(700, m_jtag->Speed());  // the configured speed stays
    EXPECT_NE(std::string::npos, m_context.LogText().find("JLINK0: JTAG clock of 100000 Hz asked, 400000 Hz used\n"));

    // An adapter reset sets the probe up again, at the configured speed.
    m_usb->events.clear();
    m_usb->Script(kIn, {0, 0, 0, 0});
    m_jtag->ResetAdapter();
    EXPECT_EQ((std::vector<Bytes>{{0xC7, 0x00}, {0x05, 0xBC, 0x02}}), Written(*m_usb));

    // More idle clocks than one command holds go out in several.
    m_usb->events.clear();
    m_jtag->RunTest(70000);
    const std::vector<Bytes> idleCommands = Written(*m_usb);
    ASSERT_EQ(2u, idleCommands.size());
    EXPECT_EQ((Bytes{0xD5, 0x00, 0xFF, 0xFF}), Bytes(idleCommands[0].begin(), idleCommands[0].begin() + 4));
    EXPECT_EQ((Bytes{0xD5, 0x00, 0x71, 0x11}), Bytes(idleCommands[1].begin(), idleCommands[1].begin() + 4));
}

// A failed execution drops the command, its parsers and what was collected:
// the next Wait sends and delivers nothing.
TEST_F(JlinkJTAG, FailedExecutionsLeaveNothingBehind)
{
    struct Case {
        const char* what;
        std::function<void(CJlinkUsb&)> script;
        std::string message;
        const char* logged;
    };
    const std::vector<Case> cases = {
        {"status", [](CJlinkUsb& u) { u.Script(kIn, {0xFF, 0x0F, 0x00}); u.Script(kIn, {0x01}); },
         "Shift operation failed.", nullptr},
        {"read error", [](CJlinkUsb& u) { u.ScriptError(kIn, "No error"); },
         "J-Link JLINK0: reading a reply of 3 bytes failed after 0 bytes: No error", nullptr},
        {"silence", [](CJlinkUsb&) {},
         "J-Link JLINK0: reading a reply of 3 bytes failed after 0 bytes: the probe sent empty packets only",
         nullptr},
        {"write error", [](CJlinkUsb& u) { u.writeError = "Connection timed out"; },
         "J-Link JLINK0: sending 10 bytes of command 0xcf failed: Connection timed out",
         "Failed to execute the command 0xcf : Connection timed out\n"},
    };
    for (const Case& c : cases) {
        const unsigned char in[] = {0xAA, 0x0F};
        m_jtag->AsyncShiftDR(in, 12, TapState::RUN_TEST_IDLE);
        c.script(*m_usb);
        std::vector<unsigned char> out;
        try {
            m_jtag->Wait(out);
            ADD_FAILURE() << c.what << ": Wait succeeded";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(c.message, e.what()) << c.what;
        }
        if (c.logged) {
            EXPECT_NE(std::string::npos, m_context.LogText().find(c.logged)) << m_context.LogText();
        }
        m_usb->writeError.clear();
        m_usb->replies.clear();
        m_usb->events.clear();
        m_jtag->Wait(out);
        EXPECT_TRUE(out.empty()) << c.what;
        EXPECT_TRUE(m_usb->events.empty()) << c.what;
    }
}

// A scan whose end state has no route is refused whole: nothing stays queued
// and the tracked state is where the TAP really is.
TEST_F(JlinkJTAG, ScanWithoutRouteToItsEndIsDroppedWhole)
{
    m_jtag->RunTest(1);
    m_usb->events.clear();
    const unsigned char in[] = {0x01};
    m_jtag->AsyncShiftDR(in, 8, TapState::RUN_TEST_IDLE);
    EXPECT_THROW(m_jtag->AsyncShiftDR(in, 8, TapState::EXIT1_IR), std::runtime_error);
    EXPECT_EQ(TapController::State::RunTestIdle, m_jtag->TrackedState());
    std::vector<unsigned char> out;
    m_jtag->Wait(out);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(m_usb->events.empty());
}

}  // namespace
