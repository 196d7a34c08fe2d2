// The EZ-USB adapter model: its frames acted out on a sim/tap target.
// Expected values follow from the frame layouts and IEEE 1149.1 behaviour
// of the configured chain (IR capture 0b..01, IDCODE after TRST, BYPASS 0).
#include "SimUsbTestUtil.h"

#include <cerrno>
#include <fstream>
#include <random>

using namespace simusbtest;

namespace {

// Header of a scan frame: kind 2 instruction / 1 data, length code, lines high.
uint8_t ScanHeader(unsigned kind, unsigned code) { return uint8_t(kind << 6 | code << 4 | 0x0C); }

struct EzUsbModel : ::testing::Test {
    // A fresh adapter (own serial) with the given extra fields.
    struct usb_device* Make(const std::string& fields = "")
    {
        const std::string serial = UniqueSerial("Z");
        Rescan("ezusb,serial=" + serial + fields);
        struct usb_device* dev = FindSerial(serial);
        EXPECT_NE(dev, nullptr);
        return dev;
    }
};

TEST_F(EzUsbModel, VersionQuery)
{
    CEzHandle ez(Make());
    ASSERT_EQ(ez.Send({0xB0, 0xFF}), 2);
    EXPECT_EQ(ez.Read(1024), (std::vector<uint8_t>{0x00, 0x37}));

    CEzHandle other(Make(",ver=0x4900"));
    ASSERT_EQ(other.Send({0xB0, 0xFF}), 2);
    // A short read leaves the rest of the reply for the next one.
    EXPECT_EQ(other.Read(1), (std::vector<uint8_t>{0x00}));
    EXPECT_EQ(other.Read(1024), (std::vector<uint8_t>{0x49}));
}

TEST_F(EzUsbModel, InstructionScanLoadsTheIrAndReturnsItsCapture)
{
    struct usb_device* dev = Make();
    CEzHandle ez(dev);
    // A 4-bit instruction travels doubled in an 8-bit scan: the IR keeps the last 4 bits.
    ASSERT_EQ(ez.Send({ScanHeader(2, 3), 0x88}), 2);
    const auto reply = ez.Read(8);
    ASSERT_EQ(reply.size(), 2u);
    EXPECT_EQ(reply[0] & 0x0F, 0x1);  // IR capture 0b0001
    EXPECT_EQ(reply[0] >> 4, 0x8);    // then the first bits shifted in
    EXPECT_EQ(reply[1], 0);
    EXPECT_EQ(EzModel(dev).Chain().Instruction(0), 0x8u);

    // Two 4-bit TAPs: each captures 0001.
    struct usb_device* two = Make(",chain=0x4BA00477:4+0x06413041:4");
    CEzHandle ez2(two);
    ASSERT_EQ(ez2.Send({ScanHeader(2, 3), 0xFF}), 2);
    EXPECT_EQ(ez2.Read(8), (std::vector<uint8_t>{0x11, 0x00}));
    EXPECT_EQ(EzModel(two).Chain().Instruction(0), 0xFu);
    EXPECT_EQ(EzModel(two).Chain().Instruction(1), 0xFu);

    // A 12-bit IR with a 12-bit scan (code 2) takes a value below 256 exactly.
    struct usb_device* wide = Make(",chain=0x4BA00477:12");
    CEzHandle ez3(wide);
    ASSERT_EQ(ez3.Send({ScanHeader(2, 2), 0x42}), 2);
    EXPECT_EQ(ez3.Read(8), (std::vector<uint8_t>{0x01, 0x00}));  // all 12 bits are the capture 0x001
    EXPECT_EQ(EzModel(wide).Chain().Instruction(0), 0x42u);
}

TEST_F(EzUsbModel, DataScanShiftsCommandByteAndDataFromBitNine)
{
    struct usb_device* dev = Make();
    CEzHandle ez(dev);
    ASSERT_EQ(ez.Send({ScanHeader(2, 3), 0x88}), 2);  // user register 0x8 (32 bits)
    ez.Read(8);

    // 41-bit scan (code 0, 4 data bytes): command 0x40 asks for the data back.
    const uint32_t first = 0xA5C31234, second = 0x0BADF00D;
    auto frame = [](uint8_t cmd, uint32_t d) {
        return std::vector<uint8_t>{ScanHeader(1, 0), cmd, uint8_t(d), uint8_t(d >> 8), uint8_t(d >> 16),
                                    uint8_t(d >> 24)};
    };
    ASSERT_EQ(ez.Send(frame(0x40, first)), 6);
    auto reply = ez.Read(4);
    ASSERT_EQ(reply.size(), 4u);
    // Out of a 32-bit register: bits 9..31 of its old value (0), then the
    // command byte and the 0 of stream bit 8.
    EXPECT_EQ(Le32(reply), 0x40u << 23);
    // The register takes the last 32 bits shifted in: exactly the data.
    EXPECT_EQ(EzModel(dev).Chain().UserRegister(0, 0x8), first);

    ASSERT_EQ(ez.Send(frame(0xC1, second)), 6);
    reply = ez.Read(4);
    ASSERT_EQ(reply.size(), 4u);
    EXPECT_EQ(Le32(reply), (first >> 9) | (0xC1u << 23));
    EXPECT_EQ(EzModel(dev).Chain().UserRegister(0, 0x8), second);

    // Bit 6 of the command clear: the scan happens, nothing comes back.
    ASSERT_EQ(ez.Send(frame(0x00, first)), 6);
    int status = 0;
    EXPECT_TRUE(ez.Read(4, 50, &status).empty());
    EXPECT_EQ(status, -110);
    EXPECT_EQ(EzModel(dev).Chain().UserRegister(0, 0x8), first);

    // A 17-bit scan (code 3, one data byte): reply bits 9..16 of the register.
    ASSERT_EQ(ez.Send({ScanHeader(1, 3), 0x40, 0x5A}), 3);
    reply = ez.Read(4);
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_EQ(reply[0], uint8_t(first >> 9));
}

TEST_F(EzUsbModel, LineFramesAndIdentification)
{
    // BYPASS first on the chain: the identification scan sees its 0 first.
    struct usb_device* dev = Make(",chain=bypass:5+0x4BA00477:4");
    CEzHandle ez(dev);
    ASSERT_EQ(ez.Send({ScanHeader(2, 3), 0x88}), 2);  // leave IDCODE
    ez.Read(8);

    ASSERT_EQ(ez.Send(Cmd(0, 0x4D, 0, false, true)), 6);  // TRST low
    EXPECT_EQ(ez.Read(64).size(), 32u);
    EXPECT_FALSE(EzModel(dev).Chain().Trst());
    ASSERT_EQ(ez.Send(Cmd(0, 0x4D, 0, true, false)), 6);  // TRST released, reset low
    EXPECT_EQ(ez.Read(64).size(), 32u);
    EXPECT_TRUE(EzModel(dev).Chain().Trst());
    EXPECT_FALSE(EzModel(dev).SystemReset());

    ASSERT_EQ(ez.Send({0x4F, 0x03, 0, 0, 0, 0}), 6);
    const auto id = ez.Read(4);
    ASSERT_EQ(id.size(), 4u);
    EXPECT_EQ(Le32(id), 0x4BA00477u << 1);

    CEzHandle plain(Make());
    ASSERT_EQ(plain.Send({0x4F, 0x03, 0, 0, 0, 0}), 6);
    EXPECT_EQ(Le32(plain.Read(4)), 0x4BA00477u);
}

TEST_F(EzUsbModel, MemoryBlocksRoundTrip)
{
    const std::string image = std::string(::testing::TempDir()) + "simusb-image-" + std::to_string(getpid());
    {
        std::ofstream out(image, std::ios::binary);
        out.write("\x11\x22\x33\x44\x55\x66\x77\x88", 8);
    }
    struct usb_device* dev = Make(",mem=" + image + "@0x2000");
    std::remove(image.c_str());
    CEzHandle ez(dev);

    // Two write blocks in one transfer; nothing comes back.
    std::vector<uint8_t> frames;
    Append(frames, Cmd(1, 0x0B, 0x1000));
    Append(frames, Cmd(1, 0x0C, 0xDEADBEEF));
    Append(frames, Cmd(1, 0x0C, 0x01234567));
    Append(frames, Cmd(3, 0x0C, 0x89ABCDEF));
    Append(frames, Cmd(1, 0x0B, 0x3000));
    Append(frames, Cmd(3, 0x0C, 0xCAFEF00D));
    ASSERT_EQ(ez.Send(frames), int(frames.size()));
    EXPECT_EQ(EzModel(dev).Memory().Read32(0x1004), 0x01234567u);

    // Three read blocks in one transfer; each block is one IN transfer.
    frames.clear();
    Append(frames, Cmd(2, 0x0B, 0x1000));
    Append(frames, Cmd(2, 0x4C, 0));
    Append(frames, Cmd(2, 0x4C, 0));
    Append(frames, Cmd(3, 0x4C, 0));
    Append(frames, Cmd(2, 0x0B, 0x2000));
    Append(frames, Cmd(3, 0x4C, 0));
    Append(frames, Cmd(2, 0x0B, 0x3000));
    Append(frames, Cmd(2, 0x4C, 0));
    Append(frames, Cmd(3, 0x4C, 0));
    ASSERT_EQ(ez.Send(frames), int(frames.size()));
    const int room = 4 * 6;
    auto block = ez.Read(room);
    ASSERT_EQ(block.size(), 12u);
    EXPECT_EQ(Le32(block, 0), 0xDEADBEEFu);
    EXPECT_EQ(Le32(block, 4), 0x01234567u);
    EXPECT_EQ(Le32(block, 8), 0x89ABCDEFu);
    block = ez.Read(room);
    ASSERT_EQ(block.size(), 4u);
    EXPECT_EQ(Le32(block), 0x44332211u);  // from the image
    block = ez.Read(room);
    ASSERT_EQ(block.size(), 8u);
    EXPECT_EQ(Le32(block, 0), 0xCAFEF00Du);
    EXPECT_EQ(Le32(block, 4), 0u);  // never written
}

TEST_F(EzUsbModel, ControlBytesSetClockAndResetTheAdapter)
{
    struct usb_device* dev = Make();
    CEzHandle ez(dev);
    ASSERT_EQ(ez.Send({0xB0, 0xFF}), 2);  // left unread
    ASSERT_EQ(ez.Send({2}, 0x04), 1);
    EXPECT_EQ(EzModel(dev).ClockCode(), 2u);
    ASSERT_EQ(ez.Send({4}, 0x04), 1);
    EXPECT_TRUE(EzModel(dev).InAdapterReset());
    ASSERT_EQ(ez.Send({0xB0, 0xFF}), 2);  // dropped while held in reset
    int status = 0;
    EXPECT_TRUE(ez.Read(32, 50, &status).empty());
    EXPECT_EQ(status, -110);
    ASSERT_EQ(ez.Send({5}, 0x04), 1);
    ASSERT_EQ(ez.Send({0xB0, 0xFF}), 2);
    EXPECT_EQ(ez.Read(32).size(), 2u);
}

TEST_F(EzUsbModel, GarbageFramesNeverBreakTheDevice)
{
    struct usb_device* dev = Make(",chain=0x4BA00477:4+bypass:5");
    CEzHandle ez(dev);
    std::mt19937 rng(1234);
    for (int i = 0; i < 3000; ++i) {
        std::vector<uint8_t> frame(rng() % 40);
        for (auto& b : frame)
            b = uint8_t(rng());
        if (!frame.empty() && i % 3 == 0)
            frame[0] = uint8_t((frame[0] & 0x3F) | 0x40);  // reach the command and data scan paths
        if (frame.size() > 6 && i % 5 == 0)
            frame.resize(frame.size() / 6 * 6);
        const int n = ez.Send(frame);
        ASSERT_TRUE(n == int(frame.size()) || n == -110) << n;
        if (i % 50 == 0)
            while (!ez.Read(4096, 1).empty()) {
            }
    }
    ASSERT_EQ(ez.Send({4}, 0x04), 1);  // the adapter reset empties the reply queue
    ASSERT_EQ(ez.Send({5}, 0x04), 1);
    ASSERT_EQ(ez.Send({0xB0, 0xFF}), 2);
    EXPECT_EQ(ez.Read(1024), (std::vector<uint8_t>{0x00, 0x37}));
}

}  // namespace
