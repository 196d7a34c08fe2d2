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
#include "tests/JTAG/usb/SimBusFixture.h"
#include "tests/support/TestContext.h"

namespace {

using Bytes = std::vector<unsigned char>;

class FtdiSimBus : public SimBusFixture<simusb::CFtdiModel> {
protected:
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto& adapter : m_adapters)
            names.push_back(adapter->GetName());
        return names;
    }

    ftdi::CFtdiJTAG& Ftdi(size_t i) { return dynamic_cast<ftdi::CFtdiJTAG&>(*m_adapters.at(i)); }

    static simusb::CFtdiModel& Model(size_t i) { return DeviceModel(i); }
};

uint32_t Le32(const unsigned char* b) { return b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24; }

TEST_F(FtdiSimBus, BothBoardsReadTheChipsIdcodeAndDriveTheResetLines)
{
    Scan("flyswatter2,chain=0x06413041:5,serial=FS9;tiny-h");
    ASSERT_EQ((std::vector<std::string>{"FLYSWATTER20", "ARM-USB-TINY-H0"}), Names());
    // The serial number string, through libftdi (none for the second board).
    EXPECT_EQ("FS9", Ftdi(0).GetSerialNumberString());
    EXPECT_EQ("", Ftdi(1).GetSerialNumberString());
    const uint32_t idcodes[] = {0x06413041, 0x4BA00477};
    for (size_t i = 0; i < 2; ++i) {
        ftdi::CFtdiJTAG& jtag = Ftdi(i);
        simusb::CFtdiModel& model = Model(i);
        EXPECT_EQ("TYPE_2232H", jtag.GetVersionString());
        jtag.Open();
        EXPECT_EQ(0x1D, model.Engine().Divisor());  // 1000KHZ on a 30 MHz base
        EXPECT_EQ(2u, model.Latency());
        EXPECT_FALSE(model.SystemResetAsserted());  // released by the TRST pulse of Open

        // The instruction register is read back: each scan returns what it
        // captured (0b..01), whatever was shifted before it.
        EXPECT_EQ(1u, jtag.ShiftIR(0x0A, 4, TapState::RUN_TEST_IDLE));
        EXPECT_EQ(1u, jtag.ShiftIR(0x0F, 4, TapState::RUN_TEST_IDLE));

        // TRST asserted holds the chain in reset; released, the TAP is
        // clocked into Run-Test/Idle (one clock) and 100 more clocks, with
        // IDCODE selected.
        jtag.SetTRST(false);
        EXPECT_TRUE(model.TrstAsserted());
        EXPECT_FALSE(model.Chain().Trst());
        const uint64_t clocks = model.Chain().ClockCount();
        jtag.SetTRST(true);
        EXPECT_EQ(clocks + 101, model.Chain().ClockCount());
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

TEST_F(FtdiSimBus, ConfiguredBoardDrivesItsOwnResetBitsAndUndescribedBoardsHaveNone)
{
    // A board on FTDI's own ids whose JTAG is channel B, with TRST on ADBUS6
    // (low asserts) and the system reset on ACBUS3 (high asserts): bits
    // neither built-in board uses, in both GPIO bytes. The second board on
    // the same ids reports another product string and is described nowhere.
    Scan("ft2232h,product=Lab Board,channel=b,trst=0x0040,srst=0x0800:high,chain=0x06413041:5;ft2232h",
         "<ftdi name=\"LAB\" idvendor=\"0x0403\" idproduct=\"0x6010\" product=\"Lab Board\" channel=\"B\" "
         "frequency=\"1MHz\" gpio_value=\"0x0048\" gpio_direction=\"0x084b\" trst=\"0x0040\" "
         "srst=\"0x0800\" srst_active=\"high\"/>\n"
         "<usb name=\"FT\" idvendor=\"0x0403\" idproduct=\"0x6010\" frequency=\"1MHz\"/>\n");
    ASSERT_EQ((std::vector<std::string>{"LAB0", "FT0"}), Names()) << m_context.LogText();
    EXPECT_NE(std::string::npos, m_context.LogText().find("FT0: 0403:6010 \"Dual RS232-HS\" is driven as a generic "
                                                          "MPSSE adapter without reset lines"))
        << m_context.LogText();
    ftdi::CFtdiJTAG& lab = Ftdi(0);
    simusb::CFtdiModel& model = Model(0);
    lab.Open();
    ASSERT_EQ(1u, model.JtagChannel());
    ASSERT_TRUE(model.Mpsse());
    const auto gpio = [&] {
        const simusb::CMpsseEngine& e = model.Engine();
        return Bytes{e.LowValue(), e.LowDirection(), e.HighValue(), e.HighDirection()};
    };
    // Set-up, then the TRST pulse of Open: the bytes the element gives.
    EXPECT_EQ((Bytes{0x48, 0x4B, 0x00, 0x08}), gpio());
    lab.SetTRST(false);
    EXPECT_EQ((Bytes{0x08, 0x4B, 0x00, 0x08}), gpio());
    EXPECT_TRUE(model.TrstAsserted());
    EXPECT_FALSE(model.Chain().Trst());
    lab.SetTRST(true);
    lab.SetSYS_RST(false);
    EXPECT_EQ((Bytes{0x48, 0x4B, 0x08, 0x08}), gpio());
    EXPECT_TRUE(model.SystemResetAsserted());
    EXPECT_FALSE(model.TrstAsserted());
    lab.SetSYS_RST(true);
    EXPECT_FALSE(model.SystemResetAsserted());
    const Bytes zeros(4, 0);
    Bytes idcode(4);
    lab.ShiftDR(zeros.data(), idcode.data(), 32, TapState::RUN_TEST_IDLE);
    EXPECT_EQ(0x06413041u, Le32(idcode.data()));
    lab.Close();

    // The undescribed board: TCK, TDI and TMS only; TRST resets the TAP
    // with TMS, so IDCODE is selected afterwards all the same.
    ftdi::CFtdiJTAG& generic = Ftdi(1);
    simusb::CFtdiModel& plain = Model(1);
    generic.Open();
    EXPECT_EQ(0x0B, plain.Engine().LowDirection());
    EXPECT_EQ(0x00, plain.Engine().HighDirection());
    generic.ShiftIR(0x0F, 4, TapState::RUN_TEST_IDLE);  // BYPASS
    generic.SetTRST(false);
    EXPECT_EQ(simtap::TapState::TestLogicReset, plain.Chain().State());
    generic.SetTRST(true);
    generic.ShiftDR(zeros.data(), idcode.data(), 32, TapState::RUN_TEST_IDLE);
    EXPECT_EQ(0x4BA00477u, Le32(idcode.data()));
    generic.Close();
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
    // The IR scan captures 0b00001; the DR scan, resumed from Pause-IR
    // through Capture-DR, the IDCODE's low 12 bits.
    EXPECT_EQ((Bytes{0x01, 0x77, 0x04}), out);
    EXPECT_EQ(reads + 1, model.DataReads());
    const size_t afterWait = model.OutTransfers();
    jtag.Wait(out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(afterWait, model.OutTransfers());

    // A scan may end in Exit1 (one exit clock); the next one, resumed from
    // there, is updated and captured again.
    Bytes idcode(2);
    jtag.ShiftDR(in.data(), idcode.data(), 12, TapState::EXIT1_DR);
    EXPECT_EQ((Bytes{0x77, 0x04}), idcode);
    EXPECT_EQ(simtap::TapState::Exit1DR, model.Chain().State());
    jtag.ShiftDR(in.data(), idcode.data(), 12, TapState::RUN_TEST_IDLE);
    EXPECT_EQ((Bytes{0x77, 0x04}), idcode);
    const size_t afterScans = model.OutTransfers();

    // An end state no route reaches, as on the J-Link: refused unsent.
    try {
        jtag.ShiftDR(in.data(), out.data(), 8, TapState::EXIT1_IR);
        FAIL() << "EXIT1_IR accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("A transition from EXIT1_DR to EXIT1_IR is not specified.", e.what());
    }
    EXPECT_THROW(jtag.ShiftIR(0, 33, TapState::RUN_TEST_IDLE), std::logic_error);
    EXPECT_EQ(afterScans, model.OutTransfers());

    // Millions of idle clocks stop between two pieces once the client has gone.
    jtag.SetStillWanted([] { return false; });
    try {
        jtag.RunTest(100000000);
        FAIL() << "a RunTest nobody waits for ran to its end";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("RunTest stopped: its client has gone", e.what());
    }
    jtag.SetStillWanted(nullptr);

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

// A raw sequence sends the queued scan ahead and keeps its result for Wait,
// goes out in parts the chip's buffer holds, and leaves the TAP in Select-DR,
// from where the next scan routes.
TEST_F(FtdiSimBus, RawSequenceKeepsQueuedResultsAndLeavesTheTapWhereItsTmsLeads)
{
    Scan("tiny-h,chain=0x4BA00477:5");
    ASSERT_EQ(1u, m_adapters.size());
    ftdi::CFtdiJTAG& jtag = Ftdi(0);
    jtag.Open();
    const Bytes ones = {0xFF, 0x0F};
    jtag.AsyncShiftDR(ones.data(), 12, TapState::RUN_TEST_IDLE);

    // Select-DR, Capture-DR, Shift-DR; 40000 shift clocks, the last leaving
    // for Exit1-DR; Update-DR, Select-DR.
    const unsigned shift = 40000, bits = 3 + shift + 2;
    Bytes tms((bits + 7) / 8, 0), tdi(tms.size()), tdo(tms.size());
    for (unsigned k : {0u, 3 + shift - 1, 3 + shift, 3 + shift + 1})
        tms[k / 8] |= static_cast<unsigned char>(1u << (k % 8));
    for (size_t i = 0; i < tdi.size(); ++i)
        tdi[i] = static_cast<unsigned char>(i * 37 + 11);
    const size_t reads = Model(0).DataReads();
    jtag.ClockSequence(tms.data(), tdi.data(), tdo.data(), bits);
    EXPECT_LT(reads + 3, Model(0).DataReads());  // the scan, then parts of at most 2048 bytes
    EXPECT_EQ(simtap::TapState::SelectDRScan, Model(0).Chain().State());
    auto bit = [](const Bytes& b, unsigned k) { return (b[k / 8] >> (k % 8)) & 1; };
    uint32_t idcode = 0;
    for (unsigned k = 0; k < 32; ++k)
        idcode |= uint32_t(bit(tdo, 3 + k)) << k;
    EXPECT_EQ(0x4BA00477u, idcode);
    for (unsigned k = 3 + 32; k < 3 + shift; ++k)
        ASSERT_EQ(bit(tdi, k - 32), bit(tdo, k)) << "bit " << k;

    EXPECT_EQ(1u, jtag.ShiftIR(0x03, 5, TapState::RUN_TEST_IDLE));
    EXPECT_EQ(simtap::TapState::RunTestIdle, Model(0).Chain().State());
    Bytes out;
    jtag.Wait(out);
    EXPECT_EQ((Bytes{0x77, 0x04}), out);

    // Between parts it stops once nobody waits for it.
    jtag.SetStillWanted([] { return false; });
    EXPECT_THROW(jtag.ClockSequence(tms.data(), tdi.data(), tdo.data(), bits), std::runtime_error);
}

TEST_F(FtdiSimBus, FrequencyFallbackAndClampingAreLogged)
{
    // The second board's chip is an FT2232C (6 MHz base): 10 MHz has no
    // divisor there, so it runs at 6 MHz.
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
    EXPECT_NE(std::string::npos, log.find("TINY0: JTAG clock of 10000000 Hz asked, 6000000 Hz used\n")) << log;
    Ftdi(0).Open();
    EXPECT_EQ(4, Model(0).Engine().Divisor());  // 30 MHz / 5
    // A clock asked of the open board is clamped as well, and said; an
    // adapter reset sets the engine up again at the configured clock.
    m_context.ClearLog();
    Ftdi(0).SetFrequency(7000000);
    EXPECT_EQ(4, Model(0).Engine().Divisor());  // 6 MHz: never faster than asked
    Ftdi(0).SetFrequency(0);
    EXPECT_EQ(0xFFFF, Model(0).Engine().Divisor());
    EXPECT_EQ("FLY0: JTAG clock of 7000000 Hz asked, 6000000 Hz used\nFLY0: JTAG clock of 0 Hz asked, 457 Hz used\n",
              m_context.LogText());
    Ftdi(0).ResetAdapter();
    EXPECT_EQ(4, Model(0).Engine().Divisor());
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
