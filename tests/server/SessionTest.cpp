// The debug session over both transports, driven through the client library
// against fake adapters.
#include <thread>

#include "tests/server/ServerFixture.h"

using namespace kestrad::client;
using namespace std::chrono_literals;

template <typename Transport>
class SessionTest : public ::testing::Test {
protected:
    SessionTest() : harness({FakeAdapterSource({"FAKE0", "FAKE1"})}) {}
    ServerHarness<Transport> harness;
};

using Transports = ::testing::Types<TcpTransport, LocalTransport>;
struct TransportNames {
    template <typename T>
    static std::string GetName(int) { return T::Name(); }
};
TYPED_TEST_SUITE(SessionTest, Transports, TransportNames);

TYPED_TEST(SessionTest, ListsAdaptersAndDrivesOne)
{
    auto client = this->harness.Connect();
    auto list = client->List();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, "FAKE0");
    EXPECT_EQ(list[0].chipName, "instance 1");
    EXPECT_FALSE(list[0].serial);

    client->Open("FAKE0");
    EXPECT_EQ(client->ShiftIR(0x5, 5), 0x1Au);  // the fake captures the complement
    EXPECT_EQ(client->ShiftDR({0x0F, 0x01}, 9), (std::vector<uint8_t>{0xAA, 0xA4}));
    client->RunTest(100);
    client->SetSysRst(false);
    client->SetFrequency(1000000);
    client->Reset();
    auto adapter = this->harness.Adapter("FAKE0");
    ASSERT_TRUE(adapter);
    EXPECT_TRUE(adapter->IsOpened());
    EXPECT_TRUE(adapter->CallMade("RunTest 100"));
    EXPECT_TRUE(adapter->CallMade("SetSYS_RST 0"));
    EXPECT_TRUE(adapter->CallMade("SetFrequency 1000000"));
    EXPECT_TRUE(adapter->CallMade("ResetAdapter"));
    client->Close();
    EXPECT_FALSE(adapter->IsOpened());
}

TYPED_TEST(SessionTest, ReplyLayouts)
{
    auto client = this->harness.Connect();
    // A 5-bit instruction scan still answers a 4-byte word; a 9-bit data scan 2 bytes.
    client->List();
    client->Open("FAKE1");
    Reply ir = client->Command(CMD_SHIFT_IR, Cat({Le32(0x1F), Le32(5), Le32(1)}));
    EXPECT_EQ(ir.status, REPLY_OK);
    EXPECT_EQ(ir.body, Le32(0));
    Reply dr = client->Command(CMD_SHIFT_DR, Cat({Le32(9), Le32(1), {0x00, 0x01}}));
    EXPECT_EQ(dr.status, REPLY_OK);
    EXPECT_EQ(dr.body.size(), 2u);
    // Extra body bytes are read and ignored.
    Reply trst = client->Command(CMD_TRST, Cat({Le32(1), {1, 2, 3}}));
    EXPECT_EQ(trst.status, REPLY_OK);
    EXPECT_TRUE(trst.body.empty());
    // CMD_CLOSE and CMD_RESET without an adapter are fine.
    client->Close();
    EXPECT_EQ(client->Command(CMD_RESET).status, REPLY_OK);
}

TYPED_TEST(SessionTest, UnknownCommandClosesButKeepsTheAdapter)
{
    auto client = this->harness.Connect();
    client->List();
    client->Open("FAKE0");
    auto adapter = this->harness.Adapter("FAKE0");
    for (uint32_t code : {0u, 18u, 0xFFFFFFFFu}) {
        Reply r = client->Command(code, {1, 2, 3});
        EXPECT_EQ(r.status, REPLY_ERROR);
        EXPECT_EQ(Text(r.body), "unknown command");
    }
    EXPECT_FALSE(adapter->IsOpened());
    EXPECT_TRUE(adapter->CallMade("Close"));
    // Still held, but closed: it must be opened again before it is driven.
    Reply r = client->Command(CMD_RUN_TEST, Le32(1));
    EXPECT_EQ(Text(r.body), "FAKE0 is not opened");
    // Opening the held adapter again works (it is not "already opened").
    client->Open("FAKE0");
    EXPECT_NO_THROW(client->RunTest(1));
}

// A client that sends the same bad command over and over costs the log a
// line and a count, not a line (and a reply line) each.
TYPED_TEST(SessionTest, RepeatedErrorsAreLoggedOnceThenCounted)
{
    auto client = this->harness.Connect();
    auto count = [&](const std::string& what) {
        const std::string log = this->harness.Log();
        size_t n = 0;
        for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1))
            ++n;
        return n;
    };
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(Text(client->Command(0).body), "unknown command");
    EXPECT_EQ(Text(client->Command(CMD_RUN_TEST, Le32(1)).body), "no jtag associated with debug session");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Text(client->Command(0).body), "unknown command");
    client->Disconnect();
    ASSERT_TRUE(testsupport::WaitFor([&] { return count("Session:1: Session ended.\n") == 1; }));
    EXPECT_EQ(count("Session:1: Exception occured: unknown command\n"), 2u);
    EXPECT_EQ(count("Session:1: The last error repeated 199 more times.\n"), 1u);
    EXPECT_EQ(count("Session:1: Exception occured: no jtag associated with debug session\n"), 1u);
    EXPECT_EQ(count("Session:1: The last error repeated 2 more times.\n"), 1u);
    EXPECT_EQ(count("Session:1: Reply body length: 15\n"), 2u);  // "unknown command"
}

TYPED_TEST(SessionTest, CommandsNeedAnAdapter)
{
    auto client = this->harness.Connect();
    for (uint32_t code : {CMD_TRST, CMD_SYS_RST, CMD_SHIFT_IR, CMD_SHIFT_DR, CMD_RUN_TEST,
                          CMD_WRITE_BLK, CMD_READ_BLK, CMD_ASYNC_OPERATIONS, CMD_JTAG_FREQUENCY,
                          CMD_RAW_SEQUENCE}) {
        Reply r = client->Command(code, std::vector<uint8_t>(16, 0));
        EXPECT_EQ(r.status, REPLY_ERROR) << code;
        EXPECT_EQ(Text(r.body), "no jtag associated with debug session") << code;
    }
}

TYPED_TEST(SessionTest, OpenByName)
{
    auto a = this->harness.Connect();
    auto b = this->harness.Connect();
    a->List();
    // Empty body: an empty name, reported with the prefix alone.
    Reply r = a->Command(CMD_OPEN);
    EXPECT_EQ(Text(r.body), "no such device: ");
    EXPECT_THROW(a->Open("fake0"), ServerError);
    EXPECT_THROW(a->Open("FAKE0 "), ServerError);

    a->Open("FAKE0");
    a->Open("FAKE0");  // the session's own adapter is closed first, then opened
    try {
        b->Open("FAKE0");
        FAIL() << "second open succeeded";
    } catch (const ServerError& e) {
        // The message names the session holding it (a's, the server's first),
        // as its log lines ("Session:1: ...") do.
        EXPECT_STREQ(e.what(), "FAKE0 is already opened by session 1");
    }
    // b holds nothing after the refusal.
    Reply tr = b->Command(CMD_RUN_TEST, Le32(1));
    EXPECT_EQ(Text(tr.body), "no jtag associated with debug session");
    EXPECT_TRUE(this->harness.Adapter("FAKE0")->IsOpened());
}

TEST(SessionNames, LongNameIsCutTo254Characters)
{
    const std::string name(254, 'n');
    ServerHarness<TcpTransport> harness({FakeAdapterSource({name})});
    auto client = harness.Connect();
    client->List();
    auto r = client->Command(CMD_OPEN, std::vector<uint8_t>(300, 'n'));
    EXPECT_EQ(r.status, REPLY_OK) << Text(r.body);
    EXPECT_TRUE(harness.Adapter(name)->IsOpened());
    EXPECT_TRUE(harness.LogContains("CMD_OPEN: " + name + "\n"));
}

TYPED_TEST(SessionTest, UpdateNameIsSeenByEveryClient)
{
    auto a = this->harness.Connect();
    auto b = this->harness.Connect();
    a->List();
    a->Open("FAKE1");
    // Any session may rename any adapter; an open adapter keeps its object
    // across the other client's renumerate, so the new name is what it sees.
    b->UpdateName("FAKE1", "MyChip");
    auto list = b->List();
    // Open adapters lead the rebuilt list.
    ASSERT_EQ(list[0].name, "FAKE1");
    EXPECT_EQ(list[0].chipName, "MyChip");
    // A name set on a closed adapter survives the rebuild that replaces its
    // object; the other adapter's new object keeps its own.
    b->UpdateName("FAKE0", "Chip \xe2\x9c\x93");
    list = b->List();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].name, "FAKE0");
    EXPECT_EQ(list[1].chipName, "Chip \xe2\x9c\x93");
    EXPECT_EQ(b->List()[1].chipName, "Chip \xe2\x9c\x93");
    // A name with terminal controls would reach every client's list: refused.
    EXPECT_THROW(b->UpdateName("FAKE0", "Chip\x1b\nX"), ServerError);
    EXPECT_EQ(b->List()[1].chipName, "Chip \xe2\x9c\x93");
    // An unknown adapter name fails, and closes what the session holds.
    a->Open("FAKE0");
    EXPECT_THROW(a->UpdateName("NOPE", "x"), ServerError);
    EXPECT_FALSE(this->harness.Adapter("FAKE0")->IsOpened());
}

TYPED_TEST(SessionTest, AdapterFailureBecomesErrorReply)
{
    auto client = this->harness.Connect();
    client->List();
    client->Open("FAKE0");
    auto adapter = this->harness.Adapter("FAKE0");
    adapter->FailOn("ShiftIR", "target is not answering");
    adapter->FailOn("Close", "cannot close");
    Reply r = client->Command(CMD_SHIFT_IR, Cat({Le32(1), Le32(4), Le32(1)}));
    EXPECT_EQ(r.status, REPLY_ERROR);
    EXPECT_EQ(Text(r.body), "target is not answering");
    EXPECT_TRUE(this->harness.LogContains("Exception occured: target is not answering\n"));
    EXPECT_TRUE(this->harness.LogContains("Can't close JTAG adapter. Reason: cannot close\n"));
    // An instruction length the interface cannot carry is refused by the adapter.
    client->Open("FAKE1");
    r = client->Command(CMD_SHIFT_IR, Cat({Le32(1), Le32(33), Le32(1)}));
    EXPECT_EQ(r.status, REPLY_ERROR);
    EXPECT_NE(Text(r.body).find("33"), std::string::npos);
}

TYPED_TEST(SessionTest, MemoryBlocks)
{
    auto client = this->harness.Connect();
    client->List();
    client->Open("FAKE0");
    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 13);
    client->WriteBlock(0x2000, data);
    EXPECT_EQ(client->ReadBlock(0x2000, 1000), data);
    EXPECT_TRUE(this->harness.Adapter("FAKE0")->CallMade("WriteMemBlk 8192 1000"));
    // An empty read is a valid empty reply.
    EXPECT_TRUE(client->ReadBlock(0x2000, 0).empty());
}

TYPED_TEST(SessionTest, LargeReplyIsWrittenInChunks)
{
    ServerHarness<TypeParam> harness({FakeAdapterSource({"FAKE0"})}, true);
    auto client = harness.Connect();
    client->List();
    client->Open("FAKE0");
    auto block = client->ReadBlock(0x100, 200000);
    ASSERT_EQ(block.size(), 200000u);
    for (uint32_t i = 0; i < block.size(); ++i)
        ASSERT_EQ(block[i], static_cast<uint8_t>((0x100 + i) * 7 + 1)) << i;
    // 200008 bytes go in pieces of at most 65536 (65536, 65536, 65536 and
    // 3400): what the socket takes at once is written in the call that
    // starts the write, each piece that has to wait for the socket completes
    // in a call of its own. The last one may still be running when the
    // client has all the bytes.
    auto countCalls = [&] {
        std::string log = harness.Log();
        auto from = log.find("Reply body length: 200000");
        auto to = log.find("::ReadCmdHdr()", from);
        if (from == std::string::npos || to == std::string::npos)
            return size_t{0};
        size_t count = 0;
        for (size_t at = log.find("::HandleReply(", from); at < to; at = log.find("::HandleReply(", at + 1))
            ++count;
        return count;
    };
    EXPECT_TRUE(testsupport::WaitFor([&] { return countCalls() != 0; }));
    EXPECT_LE(countCalls(), 5u);
}

TYPED_TEST(SessionTest, TrstWaitsBeforeReplying)
{
    auto client = this->harness.Connect();
    client->List();
    client->Open("FAKE0");
    auto start = std::chrono::steady_clock::now();
    client->SetTrst(false);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
    EXPECT_FALSE(this->harness.Adapter("FAKE0")->LastTrst());
}

TYPED_TEST(SessionTest, KeepaliveHasNoReply)
{
    auto client = this->harness.Connect();
    client->KeepAlive();
    EXPECT_FALSE(client->DataWithin(300ms));
    EXPECT_NO_THROW(client->List());
}

TYPED_TEST(SessionTest, DisconnectEndsTheSessionAndClosesTheAdapter)
{
    auto client = this->harness.Connect();
    client->List();
    client->Open("FAKE1");
    auto adapter = this->harness.Adapter("FAKE1");
    client->SendCommand(CMD_DISCONNECT);
    EXPECT_TRUE(client->ServerClosedWithin(5s));
    EXPECT_TRUE(testsupport::WaitFor([&] { return !adapter->IsOpened(); }));
    EXPECT_TRUE(testsupport::WaitFor([&] { return this->harness.LogContains("Session ended."); }));
}

TYPED_TEST(SessionTest, Batches)
{
    auto client = this->harness.Connect();
    client->List();
    client->Open("FAKE0");
    CBatch batch;
    batch.ShiftIR(0x5, 5).ShiftDR({0x34, 0x12}, 12).WriteDR({1, 2, 3, 4}, 32);
    Reply raw = client->Command(CMD_ASYNC_OPERATIONS, batch.Body());
    ASSERT_EQ(raw.status, REPLY_OK);
    EXPECT_EQ(raw.body, (std::vector<uint8_t>{0x1A, 0x34 ^ 0xA5, 0x12 ^ 0xA5}));
    // An empty batch answers an empty result.
    Reply empty = client->Command(CMD_ASYNC_OPERATIONS);
    EXPECT_EQ(empty.status, REPLY_OK);
    EXPECT_TRUE(empty.body.empty());
    EXPECT_TRUE(this->harness.LogContains("Session: 1: ASYNC_CMD_SHIFT_IR: Reg 5 Len 5\n"));
    EXPECT_TRUE(this->harness.LogContains("Session:1: ASYNC_CMD_SHIFT_DR: iLen c\n"));
    EXPECT_TRUE(this->harness.LogContains("Session:1: ASYNC_CMD_WRITE_DR: iLen 20\n"));
}

TYPED_TEST(SessionTest, FailedBatchLeavesNoStaleResults)
{
    auto client = this->harness.Connect();
    client->List();
    client->Open("FAKE0");
    auto adapter = this->harness.Adapter("FAKE0");
    CBatch good;
    good.ShiftIR(0x1, 4).ShiftDR({0xFF}, 8);
    std::vector<uint8_t> body = good.Body();
    // A third sub-record with code 8.
    auto bad = Cat({body, Le32(8), Le32(4), Le32(0)});
    Reply r = client->Command(CMD_ASYNC_OPERATIONS, bad);
    EXPECT_EQ(r.status, REPLY_ERROR);
    EXPECT_EQ(Text(r.body), "Unsupported async command");
    // The first two reached the adapter before the failure.
    EXPECT_TRUE(adapter->CallMade("ShiftIR 1 4"));
    EXPECT_TRUE(adapter->CallMade("ShiftDR 8"));
    client->Open("FAKE0");
    auto results = client->Execute(good);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0], std::vector<uint8_t>{0x0E});
    EXPECT_EQ(results[1], std::vector<uint8_t>{0x5A});
}

TYPED_TEST(SessionTest, MalformedBodiesAreRefused)
{
    auto client = this->harness.Connect();
    auto other = this->harness.Connect();
    client->List();
    client->Open("FAKE0");
    struct Case {
        uint32_t code;
        std::vector<uint8_t> body;
        std::string expect;
    };
    const std::vector<Case> cases = {
        {CMD_TRST, {1, 0}, "CMD_TRST: body of 2 bytes is too short (needs 4)"},
        {CMD_SHIFT_IR, Cat({Le32(1), Le32(4)}), "CMD_SHIFT_IR: body of 8 bytes is too short (needs 12)"},
        {CMD_SHIFT_DR, Cat({Le32(100), Le32(1), {1, 2, 3}}),
         "CMD_SHIFT_DR: body of 11 bytes is too short for a scan of 100 bits"},
        {CMD_SHIFT_DR, Cat({Le32(0xFFFFFFFF), Le32(1)}), "CMD_SHIFT_DR: negative scan length -1"},
        {CMD_WRITE_BLK, {0, 0}, "CMD_WRITE_BLK: body of 2 bytes is too short (needs 4)"},
        {CMD_READ_BLK, Cat({Le32(0), Le32(0x10000000)}),
         "CMD_READ_BLK: size of 268435456 bytes exceeds the limit of 67108864 bytes"},
        // A sub-record whose payload runs past the body.
        {CMD_ASYNC_OPERATIONS, Cat({Le32(7), Le32(100), Le32(8), Le32(1)}),
         "CMD_ASYNC_OPERATIONS: sub-record 1 at offset 0: payload of 100 bytes runs past the end of the body"},
        // A data scan whose data runs past its payload.
        {CMD_ASYNC_OPERATIONS, Cat({Le32(7), Le32(9), Le32(64), Le32(1), {0xAA}}),
         "CMD_ASYNC_OPERATIONS: sub-record 1 at offset 0: data of a 64-bit scan runs past the payload"},
        // A header cut short.
        {CMD_ASYNC_OPERATIONS, Cat({Le32(6), Le32(12), Le32(1), Le32(4), Le32(1), {6, 0, 0}}),
         "CMD_ASYNC_OPERATIONS: sub-record 2 at offset 20: header runs past the end of the body"},
        {CMD_ASYNC_OPERATIONS, Cat({Le32(6), Le32(4), Le32(1)}),
         "CMD_ASYNC_OPERATIONS: sub-record 1 at offset 0: payload too short for an instruction scan"},
    };
    for (const auto& c : cases) {
        client->Open("FAKE0");
        Reply r = client->Command(c.code, c.body);
        EXPECT_EQ(r.status, REPLY_ERROR) << c.expect;
        EXPECT_EQ(Text(r.body), c.expect);
    }
    // The server keeps serving this client and the other one.
    client->Open("FAKE0");
    EXPECT_EQ(client->ShiftIR(0, 4), 0xFu);
    EXPECT_EQ(other->List().size(), 2u);
}

TYPED_TEST(SessionTest, OversizedBodyIsRefusedWithoutAllocating)
{
    auto client = this->harness.Connect();
    auto other = this->harness.Connect();
    CCmdPacketHdr header{CMD_WRITE_BLK, 0xFFFFFFFFu};
    client->SendRaw(&header, sizeof header);
    Reply r = client->ReadReply(5s);
    EXPECT_EQ(r.status, REPLY_ERROR);
    EXPECT_EQ(Text(r.body), "command 10: body of 4294967295 bytes exceeds the limit of 67108864 bytes");
    EXPECT_EQ(other->List().size(), 2u);

    // A body just over the limit that the client does send is read and
    // dropped, and the session stays in step.
    auto third = this->harness.Connect();
    const uint32_t size = MAX_COMMAND_BODY + 1;
    CCmdPacketHdr big{CMD_WRITE_BLK, size};
    third->SendRaw(&big, sizeof big);
    std::vector<uint8_t> junk(1 << 20, 0x55);
    for (uint32_t sent = 0; sent < size;) {
        uint32_t n = std::min<uint32_t>(junk.size(), size - sent);
        third->SendRaw(junk.data(), n);
        sent += n;
    }
    Reply refused = third->ReadReply(10s);
    EXPECT_EQ(refused.status, REPLY_ERROR);
    EXPECT_EQ(third->List().size(), 2u);
}

// The server reads ahead of the command it runs: commands that arrive
// together (a header with its body, several commands, a body longer than
// what one read takes with the next command behind it) and a command that
// arrives a byte at a time are all answered, in order.
TYPED_TEST(SessionTest, CommandsSentTogetherOrInPiecesAreAnsweredInOrder)
{
    auto client = this->harness.Connect();
    client->List();
    std::vector<uint8_t> block(10000);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 13 + 5);
    auto packet = [](uint32_t code, const std::vector<uint8_t>& b) { return body::Packet(code, b.data(), b.size()); };
    const std::vector<uint8_t> together = Cat({
        packet(CMD_OPEN, body::Name("FAKE0")),
        packet(CMD_SHIFT_IR, body::ShiftIR(0x5, 5, kestrad::client::TapState::RunTestIdle)),
        packet(CMD_WRITE_BLK, body::WriteBlock(0x2000, block.data(), block.size())),
        packet(CMD_KEEPALIVE, {}),
        packet(CMD_READ_BLK, body::ReadBlock(0x2000, static_cast<uint32_t>(block.size()))),
        packet(CMD_SHIFT_DR, body::ShiftDR({0x0F, 0x01}, 9, kestrad::client::TapState::RunTestIdle)),
    });
    client->SendRaw(together.data(), together.size());
    Reply open = client->ReadReply(5s);
    EXPECT_EQ(open.status, REPLY_OK);
    Reply ir = client->ReadReply(5s);
    EXPECT_EQ(ir.status, REPLY_OK);
    EXPECT_EQ(ir.body, Le32(0x1A));
    EXPECT_EQ(client->ReadReply(5s).status, REPLY_OK);  // the write; the keep-alive has no reply
    Reply read = client->ReadReply(5s);
    EXPECT_EQ(read.status, REPLY_OK);
    EXPECT_EQ(read.body, block);
    Reply dr = client->ReadReply(5s);
    EXPECT_EQ(dr.status, REPLY_OK);
    EXPECT_EQ(dr.body, (std::vector<uint8_t>{0xAA, 0xA4}));

    const std::vector<uint8_t> piecemeal =
        packet(CMD_SHIFT_IR, body::ShiftIR(0x3, 4, kestrad::client::TapState::RunTestIdle));
    for (size_t i = 0; i < piecemeal.size(); ++i) {
        client->SendRaw(&piecemeal[i], 1);
        if (i + 1 < piecemeal.size()) {
            EXPECT_FALSE(client->DataWithin(5ms)) << "a reply before byte " << i + 1 << " of the command";
        }
    }
    Reply last = client->ReadReply(5s);
    EXPECT_EQ(last.status, REPLY_OK);
    EXPECT_EQ(last.body, Le32(0xC));
    EXPECT_EQ(client->ShiftIR(0x5, 5), 0x1Au);
}

// The idle time-outs run on a server made with 300 ms instead of 10 s.
constexpr auto kShortIdle = 300ms;

TYPED_TEST(SessionTest, TruncatedBodyTimesOut)
{
    ServerHarness<TypeParam> harness({FakeAdapterSource({"FAKE0"})}, false, kShortIdle);
    auto client = harness.Connect();
    CCmdPacketHdr header{CMD_OPEN, 10};
    client->SendRaw(&header, sizeof header);
    client->SendRaw("abc", 3);
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(client->ServerClosedWithin(5s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, kShortIdle - 100ms);
}

TYPED_TEST(SessionTest, IdleClientIsDroppedAndKeepaliveKeepsOneAlive)
{
    ServerHarness<TypeParam> harness({FakeAdapterSource({"FAKE0", "FAKE1"})}, false, kShortIdle);
    auto idle = harness.Connect();
    auto busy = harness.Connect();
    const auto start = std::chrono::steady_clock::now();
    auto closedAt = start;
    bool idleClosed = false;
    // Keep-alives every 100 ms keep one session going for well over three
    // idle periods; each wait also checks that a keep-alive gets no reply.
    while (std::chrono::steady_clock::now() - start < 4 * kShortIdle) {
        busy->KeepAlive();
        if (!idleClosed && idle->ServerClosedWithin(100ms)) {
            idleClosed = true;
            closedAt = std::chrono::steady_clock::now();
        } else if (idleClosed) {
            EXPECT_FALSE(busy->DataWithin(100ms));
        }
    }
    EXPECT_TRUE(idleClosed);
    EXPECT_GE(closedAt - start, kShortIdle - 100ms);
    EXPECT_EQ(busy->List().size(), 2u);

    std::string log = harness.Log();
    auto timeout = log.find("Session:1: Timeout expired.\n");
    auto error = log.find("Session:1: Error: ", timeout);
    auto ended = log.find("Session:1: Session ended.\n", error);
    EXPECT_NE(timeout, std::string::npos);
    EXPECT_NE(error, std::string::npos);
    EXPECT_NE(ended, std::string::npos);
    EXPECT_EQ(log.find("Session:2: Timeout expired."), std::string::npos);
}

TEST(Renumerate, EmptyListAndFailingSource)
{
    bool fail = false;
    ServerHarness<TcpTransport> harness(
        {[&](CJTAGHolder::Adapters&, const AdapterContext&) {
            if (fail)
                throw std::runtime_error("bus scan failed");
        }});
    auto client = harness.Connect();
    Reply r = client->Command(CMD_RENUMERATE);
    EXPECT_EQ(r.status, REPLY_OK);
    EXPECT_TRUE(r.body.empty());
    fail = true;
    r = client->Command(CMD_RENUMERATE);
    EXPECT_EQ(Text(r.body), "bus scan failed");
}

TEST(SessionList, RecordLayout)
{
    ServerHarness<TcpTransport> harness({FakeAdapterSource({"X", "YY"})});
    auto client = harness.Connect();
    Reply r = client->Command(CMD_RENUMERATE);
    const std::string expected = std::string("\x02\x00X\x00instance 1\x00", 15) +
                                 std::string("\x02\x00YY\x00instance 2\x00", 16);
    EXPECT_EQ(Text(r.body), expected);
}
