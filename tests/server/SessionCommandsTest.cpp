// The command layer on byte vectors: command bodies in, reply blocks out,
// against fake adapters and without any socket.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "JTAG/core/JTAGHolder.h"
#include "base/Printable.h"
#include "server/SessionCommands.h"
#include "tests/support/FakeAdapter.h"
#include "tests/support/TestContext.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Le32(uint32_t v)
{
    Bytes out(4);
    WriteLE32(out.data(), v);
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Str(const std::string& s) { return Bytes(s.c_str(), s.c_str() + s.size() + 1); }

class SessionCommandsTest : public ::testing::Test {
protected:
    SessionCommandsTest() : holder(test.Context()), commands(holder, test.Logger(), 7)
    {
        holder.SetSources({FakeAdapterSource({"FAKE0", "FAKE1"})});
    }

    // The whole reply block (header and body) a command answers; empty for
    // no reply.
    Bytes Run(uint32_t code, const Bytes& body = {})
    {
        CSessionCommands::Result result = commands.Execute(code, body.data(), static_cast<uint32_t>(body.size()));
        EXPECT_FALSE(result.disconnect);
        if (!result.reply)
            return {};
        const auto* block = reinterpret_cast<const uint8_t*>(result.reply.get());
        return Bytes(block, block + sizeof(CReplyPacketHdr) + result.reply->length);
    }

    std::shared_ptr<CFakeAdapter> Adapter(const std::string& name)
    {
        return std::dynamic_pointer_cast<CFakeAdapter>(holder.Find(name));
    }

    CTestContext test;
    CJTAGHolder holder;
    CSessionCommands commands;
};

Bytes Ok(const Bytes& body = {}) { return Cat({Le32(REPLY_OK), Le32(static_cast<uint32_t>(body.size())), body}); }

Bytes Error(const std::string& text)
{
    return Cat({Le32(REPLY_ERROR), Le32(static_cast<uint32_t>(text.size())), Bytes(text.begin(), text.end())});
}

}  // namespace

// One session's commands in order, each reply pinned byte for byte.
TEST_F(SessionCommandsTest, RepliesByteForByte)
{
    // CHAIN0 clocks a simulated TAP chain, so raw sequences have a target.
    holder.SetSources({FakeAdapterSource({"FAKE0", "FAKE1"}),
                       ChainedFakeAdapterSource({"CHAIN0"}, "0x0362D093:6")});
    const struct {
        uint32_t code;
        Bytes body;
        Bytes reply;
    } steps[] = {
        {CMD_RUN_TEST, Le32(1), Error("no jtag associated with debug session")},
        {CMD_RENUMERATE, {}, Ok(Cat({{2, 0}, Str("FAKE0"), Str("instance 1"), {2, 0}, Str("FAKE1"), Str("instance 2"),
                                     {2, 0}, Str("CHAIN0"), Str("Unknown chip")}))},
        {CMD_OPEN, Str("FAKE0"), Ok()},
        // A 5-bit instruction scan still answers a 4-byte word (the fake
        // captures the complement); a 9-bit data scan answers 2 bytes.
        {CMD_SHIFT_IR, Cat({Le32(0x05), Le32(5), Le32(1)}), Ok(Le32(0x1A))},
        {CMD_SHIFT_DR, Cat({Le32(9), Le32(1), {0x0F, 0x01}}), Ok({0xAA, 0xA4})},
        {CMD_WRITE_BLK, Cat({Le32(0x1000), {1, 2, 3, 4, 5}}), Ok()},
        // The fake reads unwritten bytes as address * 7 + 1.
        {CMD_READ_BLK, Cat({Le32(0x1001), Le32(5)}), Ok({2, 3, 4, 5, 0x24})},
        {CMD_KEEPALIVE, {}, {}},
        // A batch answers 1 byte for the 5-bit instruction scan, 2 for the
        // 12-bit data scan, nothing for the write-only scan.
        {CMD_ASYNC_OPERATIONS,
         Cat({Le32(ASYNC_CMD_SHIFT_IR), Le32(12), Le32(0x05), Le32(5), Le32(1),
              Le32(ASYNC_CMD_SHIFT_DR), Le32(10), Le32(12), Le32(1), {0x00, 0x0F},
              Le32(ASYNC_CMD_WRITE_DR), Le32(12), Le32(32), Le32(1), {1, 2, 3, 4}}),
         Ok({0x1A, 0xA5, 0xAA})},
        {CMD_ASYNC_OPERATIONS, {}, Ok()},
        {CMD_UPDATE_NAME, Cat({Str("FAKE1"), Str("MyChip")}), Ok()},
        {CMD_SHIFT_DR, Cat({Le32(100), Le32(1), {1, 2, 3}}),
         Error("CMD_SHIFT_DR: body of 11 bytes is too short for a scan of 100 bits")},
        // The failure closed the held adapter; it must be opened again.
        {CMD_RUN_TEST, Le32(1), Error("FAKE0 is not opened")},
        {CMD_OPEN, Str("FAKE0"), Ok()},
        // So does a refusal that comes before any device I/O, such as a
        // size over the limit: every failed command closes the adapter.
        {CMD_READ_BLK, Cat({Le32(0), Le32(MAX_READ_BLOCK + 1)}),
         Error("CMD_READ_BLK: size of 67108865 bytes exceeds the limit of 67108864 bytes")},
        {CMD_RUN_TEST, Le32(1), Error("FAKE0 is not opened")},
        {CMD_OPEN, Str("FAKE0"), Ok()},
        // Raw sequences: an adapter that takes whole scans only refuses
        // even one of 0 bits, so a client can ask before it needs one.
        {CMD_RAW_SEQUENCE, Le32(0), Error("FAKE0 cannot clock raw JTAG sequences: it takes whole IR and DR scans only")},
        {CMD_OPEN, Str("CHAIN0"), Ok()},
        {CMD_RAW_SEQUENCE, Le32(0), Ok()},
        // 41 clocks: Test-Logic-Reset, Run-Test/Idle, Select-DR, Capture-DR,
        // Shift-DR (TDO reads 1 outside the Shift states), then 32 bits of
        // the IDCODE 0x0362D093; the TAP stays in Shift-DR.
        {CMD_RAW_SEQUENCE, Cat({Le32(41), {0x5F, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}}),
         Ok({0xFF, 0x27, 0xA1, 0xC5, 0x06, 0x00})},
        // The scan that follows starts where the sequence left the TAP: its
        // IR captures 0b000001.
        {CMD_SHIFT_IR, Cat({Le32(0x3F), Le32(6), Le32(1)}), Ok(Le32(0x01))},
        {CMD_RAW_SEQUENCE, Cat({Le32(9), {0, 0}, {0}}),
         Error("CMD_RAW_SEQUENCE: body of 7 bytes is too short for a sequence of 9 bits (needs 8)")},
        {CMD_OPEN, Str("CHAIN0"), Ok()},
        {CMD_RAW_SEQUENCE, Le32(MAX_RAW_SEQUENCE_BITS + 1),
         Error("CMD_RAW_SEQUENCE: sequence of 268435441 bits exceeds the limit of 268435440 bits")},
        {18, {}, Error("unknown command")},
        {CMD_CLOSE, {}, Ok()},
        {CMD_RESET, {}, Ok()},
        {CMD_OPEN, {}, Error("no such device: ")},
    };
    int line = 0;
    for (const auto& step : steps) {
        EXPECT_EQ(Run(step.code, step.body), step.reply) << "step " << line;
        ++line;
    }
    EXPECT_EQ(Adapter("FAKE1")->GetChipName(), "MyChip");
    EXPECT_TRUE(Adapter("FAKE0")->CallMade("WriteMemBlk 4096 5"));
    EXPECT_FALSE(Adapter("FAKE0")->IsOpened());
    const std::string log = test.LogText();
    for (const char* line : {"Session:7: CMD_OPEN: FAKE0\n", "Session:7: CMD_SHIFT_IR: 5 5\n",
                             "Session: 7: ASYNC_CMD_SHIFT_IR: Reg 5 Len 5\n",
                             "Session:7: ASYNC_CMD_WRITE_DR: iLen 20\n",
                             "Session:7: CMD_UPDATE_NAME: FAKE1 MyChip\n",
                             "Session:7: CMD_RAW_SEQUENCE: 41\n",
                             "Session:7: Exception occured: unknown command\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
}

TEST_F(SessionCommandsTest, DisconnectEndsWithoutReply)
{
    Run(CMD_RENUMERATE);
    Run(CMD_OPEN, Str("FAKE1"));
    const CSessionCommands::Result result = commands.Execute(CMD_DISCONNECT, nullptr, 0);
    EXPECT_TRUE(result.disconnect);
    EXPECT_FALSE(result.reply);
    // The session ends: the adapter it holds is closed, a failure only logged.
    Adapter("FAKE1")->FailOn("Close", "cannot close");
    commands.End();
    EXPECT_TRUE(Adapter("FAKE1")->CallMade("Close"));
    EXPECT_NE(test.LogText().find("Session:7: Exception occured: cannot close\n"), std::string::npos);
}

// A batch that fails part-way leaves no queued result behind to lead the
// next batch's reply.
TEST_F(SessionCommandsTest, FailedBatchLeavesNothingQueued)
{
    Run(CMD_RENUMERATE);
    Run(CMD_OPEN, Str("FAKE0"));
    const Bytes good = Cat({Le32(ASYNC_CMD_SHIFT_IR), Le32(12), Le32(0x05), Le32(5), Le32(1)});
    EXPECT_EQ(Run(CMD_ASYNC_OPERATIONS, Cat({good, Le32(8), Le32(0)})), Error("Unsupported async command"));
    Run(CMD_OPEN, Str("FAKE0"));
    EXPECT_EQ(Run(CMD_ASYNC_OPERATIONS, good), Ok({0x1A}));
}

// Names and messages are logged with control characters escaped, so a name
// cannot forge a log line; the replies carry the bytes as they came. A chip
// name, which every client's list shows, is refused when it has control
// characters (UTF-8 is fine), and the refusal leaves the adapter open.
TEST_F(SessionCommandsTest, ClientTextIsEscapedInTheLogOnly)
{
    const std::string evil = "EVIL\nSession:999: CMD_OPEN: EZ-USB0\x1b[2J\\\xff";
    Run(CMD_RENUMERATE);
    EXPECT_EQ(Run(CMD_OPEN, Str(evil)), Error("no such device: " + evil));
    Run(CMD_OPEN, Str("FAKE0"));
    for (const std::string& bad : {std::string("A\tB\r"), std::string("\x1b]0;title\x07"),
                                   std::string("csi \xc2\x9b" "2J"), std::string("bad \xff utf-8")})
        EXPECT_EQ(Run(CMD_UPDATE_NAME, Cat({Str("FAKE1"), Str(bad)})),
                  Error("CMD_UPDATE_NAME: chip name '" + TerminalSafe(bad) + "' has control characters or is not UTF-8"));
    EXPECT_TRUE(Adapter("FAKE0")->IsOpened());
    EXPECT_EQ(Run(CMD_UPDATE_NAME, Cat({Str("FAKE1"), Str("J\xc3\xb6rg \xe2\x9c\x93")})), Ok());
    // FAKE0 is open: the renumerate keeps its object (instance 1).
    EXPECT_EQ(Run(CMD_RENUMERATE), Ok(Cat({{2, 0}, Str("FAKE0"), Str("instance 1"), {2, 0}, Str("FAKE1"),
                                          Str("J\xc3\xb6rg \xe2\x9c\x93")})));
    const std::string log = test.LogText();
    EXPECT_EQ(log.find("\nSession:999:"), std::string::npos);
    for (const char* line :
         {"Session:7: CMD_OPEN: EVIL\\nSession:999: CMD_OPEN: EZ-USB0\\x1b[2J\\\\\\xff\n",
          "Session:7: Exception occured: no such device: EVIL\\nSession:999: CMD_OPEN: EZ-USB0\\x1b[2J\\\\\\xff\n",
          "Session:7: CMD_UPDATE_NAME: FAKE1 A\\tB\\r\n", "1. FAKE1 ver. fake-1 (J\\xc3\\xb6rg \\xe2\\x9c\\x93)\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
}
