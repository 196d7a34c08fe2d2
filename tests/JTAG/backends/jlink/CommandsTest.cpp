// The J-Link command builder and reply helpers, byte for byte.
#include <gtest/gtest.h>

#include <array>
#include <stdexcept>
#include <string>
#include <vector>

#include "JTAG/backends/jlink/Commands.h"

using Bytes = std::vector<uint8_t>;
using jlink::EmuCmdHwJtag;

namespace {

// Growing past a byte boundary moves the TDI field up and clears the bytes
// freed in between; a command that cannot grow is left as it was.
TEST(JlinkCommand, FieldsGrowUpToTheLimit)
{
    unsigned char buffer[12];
    EmuCmdHwJtag command(TapState::RUN_TEST_IDLE, buffer, sizeof buffer, EmuCmdHwJtag::READ_BACK);
    const uint8_t tms1[] = {0x55}, tdi1[] = {0x7F};
    command.AppendData(tms1, tdi1, 7);
    const uint8_t tms2[] = {0xFF, 0x03}, tdi2[] = {0x01, 0xFE};  // bits past the 10th are ignored
    command.AppendData(tms2, tdi2, 10);
    // TMS: 1010101 then ten ones; TDI: seven ones, then 1, eight zeros, 1.
    const Bytes expected = {0xCF, 0, 17, 0, 0xD5, 0xFF, 0x01, 0xFF, 0x00, 0x01};
    EXPECT_EQ(expected, Bytes(buffer, buffer + command.Size()));
    EXPECT_THROW(command.ExpandTmsTdiFields(16), jlink::limit_exceeded);  // 4 + 2 x 5 > 12 bytes
    EXPECT_EQ(expected, Bytes(buffer, buffer + command.Size()));

    std::vector<unsigned char> big(jlink::kCommandBufferSize);
    EmuCmdHwJtag full(TapState::RUN_TEST_IDLE, big.data(), static_cast<unsigned>(big.size()), EmuCmdHwJtag::WRITE_ONLY);
    full.ExpandTmsTdiFields(65535);
    EXPECT_THROW(full.ExpandTmsTdiFields(1), jlink::limit_exceeded);
    EXPECT_EQ(65535u, full.Clocks());
}

TEST(JlinkSpeed, FrequencyTextsAndClocks)
{
    struct Case {
        const char* text;
        int kHz;  // -1: refused
    };
    for (const Case& c : {Case{"700KHZ", 700}, Case{"  20000KHZ", 20000}, Case{"65535", 65535},
                          Case{"12MHZ", 12}, Case{"65536KHZ", -1}, Case{"KHZ", -1}, Case{"fast", -1},
                          Case{"", -1}, Case{"99999999999999999999KHZ", -1}}) {
        if (c.kHz < 0) {
            try {
                jlink::ParseSpeedKHz(c.text);
                ADD_FAILURE() << c.text << " was accepted";
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ("Incorrect JTAG frequency value.\n", e.what()) << c.text;
            }
        } else {
            EXPECT_EQ(c.kHz, jlink::ParseSpeedKHz(c.text)) << c.text;
        }
    }
    EXPECT_EQ(400, jlink::SpeedFromHertz(100000));
    EXPECT_EQ(12000, jlink::SpeedFromHertz(30000000));
    EXPECT_EQ(1234, jlink::SpeedFromHertz(1234999));
    EXPECT_EQ((std::array<uint8_t, 3>{0x05, 0xE0, 0x2E}), jlink::SpeedCommand(12000));
}

TEST(JlinkReplies, TrailingByteVersionAndBits)
{
    EXPECT_TRUE(jlink::ReplyHasTrailingByte(1, 0));
    EXPECT_TRUE(jlink::ReplyHasTrailingByte(1, 64));
    EXPECT_TRUE(jlink::ReplyHasTrailingByte(1, 256));
    EXPECT_FALSE(jlink::ReplyHasTrailingByte(1, 65));
    EXPECT_FALSE(jlink::ReplyHasTrailingByte(1, 0x2000));
    EXPECT_FALSE(jlink::ReplyHasTrailingByte(1, 0x8000));
    EXPECT_FALSE(jlink::ReplyHasTrailingByte(0, 64));

    const std::string version = "J-Link V9 compiled";
    EXPECT_EQ(1, jlink::AdapterTypeFromVersion(reinterpret_cast<const uint8_t*>(version.data()), version.size()));
    EXPECT_EQ(0, jlink::AdapterTypeFromVersion(reinterpret_cast<const uint8_t*>(version.data()), 5));

    const uint8_t tdo[] = {0xA0, 0x01, 0xFF};
    EXPECT_EQ((Bytes{0x0D}), jlink::ExtractBits(tdo, sizeof tdo, 5, 4));
    EXPECT_EQ((Bytes{0x03, 0x02}), jlink::ExtractBits(tdo, sizeof tdo, 7, 10));
    EXPECT_EQ((Bytes{0x03, 0x00}), jlink::ExtractBits(tdo, 2, 7, 10));  // byte 2 is past the reply: zeros
    EXPECT_TRUE(jlink::ExtractBits(tdo, sizeof tdo, 3, 0).empty());
}

}  // namespace
