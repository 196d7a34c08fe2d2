// The client library against a scripted fake server: exact command bytes,
// reply checks, errors, time-outs and batch splitting.
#include "client/Client.h"
#include "tests/client/FakeServer.h"
#include "tests/support/Process.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

using namespace kestrad::client;
using namespace clienttest;
using namespace std::chrono_literals;

namespace {

ClientOptions Fast()
{
    ClientOptions o;
    o.connectTimeout = 2s;
    o.replyTimeout = 2s;
    return o;
}

// Reads one command and checks its exact wire image.
void Expect(FakeConnection& c, const Bytes& wire)
{
    auto cmd = c.ReadCommand();
    ASSERT_TRUE(cmd) << "no command arrived";
    EXPECT_EQ(cmd->Wire(), wire);
}

}  // namespace

TEST(ClientCommands, SendExactPacketsAndDecodeReplies)
{
    FakeServer server([](FakeConnection& c) {
        c.SendGreeting();
        Expect(c, Concat({LE32(2), LE32(4), Str("SIM"), {0}}));
        c.SendOk();
        Expect(c, Concat({LE32(4), LE32(4), LE32(0)}));
        c.SendOk();
        Expect(c, Concat({LE32(5), LE32(4), LE32(1)}));
        c.SendOk();
        // ShiftIR: value, length, end state; the reply is always one word.
        Expect(c, Concat({LE32(6), LE32(12), LE32(0x5), LE32(5), LE32(7)}));
        c.SendReply(1, LE32(0x11));
        // ShiftDR of 9 bits carries and returns 2 bytes.
        Expect(c, Concat({LE32(7), LE32(10), LE32(9), LE32(1), {0xAB, 0x01}}));
        c.SendReply(1, {0x34, 0x01});
        Expect(c, Concat({LE32(8), LE32(4), LE32(1000)}));
        c.SendOk();
        Expect(c, Concat({LE32(9), LE32(9), Str("SIM"), {0}, Str("CHIP"), {0}}));
        c.SendOk();
        Expect(c, Concat({LE32(10), LE32(7), LE32(0x20000000), {1, 2, 3}}));
        c.SendOk();
        Expect(c, Concat({LE32(11), LE32(8), LE32(0x20000000), LE32(3)}));
        c.SendReply(1, {1, 2, 3});
        Expect(c, Concat({LE32(16), LE32(4), LE32(1000000)}));
        c.SendOk();
        // A raw sequence of 9 clocks: count, 2 TMS bytes, 2 TDI bytes.
        Expect(c, Concat({LE32(17), LE32(8), LE32(9), {0x1F, 0x01}, {0xA5, 0x00}}));
        c.SendReply(1, {0x5A, 0x01});
        // The keep-alive gets no reply; the reset after it does.
        Expect(c, Concat({LE32(12), LE32(0)}));
        Expect(c, Concat({LE32(14), LE32(0)}));
        c.SendOk();
        Expect(c, Concat({LE32(3), LE32(0)}));
        c.SendOk();
        Expect(c, Concat({LE32(13), LE32(0)}));
        EXPECT_TRUE(c.ClientClosed());
    });

    CClient client(server.Address(), Fast());
    client.Open("SIM");
    client.SetTrst(false);
    client.SetSysRst(true);
    EXPECT_EQ(client.ShiftIR(0x5, 5, TapState::PauseIR), 0x11u);
    EXPECT_EQ(client.ShiftDR({0xAB, 0x01}, 9, TapState::RunTestIdle), (Bytes{0x34, 0x01}));
    client.RunTest(1000);
    client.UpdateName("SIM", "CHIP");
    client.WriteBlock(0x20000000, Bytes{1, 2, 3});
    EXPECT_EQ(client.ReadBlock(0x20000000, 3), (Bytes{1, 2, 3}));
    client.SetFrequency(1000000);
    EXPECT_EQ(client.RawSequence({0x1F, 0x01}, {0xA5, 0x00}, 9), (Bytes{0x5A, 0x01}));
    client.KeepAlive();
    client.Reset();
    client.Close();
    client.Disconnect();
    EXPECT_FALSE(client.IsConnected());
    EXPECT_THROW(client.Reset(), ConnectionError);
    server.Join();
}

TEST(ClientCommands, ListParsesRecordsWithAndWithoutSerial)
{
    FakeServer server([](FakeConnection& c) {
        c.SendGreeting();
        Expect(c, Concat({LE32(1), LE32(0)}));
        c.SendReply(1, Concat({{2, 0}, Str("SIM"), {0}, Str("RTL"), {0},
                               {3, 0}, Str("EZ-USB#1"), {0}, Str(""), {0}, Str("K1"), {0}}));
        Expect(c, Concat({LE32(1), LE32(0)}));
        c.SendReply(1, {});
    });
    CClient client(server.Address(), Fast());
    auto list = client.List();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, "SIM");
    EXPECT_EQ(list[0].chipName, "RTL");
    EXPECT_FALSE(list[0].serial);
    EXPECT_EQ(list[1].name, "EZ-USB#1");
    EXPECT_EQ(list[1].chipName, "");
    ASSERT_TRUE(list[1].serial);
    EXPECT_EQ(*list[1].serial, "K1");
    EXPECT_TRUE(client.List().empty());
    server.Join();
}

TEST(ClientCommands, MalformedListsAreProtocolErrors)
{
    const Bytes bad[] = {
        {4, 0, 'a', 0, 'b', 0},            // string count 4
        {2, 1, 'a', 0, 'b', 0},            // second byte not 0
        {2, 0, 'a', 0, 'b'},               // chip name without NUL
        {3, 0, 'a', 0, 'b', 0},            // serial missing
        {2, 0, 'a', 0, 'b', 0, 2},         // truncated second record
    };
    for (const Bytes& b : bad)
        EXPECT_THROW(ParseAdapterList(b.data(), b.size()), ProtocolError) << b.size();
    EXPECT_TRUE(ParseAdapterList(nullptr, 0).empty());
}

TEST(ClientErrors, ServerMessageComesThroughUnchangedAndConnectionStaysUsable)
{
    const std::string message = "no such device: X  \xc3\xa9 \"quoted\"";
    FakeServer server([&](FakeConnection& c) {
        c.SendGreeting();
        ASSERT_TRUE(c.ReadCommand());
        c.SendError(message);
        ASSERT_TRUE(c.ReadCommand());
        c.SendOk();
    });
    CClient client(server.Address(), Fast());
    try {
        client.Open("X");
        FAIL() << "no ServerError";
    } catch (const ServerError& e) {
        EXPECT_EQ(std::string(e.what()), message);
        EXPECT_EQ(e.Message(), message);
    }
    EXPECT_TRUE(client.IsConnected());
    client.Close();
    server.Join();
}

TEST(ClientErrors, BadOrMissingGreetingFailsTheConnect)
{
    {
        FakeServer server([](FakeConnection& c) {
            c.Send({0x01, 0, 0, 0, 0x08, 0, 0, 0, 0xAB, 0xEE, 0xDD, 0xFE, 0, 0, 0, 0});
        });
        try {
            CClient client(server.Address(), Fast());
            FAIL() << "connected despite a bad greeting";
        } catch (const ConnectionError& e) {
            EXPECT_NE(std::string(e.what()).find("bad greeting"), std::string::npos) << e.what();
        }
    }
    {
        FakeServer server([](FakeConnection& c) { c.Send({0x01, 0, 0, 0, 0x08}); });
        EXPECT_THROW(CClient(server.Address(), Fast()), ConnectionError);
    }
    {
        // A server that accepts but never greets.
        FakeServer server([](FakeConnection& c) { c.ClientClosed(3s); });
        ClientOptions o = Fast();
        o.replyTimeout = 200ms;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_THROW(CClient(server.Address(), o), ConnectionError);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    }
}

TEST(ClientErrors, TruncatedReplyClosesTheConnection)
{
    FakeServer server([](FakeConnection& c) {
        c.SendGreeting();
        ASSERT_TRUE(c.ReadCommand());
        c.Send(Concat({LE32(1), LE32(10), {1, 2, 3, 4}}));
    });
    CClient client(server.Address(), Fast());
    try {
        client.ReadBlock(0, 10);
        FAIL() << "no error";
    } catch (const ConnectionError& e) {
        EXPECT_NE(std::string(e.what()).find("closed"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(client.IsConnected());
    EXPECT_THROW(client.Close(), ConnectionError);
    server.Join();
}

TEST(ClientErrors, SilentServerTimesOut)
{
    FakeServer server([](FakeConnection& c) {
        c.SendGreeting();
        ASSERT_TRUE(c.ReadCommand());
        c.ClientClosed(5s);  // never answers
    });
    ClientOptions o = Fast();
    o.replyTimeout = 300ms;
    CClient client(server.Address(), o);
    const auto start = std::chrono::steady_clock::now();
    try {
        client.List();
        FAIL() << "no time-out";
    } catch (const ConnectionError& e) {
        EXPECT_NE(std::string(e.what()).find("timed out"), std::string::npos) << e.what();
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 3s);
    server.Join();
}

TEST(ClientErrors, UnexpectedStatusOrSizeIsAProtocolError)
{
    struct Case {
        Bytes reply;
        std::function<void(CClient&)> call;
    };
    const std::vector<Case> cases = {
        {Concat({LE32(2), LE32(0)}), [](CClient& c) { c.Close(); }},
        {Concat({LE32(1), LE32(4), LE32(0)}), [](CClient& c) { c.Close(); }},
        {Concat({LE32(1), LE32(8), LE32(0), LE32(0)}),
         [](CClient& c) { c.ShiftIR(1, 4); }},
        {Concat({LE32(1), LE32(1), {0}}), [](CClient& c) { c.ShiftDR({0, 0}, 16); }},
        // 4 GiB announced: refused before anything is allocated or read.
        {Concat({LE32(1), LE32(0xFFFFFFFF)}), [](CClient& c) { c.List(); }},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        FakeServer server([&](FakeConnection& c) {
            c.SendGreeting();
            if (c.ReadCommand())
                c.Send(cases[i].reply);
            c.ClientClosed(2s);
        });
        CClient client(server.Address(), Fast());
        EXPECT_THROW(cases[i].call(client), ProtocolError) << "case " << i;
        EXPECT_FALSE(client.IsConnected()) << "case " << i;
        server.Join();
    }
}

TEST(ClientErrors, ArgumentsACommandCannotCarryAreRefusedBeforeSending)
{
    FakeServer server([](FakeConnection& c) {
        c.SendGreeting();
        // Nothing but the disconnect may arrive.
        auto cmd = c.ReadCommand();
        ASSERT_TRUE(cmd);
        EXPECT_EQ(cmd->code, 13u);
    });
    CClient client(server.Address(), Fast());
    EXPECT_THROW(client.ShiftIR(1, 0), std::invalid_argument);
    EXPECT_THROW(client.ShiftIR(1, 33), std::invalid_argument);
    EXPECT_THROW(client.ShiftDR({0}, 9), std::invalid_argument);
    EXPECT_THROW(client.ShiftDR({}, 0), std::invalid_argument);
    EXPECT_THROW(client.ReadBlock(0, 0x7FFFFFFF), std::invalid_argument);
    EXPECT_THROW(client.Open(std::string(300, 'a')), std::invalid_argument);
    EXPECT_THROW(client.RawSequence({0}, {0, 0}, 9), std::invalid_argument);
    EXPECT_THROW(client.RawSequence({}, {}, 1), std::invalid_argument);
    client.Disconnect();
    server.Join();
}

TEST(ClientBatch, BodyLayoutAndResultSplitting)
{
    CBatch batch;
    batch.ShiftIR(0x1F, 5, TapState::PauseIR)
        .ShiftDR({0x34, 0x0C}, 12)
        .WriteDR({1, 2, 3, 4}, 32, TapState::PauseDR);
    EXPECT_EQ(batch.Size(), 3u);
    EXPECT_EQ(batch.ExpectedResultBytes(), 3u);
    const Bytes body = Concat({LE32(6), LE32(12), LE32(0x1F), LE32(5), LE32(7),
                               LE32(7), LE32(10), LE32(12), LE32(1), {0x34, 0x0C},
                               LE32(17), LE32(12), LE32(32), LE32(6), {1, 2, 3, 4}});
    EXPECT_EQ(batch.Body(), body);

    FakeServer server([&](FakeConnection& c) {
        c.SendGreeting();
        Expect(c, Concat({LE32(15), LE32(static_cast<uint32_t>(body.size())), body}));
        c.SendReply(1, {0x11, 0xAA, 0x0B});
        ASSERT_TRUE(c.ReadCommand());
        c.SendReply(1, {0x11, 0xAA});  // one byte short
    });
    CClient client(server.Address(), Fast());
    auto results = client.Execute(batch);
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0], Bytes{0x11});
    EXPECT_EQ(results[1], (Bytes{0xAA, 0x0B}));
    EXPECT_TRUE(results[2].empty());
    EXPECT_THROW(client.Execute(batch), ProtocolError);
    server.Join();

    // An IR scan of more than 8 bits yields more than one byte in a batch.
    CBatch wide;
    wide.ShiftIR(0x3FF, 10).ShiftIR(1, 32);
    EXPECT_EQ(wide.ExpectedResultBytes(), 2u + 4u);
    auto split = wide.Split({1, 2, 3, 4, 5, 6});
    EXPECT_EQ(split[0], (Bytes{1, 2}));
    EXPECT_EQ(split[1], (Bytes{3, 4, 5, 6}));
}

TEST(ClientPipelining, RepliesComeInOrderWhileLargeSendsAndRepliesCross)
{
    // The server answers the first command with a reply larger than the
    // socket buffers before it reads the second, as large: the client must
    // take the reply while it sends, or both sides wait for each other.
    const Bytes big(4u << 20, 0x5A);
    FakeServer server([&](FakeConnection& c) {
        c.SendGreeting();
        ASSERT_TRUE(c.ReadCommand());
        c.SendReply(1, big);
        auto second = c.ReadCommand();
        ASSERT_TRUE(second);
        EXPECT_EQ(second->body.size(), big.size());
        auto third = c.ReadCommand();
        ASSERT_TRUE(third);
        EXPECT_EQ(third->code, 8u);
        c.SendError("second failed");
        c.SendOk();
        Expect(c, Concat({LE32(3), LE32(0)}));
        c.SendOk();
    });
    CClient client(server.Address(), Fast());
    const Bytes read = kestrad::client::body::ReadBlock(0, static_cast<uint32_t>(big.size()));
    client.Post(11, read.data(), read.size());
    client.Post(10, big.data(), big.size());
    client.Post(8, LE32(5).data(), 4);
    EXPECT_EQ(client.Outstanding(), 3u);
    // A call that reads a reply of its own would take another's.
    EXPECT_THROW(client.Close(), std::logic_error);
    Bytes body;
    client.Receive(body, big.size(), "read");
    EXPECT_EQ(body, big);
    EXPECT_THROW(client.Receive(body, 0, "write"), ServerError);
    client.Receive(body, 0, "runtest");
    EXPECT_EQ(client.Outstanding(), 0u);
    client.Close();  // the connection is still in step
    server.Join();
}

TEST(ClientTransport, LocalEndpointNameMapsToTheRuntimeDirectory)
{
    testsupport::TempDir dir;
    ::setenv("KESTRAD_PIPE_DIR", dir.Path().c_str(), 1);
    FakeServer server(
        [](FakeConnection& c) {
            c.SendGreeting();
            Expect(c, Concat({LE32(3), LE32(0)}));
            c.SendOk();
        },
        dir.File("kestrad_test_pipe"));
    {
        CClient client("\\\\.\\PIPE\\kestrad_test_pipe", Fast());
        client.Close();
    }
    server.Join();
    ::unsetenv("KESTRAD_PIPE_DIR");

    // A plain path is used as it stands; a missing one is a connection error.
    EXPECT_THROW(CClient(dir.File("nothing-here"), Fast()), ConnectionError);
}

// Someone else listening on a local endpoint (the name taken before the
// server started) is refused before a byte is sent, unless named.
TEST(ClientTransport, LocalEndpointOfAnotherUserIsRefused)
{
    const struct {
        long server, euid, service, extra;
        bool trusted;
    } rows[] = {
        {0, 1000, -1, -1, true},       // root
        {1000, 1000, -1, -1, true},    // oneself
        {999, 1000, 999, -1, true},    // the packaged service's user
        {1001, 1000, 999, -1, false},  // anyone else
        {1001, 1000, 999, 1001, true}, // ... unless named
        {1001, 0, -1, -1, false},      // root trusts no other user either
    };
    for (const auto& r : rows)
        EXPECT_EQ(TrustedServerUid(r.server, r.euid, r.service, r.extra), r.trusted) << r.server << " " << r.euid;

    if (::geteuid() != 0)
        GTEST_SKIP() << "listening as another user needs root";
    testsupport::TempDir dir;
    ::chmod(dir.Path().c_str(), 0777);
    const std::string path = dir.File("squatted.sock");
    const pid_t squatter = ::fork();
    if (squatter == 0) {
        // uid 4242 takes the name and greets like a server.
        if (::setgid(4242) != 0 || ::setuid(4242) != 0)
            ::_exit(1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un at{};
        at.sun_family = AF_UNIX;
        std::strncpy(at.sun_path, path.c_str(), sizeof at.sun_path - 1);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || ::listen(fd, 4) != 0)
            ::_exit(1);
        const unsigned char greeting[16] = {1, 0, 0, 0, 8, 0, 0, 0, 0xAB, 0xEE, 0xDD, 0xFF, 0, 0, 0, 0};
        for (;;) {
            const int c = ::accept(fd, nullptr, nullptr);
            if (c >= 0 && ::send(c, greeting, sizeof greeting, MSG_NOSIGNAL) >= 0)
                ::shutdown(c, SHUT_WR);  // closed when the client goes
        }
    }
    ASSERT_GT(squatter, 0);
    EXPECT_TRUE(testsupport::WaitFor([&] { return testsupport::CanConnectLocal(path); }));
    try {
        CClient refused(path, Fast());
        ADD_FAILURE() << "a server of uid 4242 was trusted";
    } catch (const ConnectionError& e) {
        const std::string what = e.what();
        EXPECT_EQ(what.find("refusing the server at " + path + ": it runs as uid 4242"), 0u) << what;
        EXPECT_NE(what.find("set KESTRAD_SERVER_UID=4242 to trust it"), std::string::npos) << what;
    }
    ClientOptions named = Fast();
    named.serverUser = "4242";
    EXPECT_NO_THROW(CClient(path, named));
    ::kill(squatter, SIGKILL);
    ::waitpid(squatter, nullptr, 0);
}

TEST(ClientTransport, BadAddressesAreConnectionErrors)
{
    const int port = testsupport::FreeTcpPort();
    EXPECT_THROW(CClient("127.0.0.1:" + std::to_string(port), Fast()), ConnectionError);
    EXPECT_THROW(CClient("127.0.0.1:notaport", Fast()), ConnectionError);
    EXPECT_THROW(CClient("127.0.0.1:70000", Fast()), ConnectionError);
    EXPECT_THROW(CClient("no-such-host.invalid:1234", Fast()), ConnectionError);
}

TEST(ClientTransport, RawLayerAndCloseDetection)
{
    FakeServer server([](FakeConnection& c) {
        c.SendGreeting();
        // A partial header followed by the rest arrives as one command.
        Expect(c, Concat({LE32(99), LE32(1), {7}}));
        c.SendError("unknown command");
        EXPECT_FALSE(c.ReadCommand(300ms));
        c.Close();
    });
    ClientOptions o = Fast();
    CClient client(server.Address(), o);
    const Bytes part1 = Concat({LE32(99), {1, 0}});
    client.SendRaw(part1.data(), part1.size());
    const Bytes part2 = {0, 0, 7};
    client.SendRaw(part2.data(), part2.size());
    Reply r = client.ReadReply();
    EXPECT_EQ(r.status, 3u);
    EXPECT_EQ(r.body, Str("unknown command"));
    EXPECT_FALSE(client.ServerClosedWithin(100ms));
    EXPECT_TRUE(client.ServerClosedWithin(3s));
    server.Join();
}

TEST(ClientTransport, KeepAliveThreadFillsSilence)
{
    std::atomic<bool> threeKeepAlives{false};
    FakeServer server([&](FakeConnection& c) {
        c.SendGreeting();
        for (int i = 0; i < 3; ++i) {
            auto cmd = c.ReadCommand(2s);
            ASSERT_TRUE(cmd);
            EXPECT_EQ(cmd->Wire(), Concat({LE32(12), LE32(0)}));
        }
        threeKeepAlives = true;
        // A command between keep-alives is answered as usual.
        auto cmd = c.ReadCommand(2s);
        while (cmd && cmd->code == 12)
            cmd = c.ReadCommand(2s);
        ASSERT_TRUE(cmd);
        EXPECT_EQ(cmd->code, 3u);
        c.SendOk();
        while ((cmd = c.ReadCommand(2s)) && cmd->code == 12) {
        }
        ASSERT_TRUE(cmd);
        EXPECT_EQ(cmd->code, 13u);
    });
    CClient client(server.Address(), Fast());
    client.EnableKeepAlive(50ms);
    EXPECT_TRUE(testsupport::WaitFor([&] { return threeKeepAlives.load(); }));
    client.Close();
    client.Disconnect();
    server.Join();
}

TEST(ClientTypes, TapStateNames)
{
    EXPECT_EQ(ParseTapState("idle"), TapState::RunTestIdle);
    EXPECT_EQ(ParseTapState("Run-Test-Idle"), TapState::RunTestIdle);
    EXPECT_EQ(ParseTapState("PAUSE_DR"), TapState::PauseDR);
    EXPECT_EQ(ParseTapState("irpause"), TapState::PauseIR);
    EXPECT_EQ(ParseTapState("0"), TapState::TestLogicReset);
    EXPECT_FALSE(ParseTapState("8"));
    EXPECT_FALSE(ParseTapState("update_dr"));
    EXPECT_STREQ(TapStateName(TapState::Exit1IR), "EXIT1_IR");
}
