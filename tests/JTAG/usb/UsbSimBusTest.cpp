// The USB scan and the maker's adapter over the simulated bus: this program
// is linked against kestrad-simusb in place of libusb-0.1, so the devices
// come from KESTRAD_SIM_USB and unplugging from KESTRAD_SIM_USB_CTL.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "JTAG/Sources.h"
#include "JTAG/backends/ezusb/Adapter.h"
#include "JTAG/backends/jlink/Probe.h"
#include "JTAG/usb/BusScan.h"
#include "JTAG/usb/UsbInterface.h"
#include "config/Description.h"
#include "tests/support/TestContext.h"

namespace {

class UsbSimBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kestrad-usbsim-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        m_dir = pattern;
        m_ctl = m_dir + "/unplugged";
        setenv("KESTRAD_SIM_USB_CTL", m_ctl.c_str(), 1);
    }

    void TearDown() override
    {
        m_adapters.clear();
        unsetenv("KESTRAD_SIM_USB");
        unsetenv("KESTRAD_SIM_USB_CTL");
        unlink(m_ctl.c_str());
        unlink((m_dir + "/kestrad.xml").c_str());
        rmdir(m_dir.c_str());
    }

    void Devices(const char* list) { setenv("KESTRAD_SIM_USB", list, 1); }

    void Unplug(const std::string& lines) { std::ofstream(m_ctl) << lines; }

    void LoadConfig(const std::string& usbEntries)
    {
        const std::string path = m_dir + "/kestrad.xml";
        std::ofstream(path) << "<?xml version=\"1.0\"?>\n<jtag_options version=\"10\">\n"
                            << usbEntries << "</jtag_options>\n";
        m_context.Description().LoadFromXML(path);
    }

    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto& adapter : m_adapters)
            names.push_back(adapter->GetName());
        return names;
    }

    ezusb::CKorselUsbJTAG& Korsel(size_t i) { return dynamic_cast<ezusb::CKorselUsbJTAG&>(*m_adapters.at(i)); }

    CTestContext m_context;
    std::string m_dir;
    std::string m_ctl;
    std::vector<std::shared_ptr<CJTAG>> m_adapters;
};

TEST_F(UsbSimBus, DevicesAreNamedPerDescriptionInBusOrder)
{
    Devices("ezusb,serial=K1;ezusb,serial=K2");
    usb::AddAdapters(UsbKinds(), m_adapters, m_context);
    ASSERT_EQ((std::vector<std::string>{"EZ-USB0", "EZ-USB1"}), Names());
    EXPECT_EQ("K1", Korsel(0).GetSerialNumberString());
    EXPECT_EQ("K2", Korsel(1).GetSerialNumberString());
    EXPECT_EQ("0x3700", Korsel(0).GetVersionString());
    EXPECT_FALSE(Korsel(0).IsOpened());

    // A device a session holds is not probed again (the holder keeps the
    // session's object); the others keep their names.
    AdapterContext context = m_context.Context();
    context.inUse = [](const std::string& name) { return name == "EZ-USB0"; };
    m_adapters.clear();
    usb::AddAdapters(UsbKinds(), m_adapters, context);
    ASSERT_EQ((std::vector<std::string>{"EZ-USB1"}), Names());
    EXPECT_EQ("K2", Korsel(0).GetSerialNumberString());
}

TEST_F(UsbSimBus, DevicesThatCannotBeCreatedAreSkippedAndLogged)
{
    // The device with a J-Link's ids does not answer the J-Link's version
    // command and is skipped; the other two are taken by both entries of
    // their ids, each under its own names (the second entry's clock is one
    // the adapter cannot run at: clamped, and said).
    Devices("ezusb,serial=A;ezusb,vid=0x1366,pid=0x0101;ezusb,serial=B");
    LoadConfig("<usb name=\"JLINK\" idvendor=\"0x1366\" idproduct=\"0x0101\" frequency=\"12MHZ\"/>\n"
               "<usb name=\"GOOD\" idvendor=\"0x0547\" idproduct=\"0x1002\" frequency=\"24MHZ\"/>\n"
               "<usb name=\"SLOW\" idvendor=\"0x0547\" idproduct=\"0x1002\" frequency=\"1000KHZ\"/>\n");
    m_context.ClearLog();
    usb::AddAdapters(UsbKinds(), m_adapters, m_context);
    EXPECT_EQ((std::vector<std::string>{"GOOD0", "GOOD1", "SLOW0", "SLOW1"}), Names());
    EXPECT_EQ("B", Korsel(1).GetSerialNumberString());
    const std::string log = m_context.LogText();
    EXPECT_NE(std::string::npos, log.find("SLOW1: JTAG clock of 1000000 Hz asked, 12000000 Hz used\n")) << log;
    EXPECT_NE(std::string::npos, log.find("Exception in CUsbJTAG::AddAdapters: J-Link JLINK0: reading a reply of 2 "
                                          "bytes failed after 0 bytes: "))
        << log;
}

TEST_F(UsbSimBus, DevicesItCannotServeAreNamedWithTheReasonWithoutVerbose)
{
    m_context.Options()[OPTION_VERBOSE].value = false;
    const std::string ezUsb = "name=\"EZ\" idvendor=\"0x0547\" idproduct=\"0x1002\"";
    const std::string jlink = "name=\"J\" idvendor=\"0x1366\" idproduct=\"0x0101\"";
    // Each case: the configuration entry, the devices, the frequency of the
    // entry, whether another user holds the first device; the adapters
    // listed and the whole log.
    const struct {
        const std::string& entry;
        const char* devices;
        const char* frequency;
        bool busy;
        std::vector<std::string> names;
        std::string log;
    } cases[] = {
        {ezUsb, "ezusb,serial=A", "1000KHZ", false, {"EZ0"}, "EZ0: JTAG clock of 1000000 Hz asked, 12000000 Hz used\n"},
        {ezUsb, "ezusb,serial=A,ver=0x3500", "12MHZ", false, {"EZ0"},
         "EZ0: firmware version 0x3500 is not supported (0x3600 or later is); listed all the same\n"},
        {ezUsb, "ezusb,serial=A;ezusb,serial=B", "12MHZ", true, {"EZ0", "EZ1"},
         "EZ0: could not be probed: usb_claim_interface failed: Device or resource busy (-16); listed with "
         "its firmware version unknown\n"},
        {ezUsb, "jlink,vid=0x0547,pid=0x1002", "12MHZ", false, {"EZ0"},
         "EZ0: could not be probed: error getting USB JTAG adapter version; listed with its firmware "
         "version unknown\n"},
        {jlink, "ezusb,vid=0x1366,pid=0x0101", "12MHZ", false, {},
         "J0: skipped: J-Link J0: reading a reply of 2 bytes failed after 0 bytes: usb_bulk_read on endpoint "
         "0x86 timed out after 1000 ms\n"},
    };
    for (const auto& c : cases) {
        Devices(c.devices);
        LoadConfig("<usb " + c.entry + " frequency=\"" + c.frequency + "\"/>\n");
        usb_find_busses();
        usb_find_devices();
        usb_dev_handle* other = nullptr;
        if (c.busy) {
            other = usb_open(usb_get_busses()->devices);
            ASSERT_NE(nullptr, other);
            ASSERT_EQ(0, usb_claim_interface(other, 0));
        }
        m_context.ClearLog();
        m_adapters.clear();
        usb::AddAdapters(UsbKinds(), m_adapters, m_context);
        if (other) {
            usb_release_interface(other, 0);
            usb_close(other);
        }
        EXPECT_EQ(c.names, Names()) << c.devices;
        EXPECT_EQ(c.log, m_context.LogText()) << c.devices;
    }
}

TEST_F(UsbSimBus, NoDescriptionsExamineNoDevice)
{
    Devices("ezusb,serial=A");
    LoadConfig("");
    usb::AddAdapters(UsbKinds(), m_adapters, m_context);
    EXPECT_TRUE(m_adapters.empty());
}

TEST_F(UsbSimBus, ScansAndMemoryReachTheTarget)
{
    Devices("ezusb,serial=E1");
    usb::AddAdapters(UsbKinds(), m_adapters, m_context);
    ASSERT_EQ(1u, m_adapters.size());
    ezusb::CKorselUsbJTAG& jtag = Korsel(0);
    jtag.Open();
    ASSERT_TRUE(jtag.IsOpened());

    jtag.SetTRST(false);
    jtag.SetTRST(true);
    uint8_t in[4] = {0, 0, 0, 0};
    uint8_t idcode[4] = {};
    jtag.ShiftDR(in, idcode, 32, TapState::RUN_TEST_IDLE);
    EXPECT_EQ(0x4BA00477u, uint32_t(idcode[0]) | uint32_t(idcode[1]) << 8 | uint32_t(idcode[2]) << 16 |
                               uint32_t(idcode[3]) << 24);

    std::vector<uint8_t> data(1604);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7 + 3);
    jtag.WriteMemBlk(0x20000000, data.data(), static_cast<unsigned>(data.size()));
    std::vector<uint8_t> back(data.size());
    jtag.ReadMemBlk(0x20000000, back.data(), static_cast<unsigned>(back.size()));
    EXPECT_EQ(data, back);
    jtag.Close();
}

TEST_F(UsbSimBus, UnpluggedDeviceFailsTheCommandWithTheLibraryText)
{
    Devices("ezusb,serial=U1");
    usb::AddAdapters(UsbKinds(), m_adapters, m_context);
    ASSERT_EQ(1u, m_adapters.size());
    CJTAG& jtag = *m_adapters[0];
    jtag.Open();
    Unplug("U1\n");
    try {
        jtag.ShiftIR(1, 4, TapState::RUN_TEST_IDLE);
        FAIL() << "a scan on an unplugged device succeeded";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("No such device")) << e.what();
    }
    // Closing fails with the same cause but leaves the adapter closed; the
    // destructor that follows must not throw.
    EXPECT_THROW(jtag.Close(), std::runtime_error);
    EXPECT_FALSE(jtag.IsOpened());
    m_adapters.clear();

    // Plugged in again, the device is found afresh under the same name.
    Unplug("");
    usb::AddAdapters(UsbKinds(), m_adapters, m_context);
    ASSERT_EQ((std::vector<std::string>{"EZ-USB0"}), Names());
    m_adapters[0]->Open();
    m_adapters[0]->Close();
}

// The J-Link back-end against the simulated probe, with both endings of a
// reply whose length is a multiple of 64 (the configuration, and a scan of
// 64 TDO bytes): the exchange stays in step either way.
TEST_F(UsbSimBus, JlinkScansThroughEitherReplyEnding)
{
    Devices("jlink,serial=JZ,term=zlp,chain=0x06413041:5;jlink,serial=JB,term=byte,chain=0x06413041:5");
    LoadConfig("<usb name=\"JLINK\" idvendor=\"0x1366\" idproduct=\"0x0101\" frequency=\"700KHZ\"/>\n");
    usb::AddAdapters(UsbKinds(), m_adapters, m_context);
    ASSERT_EQ((std::vector<std::string>{"JLINK0", "JLINK1"}), Names()) << m_context.LogText();
    for (const auto& adapter : m_adapters) {
        jlink::CJlinkJTAG& jtag = dynamic_cast<jlink::CJlinkJTAG&>(*adapter);
        EXPECT_FALSE(jtag.IsOpened());
        jtag.Open();
        jtag.SetTRST(false);
        jtag.SetTRST(true);
        // 3 + 507 + 2 clocks: 64 TDO bytes. After TRST the data register is
        // the IDCODE; the bits shifted in come out 32 clocks later.
        std::vector<uint8_t> in(64, 0), out(64, 0);
        in[0] = 0x5A;
        jtag.ShiftDR(in.data(), out.data(), 507, TapState::RUN_TEST_IDLE);
        EXPECT_EQ((std::vector<uint8_t>{0x41, 0x30, 0x41, 0x06, 0x5A}), std::vector<uint8_t>(out.begin(), out.begin() + 5))
            << jtag.GetName();
        EXPECT_EQ(0x1u, jtag.ShiftIR(0x1F, 5, TapState::RUN_TEST_IDLE));
        jtag.Close();
    }
}

TEST_F(UsbSimBus, TimeOutSaysSoAndNotAnOlderError)
{
    Devices("ezusb,serial=T1");
    usb_find_busses();
    usb_find_devices();
    struct usb_device* device = usb_get_busses()->devices;
    ASSERT_NE(nullptr, device);
    usb::CUsbInterface usb(device, m_context.Logger());
    usb.Open();
    // A failure first, so that the library holds a text of its own.
    const usb::CEndPoint missing{usb::ENDPOINT_BULK_OUT, 0x03};
    const char byte = 0;
    EXPECT_THROW(usb.Write(missing, &byte, 1), std::runtime_error);

    // Nothing was asked of the device: the read has nothing to wait for.
    const usb::CEndPoint reply{usb::ENDPOINT_BULK_IN, 0x86};
    char buffer[32];
    try {
        usb.Read(reply, buffer, sizeof buffer);
        FAIL() << "a read without a reply succeeded";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("usb_bulk_read on endpoint 0x86 timed out after 1000 ms", e.what());
    }
    usb.Close();
}

TEST_F(UsbSimBus, MemoryOfAnyLengthAtAnyAddress)
{
    Devices("ezusb,serial=M1");
    usb::AddAdapters(UsbKinds(), m_adapters, m_context);
    ASSERT_EQ(1u, m_adapters.size());
    CJTAG& jtag = *m_adapters[0];
    jtag.Open();
    // A 32-byte window of known bytes; each case writes inside it and must
    // leave every byte around what it wrote alone.
    const uint32_t base = 0x1000;
    std::vector<uint8_t> model(32);
    for (size_t i = 0; i < model.size(); ++i)
        model[i] = static_cast<uint8_t>(0xA0 + i);
    jtag.WriteMemBlk(base, model.data(), 32);

    const struct {
        uint32_t offset;
        unsigned size;
    } cases[] = {{0, 7}, {1, 1}, {3, 2}, {2, 4}, {5, 3}, {1, 14}, {6, 0}, {8, 4}, {3, 9}};
    uint8_t value = 1;
    for (const auto& c : cases) {
        std::vector<uint8_t> data(c.size);
        for (uint8_t& byte : data)
            byte = value++;
        jtag.WriteMemBlk(base + c.offset, data.data(), c.size);
        std::copy(data.begin(), data.end(), model.begin() + c.offset);

        std::vector<uint8_t> window(32);
        jtag.ReadMemBlk(base, window.data(), 32);
        EXPECT_EQ(model, window) << "write of " << c.size << " at +" << c.offset;
        std::vector<uint8_t> part(c.size + 1, 0xEE);
        jtag.ReadMemBlk(base + c.offset, part.data(), c.size);
        EXPECT_EQ(std::vector<uint8_t>(model.begin() + c.offset, model.begin() + c.offset + c.size),
                  std::vector<uint8_t>(part.begin(), part.end() - 1))
            << "read of " << c.size << " at +" << c.offset;
        EXPECT_EQ(0xEE, part.back()) << "read of " << c.size << " wrote past its end";
    }
    jtag.Close();
}

TEST_F(UsbSimBus, ReplyOfUnexpectedSizeIsDrained)
{
    Devices("ezusb,serial=D1");
    usb::AddAdapters(UsbKinds(), m_adapters, m_context);
    ASSERT_EQ(1u, m_adapters.size());
    CJTAG& jtag = *m_adapters[0];
    jtag.Open();
    // Another frame's 32-byte answer is waiting when the scan reads its own
    // (the line frame, sent here by a second handle on the device).
    usb_dev_handle* other = usb_open(usb_get_busses()->devices);
    ASSERT_NE(nullptr, other);
    char line[6] = {0x4C, 0x4D, 0, 0, 0, 0};
    ASSERT_EQ(6, usb_bulk_write(other, 0x02, line, 6, 1000));
    usb_close(other);

    try {
        jtag.ShiftIR(3, 4, TapState::RUN_TEST_IDLE);
        FAIL() << "the scan took the other frame's answer";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Usb ShiftIR failed, res = 8", e.what());
    }
    // Nothing of it is left for the commands that follow.
    EXPECT_EQ(1u, jtag.ShiftIR(3, 4, TapState::RUN_TEST_IDLE));
    uint8_t in[4] = {0, 0, 0, 0}, out[4] = {};
    jtag.ShiftDR(in, out, 32, TapState::RUN_TEST_IDLE);  // IDCODE, after instruction 3
    EXPECT_EQ((std::vector<uint8_t>{0x77, 0x04, 0xA0, 0x4B}), std::vector<uint8_t>(out, out + 4));
    jtag.Close();
}

}  // namespace
