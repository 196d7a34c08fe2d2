// CNetworkJTAG against a scripted peer on the loopback interface: each test
// checks the lines the peer actually received. Connection 0 of a peer is the
// constructor's probe, connection 1 the test's own Open().
#include "JTAG/backends/network/Peer.h"
#include "JTAG/backends/network/Protocol.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "JTAG/core/JTAGHolder.h"
#include "base/ByteOrder.h"
#include "tests/JTAG/backends/network/FakePeer.h"
#include "tests/support/TestContext.h"

using Lines = std::vector<std::string>;
using Reply = CFakePeer::Reply;
using State = TapState;

namespace {

const State kIdle = static_cast<State>(1);

// Short time limits and no pause after a close: the peers here answer at
// once or never.
const network::NetworkTiming kFast{std::chrono::milliseconds(300), std::chrono::milliseconds(300),
                          std::chrono::milliseconds(0)};

// Opens an adapter on the peer (after the constructor's probe).
std::unique_ptr<network::CNetworkJTAG> OpenOn(CFakePeer& peer, CTestContext& context)
{
    auto adapter = std::make_unique<network::CNetworkJTAG>("127.0.0.1", peer.Port(), "SIM", context, kFast);
    adapter->Open();
    return adapter;
}

// The lines the test's connection received after the two resets of Open.
Lines Commands(const CFakePeer& peer)
{
    Lines lines = peer.Lines(1);
    EXPECT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "reset");
    EXPECT_EQ(lines[1], "reset");
    return Lines(lines.begin() + 2, lines.end());
}

std::string ErrorOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no exception";
}

// Answers each line that starts with `prefix` with the next reply of a list.
CFakePeer::Script Replies(std::string prefix, std::vector<std::string> replies)
{
    auto queue = std::make_shared<std::deque<std::string>>(replies.begin(), replies.end());
    return [prefix, queue](const std::string& line) -> std::optional<Reply> {
        if (line.compare(0, prefix.size(), prefix) != 0 || queue->empty())
            return std::nullopt;
        Reply reply{queue->front()};
        queue->pop_front();
        return reply;
    };
}

const char kRow1000[] = "00000000 11111111 22222222 33333333 \r\n";

}  // namespace

TEST(NetworkJTAG, ProbeAndGreetings)
{
    struct Case {
        std::string greeting;
        int version;
        std::string versionString;
    };
    const Case cases[] = {
        {CFakePeer::kRtlGreeting, 1, "RTL_JTAGdemo-0.1"},
        {CFakePeer::kDspGreeting, 2, "Standalone_DSP_Cluster-0.1"},
        {"Some model\r\nprotocol Other_Model-2.0\r\n", -1, "Other_Model-2.0"},
        // No "protocol ": the whole second line names the peer.
        {"Some model\r\nversion 7\r\n", -1, "version 7"},
    };
    CTestContext context;
    for (const Case& c : cases) {
        CFakePeer peer(c.greeting);
        network::CNetworkJTAG adapter("127.0.0.1", peer.Port(), "SIM", context, kFast);
        EXPECT_FALSE(adapter.IsOpened());
        EXPECT_EQ(adapter.GetName(), "SIM");
        EXPECT_EQ(adapter.GetVersionNumber(), c.version) << c.greeting;
        EXPECT_EQ(adapter.GetVersionString(), c.versionString);
        // The probe: two resets, then the connection is closed.
        EXPECT_EQ(peer.Received(0), "reset\r\nreset\r\n");
        EXPECT_TRUE(peer.WaitClosed(0));
        EXPECT_EQ(peer.Connections(), 1u);
    }
}

TEST(NetworkJTAG, FailedHandshakeClosesSocketAtOnce)
{
    CTestContext context;
    CFakePeer peer(CFakePeer::kRtlGreeting, Replies("reset", {"ok\r\n", "error\r\n"}));
    EXPECT_EQ(ErrorOf([&] { network::CNetworkJTAG("127.0.0.1", peer.Port(), "SIM", context, kFast); }),
              "Protocol error");
    EXPECT_TRUE(peer.WaitClosed(0));
    EXPECT_EQ(peer.Lines(0), (Lines{"reset", "reset"}));
}

TEST(NetworkJTAG, ResultLineVariants)
{
    CTestContext context;
    CFakePeer peer(CFakePeer::kRtlGreeting,
                   Replies("wrIR", {"ok\r\n", "ok = 0x1f\r\n", "ok   1f\r\n", "error\r\n", "ok\r\nok\r\n"}));
    auto adapter = OpenOn(peer, context);
    EXPECT_TRUE(adapter->IsOpened());
    EXPECT_EQ(adapter->ShiftIR(5, 4, kIdle), 0u);
    EXPECT_EQ(adapter->ShiftIR(0x1f, 5, kIdle), 0x1fu);
    EXPECT_EQ(adapter->ShiftIR(0xabcdef12u, 32, kIdle), 0x1fu);
    EXPECT_EQ(ErrorOf([&] { adapter->ShiftIR(1, 4, kIdle); }), "Protocol error");
    // Two result lines in one chunk for one command.
    EXPECT_EQ(ErrorOf([&] { adapter->ShiftIR(2, 4, kIdle); }), "Protocol error");
    EXPECT_EQ(Commands(peer),
              (Lines{"wrIR 0x5", "wrIR 0x1f", "wrIR 0xabcdef12", "wrIR 0x1", "wrIR 0x2"}));

    // Lengths the 32-bit interface cannot carry never reach the peer.
    EXPECT_THROW(adapter->ShiftIR(1, 33, kIdle), std::logic_error);
    EXPECT_THROW(adapter->ShiftIR(1, 0, kIdle), std::logic_error);
    EXPECT_EQ(Commands(peer).size(), 5u);
}

TEST(NetworkJTAG, RunTestAndSavepoints)
{
    CTestContext context;
    CFakePeer peer(CFakePeer::kRtlGreeting, [](const std::string& line) -> std::optional<Reply> {
        if (line.compare(0, 5, "save ") == 0)
            return Reply{"saving\r\nok\r\n"};
        return std::nullopt;
    });
    auto adapter = OpenOn(peer, context);
    adapter->RunTest(100);
    EXPECT_EQ(Commands(peer), (Lines{"run 100"}));

    // Off: the counter does not move, so the first run with savepoints on
    // still saves point 0.
    adapter->RunTest(1);
    context.SetSavepoints(true);
    for (int i = 0; i < 11; ++i)
        adapter->RunTest(1);
    Lines expected{"run 100", "run 1", "run 1", "save vrk_point_0"};
    for (int i = 0; i < 9; ++i)
        expected.push_back("run 1");
    expected.push_back("run 1");
    expected.push_back("save vrk_point_10");
    EXPECT_EQ(Commands(peer), expected);
}

TEST(NetworkJTAG, ResetLines)
{
    CTestContext context;
    CFakePeer peer(CFakePeer::kRtlGreeting, Replies("set_", {"ok\r\n", "ok = 0x0\r\n", "ok 0x1\r\n"}));
    auto adapter = OpenOn(peer, context);
    adapter->SetTRST(true);
    adapter->SetSYS_RST(false);
    // A non-zero value fails before "wait 10" is sent.
    EXPECT_EQ(ErrorOf([&] { adapter->SetTRST(false); }), "Protocol error");
    adapter->RunTest(7);  // whatever follows on the connection comes next
    EXPECT_EQ(Commands(peer), (Lines{"set_trst 0x1", "wait 10", "set_nrst 0x0", "wait 10", "set_trst 0x0",
                                     "run 7"}));
}

TEST(NetworkJTAG, DataScans)
{
    CTestContext context;
    CFakePeer peer(CFakePeer::kRtlGreeting,
                   Replies("wrDR", {"ok = 0x123\r\n", "ok = 0xfedcba9876543210\r\n",
                                    "ok = 0x123456789abcdef0123456789\r\n", "ok\r\n"}));
    auto adapter = OpenOn(peer, context);

    const unsigned char twelve[] = {0xbc, 0xfa};
    unsigned char out12[2] = {0xee, 0xee};
    adapter->ShiftDR(twelve, out12, 12, kIdle);
    EXPECT_EQ(out12[0], 0x23);
    EXPECT_EQ(out12[1], 0x01);

    const unsigned char in64[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x88};
    unsigned char out64[8];
    adapter->ShiftDR(in64, out64, 64, kIdle);
    const unsigned char expected64[] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe};
    EXPECT_EQ(0, memcmp(out64, expected64, 8));

    unsigned char in100[13];
    for (int i = 0; i < 13; ++i)
        in100[i] = static_cast<unsigned char>(0x11 * (i + 1));
    unsigned char out100[13];
    adapter->ShiftDR(in100, out100, 100, kIdle);
    const unsigned char expected100[13] = {0x89, 0x67, 0x45, 0x23, 0x01, 0xef, 0xcd,
                                           0xab, 0x89, 0x67, 0x45, 0x23, 0x01};
    EXPECT_EQ(0, memcmp(out100, expected100, 13));

    // Through the non-batching queue; a reply without value captures zeros.
    adapter->AsyncShiftDR(in64, 16, kIdle);
    std::vector<unsigned char> results;
    adapter->Wait(results);
    EXPECT_EQ(results, (std::vector<unsigned char>{0, 0}));

    EXPECT_EQ(Commands(peer), (Lines{"wrDR 0xabc 12", "wrDR 0x8807060504030201 64",
                                     "wrDR 0xdccbbaa998877665544332211 100", "wrDR 0x201 16"}));
}

TEST(NetworkJTAG, ReadMemoryThroughDump)
{
    CTestContext context;
    CFakePeer peer(CFakePeer::kRtlGreeting, [](const std::string& line) -> std::optional<Reply> {
        if (line == "dump 0x1000 0xf")
            return Reply{std::string(kRow1000) + "ok\r\n"};
        if (line == "dump 0x1000 0x2f")
            return Reply{std::string(kRow1000) + "44444444 55555555 66666666 77777777 \r\n" +
                         "88888888 99999999 aaaaaaaa bbbbbbbb \r\nok\r\n"};
        if (line == "dump 0x2000 0xf")
            return Reply{"00000000 1111\r\nok\r\n"};
        return std::nullopt;
    });
    auto adapter = OpenOn(peer, context);

    unsigned char buffer[32];
    adapter->ReadMemBlk(0x1004, buffer, 8);
    EXPECT_EQ(ReadLE32(buffer), 0x11111111u);
    EXPECT_EQ(ReadLE32(buffer + 4), 0x22222222u);

    adapter->ReadMemBlk(0x1004, buffer, 32);
    for (unsigned i = 0; i < 8; ++i)
        EXPECT_EQ(ReadLE32(buffer + 4 * i), 0x11111111u * (i + 1)) << i;

    // A row too short for the column asked for.
    EXPECT_THROW(adapter->ReadMemBlk(0x2008, buffer, 4), std::out_of_range);

    EXPECT_EQ(Commands(peer), (Lines{"dump 0x1000 0xf", "dump 0x1000 0x2f", "dump 0x2000 0xf"}));
    EXPECT_NE(context.LogText().find("ReadMemBlk(0x00001004,32)\n"), std::string::npos);
}

TEST(NetworkJTAG, DspPeerUsesWordCommands)
{
    CTestContext context;
    CFakePeer peer(CFakePeer::kDspGreeting, [](const std::string& line) -> std::optional<Reply> {
        if (line == "read_word32 0x1004")
            return Reply{"deadbeef\r\nok\r\n"};
        if (line == "dump 0x1000 0xf")
            return Reply{std::string(kRow1000) + "ok\r\n"};
        return std::nullopt;
    });
    auto adapter = OpenOn(peer, context);
    unsigned char buffer[8];
    adapter->ReadMemBlk(0x1004, buffer, 4);
    EXPECT_EQ(ReadLE32(buffer), 0xdeadbeefu);
    adapter->ReadMemBlk(0x1004, buffer, 8);
    const unsigned char word[4] = {0x0d, 0xf0, 0xfe, 0xca};
    adapter->WriteMemBlk(0x1008, word, 4);
    EXPECT_EQ(Commands(peer),
              (Lines{"read_word32 0x1004", "dump 0x1000 0xf", "write_word32 cafef00d //00001008"}));
}

TEST(NetworkJTAG, WriteMemoryRows)
{
    CTestContext context;
    CFakePeer peer(CFakePeer::kRtlGreeting, [](const std::string& line) -> std::optional<Reply> {
        if (line == "dump 0x1000 0xf")
            return Reply{std::string(kRow1000) + "ok\r\n"};
        if (line == "dump 0x1010 0xf")
            return Reply{"44444444 55555555 66666666 77777777 \r\nok\r\n"};
        return std::nullopt;
    });
    auto adapter = OpenOn(peer, context);

    // Part of a row on the RTL peer: the row is read back and overlaid.
    const unsigned char word[4] = {0x0d, 0xf0, 0xfe, 0xca};
    adapter->WriteMemBlk(0x1008, word, 4);

    unsigned char bytes[16];
    for (int i = 0; i < 16; ++i)
        bytes[i] = static_cast<unsigned char>(i);
    adapter->WriteMemBlk(0x2000, bytes, 16);
    // Two partial rows; one command after both read-backs.
    adapter->WriteMemBlk(0x1008, bytes, 16);

    EXPECT_EQ(Commands(peer),
              (Lines{"dump 0x1000 0xf", "write_mem 00000000 11111111 cafef00d 33333333 //00001000",
                     "write_mem 03020100 07060504 0b0a0908 0f0e0d0c //00002000", "dump 0x1000 0xf",
                     "dump 0x1010 0xf",
                     "write_mem 00000000 11111111 03020100 07060504 //00001000,"
                     "0b0a0908 0f0e0d0c 66666666 77777777 //00001010"}));
    EXPECT_NE(context.LogText().find("WriteMemBlk(0x00002000,16)\n"), std::string::npos);
}

TEST(NetworkJTAG, NothingSentForUnalignedOrEmptyBlocks)
{
    CTestContext context;
    CFakePeer peer;
    auto adapter = OpenOn(peer, context);
    unsigned char buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(ErrorOf([&] { adapter->ReadMemBlk(0x1002, buffer, 4); }),
              "Address not aligned: 0x00001002; memory blocks need an address that is a multiple of 4");
    EXPECT_EQ(ErrorOf([&] { adapter->ReadMemBlk(0x1000, buffer, 6); }),
              "Size not aligned: 6 bytes; memory blocks need a size that is a multiple of 4");
    EXPECT_EQ(ErrorOf([&] { adapter->WriteMemBlk(0x1001, buffer, 4); }),
              "Address not aligned: 0x00001001; memory blocks need an address that is a multiple of 4");
    adapter->ReadMemBlk(0x1000, buffer, 0);
    adapter->WriteMemBlk(0x1000, buffer, 0);
    EXPECT_EQ(buffer[0], 1);
    adapter->RunTest(1);
    EXPECT_EQ(Commands(peer), (Lines{"run 1"}));
}

TEST(NetworkJTAG, PeerClosingMidReplyFails)
{
    CTestContext context;
    CFakePeer peer(CFakePeer::kRtlGreeting, [](const std::string& line) -> std::optional<Reply> {
        if (line == "run 5")
            return Reply{"o", true};
        return std::nullopt;
    });
    auto adapter = OpenOn(peer, context);
    EXPECT_EQ(ErrorOf([&] { adapter->RunTest(5); }), "Connection closed by server");
    // The failed adapter still closes cleanly (or reports the reset).
    try {
        adapter->Close();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Can't connect to server, error: ", 0), 0u) << e.what();
    }
    EXPECT_FALSE(adapter->IsOpened());
}

TEST(NetworkJTAG, OversizedReplyIsRefused)
{
    CTestContext context;
    CFakePeer peer(CFakePeer::kRtlGreeting, [](const std::string& line) -> std::optional<Reply> {
        if (line == "run 9")
            return Reply{"ok" + std::string(network::CNetworkJTAG::kMaxReplyText + 4096, 'x')};
        return std::nullopt;
    });
    auto adapter = OpenOn(peer, context);
    EXPECT_EQ(ErrorOf([&] { adapter->RunTest(9); }), "Protocol error");
}

TEST(NetworkJTAG, RefusedConnection)
{
    CTestContext context;
    CClosedPort closed;
    EXPECT_EQ(ErrorOf([&] { network::CNetworkJTAG("127.0.0.1", closed.Port(), "SIM", context, kFast); }),
              "Can't connect to server, error: " + std::to_string(ECONNREFUSED));
}

TEST(NetworkJTAG, ConnectTimesOut)
{
    // A listener whose accept queue is full drops further connection requests,
    // so connecting to it only ends by the adapter's time-out.
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ASSERT_GE(fd, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }
    // Let the fillers' handshakes settle into the queue.
    pollfd p{fillers[0], POLLOUT, 0};
    ::poll(&p, 1, 2000);

    CTestContext context;
    EXPECT_EQ(ErrorOf([&] { network::CNetworkJTAG("127.0.0.1", ntohs(address.sin_port), "SIM", context, kFast); }),
              "Can't connect to server, error: " + std::to_string(ETIMEDOUT));
    for (int fd : fillers)
        ::close(fd);
    ::close(listener);
}

TEST(NetworkJTAG, SilentPeerTimesOutInGreeting)
{
    CTestContext context;
    CFakePeer peer("");
    EXPECT_EQ(ErrorOf([&] { network::CNetworkJTAG("127.0.0.1", peer.Port(), "SIM", context, kFast); }),
              "Can't recv data from server, error: " + std::to_string(ETIMEDOUT));
    EXPECT_TRUE(peer.WaitClosed(0));
}

TEST(NetworkJTAG, AddAdaptersSkipsFailingEntry)
{
    CFakePeer peer;
    CClosedPort closed;
    char dir[] = "/tmp/kestrad-network-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/peers.xml";
    {
        std::ofstream xml(file);
        xml << "<?xml version=\"1.0\"?>\n<jtag_options version=\"10\">\n"
            << "<network addr=\"127.0.0.1\" port=\"" << closed.Port() << "\" name=\"DOWN\"/>\n"
            << "<network addr=\"localhost\" port=\"" << peer.Port() << "\" name=\"UP\"/>\n"
            << "</jtag_options>\n";
    }
    CTestContext context;
    context.Description().LoadFromXML(file);
    std::remove(file.c_str());
    ::rmdir(dir);

    std::vector<std::shared_ptr<CJTAG>> adapters;
    network::CNetworkJTAG::AddAdapters(adapters, context);
    ASSERT_EQ(adapters.size(), 1u);
    EXPECT_TRUE(adapters[0]->IsNamed("UP"));
    EXPECT_FALSE(adapters[0]->IsOpened());
    EXPECT_EQ(adapters[0]->GetVersionNumber(), 1);
    EXPECT_NE(context.LogText().find("Exception in CNetworkJTAG::AddAdapters: Can't connect to server, error: " +
                                    std::to_string(ECONNREFUSED) + "\n"),
              std::string::npos)
        << context.LogText();    // Without -v, the skipped peer is named with where it was looked for.
    EXPECT_NE(context.LogText().find("Network peer 'DOWN' at 127.0.0.1:" + std::to_string(closed.Port()) +
                                    " skipped: "),
              std::string::npos)
        << context.LogText();
}

// A renumerate does not probe a peer a session has open (the peer serves one
// connection at a time: the probe would wait out its greeting limit and be
// skipped, or send it resets); the session's adapter stays listed as it is.
TEST(NetworkJTAG, RenumerateLeavesAPeerInUseAlone)
{
    CFakePeer peer;
    char dir[] = "/tmp/kestrad-network-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/peers.xml";
    std::ofstream(file) << "<?xml version=\"1.0\"?>\n<jtag_options version=\"10\">\n"
                        << "<network addr=\"127.0.0.1\" port=\"" << peer.Port() << "\" name=\"SIM\"/>\n"
                        << "</jtag_options>\n";
    CTestContext context;
    context.Description().LoadFromXML(file);
    std::remove(file.c_str());
    ::rmdir(dir);
    CJTAGHolder holder(context, {&network::CNetworkJTAG::AddAdapters});
    holder.Renumerate();
    const std::shared_ptr<CJTAG> sim = holder.Claim("SIM", 1);
    sim->Open();
    holder.Renumerate();
    {
        std::lock_guard<std::mutex> lock(holder.Mutex());
        EXPECT_EQ(holder.GetCount(), 1u);
        EXPECT_EQ(holder.Find("SIM"), sim);
    }
    EXPECT_EQ(context.LogText().find("skipped"), std::string::npos) << context.LogText();
    EXPECT_EQ(peer.Lines(1), (Lines{"reset", "reset"}));
    EXPECT_EQ(peer.Connections(), 2u);
    sim->Close();
    holder.Release(sim);
    // Let go, it is probed again.
    holder.Renumerate();
    EXPECT_EQ(peer.Connections(), 3u);
}

// A peer that stops answering, or answers a multi-line command with one line
// that cannot be its reply, fails the command at once (with the peer's text)
// instead of holding the adapter; the adapter can then be closed and opened
// again.
TEST(NetworkJTAG, StalledOrMisansweringPeerFailsTheCommand)
{
    network::NetworkTiming timing = kFast;
    timing.reply = std::chrono::milliseconds(200);
    struct Case {
        const char* greeting;
        std::string prefix;
        std::string reply;
        std::function<void(network::CNetworkJTAG&)> command;
        std::string expect;
    };
    const unsigned char in[4] = {};
    unsigned char out[16];
    const std::vector<Case> cases = {
        {CFakePeer::kRtlGreeting, "wrDR", "", [&](network::CNetworkJTAG& a) { a.ShiftDR(in, out, 32, kIdle); },
         "The peer did not answer for 200 ms"},
        {CFakePeer::kRtlGreeting, "dump", "ok 0x0000", [&](network::CNetworkJTAG& a) { a.ReadMemBlk(0, out, 16); },
         "The peer did not answer for 200 ms"},
        {CFakePeer::kRtlGreeting, "dump", "error: dump of 0x100000 + 1 bytes exceeds the limit\r\n",
         [&](network::CNetworkJTAG& a) { a.ReadMemBlk(0, out, 16); },
         "dump: error: dump of 0x100000 + 1 bytes exceeds the limit"},
        {CFakePeer::kRtlGreeting, "dump", "#%&? garbage ?&%#\r\n",
         [&](network::CNetworkJTAG& a) { a.ReadMemBlk(0, out, 16); }, "dump: #%&? garbage ?&%#"},
        // A dump row of 4000 characters (whatever its first 36) is no row:
        // refused as it comes.
        {CFakePeer::kRtlGreeting, "dump",
         "00000000 11111111 22222222 33333333 " + std::string(3964, 'x') + "\r\nok\r\n",
         [&](network::CNetworkJTAG& a) { a.ReadMemBlk(0, out, 16); }, "Protocol error"},
        {CFakePeer::kDspGreeting, "read_word32", "error: bad address\r\n",
         [&](network::CNetworkJTAG& a) { a.ReadMemBlk(0x100, out, 4); }, "read_word32: error: bad address"},
        {CFakePeer::kRtlGreeting, "save", "error: no room\r\n", [&](network::CNetworkJTAG& a) { a.RunTest(1); },
         "save: error: no room"},
    };
    for (const auto& c : cases) {
        CTestContext context;
        context.SetSavepoints(true);
        CFakePeer peer(c.greeting, Replies(c.prefix, {c.reply}));
        network::CNetworkJTAG adapter("127.0.0.1", peer.Port(), "SIM", context, timing);
        adapter.Open();
        EXPECT_EQ(ErrorOf([&] { c.command(adapter); }), c.expect) << c.prefix;
        EXPECT_NO_THROW(adapter.Close());
        EXPECT_NO_THROW(adapter.Open());
    }
}

// Peers that lie or dawdle. Text no command asked for fails the next
// command before it goes out and closes the connection, so no result is ever
// the previous command's; a reply, or the handshake of a probe, trickled a
// byte at a time (each byte well within the silence limit) fails at its
// deadline instead of holding the adapter or the renumerate.
TEST(NetworkJTAG, OutOfStepOrTricklingPeerFails)
{
    network::NetworkTiming timing = kFast;
    timing.reply = std::chrono::milliseconds(200);
    timing.handshake = std::chrono::milliseconds(500);
    const std::chrono::milliseconds slow(20);
    // About 2 s a byte at a time: far past every deadline.
    const std::string longResult = "ok 0x" + std::string(100, '1') + "\r\n";
    const std::string timedOut = "Can't recv data from server, error: " + std::to_string(ETIMEDOUT);
    const unsigned char in[4] = {};
    unsigned char out[16];
    struct Case {
        const char* what;
        std::string prefix;
        Reply reply;
        bool probe;  // the failure is the constructor's probe, no adapter
        std::function<void(network::CNetworkJTAG&)> command;
        std::string expect;
        size_t linesSent;  // on the failing connection, resets included
    };
    Reply unasked("ok 0x11111111\r\n");
    unasked.unasked = "ok 0x5\r\n";
    Reply trickledResult(longResult);
    trickledResult.trickle = slow;
    Reply trickledDump(std::string(kRow1000) + "ok\r\n");
    trickledDump.trickle = slow;
    const std::vector<Case> cases = {
        {"unasked line", "wrIR", unasked, false,
         [](network::CNetworkJTAG& a) {
             EXPECT_EQ(a.ShiftIR(1, 32, kIdle), 0x11111111u);
             std::this_thread::sleep_for(std::chrono::milliseconds(300));
             a.ShiftIR(2, 32, kIdle);
         },
         "Protocol error: the peer sent text no command asked for: ok 0x5", 3},
        {"trickled scan", "wrDR", trickledResult, false,
         [&](network::CNetworkJTAG& a) { a.ShiftDR(in, out, 32, kIdle); }, timedOut, 3},
        {"trickled dump", "dump", trickledDump, false,
         [&](network::CNetworkJTAG& a) { a.ReadMemBlk(0x1000, out, 16); }, timedOut, 3},
        {"trickled probe", "reset", trickledResult, true, nullptr, timedOut, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CTestContext context;
        CFakePeer::Script script = [&c](const std::string& line) -> std::optional<Reply> {
            if (line.compare(0, c.prefix.size(), c.prefix) != 0)
                return std::nullopt;
            return c.reply;
        };
        CFakePeer scripted(CFakePeer::kRtlGreeting, script);
        std::unique_ptr<network::CNetworkJTAG> adapter;
        const std::string error = ErrorOf([&] {
            adapter = std::make_unique<network::CNetworkJTAG>("127.0.0.1", scripted.Port(), "SIM", context, timing);
            adapter->Open();
            c.command(*adapter);
        });
        EXPECT_EQ(error, c.expect);
        if (adapter) {
            EXPECT_NO_THROW(adapter->Close());
        }
        const size_t connection = c.probe ? 0 : 1;
        EXPECT_TRUE(scripted.WaitClosed(connection, 5));
        EXPECT_EQ(scripted.Lines(connection).size(), c.linesSent);
    }
}

// A 16 MiB read is a million rows of text, more than twice the block: the
// rows go into the block as they arrive, so the read holds no more than the
// block and a row. Checked in a child process whose address space may grow
// by 24 MiB at most from where the read begins.
TEST(NetworkJTAG, LargeReadHoldsNoMoreThanItsBlock)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's allocator reserves address space of its own";
#endif
    const uint32_t size = 16u << 20;
    std::string rows;
    rows.reserve(static_cast<size_t>(size) / 16 * 37 + 8);
    char row[64];
    for (uint32_t address = 0; address < size; address += 16) {
        std::snprintf(row, sizeof row, "%08x %08x %08x %08x \r\n", address, address + 4, address + 8, address + 12);
        rows += row;
    }
    rows += "ok\r\n";
    // The peer runs here; the adapter in the child.
    CFakePeer peer(CFakePeer::kRtlGreeting, Replies("dump", {rows}));
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        int status = 0;
        try {
            std::vector<unsigned char> block(size);
            CTestContext context;
            network::CNetworkJTAG adapter("127.0.0.1", peer.Port(), "SIM", context, kFast);
            adapter.Open();
            std::ifstream statm("/proc/self/statm");
            unsigned long pages = 0;
            statm >> pages;
            rlimit limit{};
            limit.rlim_cur = limit.rlim_max = pages * static_cast<unsigned long>(::sysconf(_SC_PAGESIZE)) + (24ul << 20);
            ::setrlimit(RLIMIT_AS, &limit);
            adapter.ReadMemBlk(0, block.data(), size);
            status = ReadLE32(block.data() + 4) == 4 && ReadLE32(block.data() + size - 4) == size - 4 ? 0 : 3;
        } catch (const std::bad_alloc&) {
            status = 2;
        } catch (...) {
            status = 1;
        }
        ::_exit(status);
    }
    ASSERT_GT(child, 0);
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: failed, 2: out of memory, 3: wrong data";
}

// The pause a peer needs after a close comes before this adapter's next
// connect, not inside Close(): probing a peer (as every renumerate does) and
// closing cost no pause.
TEST(NetworkJTAG, ClosePauseComesBeforeTheNextOpen)
{
    CTestContext context;
    CFakePeer peer;
    network::NetworkTiming timing = kFast;
    // Longer than any uptime: the steady clock starts at boot, so an adapter
    // that took "never closed" for the clock's epoch would sleep here.
    timing.closePause = std::chrono::hours(24 * 365 * 100);
    network::CNetworkJTAG probed("127.0.0.1", peer.Port(), "SIM", context, timing);  // returns: no pause
    EXPECT_TRUE(peer.WaitClosed(0));

    timing.closePause = std::chrono::milliseconds(200);
    network::CNetworkJTAG adapter("127.0.0.1", peer.Port(), "SIM", context, timing);
    const auto start = std::chrono::steady_clock::now();
    adapter.Open();
    EXPECT_GE(std::chrono::steady_clock::now() - start, timing.closePause);
    adapter.Close();
}
