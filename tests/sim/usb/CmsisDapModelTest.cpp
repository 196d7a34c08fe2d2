// The CMSIS-DAP probe model as a host sees it through libusb-0.1: its
// interfaces and strings, and its commands. Expected values follow from
// Arm's CMSIS-DAP command reference and IEEE 1149.1 behaviour of the chain.
#include "SimUsbTestUtil.h"

#include "sim/usb/CmsisDapModel.h"

#include <cerrno>
#include <string>

using namespace simusbtest;
using Bytes = std::vector<uint8_t>;

namespace {

struct CmsisDapModel : ::testing::Test {
    struct usb_device* Make(const std::string& fields = "")
    {
        const std::string serial = UniqueSerial("D");
        Rescan("cmsis-dap,serial=" + serial + fields);
        struct usb_device* dev = FindSerial(serial);
        EXPECT_NE(dev, nullptr);
        return dev;
    }

    // The v2 interface (1), claimed without a configuration change.
    struct Handle {
        usb_dev_handle* h;
        explicit Handle(struct usb_device* dev) : h(usb_open(dev)) { EXPECT_EQ(0, usb_claim_interface(h, 1)); }
        ~Handle() { usb_close(h); }
        int Send(const Bytes& command, int timeout = 1000)
        {
            return usb_bulk_write(h, 0x02, reinterpret_cast<const char*>(command.data()), int(command.size()), timeout);
        }
        Bytes Answer(const Bytes& command)
        {
            EXPECT_EQ(int(command.size()), Send(command));
            Bytes reply(1024, 0);
            const int n = usb_bulk_read(h, 0x82, reinterpret_cast<char*>(reply.data()), int(reply.size()), 1000);
            reply.resize(n > 0 ? size_t(n) : 0);
            return reply;
        }
    };
};

TEST_F(CmsisDapModel, InterfacesStringsAndInformation)
{
    struct usb_device* dev = Make(",packet=512,packets=8");
    ASSERT_EQ(2, dev->config->bNumInterfaces);
    const usb_interface_descriptor& hid = dev->config->interface[0].altsetting[0];
    const usb_interface_descriptor& v2 = dev->config->interface[1].altsetting[0];
    EXPECT_EQ(0x03, hid.bInterfaceClass);
    EXPECT_EQ(0xFF, v2.bInterfaceClass);
    ASSERT_EQ(2, v2.bNumEndpoints);
    EXPECT_EQ(0x02, v2.endpoint[0].bEndpointAddress);
    EXPECT_EQ(0x82, v2.endpoint[1].bEndpointAddress);
    EXPECT_EQ(USB_ENDPOINT_TYPE_BULK, v2.endpoint[1].bmAttributes & 3);
    Handle p(dev);
    char text[64];
    ASSERT_GT(usb_get_string_simple(p.h, v2.iInterface, text, sizeof text), 0);
    EXPECT_STREQ("CMSIS-DAP v2", text);

    EXPECT_EQ((Bytes{0x00, 0x02, 0x00, 0x02}), p.Answer({0x00, 0xFF}));  // packet size 512
    EXPECT_EQ((Bytes{0x00, 0x01, 0x08}), p.Answer({0x00, 0xFE}));        // packet count
    EXPECT_EQ((Bytes{0x00, 0x01, 0x03}), p.Answer({0x00, 0xF0}));        // SWD and JTAG
    EXPECT_EQ((Bytes{0x00, 0x06, '2', '.', '1', '.', '0', 0}), p.Answer({0x00, 0x04}));
    EXPECT_EQ((Bytes{0x00, 0x00}), p.Answer({0x00, 0x42}));  // no such information
    EXPECT_EQ((Bytes{0xFF}), p.Answer({0x7E}));              // no such command
}

TEST_F(CmsisDapModel, JtagSequencesClockTheChainWithinThePacketLimits)
{
    struct usb_device* dev = Make(",chain=0x06413041:5,packets=2");
    Handle p(dev);
    // Outside JTAG mode a sequence is refused.
    EXPECT_EQ((Bytes{0x14, 0xFF}), p.Answer({0x14, 0x01, 0x45, 0x00}));
    EXPECT_EQ((Bytes{0x02, 0x02}), p.Answer({0x02, 0x02}));
    // Five clocks with TMS high, then 0,1,0,0 to Shift-DR, then the 32-bit
    // IDCODE captured, the last bit with TMS high.
    EXPECT_EQ((Bytes{0x14, 0x00, 0x41, 0x30, 0x41, 0x06, 0x00}),
              p.Answer({0x14, 0x06, 0x45, 0x00, 0x01, 0x00, 0x41, 0x00, 0x02, 0x00, 0x9F, 0, 0, 0, 0, 0xC1, 0x00}));
    EXPECT_EQ(simtap::TapState::Exit1DR,
              static_cast<simusb::CCmsisDapModel*>(simusb::ModelOf(dev))->Chain().State());

    // A request longer than the 64-byte packet is refused without clocking.
    Bytes tooLong = {0x14, 0x08};
    for (int i = 0; i < 8; ++i)
        tooLong.insert(tooLong.end(), {0x00, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(74u, tooLong.size());
    EXPECT_EQ((Bytes{0x14, 0xFF}), p.Answer(tooLong));
    EXPECT_EQ(simtap::TapState::Exit1DR,
              static_cast<simusb::CCmsisDapModel*>(simusb::ModelOf(dev))->Chain().State());

    // Two packets in flight at most: a third command waits for a read.
    EXPECT_EQ(5, p.Send({0x11, 0x40, 0x42, 0x0F, 0x00}));
    EXPECT_EQ(1, p.Send({0x03}));
    EXPECT_EQ(-ETIMEDOUT, p.Send({0x01, 0x00, 0x00}, 100));
}

}  // namespace
