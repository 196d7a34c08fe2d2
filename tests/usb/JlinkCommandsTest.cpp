// The J-Link command builder and reply helpers, byte for byte.
#include <gtest/gtest.h>

#include <array>
#include <stdexcept>
#include <string>
#include <vector>

#include "JTAG/JlinkCommands.h"

using Bytes = std::vector<uint8_t>;
using jlink::EmuCmdHwJtag;

namespace {

Bytes Command(const EmuCmdHwJtag& command)
{
    return Bytes(command.data(), command.data() + command.getSize());
}

TEST(JlinkCommand, EmptyCommandsAreSixBytesOfTheirType)
{
    TapStateMachine tap;
    unsigned char buffer[16];
    std::fill(std::begin(buffer), std::end(buffer), 0xEE);
    EmuCmdHwJtag readBack(tap, buffer, sizeof buffer, EmuCmdHwJtag::READ_BACK);
    EXPECT_EQ((Bytes{0xCF, 0, 0, 0, 0, 0}), Command(readBack));
    EmuCmdHwJtag writeOnly(tap, buffer, sizeof buffer, EmuCmdHwJtag::WRITE_ONLY);
    EXPECT_EQ((Bytes{0xD5, 0, 0, 0, 0, 0}), Command(writeOnly));
    EXPECT_THROW(EmuCmdHwJtag(tap, buffer, 5, EmuCmdHwJtag::READ_BACK), std::logic_error);
}

// Growing past a byte boundary moves the TDI field up and clears the bytes
// freed in between: 7 clocks, then 10 more.
TEST(JlinkCommand, FieldsGrowAndTheTdiBytesMoveUp)
{
    TapStateMachine tap;
    unsigned char buffer[64];
    EmuCmdHwJtag command(tap, buffer, sizeof buffer, EmuCmdHwJtag::READ_BACK);
    const uint8_t tms1[] = {0x55}, tdi1[] = {0x7F};
    command.appendData(tms1, tdi1, 7);
    EXPECT_EQ((Bytes{0xCF, 0, 7, 0, 0x55, 0x7F}), Command(command));
    const uint8_t tms2[] = {0xFF, 0x03}, tdi2[] = {0x01, 0xFE};  // bits past the 10th are ignored
    command.appendData(tms2, tdi2, 10);
    // TMS: 7 bits 1010101, then ten ones; TDI: seven ones, then 1, 0 x 8, 1.
    EXPECT_EQ((Bytes{0xCF, 0, 17, 0, 0xD5, 0xFF, 0x01, 0xFF, 0x00, 0x01}), Command(command));
    EXPECT_EQ(17u, command.getNumBitsFieldValue());
}

TEST(JlinkCommand, LimitsChangeNothing)
{
    TapStateMachine tap;
    std::vector<unsigned char> big(jlink::kCommandBufferSize);
    EmuCmdHwJtag command(tap, big.data(), static_cast<unsigned>(big.size()), EmuCmdHwJtag::WRITE_ONLY);
    command.expandTmsTdiFields(65535);
    EXPECT_EQ(4u + 2 * 8192, command.getSize());
    EXPECT_THROW(command.expandTmsTdiFields(1), jlink::limit_exceeded);
    EXPECT_EQ(65535u, command.getNumBitsFieldValue());

    unsigned char small[10];
    EmuCmdHwJtag tight(tap, small, sizeof small, EmuCmdHwJtag::READ_BACK);
    tight.expandTmsTdiFields(24);  // 4 + 2 x 3 bytes fill it
    try {
        tight.expandTmsTdiFields(1);
        FAIL() << "a command grew past its buffer";
    } catch (const jlink::limit_exceeded& e) {
        EXPECT_STREQ("Reached the limit of transmitted data for EMU_CMD_HW_JTAG_WRITE/EMU_CMD_HW_JTAG3 command.",
                     e.what());
    }
    EXPECT_EQ(10u, tight.getSize());
    EXPECT_EQ(24u, tight.getNumBitsFieldValue());
}

TEST(JlinkCommand, BadStreamsAndMissingRoutesAreRefused)
{
    TapStateMachine tap;
    unsigned char buffer[16];
    EmuCmdHwJtag command(tap, buffer, sizeof buffer, EmuCmdHwJtag::READ_BACK);
    const uint8_t bits[] = {1};
    try {
        command.appendData(nullptr, bits, 1);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Pointers to TMS and TDI Field is invalid.", e.what());
    }
    buffer[0] = 0x01;  // the buffer no longer holds a JTAG command
    try {
        command.appendData(bits, bits, 1);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Invalid command type for adding data.", e.what());
    }
    buffer[0] = 0xCF;
    tap.SetState(TapStateMachine::SHIFT_DR);
    EXPECT_THROW(command.setTapStateMachineMove(TapStateMachine::RUN_TEST_IDLE), std::runtime_error);
    EXPECT_EQ(0u, command.getNumBitsFieldValue());
    // Resting in a state other than reset and idle: no clocks.
    tap.SetState(TapStateMachine::PAUSE_DR);
    command.setTapStateMachineMove(TapStateMachine::PAUSE_DR);
    EXPECT_EQ(0u, command.getNumBitsFieldValue());
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
