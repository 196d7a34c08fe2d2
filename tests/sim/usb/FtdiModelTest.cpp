// The FT2232H board models through the libusb-0.1 API: descriptors, packet
// framing and MPSSE commands acted out on a sim/tap target. Expected values
// follow from FTDI AN_108 and IEEE 1149.1 behaviour of the chain.
#include "SimUsbTestUtil.h"

#include "sim/usb/FtdiModel.h"

using namespace simusbtest;
using Bytes = std::vector<uint8_t>;

namespace {

class CFtdiHandle {
public:
    explicit CFtdiHandle(struct usb_device* dev) : m_Handle(usb_open(dev))
    {
        EXPECT_NE(m_Handle, nullptr) << usb_strerror();
        EXPECT_EQ(usb_claim_interface(m_Handle, 0), 0) << usb_strerror();
        // MPSSE with mask 0x0B on channel A, as libftdi asks for it.
        EXPECT_EQ(usb_control_msg(m_Handle, 0x40, 0x0B, 0x020B, 1, nullptr, 0, 1000), 0);
    }
    ~CFtdiHandle()
    {
        usb_release_interface(m_Handle, 0);
        usb_close(m_Handle);
    }
    void Send(const Bytes& bytes)
    {
        ASSERT_EQ(int(bytes.size()),
                  usb_bulk_write(m_Handle, 0x02, reinterpret_cast<const char*>(bytes.data()), int(bytes.size()), 1000));
    }
    // One IN transfer, status bytes included.
    Bytes Transfer(int size = 4096)
    {
        Bytes buf(size_t(size), 0);
        const int n = usb_bulk_read(m_Handle, 0x81, reinterpret_cast<char*>(buf.data()), size, 1000);
        buf.resize(n > 0 ? size_t(n) : 0);
        return buf;
    }
    // One IN transfer without its leading status bytes (a single packet).
    Bytes Data()
    {
        Bytes t = Transfer();
        EXPECT_GE(t.size(), 2u);
        EXPECT_EQ(0x32, t[0]);
        EXPECT_EQ(0x60, t[1]);
        return Bytes(t.begin() + 2, t.end());
    }

private:
    usb_dev_handle* m_Handle;
};

struct FtdiModel : ::testing::Test {
    struct usb_device* Make(const std::string& model, const std::string& fields = "")
    {
        const std::string serial = UniqueSerial("F");
        Rescan(model + ",serial=" + serial + fields);
        struct usb_device* dev = FindSerial(serial);
        EXPECT_NE(dev, nullptr);
        return dev;
    }
    static simusb::CFtdiModel& Model(struct usb_device* dev)
    {
        return *static_cast<simusb::CFtdiModel*>(simusb::ModelOf(dev));
    }
};

TEST_F(FtdiModel, ReadsTheIdcodeWithBitModeReadsInTheTopBits)
{
    CFtdiHandle h(Make("tiny-h", ",chain=0x06413041:5"));
    EXPECT_TRUE(h.Data().empty());  // nothing to send: the status bytes alone
    h.Send({0x80, 0x08, 0x0B,                    // TCK, TDI, TMS outputs, TMS high
            0x4B, 0x06, 0x7F, 0x4B, 0x03, 0x02,  // Test-Logic-Reset, then to Shift-DR
            0x39, 0x02, 0x00, 0x00, 0x00, 0x00,  // 24 bits
            0x3B, 0x06, 0x00,                    // 7 bits
            0x6B, 0x01, 0x01});                  // last bit, out to Pause-DR
    // 0x06413041: bits 24..30 = 0x06 in the top 7 bits, bit 31 (0) in bit 6
    // of the TMS read (its second clock, in Exit1-DR, reads TDO undriven: 1).
    EXPECT_EQ((Bytes{0x41, 0x30, 0x41, 0x0C, 0x80}), h.Data());
}

TEST_F(FtdiModel, TmsClocksHoldTdiFromBit7AndBadOpcodesAreAnswered)
{
    CFtdiHandle h(Make("flyswatter2"));
    // Loop-back: TDO reads TDI.
    h.Send({0x80, 0x18, 0x7B, 0x84, 0x6B, 0x02, 0x80, 0x6B, 0x02, 0x00, 0x3B, 0x02, 0x05, 0xAB, 0x85});
    EXPECT_EQ((Bytes{0xE0, 0x00, 0xA0, 0xFA, 0xAB}), h.Data());
}

TEST_F(FtdiModel, ReadDataComesInPacketsWithStatusBytes)
{
    CFtdiHandle h(Make("flyswatter2"));
    // A command split over two transfers still runs: 600 bytes in loop-back.
    Bytes command = {0x80, 0x18, 0x7B, 0x84, 0x39, 0x57, 0x02};
    for (int i = 0; i < 600; ++i)
        command.push_back(uint8_t(i));
    h.Send(Bytes(command.begin(), command.begin() + 100));
    EXPECT_TRUE(h.Data().empty());
    h.Send(Bytes(command.begin() + 100, command.end()));
    const Bytes t = h.Transfer();
    ASSERT_EQ(512u + 2 + 90, t.size());
    EXPECT_EQ((Bytes{0x32, 0x60}), Bytes(t.begin() + 512, t.begin() + 514));
    EXPECT_EQ(0, t[2]);
    EXPECT_EQ(uint8_t(509), t[511]);
    EXPECT_EQ(uint8_t(510), t[514]);
}

TEST_F(FtdiModel, GpioBitsDriveTheBoardsResetLines)
{
    struct Case {
        const char* model;
        Bytes command;
        bool trst, srst;
    };
    const std::vector<Case> cases = {
        {"flyswatter2", {0x80, 0x28, 0x7B}, true, false},
        {"flyswatter2", {0x80, 0x18, 0x7B}, false, true},
        {"flyswatter2", {0x80, 0x08, 0x0B}, false, false},  // inputs drive nothing
        {"tiny-h", {0x82, 0x02, 0x0F}, true, true},
        {"tiny-h", {0x82, 0x01, 0x0F}, false, false},
        // A board wired by its fields: TRST on 0x0040 (low asserts), the
        // system reset on 0x0800 (high asserts).
        {"ft2232h,trst=0x0040,srst=0x0800:high", {0x80, 0x08, 0x4B, 0x82, 0x08, 0x08}, true, true},
        {"ft2232h,trst=0x0040,srst=0x0800:high", {0x80, 0x48, 0x4B, 0x82, 0x00, 0x08}, false, false},
        {"ft2232h", {0x80, 0x00, 0xFB, 0x82, 0x00, 0xFF}, false, false},  // no lines at all
    };
    for (const Case& c : cases) {
        struct usb_device* dev = Make(c.model);
        CFtdiHandle h(dev);
        h.Send(c.command);
        EXPECT_EQ(c.trst, Model(dev).TrstAsserted()) << c.model << " " << int(c.command[1]);
        EXPECT_EQ(!c.trst, Model(dev).Chain().Trst()) << c.model;
        EXPECT_EQ(c.srst, Model(dev).SystemResetAsserted()) << c.model << " " << int(c.command[1]);
    }
}

}  // namespace
