// The J-Link probe model: its descriptor and commands as a host sees them
// through libusb-0.1. Expected values follow from the J-Link USB protocol and
// IEEE 1149.1 behaviour of the configured chain.
#include "SimUsbTestUtil.h"

#include "sim/usb/JlinkModel.h"

#include <cerrno>
#include <string>

using namespace simusbtest;
using Bytes = std::vector<uint8_t>;

namespace {

struct JlinkModel : ::testing::Test {
    struct usb_device* Make(const std::string& fields = "")
    {
        const std::string serial = UniqueSerial("J");
        Rescan("jlink,serial=" + serial + fields);
        struct usb_device* dev = FindSerial(serial);
        EXPECT_NE(dev, nullptr);
        return dev;
    }

    // One bulk read from 0x81; the negative result of a failure lands in `status`.
    static Bytes Read(CEzHandle& h, int size, int* status = nullptr)
    {
        Bytes buf(size_t(size), 0);
        const int n = usb_bulk_read(h.get(), 0x81, reinterpret_cast<char*>(buf.data()), size, 200);
        if (status)
            *status = n;
        buf.resize(n > 0 ? size_t(n) : 0);
        return buf;
    }
};

// Version, capabilities, configuration and interface selection; the
// 256-byte configuration is a multiple of 64 and ends as the model is told.
TEST_F(JlinkModel, ConfigurationCommandsAndBothReplyEndings)
{
    for (const char* term : {"zlp", "byte"}) {
        struct usb_device* dev = Make(std::string(",term=") + term);
        const usb_interface_descriptor& intf = dev->config->interface[0].altsetting[0];
        ASSERT_EQ(intf.bNumEndpoints, 2);  // full speed: bulk 0x81 IN, 0x02 OUT, 64 bytes
        EXPECT_EQ(intf.endpoint[0].bEndpointAddress, 0x81);
        EXPECT_EQ(intf.endpoint[1].bEndpointAddress, 0x02);
        EXPECT_EQ(intf.endpoint[1].wMaxPacketSize, 64);
        CEzHandle h(dev);
        ASSERT_EQ(h.Send({0x01}), 1);
        EXPECT_EQ(Read(h, 2), (Bytes{0x70, 0x00}));
        const Bytes text = Read(h, 0x70);
        ASSERT_EQ(text.size(), 0x70u);
        EXPECT_NE(std::string(text.begin(), text.end()).find("J-Link"), std::string::npos);

        ASSERT_EQ(h.Send({0xF2}), 1);
        EXPECT_EQ(Read(h, 256), Bytes(256, 0xFF));
        int status = 0;
        const Bytes extra = Read(h, 64, &status);
        EXPECT_EQ(extra, std::string(term) == "zlp" ? Bytes{} : Bytes{0xA5}) << term;
        EXPECT_EQ(status, int(extra.size())) << term;

        // Several commands in one transfer; only select-interface replies.
        ASSERT_EQ(h.Send({0x08, 0x01, 0x05, 0xE8, 0x03, 0xC7, 0x00}), 7);
        EXPECT_EQ(Read(h, 4), (Bytes{0, 0, 0, 0}));
        Read(h, 1, &status);
        EXPECT_EQ(status, -ETIMEDOUT);  // nothing more queued
        auto& model = static_cast<simusb::CJlinkModel&>(*simusb::ModelOf(dev));
        EXPECT_EQ(model.SpeedKHz(), 1000u);
        EXPECT_TRUE(model.Power());
    }
}

// From Test-Logic-Reset: TMS 0,1,0,0 reaches Shift-DR, 32 clocks read the
// IDCODE (TMS 1 on the last), then 1,0 to idle: 38 clocks, 5 TDO bytes.
TEST_F(JlinkModel, Jtag3ClocksTheChainAndRepliesTdoThenStatus)
{
    struct usb_device* dev = Make(",chain=0x06413041:5");
    CEzHandle h(dev);
    const Bytes tms = {0x02, 0x00, 0x00, 0x00, 0x18};  // bits 1, 35, 36 set
    Bytes command = {0xCF, 0x00, 38, 0x00};
    command.insert(command.end(), tms.begin(), tms.end());
    command.insert(command.end(), 5, 0x00);
    ASSERT_EQ(h.Send(command), int(command.size()));
    const Bytes tdo = Read(h, 5);
    ASSERT_EQ(tdo.size(), 5u);
    uint64_t bits = 0;
    for (size_t i = 0; i < 5; ++i)
        bits |= uint64_t(tdo[i]) << (8 * i);
    EXPECT_EQ(uint32_t(bits >> 4), 0x06413041u);
    EXPECT_EQ(Read(h, 1), (Bytes{0x00}));

    // The write-only twin clocks without a reply.
    command[0] = 0xD5;
    ASSERT_EQ(h.Send(command), int(command.size()));
    int status = 0;
    Read(h, 8, &status);
    EXPECT_EQ(status, -ETIMEDOUT);
    auto& model = static_cast<simusb::CJlinkModel&>(*simusb::ModelOf(dev));
    EXPECT_EQ(model.JtagCommands(), 2u);
    EXPECT_EQ(model.JtagClocks(), 76u);
    EXPECT_EQ(model.Chain().State(), simtap::TapState::RunTestIdle);
}

TEST_F(JlinkModel, BadFieldsAreRefused)
{
    // A malformed list leaves the bus empty.
    for (const char* entry : {"jlink,term=maybe", "jlink,mem=x.bin@0", "jlink,ver=3"})
        EXPECT_TRUE(Rescan(entry).empty()) << entry;
}

}  // namespace
