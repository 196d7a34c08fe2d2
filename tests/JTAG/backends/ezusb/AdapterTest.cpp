// CKorselUsbJTAG over a recording transport: the frames each operation sends,
// what it does with the replies, and the constructor's probe.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "JTAG/backends/ezusb/Adapter.h"
#include "tests/JTAG/usb/RecordingUsbInterface.h"
#include "tests/support/TestContext.h"

using Bytes = std::vector<uint8_t>;
using Call = CRecordingUsbInterface::Call;

namespace {

constexpr uint8_t kReply = 0x86;
constexpr uint8_t kCommand = 0x02;
constexpr uint8_t kControl = 0x04;

const char* const kSignature =
    "CKorselUsbJTAG::CKorselUsbJTAG(std::unique_ptr<CUsbInterface>, const string&, const string&, "
    "uint8_t, CJTAGServer&)";

Bytes Repeat(const Bytes& pattern, size_t times)
{
    Bytes out;
    for (size_t i = 0; i < times; ++i)
        out.insert(out.end(), pattern.begin(), pattern.end());
    return out;
}

Bytes Counting(size_t size, uint8_t first = 0)
{
    Bytes out(size);
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<uint8_t>(first + i);
    return out;
}

class KorselJTAG : public ::testing::Test {
protected:
    // An adapter whose probe found firmware 0x4000; the probe's traffic and
    // log lines are cleared.
    void SetUp() override
    {
        m_usb = new CRecordingUsbInterface(m_context.Logger());
        m_usb->Script(kReply, {});
        m_usb->Script(kReply, {0x00, 0x40});
        m_jtag = std::make_unique<ezusb::CKorselUsbJTAG>(std::unique_ptr<usb::CUsbInterface>(m_usb), "EZ-USB0", "12MHZ",
                                                  0, m_context);
        m_jtag->Open();
        m_usb->events.clear();
        m_context.ClearLog();
    }

    CTestContext m_context;
    CRecordingUsbInterface* m_usb = nullptr;  // owned by m_jtag
    std::unique_ptr<ezusb::CKorselUsbJTAG> m_jtag;
};

TEST(KorselProbe, ReadsSerialDrainsReopensAndQueriesVersion)
{
    CTestContext context;
    auto* usb = new CRecordingUsbInterface(context.Logger());
    usb->Script(3, Bytes{'S', 'N', '4', '2', 0, 'x'});
    usb->Script(kReply, Bytes(32, 0xEE));
    usb->Script(kReply, Bytes(5, 0xEE));
    usb->Script(kReply, {});
    usb->Script(kReply, {0x00, 0x49, 0x12});
    ezusb::CKorselUsbJTAG jtag(std::unique_ptr<usb::CUsbInterface>(usb), "EZ-USB1", "48MHZ", 3, context);

    const std::vector<CRecordingUsbInterface::Event>& e = usb->events;
    ASSERT_EQ(10u, e.size());
    EXPECT_EQ(Call::Open, e[0].call);
    EXPECT_EQ(Call::Read, e[1].call);
    EXPECT_EQ(3, e[1].kind);
    EXPECT_EQ(3, e[1].address);
    EXPECT_EQ(256u, e[1].size);
    for (int i = 2; i <= 4; ++i) {
        EXPECT_EQ(Call::Read, e[i].call);
        EXPECT_EQ(kReply, e[i].address);
        EXPECT_EQ(32u, e[i].size);
        // A device with nothing left must not hold the scan up for a full
        // transfer time-out.
        EXPECT_LE(e[i].timeoutMs, 100u);
    }
    EXPECT_EQ(Call::Close, e[5].call);
    EXPECT_EQ(Call::Open, e[6].call);
    EXPECT_EQ(Call::Write, e[7].call);
    EXPECT_EQ(kCommand, e[7].address);
    EXPECT_EQ((Bytes{0xB0, 0xFF}), e[7].data);
    EXPECT_EQ(Call::Read, e[8].call);
    EXPECT_EQ(1024u, e[8].size);
    EXPECT_EQ(1000u, e[8].timeoutMs);
    EXPECT_EQ(Call::Close, e[9].call);

    EXPECT_EQ("EZ-USB1", jtag.GetName());
    EXPECT_EQ("SN42", jtag.GetSerialNumberString());
    EXPECT_EQ(0x4900, jtag.GetVersionNumber());
    EXPECT_EQ("0x4900", jtag.GetVersionString());
    EXPECT_FALSE(jtag.IsOpened());
    EXPECT_NE(std::string::npos, context.LogText().find("USB adapter version: 0x4900\n"));
    EXPECT_EQ(std::string::npos, context.LogText().find("not supported"));

    // Firmware 0x4900 starts with the system reset line low: releasing it sends.
    jtag.Open();
    usb->events.clear();
    jtag.SetSYS_RST(true);
    ASSERT_EQ(1u, usb->Writes().size());
    EXPECT_EQ((Bytes{0x4C, 0x4D, 0, 0, 0, 0}), usb->Writes()[0].data);
}

TEST(KorselProbe, VersionBytesAreUnsignedAndOldVersionsWarn)
{
    // Reply bytes (low, high) and the version they mean; bytes of 0x80 and up
    // must not borrow from the other byte.
    const struct {
        Bytes reply;
        int version;
        const char* log;
    } cases[] = {
        {{0x80, 0x37}, 0x3780, "USB adapter version: 0x3780\n"},
        {{0xFF, 0x36}, 0x36FF, "USB adapter version: 0x36ff\n"},
        {{0x80, 0x35}, 0x3580,
         "USB adapter version: 0x3580\nWARNING: this version is not supported.\nEZ-USB0: firmware version "
         "0x3580 is not supported (0x3600 or later is); listed all the same\n"},
        {{0x00, 0x90}, 0x9000, "USB adapter version: 0x9000\n"},
    };
    for (const auto& c : cases) {
        CTestContext context;
        auto* usb = new CRecordingUsbInterface(context.Logger());
        usb->Script(kReply, {});
        usb->Script(kReply, c.reply);
        ezusb::CKorselUsbJTAG jtag(std::unique_ptr<usb::CUsbInterface>(usb), "EZ-USB0", "24MHZ", 0, context);
        EXPECT_EQ(c.version, jtag.GetVersionNumber()) << c.log;
        EXPECT_NE(std::string::npos, context.LogText().find(c.log)) << context.LogText();
        EXPECT_EQ(c.version >= 0x3600, context.LogText().find("not supported") == std::string::npos) << c.log;
    }
}

TEST(KorselProbe, FailuresAreLoggedAndTheAdapterStillExists)
{
    {
        CTestContext context;
        auto* usb = new CRecordingUsbInterface(context.Logger());  // the version query gets nothing back
        ezusb::CKorselUsbJTAG jtag(std::unique_ptr<usb::CUsbInterface>(usb), "EZ-USB0", "12MHZ", 0, context);
        EXPECT_EQ(-1, jtag.GetVersionNumber());
        EXPECT_EQ("Unknown", jtag.GetVersionString());
        EXPECT_FALSE(jtag.IsOpened());
        EXPECT_NE(std::string::npos,
                  context.LogText().find(std::string("Exception occured in ") + kSignature +
                                        ": error getting USB JTAG adapter version. Proceed anyway.\n"));
        EXPECT_NE(std::string::npos,
                  context.LogText().find("USB adapter version: 0xffffffff\n"
                                        "WARNING: this version is not supported.\n"
                                        "EZ-USB0: could not be probed: error getting USB JTAG adapter version; "
                                        "listed with its firmware version unknown\n"))
            << context.LogText();
    }
    {
        CTestContext context;
        auto* usb = new CRecordingUsbInterface(context.Logger());
        usb->openError = "No such device";
        ezusb::CKorselUsbJTAG jtag(std::unique_ptr<usb::CUsbInterface>(usb), "EZ-USB0", "12MHZ", 0, context);
        EXPECT_EQ(-1, jtag.GetVersionNumber());
        EXPECT_NE(std::string::npos, context.LogText().find(std::string("Exception occured in ") + kSignature +
                                                           ": No such device. Proceed anyway.\n"));
    }
    {
        // A failing drain read only ends the draining.
        CTestContext context;
        auto* usb = new CRecordingUsbInterface(context.Logger());
        usb->ScriptError(kReply, "Connection timed out");
        usb->Script(kReply, {0x00, 0x40});
        ezusb::CKorselUsbJTAG jtag(std::unique_ptr<usb::CUsbInterface>(usb), "EZ-USB0", "12MHZ", 0, context);
        EXPECT_EQ(0x4000, jtag.GetVersionNumber());
    }
}

TEST(KorselProbe, ClockIsTheFastestNotAboveTheOneConfigured)
{
    // The configured text, the control byte ResetAdapter sends for it, and
    // the clock line (normal level when the adapter cannot run at the clock).
    const struct {
        const char* frequency;
        uint8_t code;
        const char* log;
    } cases[] = {
        {"12mhz", 1, nullptr},
        {"48000KHZ", 3, nullptr},
        {"30MHz", 2, "EZ-USB0: JTAG clock of 30000000 Hz asked, 24000000 Hz used\n"},
        {"1000KHZ", 1, "EZ-USB0: JTAG clock of 1000000 Hz asked, 12000000 Hz used\n"},
        {"fast", 1, "Error: invalid frequency string: fast.\nSetting 5b8d80 hz as adapter frequency\n"
                    "EZ-USB0: JTAG clock of 6000000 Hz asked, 12000000 Hz used\n"},
    };
    for (const auto& c : cases) {
        CTestContext context;
        context.Options()[OPTION_VERBOSE].value = false;
        auto* usb = new CRecordingUsbInterface(context.Logger());
        ezusb::CKorselUsbJTAG jtag(std::unique_ptr<usb::CUsbInterface>(usb), "EZ-USB0", c.frequency, 0, context);
        EXPECT_EQ(c.log != nullptr, context.LogText().find("JTAG clock") != std::string::npos) << c.frequency;
        if (c.log) {
            EXPECT_EQ(0u, context.LogText().find(c.log)) << context.LogText();
        }
        jtag.Open();
        usb->events.clear();
        jtag.ResetAdapter();
        ASSERT_FALSE(usb->Writes().empty());
        EXPECT_EQ(kControl, usb->Writes()[0].address);
        EXPECT_EQ((Bytes{c.code}), usb->Writes()[0].data) << c.frequency;
    }
}

TEST_F(KorselJTAG, ShiftIRFourBitsDoublesTheNibble)
{
    m_usb->Script(kReply, {0xA7, 0x00});
    EXPECT_EQ(7u, m_jtag->ShiftIR(5, 4, TapState::RUN_TEST_IDLE));
    ASSERT_EQ(2u, m_usb->events.size());
    EXPECT_EQ(kCommand, m_usb->events[0].address);
    EXPECT_EQ((Bytes{0xBC, 0x55}), m_usb->events[0].data);
    EXPECT_EQ(kReply, m_usb->events[1].address);
    EXPECT_EQ(8u, m_usb->events[1].size);
}

TEST_F(KorselJTAG, ShiftIREightBitsAndReplyCheck)
{
    // All eight captured bits come back, not only a nibble.
    m_usb->Script(kReply, {0xA5, 0x00});
    EXPECT_EQ(0xA5u, m_jtag->ShiftIR(0xEF, 8, TapState::RUN_TEST_IDLE));
    EXPECT_EQ((Bytes{0xBC, 0xEF}), m_usb->Writes()[0].data);

    m_usb->Script(kReply, {0x01, 0x00, 0x00});
    try {
        m_jtag->ShiftIR(1, 8, TapState::RUN_TEST_IDLE);
        FAIL() << "a 3-byte reply accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Usb ShiftIR failed, res = 3", e.what());
    }
    try {
        m_jtag->ShiftIR(1, 8, TapState::RUN_TEST_IDLE);
        FAIL() << "an empty reply accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Usb ShiftIR failed, res = 0", e.what());
    }
}

TEST_F(KorselJTAG, ShiftIRRefusesLengthsItCannotCarry)
{
    // Outside 1..32 for every adapter; within, the frames carry 4 and 8 bits
    // only (5 would load BYPASS, 16 a value without its high byte).
    const struct {
        int length;
        const char* message;
    } cases[] = {
        {0, "Invalid instruction register length 0 (1 to 32 bits)"},
        {-1, "Invalid instruction register length -1 (1 to 32 bits)"},
        {33, "Invalid instruction register length 33 (1 to 32 bits)"},
        {5, "EZ-USB0: an instruction scan of 5 bits cannot be sent: this adapter's frames carry instructions of 4 "
            "or 8 bits only"},
        {16, "EZ-USB0: an instruction scan of 16 bits cannot be sent: this adapter's frames carry instructions of "
             "4 or 8 bits only"},
    };
    for (const auto& c : cases) {
        try {
            m_jtag->ShiftIR(1, c.length, TapState::RUN_TEST_IDLE);
            FAIL() << "length " << c.length << " accepted";
        } catch (const std::logic_error& e) {
            EXPECT_STREQ(c.message, e.what());
        }
    }
    EXPECT_TRUE(m_usb->events.empty());
}

TEST_F(KorselJTAG, EndStatesTheFirmwareCannotReachAreRefused)
{
    // The firmware ends every scan in Run-Test/Idle: a scan's own Exit1 and
    // Pause give the same answers and are taken; the others are refused
    // before anything is sent.
    for (TapState end : {TapState::RUN_TEST_IDLE, TapState::EXIT1_IR, TapState::PAUSE_IR}) {
        m_usb->Script(kReply, {0x01, 0x00});
        EXPECT_EQ(1u, m_jtag->ShiftIR(3, 4, end));
    }
    m_usb->events.clear();
    const Bytes in(4, 0);
    Bytes out(4);
    for (TapState end : {TapState::TEST_LOGIC_RESET, TapState::SHIFT_IR, TapState::PAUSE_DR, TapState::EXIT1_DR,
                         static_cast<TapState>(8)}) {
        try {
            m_jtag->ShiftIR(3, 4, end);
            FAIL() << "IR end state " << static_cast<int>(end) << " accepted";
        } catch (const std::logic_error& e) {
            EXPECT_EQ(0u, std::string(e.what()).find("EZ-USB0: an IR scan cannot end in " +
                                                     TapStateMachine::StateName(end)))
                << e.what();
        }
    }
    try {
        m_jtag->ShiftDR(in.data(), out.data(), 32, TapState::SHIFT_DR);
        FAIL() << "DR end state SHIFT_DR accepted";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ("EZ-USB0: a DR scan cannot end in SHIFT_DR here: the adapter ends every scan in "
                     "Run-Test/Idle, so only RUN_TEST_IDLE, EXIT1_DR and PAUSE_DR (the same answers) are taken",
                     e.what());
    }
    EXPECT_TRUE(m_usb->events.empty());
}

TEST_F(KorselJTAG, TrstLinesSendOnlyOnChange)
{
    m_jtag->SetTRST(true);
    m_jtag->SetSYS_RST(true);
    EXPECT_TRUE(m_usb->events.empty());

    for (int i = 0; i < 3; ++i)
        m_usb->Script(kReply, Bytes(32, 0));
    m_jtag->SetTRST(false);
    m_jtag->SetTRST(false);
    m_jtag->SetSYS_RST(false);
    m_jtag->SetTRST(true);
    m_jtag->SetTRST(true);
    const auto writes = m_usb->Writes();
    ASSERT_EQ(3u, writes.size());
    EXPECT_EQ((Bytes{0x44, 0x4D, 0, 0, 0, 0}), writes[0].data);
    EXPECT_EQ((Bytes{0x40, 0x4D, 0, 0, 0, 0}), writes[1].data);
    EXPECT_EQ((Bytes{0x48, 0x4D, 0, 0, 0, 0}), writes[2].data);
    const auto reads = m_usb->Reads();
    ASSERT_EQ(3u, reads.size());
    EXPECT_EQ(64u, reads[0].size);  // room for more than the 32 bytes expected
}

TEST_F(KorselJTAG, TrstReleaseMakesDataScansReadTheIdCode)
{
    m_jtag->SetTRST(false);
    m_jtag->SetTRST(true);
    m_usb->events.clear();

    m_usb->Script(kReply, {0x77, 0x04, 0xA0, 0x4B});
    const uint8_t in[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    uint8_t out[4] = {};
    m_jtag->ShiftDR(in, out, 32, TapState::RUN_TEST_IDLE);
    ASSERT_EQ(2u, m_usb->events.size());
    EXPECT_EQ((Bytes{0x4F, 0x03, 0, 0, 0, 0}), m_usb->events[0].data);
    EXPECT_EQ((Bytes{0x77, 0x04, 0xA0, 0x4B}), Bytes(out, out + 4));

    // A shorter scan stores no more than its own bytes.
    m_usb->Script(kReply, {0x77, 0x04, 0xA0, 0x4B});
    uint8_t shortOut[4] = {0, 0, 0xEE, 0xEE};
    m_jtag->ShiftDR(in, shortOut, 16, TapState::RUN_TEST_IDLE);
    EXPECT_EQ((Bytes{0x77, 0x04, 0xEE, 0xEE}), Bytes(shortOut, shortOut + 4));

    // Another instruction ends it.
    m_usb->Script(kReply, {0x01, 0x00});
    m_jtag->ShiftIR(8, 4, TapState::RUN_TEST_IDLE);
    m_usb->events.clear();
    const uint8_t clear[3] = {0x12, 0xAB, 0x01};
    m_jtag->ShiftDR(clear, out, 17, TapState::RUN_TEST_IDLE);
    EXPECT_EQ(0x7C, m_usb->Writes()[0].data[0]);
}

TEST_F(KorselJTAG, DataScanWithBitSixClearOnlySends)
{
    const uint8_t in[3] = {0x12, 0xAB, 0x01};
    uint8_t out[3] = {0xEE, 0xEE, 0xEE};
    m_jtag->ShiftDR(in, out, 17, TapState::RUN_TEST_IDLE);
    ASSERT_EQ(1u, m_usb->events.size());
    EXPECT_EQ((Bytes{0x7C, 0x12, 0xD5}), m_usb->events[0].data);
    EXPECT_EQ((Bytes{0xEE, 0xEE, 0xEE}), Bytes(out, out + 3));
}

TEST_F(KorselJTAG, DataScanWithBitSixSetRealignsTheReply)
{
    const uint8_t in[3] = {0x40, 0x00, 0x00};
    uint8_t out[4] = {0x40, 0x00, 0x00, 0xEE};
    m_usb->Script(kReply, {0x81});
    m_jtag->ShiftDR(in, out, 17, TapState::RUN_TEST_IDLE);
    ASSERT_EQ(2u, m_usb->events.size());
    EXPECT_EQ((Bytes{0x40, 0x02, 0x01, 0xEE}), Bytes(out, out + 4));

    // 9 bits go out as 25 and get 2 bytes back, but only the caller's 2
    // bytes are written.
    m_usb->events.clear();
    const uint8_t in9[2] = {0x41, 0x01};
    uint8_t out9[4] = {0x41, 0x00, 0xEE, 0xEE};
    m_usb->Script(kReply, {0xFF, 0xFF});
    m_jtag->ShiftDR(in9, out9, 9, TapState::RUN_TEST_IDLE);
    EXPECT_EQ((Bytes{0x5C, 0x41, 0x00, 0x00}), m_usb->events[0].data);
    EXPECT_EQ((Bytes{0x41, 0xFE, 0xEE, 0xEE}), Bytes(out9, out9 + 4));

    // Up to 8 bits the frame has no data bytes and nothing comes back.
    m_usb->events.clear();
    const uint8_t in8[1] = {0x40};
    uint8_t out8[2] = {0x40, 0xEE};
    m_jtag->ShiftDR(in8, out8, 8, TapState::RUN_TEST_IDLE);
    ASSERT_EQ(1u, m_usb->events.size());
    EXPECT_EQ(Call::Write, m_usb->events[0].call);
    EXPECT_EQ((Bytes{0x40, 0xEE}), Bytes(out8, out8 + 2));
}

TEST_F(KorselJTAG, DataScanLengthLimits)
{
    const uint8_t in[8] = {};
    uint8_t out[8] = {};
    for (int length : {-1, -100, 42, 1000}) {
        try {
            m_jtag->ShiftDR(in, out, length, TapState::RUN_TEST_IDLE);
            FAIL() << "length " << length << " accepted";
        } catch (const std::logic_error& e) {
            EXPECT_STREQ("Invalid bit length of register", e.what());
        }
    }
    m_jtag->ShiftDR(nullptr, nullptr, 0, TapState::RUN_TEST_IDLE);
    EXPECT_TRUE(m_usb->events.empty());
    m_jtag->ShiftDR(in, out, 41, TapState::RUN_TEST_IDLE);
    EXPECT_EQ(6u, m_usb->Writes()[0].data.size());
}

TEST_F(KorselJTAG, DataScanThatReadsAsTheLineFrameIsRefused)
{
    // 34 to 41 bits with first byte 0x4D make the six bytes of the line
    // frame; anything else is sent.
    const struct {
        int length;
        uint8_t first;
        bool refused;
    } cases[] = {{34, 0x4D, true}, {41, 0x4D, true}, {33, 0x4D, false}, {41, 0x4C, false}, {34, 0x0D, false}};
    for (const auto& c : cases) {
        m_usb->events.clear();
        const uint8_t in[6] = {c.first, 0x12, 0x34, 0x56, 0x78, 0x01};
        uint8_t out[6] = {};
        if (c.first & 0x40)
            m_usb->Script(kReply, Bytes(ezusb::DRReplySize(c.length), 0));
        if (!c.refused) {
            m_jtag->ShiftDR(in, out, c.length, TapState::RUN_TEST_IDLE);
            EXPECT_EQ(1u, m_usb->Writes().size()) << c.length;
            continue;
        }
        try {
            m_jtag->ShiftDR(in, out, c.length, TapState::RUN_TEST_IDLE);
            ADD_FAILURE() << c.length << " bits sent";
        } catch (const std::logic_error& e) {
            EXPECT_EQ("Data scan of " + std::to_string(c.length) +
                          " bits with first byte 0x4D cannot be sent: the adapter takes it for its line frame "
                          "(34 to 41 bits need a first byte other than 0x4D)",
                      e.what());
        }
        EXPECT_TRUE(m_usb->events.empty()) << c.length;
        m_usb->replies[kReply].clear();
    }
}

TEST_F(KorselJTAG, ReadOf400BytesIsOneTransferOfThreeBlocks)
{
    const Bytes memory = Counting(400, 1);
    m_usb->Script(kReply, Bytes(memory.begin(), memory.begin() + 160));
    m_usb->Script(kReply, Bytes(memory.begin() + 160, memory.begin() + 320));
    m_usb->Script(kReply, Bytes(memory.begin() + 320, memory.end()));
    Bytes buffer(400);
    m_jtag->ReadMemBlk(0x1000, buffer.data(), 400);
    EXPECT_EQ(memory, buffer);

    const auto writes = m_usb->Writes();
    ASSERT_EQ(1u, writes.size());
    Bytes expected;
    for (uint32_t start : {0x1000u, 0x10A0u, 0x1140u}) {
        const size_t words = start == 0x1140u ? 20 : 40;
        const Bytes address = {0x4E, 0x0B, static_cast<uint8_t>(start), static_cast<uint8_t>(start >> 8), 0, 0};
        expected.insert(expected.end(), address.begin(), address.end());
        const Bytes middle = Repeat({0x4E, 0x4C, 0, 0, 0, 0}, words - 1);
        expected.insert(expected.end(), middle.begin(), middle.end());
        const Bytes last = {0x4F, 0x4C, 0, 0, 0, 0};
        expected.insert(expected.end(), last.begin(), last.end());
    }
    EXPECT_EQ(103u * 6, writes[0].data.size());
    EXPECT_EQ(expected, writes[0].data);
    const auto reads = m_usb->Reads();
    ASSERT_EQ(3u, reads.size());
    for (const auto& read : reads)
        EXPECT_EQ(400u, read.size);
    EXPECT_NE(std::string::npos, m_context.LogText().find("ReadMemBlk(0x00001000,400)\n"));
}

TEST_F(KorselJTAG, ReadsStayInsideTheReceiveAreaAndSplitTransfers)
{
    // 400 words: 9 blocks in the first transfer, 1 in the second. The first
    // transfer's 9 reads may ask for 1440 bytes each but never overrun 4096.
    m_usb->Script(kReply, Counting(1440));
    for (int i = 0; i < 8; ++i)
        m_usb->Script(kReply, {});
    m_usb->Script(kReply, Counting(160));
    Bytes buffer(1600);
    m_jtag->ReadMemBlk(0, buffer.data(), 1600);
    const auto writes = m_usb->Writes();
    ASSERT_EQ(2u, writes.size());
    EXPECT_EQ(9u * 41 * 6, writes[0].data.size());
    EXPECT_EQ((Bytes{0x4E, 0x0B, 0xA0, 0x05, 0, 0}), Bytes(writes[1].data.begin(), writes[1].data.begin() + 6));
    const auto reads = m_usb->Reads();
    ASSERT_EQ(10u, reads.size());
    EXPECT_EQ(1440u, reads[0].size);
    for (size_t i = 1; i < 9; ++i)
        EXPECT_EQ(1440u, reads[i].size) << i;  // nothing more arrived, so the room stays
    EXPECT_EQ(160u, reads[9].size);
    EXPECT_EQ(Counting(1440), Bytes(buffer.begin(), buffer.begin() + 1440));
    EXPECT_EQ(Counting(160), Bytes(buffer.begin() + 1440, buffer.end()));
}

TEST_F(KorselJTAG, ShortReadsNeverWalkPastTheArea)
{
    // Replies that fill the area: later reads ask only for what is left.
    for (int i = 0; i < 9; ++i)
        m_usb->Script(kReply, Bytes(1440, 0x11));
    Bytes buffer(1440);
    m_jtag->ReadMemBlk(0, buffer.data(), 1440);
    // Once the area is full the remaining reads ask for nothing and are not
    // made; what the device sent beyond the transfer is drained.
    const auto reads = m_usb->Reads();
    ASSERT_EQ(3u + 7, reads.size());
    EXPECT_EQ(1440u, reads[1].size);
    EXPECT_EQ(4096u - 2880u, reads[2].size);
    EXPECT_TRUE(m_usb->replies[kReply].empty());
    EXPECT_EQ(Bytes(1440, 0x11), buffer);
}

TEST_F(KorselJTAG, ReadRetriesAnEmptyTransferThenFails)
{
    Bytes buffer(12);
    try {
        m_jtag->ReadMemBlk(0x1000, buffer.data(), 12);
        FAIL() << "a silent device gave a result";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("USB JTAG adapter returned no data for the read at 0x00001000", e.what());
    }
    const auto writes = m_usb->Writes();
    ASSERT_EQ(3u, writes.size());
    EXPECT_EQ(writes[0].data, writes[2].data);
}

TEST_F(KorselJTAG, PartialReplyContinuesAfterTheWordsReceived)
{
    // 3 words asked, 2 and a half arrive; the next transfer asks for the third.
    m_usb->Script(kReply, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    m_usb->Script(kReply, {}); // the drain after the short reply
    m_usb->Script(kReply, {}); // retry counts restart per transfer: one empty reply
    m_usb->Script(kReply, {21, 22, 23, 24});
    Bytes buffer(12, 0xEE);
    m_jtag->ReadMemBlk(0x2000, buffer.data(), 12);
    EXPECT_EQ((Bytes{1, 2, 3, 4, 5, 6, 7, 8, 21, 22, 23, 24}), buffer);
    const auto writes = m_usb->Writes();
    ASSERT_EQ(3u, writes.size());
    EXPECT_EQ((Bytes{0x4E, 0x0B, 0x08, 0x20, 0, 0, 0x4F, 0x4C, 0, 0, 0, 0}), writes[1].data);
}

TEST_F(KorselJTAG, WriteSendsBlocksWithoutReading)
{
    const Bytes data = Counting(12, 1);
    m_jtag->WriteMemBlk(0x2000, data.data(), 12);
    ASSERT_EQ(1u, m_usb->events.size());
    EXPECT_EQ((Bytes{0x4D, 0x0B, 0x00, 0x20, 0, 0, 0x4D, 0x0C, 1, 2, 3, 4, 0x4D, 0x0C, 5, 6, 7, 8,
                     0x4F, 0x0C, 9, 10, 11, 12}),
              m_usb->events[0].data);
    EXPECT_NE(std::string::npos, m_context.LogText().find("WriteMemBlk(0x00002000,12)\n"));

    // 800 bytes: 200 words, 5 blocks, one bulk write.
    m_usb->events.clear();
    const Bytes big = Counting(800);
    m_jtag->WriteMemBlk(0, big.data(), 800);
    ASSERT_EQ(1u, m_usb->events.size());
    EXPECT_EQ((200u + 5) * 6, m_usb->events[0].data.size());
}

// CMD_JTAG_FREQUENCY sets the clock the firmware has nearest (the control
// byte, at once), clamped and logged as the configured one is; an adapter
// reset and the next session start at the configured clock again. CMD_RUN_TEST, which the
// firmware has no command for, waits the time of its clocks, at the clock
// asked for when that is slower than the one used, and stops when its client
// has gone.
TEST_F(KorselJTAG, FrequencySetsTheClockAndRunTestWaitsItsClocks)
{
    using namespace std::chrono;
    const struct {
        unsigned hertz;
        uint8_t code;
        const char* log;
        unsigned clocks;  // 100 ms worth at the slower of asked and used
    } cases[] = {
        {1000000, 1, "EZ-USB0: JTAG clock of 1000000 Hz asked, 12000000 Hz used\n", 100000},
        {30000000, 2, "EZ-USB0: JTAG clock of 30000000 Hz asked, 24000000 Hz used\n", 2400000},
        {48000000, 3, "EZ-USB0: JTAG clock of 48000000 Hz asked, 48000000 Hz used\n", 4800000},
    };
    for (const auto& c : cases) {
        m_jtag->SetFrequency(c.hertz);
        ASSERT_EQ(1u, m_usb->events.size()) << c.hertz;
        EXPECT_EQ(kControl, m_usb->events[0].address);
        EXPECT_EQ((Bytes{c.code}), m_usb->events[0].data);
        EXPECT_NE(std::string::npos, m_context.LogText().find(c.log)) << m_context.LogText();
        const auto start = steady_clock::now();
        m_jtag->RunTest(c.clocks);
        EXPECT_GE(steady_clock::now() - start, milliseconds(100)) << c.hertz;
        EXPECT_EQ(1u, m_usb->events.size());
        m_usb->events.clear();
    }
    // Over ten seconds of clocks, stopped when nobody waits.
    std::atomic<bool> wanted{true};
    m_jtag->SetStillWanted([&] { return wanted.load(); });
    std::thread leave([&] {
        std::this_thread::sleep_for(milliseconds(200));
        wanted = false;
    });
    EXPECT_THROW(
        try { m_jtag->RunTest(600000000); } catch (const std::runtime_error& e) {
            EXPECT_STREQ("RunTest stopped: its client has gone", e.what());
            throw;
        },
        std::runtime_error);
    leave.join();
    m_jtag->SetStillWanted(nullptr);
    // An adapter reset, and the next session, start at the configured clock.
    m_usb->events.clear();
    m_jtag->ResetAdapter();
    ASSERT_FALSE(m_usb->events.empty());
    EXPECT_EQ((Bytes{1}), m_usb->events[0].data);
    m_jtag->SetFrequency(48000000);
    m_jtag->Close();
    m_usb->events.clear();
    m_jtag->Open();
    ASSERT_EQ(2u, m_usb->events.size());
    EXPECT_EQ((Bytes{1}), m_usb->events[1].data);
}

TEST_F(KorselJTAG, LargeWriteStopsWhenItsClientHasGone)
{
    const Bytes block(4u << 20);
    m_jtag->SetStillWanted([] { return false; });
    try {
        m_jtag->WriteMemBlk(0, block.data(), static_cast<unsigned>(block.size()));
        FAIL() << "a write nobody waits for ran to its end";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("WriteMemBlk stopped: its client has gone", e.what());
    }
    EXPECT_EQ(ezusb::CKorselUsbJTAG::kTransfersPerCheck, m_usb->Writes().size());
}

TEST_F(KorselJTAG, ResetAdapterWritesControlBytes)
{
    m_jtag->ResetAdapter();
    ASSERT_EQ(3u, m_usb->events.size());
    for (const auto& event : m_usb->events) {
        EXPECT_EQ(kControl, event.address);
        EXPECT_EQ(2, event.kind);
    }
    EXPECT_EQ((Bytes{1}), m_usb->events[0].data);
    EXPECT_EQ((Bytes{4}), m_usb->events[1].data);
    EXPECT_EQ((Bytes{5}), m_usb->events[2].data);
    EXPECT_NE(std::string::npos,
              m_context.LogText().find("ResetAdapter(1)\nADAPTER_ACTIVE_RESET\nADAPTER_DEACTIVE_RESET\n"));
}

}  // namespace
