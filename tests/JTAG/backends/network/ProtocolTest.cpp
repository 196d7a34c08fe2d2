// The peer text protocol without sockets: result lines, line splitting,
// command lines and dump rows.
#include "JTAG/backends/network/Protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

using namespace network;

namespace {

unsigned long long Value(const std::string& line, bool expectOk = true)
{
    unsigned long long value = 12345;
    EXPECT_EQ(ParseResult(line, value), expectOk) << line;
    return value;
}

}  // namespace

TEST(NetworkProtocol, ResultLineSuccessNeedsLeadingOk)
{
    EXPECT_EQ(Value("ok"), 0u);
    EXPECT_EQ(Value("ok."), 0u);
    EXPECT_EQ(Value("error", false), 0u);
    EXPECT_EQ(Value("OK 0x1", false), 0u);
    EXPECT_EQ(Value("o", false), 0u);
    EXPECT_EQ(Value("", false), 0u);
    EXPECT_EQ(Value(" ok", false), 0u);
}

TEST(NetworkProtocol, ResultValueStartsAtSixthCharacter)
{
    EXPECT_EQ(Value("ok = 0x1f"), 0x1fu);
    EXPECT_EQ(Value("ok   1f"), 0x1fu);
    EXPECT_EQ(Value("ok =\t 0X2A tail"), 0x2au);
    // Characters 3 to 5 are not examined, whatever they hold.
    EXPECT_EQ(Value("ok1231f"), 0x1fu);
    EXPECT_EQ(Value("okXYZ1F"), 0x1fu);
    // Five characters or fewer carry no value, even when they look like one.
    EXPECT_EQ(Value("ok 12"), 0u);
    // Text without a number is 0; "0x" without digits is the number 0.
    EXPECT_EQ(Value("ok = none"), 0u);
    EXPECT_EQ(Value("ok = done"), 0xdu);  // "d" is a digit
    EXPECT_EQ(Value("ok = 0xg"), 0u);
    EXPECT_EQ(Value("ok = -1"), 0u);
}

TEST(NetworkProtocol, ResultValueIs64Bits)
{
    EXPECT_EQ(Value("ok = 0xfedcba9876543210"), 0xfedcba9876543210ull);
    EXPECT_EQ(Value("ok = 0x00000000000000000000001"), 1u);
    // Like strtoull: a number beyond 64 bits saturates.
    EXPECT_EQ(Value("ok = 0x1ffffffffffffffff"), ~0ull);
    EXPECT_EQ(Value("ok = 0x10000000000000000"), ~0ull);
}

TEST(NetworkProtocol, ResultBitsBeyond64)
{
    unsigned char out[13];
    ASSERT_TRUE(ParseResultBits("ok = 0x123456789abcdef0123456789", out, 100));
    const unsigned char expected[13] = {0x89, 0x67, 0x45, 0x23, 0x01, 0xef, 0xcd,
                                        0xab, 0x89, 0x67, 0x45, 0x23, 0x01};
    EXPECT_EQ(0, memcmp(out, expected, sizeof out));

    // Fewer digits: the high bytes are 0; more digits: the high ones are dropped.
    ASSERT_TRUE(ParseResultBits("ok = 0x1ff", out, 72));
    EXPECT_EQ(out[0], 0xff);
    EXPECT_EQ(out[1], 0x01);
    EXPECT_EQ(out[8], 0x00);
    ASSERT_TRUE(ParseResultBits("ok = 0xabcdef112233445566778899", out, 72));
    EXPECT_EQ(out[0], 0x99);
    EXPECT_EQ(out[8], 0x11);

    memset(out, 0xaa, sizeof out);
    EXPECT_FALSE(ParseResultBits("error 0x1", out, 100));
    EXPECT_EQ(out[0], 0);
    ASSERT_TRUE(ParseResultBits("ok", out, 100));
    EXPECT_EQ(out[12], 0);
}

TEST(NetworkProtocol, SplitDropsCharacterBeforeEachLF)
{
    using Lines = std::vector<std::string>;
    EXPECT_EQ(SplitLines("ok\r\nok\r\n"), (Lines{"ok", "ok"}));
    // Whatever precedes the LF is dropped, CR or not.
    EXPECT_EQ(SplitLines("ok\n"), (Lines{"o"}));
    // Empty lines stay lines; text after the last LF is discarded.
    EXPECT_EQ(SplitLines("a\r\n\nb\r\ntail"), (Lines{"a", "", "b"}));
    EXPECT_EQ(SplitLines("\r\n"), (Lines{""}));
    EXPECT_EQ(SplitLines("no line feed"), Lines{});
    EXPECT_EQ(SplitLines(""), Lines{});
    EXPECT_EQ(CountLF("a\nb\n\n", 5), 3u);
}

TEST(NetworkProtocol, CommandLines)
{
    EXPECT_EQ(ResetCommand(), "reset\r\n");
    EXPECT_EQ(RunCommand(100), "run 100\r\n");
    EXPECT_EQ(RunCommand(4294967295u), "run 4294967295\r\n");
    EXPECT_EQ(SaveCommand(10), "save vrk_point_10\r\n");
    EXPECT_EQ(SetTrstCommand(true), "set_trst 0x1\r\n");
    EXPECT_EQ(SetTrstCommand(false), "set_trst 0x0\r\n");
    EXPECT_EQ(SetNrstCommand(false), "set_nrst 0x0\r\n");
    EXPECT_EQ(WaitCommand(), "wait 10\r\n");
    EXPECT_EQ(WrIRCommand(0x1f), "wrIR 0x1f\r\n");
    EXPECT_EQ(WrIRCommand(0), "wrIR 0x0\r\n");
    EXPECT_EQ(WrIRCommand(0xFFFFFFFFu), "wrIR 0xffffffff\r\n");
    EXPECT_EQ(ReadWord32Command(0x1004), "read_word32 0x1004\r\n");
    EXPECT_EQ(WriteWord32Command(0xcafe, 0x1004), "write_word32 0000cafe //00001004\r\n");
}

TEST(NetworkProtocol, DataScanValue)
{
    // Bits beyond the length are not sent.
    const unsigned char twelve[] = {0xbc, 0xfa};
    EXPECT_EQ(WrDRCommand(twelve, 12), "wrDR 0xabc 12\r\n");
    const unsigned char sixtyFour[] = {1, 2, 3, 4, 5, 6, 7, 0x88};
    EXPECT_EQ(WrDRCommand(sixtyFour, 64), "wrDR 0x8807060504030201 64\r\n");
    const unsigned char zero[] = {0, 0};
    EXPECT_EQ(WrDRCommand(zero, 9), "wrDR 0x0 9\r\n");
    EXPECT_EQ(WrDRCommand(nullptr, 0), "wrDR 0x0 0\r\n");
    unsigned char hundred[13];
    memset(hundred, 0xff, sizeof hundred);
    EXPECT_EQ(WrDRCommand(hundred, 100), "wrDR 0x" + std::string(25, 'f') + " 100\r\n");
    hundred[12] = 0x10;  // bit 100 lies beyond the scan
    EXPECT_EQ(WrDRCommand(hundred, 100), "wrDR 0x" + std::string(24, 'f') + " 100\r\n");
    EXPECT_THROW(WrDRCommand(zero, -1), std::logic_error);
}

TEST(NetworkProtocol, MemoryWindow)
{
    EXPECT_EQ(DumpCommand(WindowOf(0x1004, 32)), "dump 0x1000 0x2f\r\n");
    EXPECT_EQ(DumpCommand(WindowOf(0x1004, 8)), "dump 0x1000 0xf\r\n");
    EXPECT_EQ(DumpCommand(WindowOf(0x100c, 8)), "dump 0x1000 0x1f\r\n");
    const MemWindow top = WindowOf(0xFFFFFFF0u, 16);
    EXPECT_EQ(top.start, 0xFFFFFFF0u);
    EXPECT_EQ(top.rows, 1u);
    EXPECT_THROW(WindowOf(0xFFFFFFF0u, 32), std::runtime_error);
    EXPECT_THROW(WindowOf(0x1000, 0), std::runtime_error);

    const uint32_t words[4] = {0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c};
    EXPECT_EQ(WriteMemCommand({WriteMemEntry(0x2000, words)}),
              "write_mem 03020100 07060504 0b0a0908 0f0e0d0c //00002000\r\n");
    EXPECT_EQ(WriteMemCommand({"a", "b", "c"}), "write_mem a,b,c\r\n");
}

TEST(NetworkProtocol, DumpRowWords)
{
    const std::string row = "00000000 11111111 2222aaaa 3333BBBB";
    EXPECT_EQ(DumpWord(row, 0), 0u);
    EXPECT_EQ(DumpWord(row, 1), 0x11111111u);
    EXPECT_EQ(DumpWord(row, 2), 0x2222aaaau);
    EXPECT_EQ(DumpWord(row, 3), 0x3333bbbbu);
    EXPECT_THROW(DumpWord(row, 4), std::out_of_range);
    // A row that ends before the column is too short.
    EXPECT_THROW(DumpWord("00000000 11111111 ", 2), std::out_of_range);
    EXPECT_THROW(DumpWord("", 0), std::out_of_range);
    // A field that holds no number, or more than 32 bits.
    EXPECT_THROW(DumpWord("zzzzzzzz", 0), std::runtime_error);
    EXPECT_THROW(DumpWord("123456789", 0), std::out_of_range);
    // A short number at the start of a read_word32 reply line.
    EXPECT_EQ(DumpWord("1f", 0), 0x1fu);
    EXPECT_EQ(DumpWord("deadbeef ok", 0), 0xdeadbeefu);
}

TEST(NetworkProtocol, GreetingProtocolName)
{
    EXPECT_EQ(ProtocolName("protocol RTL_JTAGdemo-0.1"), "RTL_JTAGdemo-0.1");
    EXPECT_EQ(ProtocolName("speaks protocol X y"), "X y");
    EXPECT_EQ(ProtocolName("no marker here"), "no marker here");
    EXPECT_EQ(PeerKindOf("RTL_JTAGdemo-0.1", -1), 1);
    EXPECT_EQ(PeerKindOf("Standalone_DSP_Cluster-0.1", 1), 2);
    EXPECT_EQ(PeerKindOf("Standalone_DSP_Cluster-0.2", -1), -1);
    EXPECT_EQ(PeerKindOf("other", 2), 2);
}
