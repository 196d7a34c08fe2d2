// CFtdiJTAG under the real libftdi, over the simulated FT2232H boards: this
// program is linked against kestrad-simusb in place of libusb-0.1, so
// libftdi's USB calls reach the board models of KESTRAD_SIM_USB.
// The model's header first: usb.h declares a function named usb_device,
// which hides the struct name the header's declarations use.
#include "sim/usb/FtdiModel.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "JTAG/Sources.h"
#include "JTAG/backends/ftdi/Board.h"
#include "JTAG/backends/ftdi/Boards.h"
#include "JTAG/usb/BusScan.h"
#include "JTAG/usb/UsbInterface.h"
#include "config/Description.h"
#include "tests/support/TestContext.h"

namespace {

using Bytes = std::vector<unsigned char>;

class FtdiSimBus : public ::testing::Test {
protected:
    void TearDown() override
    {
        m_adapters.clear();
        unsetenv("KESTRAD_SIM_USB");
        if (!m_config.empty())
            unlink(m_config.c_str());
    }

    // Scans a bus holding `devices`, against the built-in configuration
    // (FLYSWATTER2 and ARM-USB-TINY-H at 1000KHZ) or the given entries.
    void Scan(const std::string& devices, const std::string& usbEntries = "")
    {
        setenv("KESTRAD_SIM_USB", devices.c_str(), 1);
        if (!usbEntries.empty()) {
            m_config = "/tmp/kestrad-ftdi-" + std::to_string(getpid()) + ".xml";
            std::ofstream(m_config) << "<?xml version=\"1.0\"?>\n<jtag_options version=\"10\">\n" << usbEntries
                                    << "</jtag_options>\n";
            m_context.Description().LoadFromXML(m_config);
        }
        m_context.ClearLog();
        m_adapters.clear();
        usb::AddAdapters(UsbKinds(), m_adapters, m_context);
    }

    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto& adapter : m_adapters)
            names.push_back(adapter->GetName());
        return names;
    }

    ftdi::CFtdiJTAG& Ftdi(size_t i) { return dynamic_cast<ftdi::CFtdiJTAG&>(*m_adapters.at(i)); }

    static simusb::CFtdiModel& Model(size_t i)
    {
        size_t n = 0;
        for (usb_bus* bus = usb_get_busses(); bus; bus = bus->next)
            for (struct usb_device* dev = bus->devices; dev; dev = dev->next)
                if (n++ == i)
                    return *static_cast<simusb::CFtdiModel*>(simusb::ModelOf(dev));
        throw std::out_of_range("no device " + std::to_string(i));
    }

    CTestContext m_context;
    std::string m_config;
    std::vector<std::shared_ptr<CJTAG>> m_adapters;
};

uint32_t Le32(const unsigned char* b) { return b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24; }

TEST_F(FtdiSimBus, BothBoardsReadTheChipsIdcodeAndDriveTheResetLines)
{
    Scan("flyswatter2,chain=0x06413041:5;tiny-h");
    ASSERT_EQ((std::vector<std::string>{"FLYSWATTER20", "ARM-USB-TINY-H0"}), Names());
    const uint32_t idcodes[] = {0x06413041, 0x4BA00477};
    for (size_t i = 0; i < 2; ++i) {
        ftdi::CFtdiJTAG& jtag = Ftdi(i);
        simusb::CFtdiModel& model = Model(i);
        EXPECT_EQ("TYPE_2232H", jtag.GetVersionString());
        jtag.Open();
        EXPECT_EQ(0x1D, model.Engine().Divisor());  // 1000KHZ on a 30 MHz base
        EXPECT_EQ(2u, model.Latency());
        EXPECT_FALSE(model.SystemResetAsserted());  // released by the TRST pulse of Open

        // The instruction register is not read back: each scan returns the
        // instruction shifted before it, 1 after Open.
        EXPECT_EQ(1u, jtag.ShiftIR(0x0A, 4, TapState::RUN_TEST_IDLE));
        EXPECT_EQ(0x0Au, jtag.ShiftIR(0x1F, 5, TapState::RUN_TEST_IDLE));

        // TRST asserted holds the chain in reset; released, the TAP is
        // clocked into Run-Test/Idle and 100 more clocks, with IDCODE selected.
        jtag.SetTRST(false);
        EXPECT_TRUE(model.TrstAsserted());
        EXPECT_FALSE(model.Chain().Trst());
        const uint64_t clocks = model.Chain().ClockCount();
        jtag.SetTRST(true);
        EXPECT_EQ(clocks + 107, model.Chain().ClockCount());
        EXPECT_EQ(simtap::TapState::RunTestIdle, model.Chain().State());

        const Bytes zeros(4, 0);
        Bytes idcode(4);
        jtag.ShiftDR(zeros.data(), idcode.data(), 32, TapState::RUN_TEST_IDLE);
        EXPECT_EQ(idcodes[i], Le32(idcode.data()));

        jtag.SetSYS_RST(false);
        EXPECT_TRUE(model.SystemResetAsserted());
        EXPECT_FALSE(model.TrstAsserted());
        jtag.SetSYS_RST(true);
        EXPECT_FALSE(model.SystemResetAsserted());
        jtag.Close();
    }
}

TEST_F(FtdiSimBus, BatchIsDeferredToOneReadAndRefusalsSendNothing)
{
    Scan("tiny-h,chain=0x4BA00477:5");
    ASSERT_EQ(1u, m_adapters.size());
    ftdi::CFtdiJTAG& jtag = Ftdi(0);
    simusb::CFtdiModel& model = Model(0);
    jtag.Open();
    const size_t writes = model.OutTransfers();
    const size_t reads = model.DataReads();

    const Bytes in = {0xFF, 0x0F, 0, 0};
    jtag.AsyncShiftIR(0x03, 5, TapState::PAUSE_IR);
    jtag.AsyncShiftDR(in.data(), 12, TapState::PAUSE_DR);
    jtag.AsyncWriteDR(in.data(), 32, TapState::RUN_TEST_IDLE);
    EXPECT_EQ(writes, model.OutTransfers());  // nothing reaches the chip before Wait
    Bytes out = {0xEE};
    jtag.Wait(out);
    // The IR result is the previous instruction (1); the DR scan captures
    // the IDCODE's low 12 bits.
    EXPECT_EQ((Bytes{0x01, 0x77, 0x04}), out);
    EXPECT_EQ(reads + 1, model.DataReads());
    const size_t afterWait = model.OutTransfers();
    jtag.Wait(out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(afterWait, model.OutTransfers());

    try {
        jtag.ShiftDR(in.data(), out.data(), 8, TapState::EXIT1_DR);
        FAIL() << "EXIT1_DR accepted";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ("TapState conversion error!", e.what());
    }
    EXPECT_THROW(jtag.ShiftIR(0, 33, TapState::RUN_TEST_IDLE), std::logic_error);
    EXPECT_THROW(jtag.SetFrequency(0), std::logic_error);
    EXPECT_EQ(afterWait, model.OutTransfers());

    // A chip that answers nothing fails the read; it does not hang.
    model.DropReplies(true);
    try {
        jtag.ShiftDR(in.data(), out.data(), 8, TapState::RUN_TEST_IDLE);
        FAIL() << "a scan without read-back succeeded";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(0u, std::string(e.what()).find("ftdi read error ")) << e.what();
    }
    jtag.Close();
    // Closed, every operation names the adapter instead of failing blindly.
    try {
        jtag.RunTest(1);
        FAIL() << "RunTest on a closed adapter";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("ARM-USB-TINY-H0")) << e.what();
    }
    EXPECT_THROW(jtag.Wait(out), std::runtime_error);
    EXPECT_THROW(jtag.SetTRST(false), std::runtime_error);
    try {
        jtag.ReadMemBlk(0, out.data(), 1);
        FAIL() << "ReadMemBlk on an FTDI adapter";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Bulk io operations aren't supported for ftdi adapters.", e.what());
    }
}

TEST_F(FtdiSimBus, LongScanGoesOutInPartsTheChipCanHold)
{
    // 600001 bits: more than one byte command carries, and far more TDO
    // than the chip's 4 KiB buffer holds for the host.
    Scan("flyswatter2");
    ASSERT_EQ(1u, m_adapters.size());
    ftdi::CFtdiJTAG& jtag = Ftdi(0);
    jtag.Open();
    const int bits = 600001;
    Bytes in((bits + 7) / 8), out(in.size());
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = static_cast<unsigned char>(i * 37 + 11);
    jtag.ShiftDR(in.data(), out.data(), bits, TapState::RUN_TEST_IDLE);
    // The IDCODE register (selected after Open) comes out first, then the
    // bits shifted in, 32 clocks later.
    EXPECT_EQ(0x4BA00477u, Le32(out.data()));
    for (int k = 32; k < bits; ++k)
        ASSERT_EQ((in[(k - 32) / 8] >> ((k - 32) % 8)) & 1, (out[k / 8] >> (k % 8)) & 1) << "bit " << k;
    EXPECT_EQ(simtap::TapState::RunTestIdle, Model(0).Chain().State());
}

TEST_F(FtdiSimBus, FrequencyFallbackIsLogged)
{
    // The second board's chip is an FT2232C (6 MHz base): 10 MHz has no divisor there.
    Scan("flyswatter2;tiny-h,bcd=0x0500;tiny-h",
         "<usb name=\"FLY\" idvendor=\"0x0403\" idproduct=\"0x6010\" frequency=\"fast\"/>\n"
         "<usb name=\"TINY\" idvendor=\"0x15BA\" idproduct=\"0x002A\" frequency=\"10MHz\"/>\n");
    ASSERT_EQ(3u, m_adapters.size());
    EXPECT_EQ(6000000u, Ftdi(0).Frequency());
    EXPECT_EQ("TYPE_2232C", Ftdi(1).GetVersionString());
    EXPECT_EQ(6000000u, Ftdi(1).Frequency());
    EXPECT_EQ(10000000u, Ftdi(2).Frequency());
    const std::string log = m_context.LogText();
    EXPECT_NE(std::string::npos,
              log.find("Error: invalid frequency string: fast.\nSetting 5b8d80 hz as adapter frequency\n"))
        << log;
    EXPECT_NE(std::string::npos, log.find("Error: frequency 10000000 hz is above the 6000000 hz of TYPE_2232C.\n"
                                          "Setting 5b8d80 hz as adapter frequency\n"))
        << log;
    Ftdi(0).Open();
    EXPECT_EQ(4, Model(0).Engine().Divisor());  // 30 MHz / 5
}

TEST_F(FtdiSimBus, BoardsThatCannotBeSetUpAreSkippedOthersListed)
{
    // A busy board, a board whose chip has no MPSSE (an FT232R's bcdDevice),
    // a working one, and an FT232R at its own ids, which is no JTAG board.
    setenv("KESTRAD_SIM_USB", "flyswatter2;flyswatter2,bcd=0x0600;tiny-h;ezusb,vid=0x0403,pid=0x6001", 1);
    usb_find_busses();
    usb_find_devices();
    usb_dev_handle* busy = usb_open(usb_get_busses()->devices);
    ASSERT_NE(nullptr, busy);
    ASSERT_EQ(0, usb_claim_interface(busy, 0));
    struct usb_device* ft232r = usb_get_busses()->devices->next->next->next;
    EXPECT_FALSE(ftdi::IsBoard(ft232r));

    Scan(getenv("KESTRAD_SIM_USB"));
    usb_release_interface(busy, 0);
    usb_close(busy);
    EXPECT_EQ((std::vector<std::string>{"ARM-USB-TINY-H0"}), Names());
    const std::string log = m_context.LogText();
    EXPECT_NE(std::string::npos, log.find("FLYSWATTER20: skipped: ftdi_usb_open_dev failed: unable to claim usb device"))
        << log;
    EXPECT_NE(std::string::npos,
              log.find("FLYSWATTER21: skipped: chip type probe found TYPE_R, which has no MPSSE engine\n"))
        << log;
}

}  // namespace
