// kestractl against the real kestrad, with kestrad-sim as a network peer and
// the simulated USB bus (libkestrad-simusb.so) for the maker's adapter.
#include "tests/client/FakeServer.h"
#include "tests/support/Process.h"
#include "tests/support/Programs.h"
#include "wire/LocalEndpoint.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <random>
#include <sstream>
#include <thread>

using testsupport::Process;
using testsupport::ProgramPath;
using testsupport::TempDir;
using Json = nlohmann::json;
using namespace std::chrono_literals;

namespace {

const char* kChain3 = "0x4BA00477:4+bypass:5+0x06413041:5";

bool Exists(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

struct Result {
    int status = -1;
    std::string out, err;
};

class KestractlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* program : {"kestractl", "kestrad", "kestrad-sim"})
            ASSERT_TRUE(Exists(ProgramPath(program))) << ProgramPath(program) << " is not built";
    }

    std::string NewDir()
    {
        const std::string d = m_dir.File("run" + std::to_string(m_runs++));
        ::mkdir(d.c_str(), 0700);
        return d;
    }

    // Starts kestrad-sim on a free port; returns the port.
    int StartPeer(const std::vector<std::string>& extra = {})
    {
        m_peers.push_back(std::make_unique<testsupport::Peer>(extra));
        return m_peers.back()->port;
    }

    // Starts kestrad with a configuration naming the peers (name, port), the
    // maker's USB adapter, and the given simulated USB devices. Returns the
    // address to pass with -a.
    std::string StartServer(const std::vector<std::pair<std::string, int>>& peers,
                            const std::string& simUsb = "", const std::string& local = "")
    {
        std::string entries = testsupport::UsbEntry();
        for (const auto& peer : peers)
            entries += testsupport::NetworkEntry(peer.first, peer.second);
        m_server = std::make_unique<testsupport::Server>(entries, simUsb, std::vector<std::string>{},
                                                         std::map<std::string, std::string>{}, local);
        return m_server->Address();
    }

    Result Run(const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env = {{"KESTRAD_ADDRESS", ""}})
    {
        const std::string dir = NewDir();
        Process p(ProgramPath("kestractl"), args, env, dir);
        Result r;
        r.status = p.Wait(60s);
        if (r.status == -1)
            p.Kill();
        r.out = p.Stdout();
        r.err = p.Stderr();
        return r;
    }

    static Json ParseJson(const Result& r)
    {
        try {
            return Json::parse(r.out);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "not JSON (" << e.what() << "):\n" << r.out;
            return Json();
        }
    }

    TempDir m_dir;
    int m_runs = 0;
    std::vector<std::unique_ptr<testsupport::Peer>> m_peers;
    std::unique_ptr<testsupport::Server> m_server;
};

std::string Describe(const Result& r)
{
    return "status " + std::to_string(r.status) + "\nstdout:\n" + r.out + "\nstderr:\n" + r.err;
}

// Runs kestractl with stdout and stderr on a pseudo-terminal, as a user at a
// prompt would; returns the exit status and what the terminal showed.
Result RunOnTerminal(const std::vector<std::string>& args)
{
    const std::string program = ProgramPath("kestractl");
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    Result r;
    if (pid < 0)
        return r;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(master, buf, sizeof(buf))) > 0)  // EIO once the child is gone
        r.out.append(buf, static_cast<size_t>(n));
    ::close(master);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    return r;
}

// kestractl on a pseudo-terminal that the test types into, as a user at the
// prompt would. Every wait has a limit; the program is killed if it outlives
// the test.
class CTerminal {
public:
    CTerminal(const std::vector<std::string>& args, const std::string& home)
    {
        const std::string program = ProgramPath("kestractl");
        std::vector<std::string> env{"TERM=xterm", "HOME=" + home, "PATH=/usr/bin:/bin"};
        std::vector<char*> argv{const_cast<char*>(program.c_str())}, envp;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (std::string& e : env)
            envp.push_back(&e[0]);
        envp.push_back(nullptr);
        struct winsize size = {};
        size.ws_row = 24;
        size.ws_col = 120;
        m_pid = ::forkpty(&m_master, nullptr, nullptr, &size);
        if (m_pid == 0) {
            ::execve(program.c_str(), argv.data(), envp.data());
            ::_exit(127);
        }
    }

    ~CTerminal()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_master >= 0)
            ::close(m_master);
    }

    bool Started() const { return m_pid > 0; }

    void Type(const std::string& keys)
    {
        ASSERT_EQ(::write(m_master, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

    // Reads what the terminal shows until `text` has appeared `count` times
    // in all of it; false when the limit passes or the program ends first.
    bool WaitFor(const std::string& text, size_t count, std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (Count(text) < count) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count())))
                return Count(text) >= count;
        }
        return true;
    }

    // Waits for the `count`-th prompt and for the line editor to take keys:
    // it shows the prompt before it leaves canonical mode, and a Ctrl-D the
    // terminal gets before that is lost.
    bool WaitForPrompt(size_t count, std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        if (!WaitFor("kestractl> ", count, limit))
            return false;
        struct termios mode;
        while (::tcgetattr(m_master, &mode) == 0 && (mode.c_lflag & ICANON)) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    // The exit status, or -1 when the program is still running at the limit.
    int WaitExit(std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
            }
            ReadSome(20);
        }
        return -1;
    }

    const std::string& Shown() const { return m_shown; }

private:
    size_t Count(const std::string& text) const
    {
        size_t n = 0;
        for (size_t at = m_shown.find(text); at != std::string::npos; at = m_shown.find(text, at + 1))
            ++n;
        return n;
    }

    // False once nothing more can come (the program closed the terminal).
    bool ReadSome(int timeoutMs)
    {
        struct pollfd p = {m_master, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return true;
        char buf[4096];
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n <= 0)
            return false;
        m_shown.append(buf, static_cast<size_t>(n));
        return true;
    }

    int m_master = -1;
    pid_t m_pid = -1;
    std::string m_shown;
};

}  // namespace

// What a server sends is printed with control characters escaped: a list
// whose chip name sets the window title, clears the screen and forges a row,
// with a serial number that turns on bold, and an error reply that clears
// the screen. UTF-8 shows as it is; JSON output is plain ASCII.
TEST_F(KestractlTest, ServerTextIsPrintedEscaped)
{
    using clienttest::Concat;
    using clienttest::FakeConnection;
    using clienttest::Str;
    const std::string evil = "Chip\x1b]0;pwned\x07\x1b[2J\nFORGED  row  -\xc2\x9b" "31m\xff";
    const clienttest::Bytes records = Concat({{3, 0}, Str("EZ-USB0"), {0}, Str(evil), {0}, Str("K\x1b[1m"), {0},
                                              {2, 0}, Str("J\xc3\xb6rg"), {0}, Str("ok"), {0}});
    auto run = [&](const std::vector<std::string>& args, std::function<void(FakeConnection&)> reply) {
        clienttest::FakeServer server([reply](FakeConnection& c) {
            c.SendGreeting();
            if (c.ReadCommand())
                reply(c);
            c.ClientClosed();
        });
        std::vector<std::string> all = {"-a", server.Address()};
        all.insert(all.end(), args.begin(), args.end());
        Result r = Run(all);
        server.Join();
        return r;
    };

    Result text = run({"list"}, [&](FakeConnection& c) { c.SendReply(1, records); });
    ASSERT_EQ(text.status, 0) << Describe(text);
    for (const char* raw : {"\x1b", "\x07", "\xc2\x9b", "\xff"})
        EXPECT_EQ(text.out.find(raw), std::string::npos) << text.out;
    EXPECT_EQ(std::count(text.out.begin(), text.out.end(), '\n'), 3) << text.out;  // the header, two rows
    EXPECT_NE(text.out.find("Chip\\x1b]0;pwned\\x07\\x1b[2J\\nFORGED  row  -\\xc2\\x9b31m\\xff"), std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("K\\x1b[1m"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("J\xc3\xb6rg"), std::string::npos) << text.out;

    Result json = run({"--json", "list"}, [&](FakeConnection& c) { c.SendReply(1, records); });
    ASSERT_EQ(json.status, 0) << Describe(json);
    EXPECT_TRUE(std::all_of(json.out.begin(), json.out.end(), [](char ch) { return (ch & 0x80) == 0; })) << json.out;
    EXPECT_EQ(ParseJson(json)["adapters"][1]["name"], "J\xc3\xb6rg");

    Result error = run({"list"}, [](FakeConnection& c) { c.SendError("no\x1b[2J way\n"); });
    EXPECT_EQ(error.status, 4) << Describe(error);
    EXPECT_EQ(error.err, "kestractl: server error: no\\x1b[2J way\\n\n");
}

TEST_F(KestractlTest, ListShowsNetworkAndUsbAdaptersWithSerial)
{
    const int port = StartPeer();
    const std::string address = StartServer({{"SIM", port}}, "ezusb,serial=K1");

    Result text = Run({"-a", address, "list"});
    ASSERT_EQ(text.status, 0) << Describe(text);
    EXPECT_NE(text.out.find("SIM"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("K1"), std::string::npos) << text.out;

    Result json = Run({"-a", address, "--json", "list"});
    ASSERT_EQ(json.status, 0) << Describe(json);
    Json doc = ParseJson(json);
    ASSERT_TRUE(doc["adapters"].is_array()) << json.out;
    bool sawPeer = false, sawUsb = false;
    for (const Json& a : doc["adapters"]) {
        if (a["name"] == "SIM") {
            sawPeer = true;
            EXPECT_TRUE(a["serial"].is_null());
        }
        if (a["serial"] == "K1")
            sawUsb = true;
    }
    EXPECT_TRUE(sawPeer) << json.out;
    EXPECT_TRUE(sawUsb) << json.out;
}

TEST_F(KestractlTest, DetectFindsTheChainWithABypassTap)
{
    const int port = StartPeer({"--chain", kChain3});
    const std::string address = StartServer({{"SIM", port}});

    Result r = Run({"-a", address, "--json", "detect", "SIM"});
    ASSERT_EQ(r.status, 0) << Describe(r);
    Json doc = ParseJson(r);
    EXPECT_EQ(doc["ok"], true);
    EXPECT_EQ(doc["count"], 3);
    EXPECT_EQ(doc["bypass"], 1);
    ASSERT_EQ(doc["devices"].size(), 3u) << r.out;
    EXPECT_EQ(doc["devices"][0]["idcode"], "0x4ba00477");
    EXPECT_EQ(doc["devices"][0]["bank"], 5);
    EXPECT_EQ(doc["devices"][0]["code"], "0x3b");
    EXPECT_EQ(doc["devices"][0]["part"], "0xba00");
    EXPECT_EQ(doc["devices"][0]["version"], 4);
    EXPECT_EQ(doc["devices"][1]["bypass"], true);
    EXPECT_EQ(doc["devices"][2]["idcode"], "0x06413041");
    EXPECT_EQ(doc["devices"][2]["bank"], 1);
    EXPECT_EQ(doc["devices"][2]["code"], "0x20");
    EXPECT_EQ(doc["devices"][0]["manufacturer"], "ARM Ltd");
    EXPECT_EQ(doc["devices"][2]["manufacturer"], "STMicroelectronics");

    Result text = Run({"-a", address, "detect", "SIM"});
    ASSERT_EQ(text.status, 0) << Describe(text);
    EXPECT_NE(text.out.find("0x4ba00477"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("BYPASS"), std::string::npos) << text.out;

    // A maker from the last bank an IDCODE can name, and a code no maker holds
    // (0x7f marks a continuation in JEP106).
    const int late = StartPeer({"--chain", "0x10000f43:4+0x00000fff:4"});
    const std::string lateAddress = StartServer({{"LATE", late}});
    Result makers = Run({"-a", lateAddress, "detect", "LATE"});
    ASSERT_EQ(makers.status, 0) << Describe(makers);
    EXPECT_NE(makers.out.find("bank 16 code 0x21 (Tenstorrent Inc)"), std::string::npos)
        << makers.out;
    EXPECT_NE(makers.out.find("bank 16 code 0x7f\n"), std::string::npos) << makers.out;
}

TEST_F(KestractlTest, InteractivePromptCompletesRecallsAndRunsLines)
{
    const int port = StartPeer({"--chain", kChain3});
    const std::string address = StartServer({{"SIM", port}});
    CTerminal t({"-a", address, "script", "-"}, NewDir());
    ASSERT_TRUE(t.Started());
    ASSERT_TRUE(t.WaitForPrompt(1, 20s)) << t.Shown();

    // "de" and Tab complete the command detect, "S" and Tab the adapter SIM
    // (asked of the server); neither line runs without both completions.
    t.Type("de\tS\t\r");
    ASSERT_TRUE(t.WaitFor("0x4ba00477", 1, 20s)) << t.Shown();
    ASSERT_TRUE(t.WaitForPrompt(2, 20s)) << t.Shown();

    // The up arrow brings the line back; it runs again.
    t.Type("\x1b[A\r");
    ASSERT_TRUE(t.WaitFor("0x4ba00477", 2, 20s)) << t.Shown();
    ASSERT_TRUE(t.WaitForPrompt(3, 20s)) << t.Shown();
    EXPECT_EQ(t.Shown().find("error"), std::string::npos) << t.Shown();

    t.Type("\x04");  // Ctrl-D ends the prompt
    EXPECT_EQ(t.WaitExit(20s), 0) << t.Shown();
}

TEST_F(KestractlTest, MemoryRoundTripThroughTheSimulatedUsbAdapter)
{
    const std::string address = StartServer({}, "ezusb,serial=K7");
    Result list = Run({"-a", address, "--json", "list"});
    ASSERT_EQ(list.status, 0) << Describe(list);
    std::string name;
    const Json listed = ParseJson(list);
    for (const Json& a : listed["adapters"])
        if (a["serial"] == "K7")
            name = a["name"].get<std::string>();
    ASSERT_FALSE(name.empty()) << list.out;

    std::string data(70000, '\0');
    std::mt19937 rng(11);
    for (char& c : data)
        c = static_cast<char>(rng());
    const std::string in = m_dir.File("usb-in.bin"), out = m_dir.File("usb-out.bin");
    testsupport::WriteFile(in, data);
    Result w = Run({"-a", address, "write", name, "0x1000", "--file", in});
    ASSERT_EQ(w.status, 0) << Describe(w);
    Result r = Run({"-a", address, "read", name, "0x1000", std::to_string(data.size()), "-o", out});
    ASSERT_EQ(r.status, 0) << Describe(r);
    EXPECT_TRUE(testsupport::ReadFile(out) == data) << "read-back differs";

    // Hex bytes in, hex dump out.
    Result wb = Run({"-a", address, "write", name, "0x2000", "de", "ad", "be", "ef"});
    ASSERT_EQ(wb.status, 0) << Describe(wb);
    Result dump = Run({"-a", address, "read", name, "0x2000", "4"});
    ASSERT_EQ(dump.status, 0) << Describe(dump);
    EXPECT_EQ(dump.out, "00002000: de ad be ef" + std::string(12 * 3, ' ') + "  |....|\n");
}

TEST_F(KestractlTest, FileWrittenToTargetMemoryReadsBackIdentical)
{
    const int port = StartPeer();
    const std::string address = StartServer({{"SIM", port}});

    // Several chunks, the last one short.
    std::string data(150000, '\0');
    std::mt19937 rng(7);
    for (char& c : data)
        c = static_cast<char>(rng());
    const std::string in = m_dir.File("in.bin"), out = m_dir.File("out.bin");
    testsupport::WriteFile(in, data);

    Result w = Run({"-a", address, "--chunk", "32K", "write", "SIM", "0x20000000", "--file", in});
    ASSERT_EQ(w.status, 0) << Describe(w);
    Result r = Run({"-a", address, "--chunk", "32K", "read", "SIM", "0x20000000",
                    std::to_string(data.size()), "--output", out});
    ASSERT_EQ(r.status, 0) << Describe(r);
    EXPECT_TRUE(testsupport::ReadFile(out) == data) << "read-back differs";
    // No progress bar without a terminal.
    EXPECT_EQ(r.err, "");

    Result dump = Run({"-a", address, "--json", "read", "SIM", "0x20000000", "8"});
    ASSERT_EQ(dump.status, 0) << Describe(dump);
    static const char* hex = "0123456789abcdef";
    std::string expect;
    for (int i = 0; i < 8; ++i) {
        expect += hex[static_cast<unsigned char>(data[i]) >> 4];
        expect += hex[static_cast<unsigned char>(data[i]) & 15];
    }
    EXPECT_EQ(ParseJson(dump)["data"], expect);
}

TEST_F(KestractlTest, ScriptRunsStepsAndBatchesInOneSession)
{
    const int port = StartPeer();
    const std::string address = StartServer({{"SIM", port}});
    const std::string script = m_dir.File("ok.kcs");
    testsupport::WriteFile(script,
                           "# read the IDCODE twice: plain, then as one batch\n"
                           "open SIM\n"
                           "\n"
                           "irscan . 0x3 --length 4     # IDCODE instruction\n"
                           "drscan . 0 --length 32\n"
                           "batch begin\n"
                           "irscan SIM 0x3 --length 4\n"
                           "drscan SIM 0 --length 32\n"
                           "drscan SIM 0 --length 32 --no-capture\n"
                           "batch end\n"
                           "close\n");
    Result r = Run({"-a", address, "script", script});
    ASSERT_EQ(r.status, 0) << Describe(r);
    EXPECT_EQ(r.out, "0x1\n0x4ba00477\n0x1\n0x4ba00477\n");

    Result json = Run({"-a", address, "--json", "script", script});
    ASSERT_EQ(json.status, 0) << Describe(json);
    Json doc = ParseJson(json);
    EXPECT_EQ(doc["ok"], true);
    ASSERT_TRUE(doc["steps"].is_array());
    bool sawBatchedDr = false;
    for (const Json& s : doc["steps"])
        if (s["line"] == 8) {
            sawBatchedDr = true;
            EXPECT_EQ(s["captured"], "0x4ba00477");
        }
    EXPECT_TRUE(sawBatchedDr) << json.out;
}

TEST_F(KestractlTest, FailingScriptStepReportsLineAndServerMessage)
{
    const int port = StartPeer();
    const std::string address = StartServer({{"SIM", port}});
    const std::string script = m_dir.File("fail.kcs");
    testsupport::WriteFile(script,
                           "open SIM\n"
                           "runtest . 10\n"
                           "# the next one names no adapter the server has\n"
                           "open NOPE\n"
                           "runtest SIM 10\n");
    Result r = Run({"-a", address, "script", script});
    EXPECT_EQ(r.status, 4) << Describe(r);
    EXPECT_NE(r.err.find("line 4"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("line 4: no such adapter 'NOPE'"), std::string::npos) << r.err;

    Result json = Run({"-a", address, "--json", "script", script});
    EXPECT_EQ(json.status, 4);
    Json doc = ParseJson(json);
    EXPECT_EQ(doc["ok"], false);
    EXPECT_EQ(doc["error"]["line"], 4);
    EXPECT_EQ(doc["error"]["type"], "adapter");
    EXPECT_EQ(doc["error"]["message"], "no such adapter 'NOPE' (kestractl list)");

    // A syntax error is found before anything runs.
    testsupport::WriteFile(script, "open SIM\nirscan . 0x3 --lenght 4\n");
    Result syntax = Run({"-a", address, "script", script});
    EXPECT_EQ(syntax.status, 2) << Describe(syntax);
    EXPECT_NE(syntax.err.find("line 2"), std::string::npos) << syntax.err;
}

TEST_F(KestractlTest, LocalEndpointAndAddressFromTheEnvironment)
{
    const int port = StartPeer();
    const std::string socket = m_dir.File("kestrad.sock");
    StartServer({{"SIM", port}}, "", socket);
    Result r = Run({"--json", "list"}, {{"KESTRAD_ADDRESS", socket}});
    ASSERT_EQ(r.status, 0) << Describe(r);
    EXPECT_EQ(ParseJson(r)["adapters"][0]["name"], "SIM");

    Result irscan = Run({"-a", socket, "--json", "irscan", "SIM", "0x3", "--length", "4"});
    ASSERT_EQ(irscan.status, 0) << Describe(irscan);
    EXPECT_EQ(ParseJson(irscan)["captured"], "0x1");
}

TEST_F(KestractlTest, ExitStatusesForConnectionUsageAndServerErrors)
{
    const int free = testsupport::FreeTcpPort();
    Result refused = Run({"-a", "127.0.0.1:" + std::to_string(free), "list"});
    EXPECT_EQ(refused.status, 3) << Describe(refused);
    Result missing = Run({"-a", m_dir.File("no.sock"), "--json", "list"});
    EXPECT_EQ(missing.status, 3) << Describe(missing);
    EXPECT_EQ(ParseJson(missing)["error"]["type"], "connection");

    EXPECT_EQ(Run({"irscan", "SIM"}).status, 2);
    EXPECT_EQ(Run({"frobnicate"}).status, 2);
    EXPECT_EQ(Run({"drscan", "SIM", "0x1ff", "--length", "8"}).status, 2);
    Result help = Run({"read", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("ADDRESS"), std::string::npos);

    const int port = StartPeer();
    const std::string address = StartServer({{"SIM", port}});
    Result server = Run({"-a", address, "runtest", "NOPE", "1"});
    EXPECT_EQ(server.status, 4) << Describe(server);
    EXPECT_NE(server.err.find("no such adapter 'NOPE'"), std::string::npos) << server.err;
    Result raw = Run({"-a", address, "raw", "SIM", "0", "0", "0"});
    EXPECT_EQ(raw.status, 4) << Describe(raw);
    EXPECT_EQ(raw.err, "kestractl: server error: SIM cannot clock raw JTAG sequences: it takes whole IR and DR "
                       "scans only\n");
}

TEST_F(KestractlTest, ArgumentErrorsNameTheProgramAndTheCommand)
{
    const std::string script = m_dir.File("typo.kcs");
    testsupport::WriteFile(script, "# a typo\nopne SIM\n");
    // Each case: the arguments; the start of stderr. All are usage errors
    // (status 2), found before any connection.
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"read", "SIM"}, "kestractl read: ADDRESS is required\nRun 'kestractl read --help'"},
        {{"read", "SIM", "0x100000000", "4"},
         "kestractl read: ADDRESS: 0x100000000 is more than 32 bits (the largest is 0xffffffff)\n"},
        {{"write", "SIM", "-1", "00"}, "kestractl write: ADDRESS: '-1' is not a number from 0 to 0xffffffff"},
        {{"irscan", "SIM", "0x1f"}, "kestractl irscan: value 0x1f does not fit in 4 bits\n"},
        {{"write", "SIM", "0"}, "kestractl write: give either HEXBYTES or --file\n"},
        {{"raw", "SIM", "0x20", "0", "5"}, "kestractl raw: '0x20' does not fit in 5 bits\n"},
        {{"bridge", "jtag", "SIM"}, "kestractl bridge: PROTOCOL: jtag not in {xvc,bitbang}\n"},
        {{"bridge", "xvc", "SIM", "--listen", "2542"},
         "kestractl bridge: --listen: '2542' is not HOST:PORT (a port from 0 to 65535)\n"},
        {{"lsit"}, "kestractl: unknown command 'lsit'; did you mean 'list'? (--help lists the commands)\n"},
        {{"frobnicate"}, "kestractl: unknown command 'frobnicate'; --help lists the commands\n"},
        // A global option's error is the program's, whatever the command.
        {{"-t", "0", "list"}, "kestractl: --timeout: time-out '0' is not a number of seconds"},
        {{"script", script},
         "kestractl: line 2: unknown command 'opne'; did you mean 'open'? ('help' lists the commands)\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"-a", m_dir.File("none.sock")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Result r = Run(args);
        EXPECT_EQ(r.status, 2) << Describe(r);
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    }

    // The prompt shows the socket a pipe name maps to, and its own word for help.
    CTerminal t({"-a", "\\\\.\\pipe\\kestractl-banner", "script", "-"}, NewDir());
    ASSERT_TRUE(t.Started());
    ASSERT_TRUE(t.WaitForPrompt(1, 20s)) << t.Shown();
    EXPECT_NE(t.Shown().find("kestractl " + LocalEndpointPath("\\\\.\\pipe\\kestractl-banner") +
                             ": one command per line"),
              std::string::npos)
        << t.Shown();
    t.Type("lsit\r");
    EXPECT_TRUE(t.WaitFor("unknown command 'lsit'; did you mean 'list'? ('help' lists the commands)", 1, 20s))
        << t.Shown();
    ASSERT_TRUE(t.WaitForPrompt(2, 20s)) << t.Shown();
    t.Type("\x04");
    EXPECT_EQ(t.WaitExit(20s), 2) << t.Shown();
}

TEST_F(KestractlTest, InterruptStopsATransferAndLeavesTheAdapterFree)
{
    const int port = StartPeer();
    const std::string address = StartServer({{"SIM", port}});
    const std::string dir = NewDir();
    Process p(ProgramPath("kestractl"),
              {"-a", address, "--chunk", "4K", "read", "SIM", "0", "64M", "--output",
               dir + "/big.bin"},
              {}, dir);
    // Wait until the transfer is under way (a few chunks are in the file),
    // then interrupt it.
    ASSERT_TRUE(testsupport::WaitFor([&] {
        struct stat st;
        return (::stat((dir + "/big.bin").c_str(), &st) == 0 && st.st_size >= 16 * 1024) || !p.Running();
    }));
    ASSERT_TRUE(p.Running()) << p.Stderr();
    ::kill(p.Pid(), SIGINT);
    const int status = p.Wait(30s);
    EXPECT_EQ(status, 130) << p.Stderr();
    EXPECT_NE(p.Stderr().find("interrupted after"), std::string::npos) << p.Stderr();

    // The adapter was closed: another session opens it at once.
    Result again = Run({"-a", address, "runtest", "SIM", "1"});
    EXPECT_EQ(again.status, 0) << Describe(again);
}

TEST_F(KestractlTest, AdapterBySerialNumberAndSuggestedNames)
{
    const int port = StartPeer();
    const std::string address = StartServer({{"SIM", port}}, "ezusb,serial=K1");

    Result bySerial = Run({"-a", address, "-v", "runtest", "serial=K1", "1"});
    ASSERT_EQ(bySerial.status, 0) << Describe(bySerial);
    EXPECT_NE(bySerial.err.find("serial=K1 is adapter '"), std::string::npos) << bySerial.err;

    const struct {
        std::vector<std::string> args;
        const char* hint;
    } unknown[] = {
        {{"runtest", "sim", "1"}, "no such adapter 'sim'; did you mean 'SIM'? (kestractl list)"},
        {{"chipname", "SIMM", "x"}, "did you mean 'SIM'?"},
        {{"runtest", "serial=K2", "1"}, "no adapter with serial number 'K2'; did you mean serial=K1?"},
        {{"runtest", "zzzzzz", "1"}, "no such adapter 'zzzzzz' (kestractl list)"},
        // The maker's adapter scans few bits at once: the limit is named.
        {{"drscan", "serial=K1", "0", "-l", "100"}, "scans at most 41 bits at once"},
    };
    for (const auto& c : unknown) {
        std::vector<std::string> args{"-a", address};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Result r = Run(args);
        EXPECT_EQ(r.status, 4) << Describe(r);
        EXPECT_NE(r.err.find(c.hint), std::string::npos) << r.err;
    }
    Result detect = Run({"-a", address, "detect", "serial=K1"});
    EXPECT_EQ(detect.status, 1) << Describe(detect);
    EXPECT_NE(detect.err.find("cannot scan the whole chain: its scan limit is 41 bits"),
              std::string::npos)
        << detect.err;
}

TEST_F(KestractlTest, BinaryDataThroughStdioAndTerminalSafety)
{
    const int port = StartPeer();
    const std::string address = StartServer({{"SIM", port}});
    std::string data(100000, '\0');
    std::mt19937 rng(5);
    for (char& c : data)
        c = static_cast<char>(rng());
    const std::string in = m_dir.File("stdin.bin");
    testsupport::WriteFile(in, data);

    // write -f - takes stdin, read -o - gives the raw bytes on stdout.
    const std::string kestractl = ProgramPath("kestractl");
    Process writer("/bin/sh",
                   {"-c", "exec \"$0\" -a \"$1\" --chunk 7K write SIM 0x4000 -f - < \"$2\"",
                    kestractl, address, in},
                   {{"KESTRAD_ADDRESS", ""}}, NewDir());
    ASSERT_EQ(writer.Wait(60s), 0) << writer.Stderr();
    Result back = Run({"-a", address, "read", "SIM", "0x4000", std::to_string(data.size()), "-o", "-"});
    ASSERT_EQ(back.status, 0) << back.err;
    EXPECT_TRUE(back.out == data) << "stdout holds " << back.out.size() << " bytes, not the data";

    // The hex dump keeps 16 bytes a line whatever the chunk size.
    Result dump = Run({"-a", address, "--chunk", "12", "read", "SIM", "0x4000", "40"});
    ASSERT_EQ(dump.status, 0) << Describe(dump);
    size_t lines = 0;
    for (size_t at = 0; at < dump.out.size(); at = dump.out.find('\n', at) + 1, ++lines) {
        if (lines < 2) {
            EXPECT_EQ(dump.out.find('\n', at) - at, 9u + 16 * 3 + 4 + 16) << dump.out;
        }
    }
    EXPECT_EQ(lines, 3u) << dump.out;

    // On a terminal: a big dump and raw bytes are refused with a hint;
    // --force and small reads go through.
    Result big = RunOnTerminal({"-a", address, "read", "SIM", "0", "65540"});
    EXPECT_EQ(big.status, 2) << big.out;
    EXPECT_NE(big.out.find("-o FILE"), std::string::npos) << big.out;
    EXPECT_NE(big.out.find("--force"), std::string::npos) << big.out;
    EXPECT_EQ(RunOnTerminal({"-a", address, "read", "SIM", "0", "16", "-o", "-"}).status, 2);
    EXPECT_EQ(RunOnTerminal({"-a", address, "read", "SIM", "0", "64K"}).status, 0);
    EXPECT_EQ(RunOnTerminal({"-a", address, "read", "SIM", "0", "65540", "--force"}).status, 0);
}

TEST_F(KestractlTest, JsonReportsEveryFailureWithItsStatus)
{
    const std::vector<std::vector<std::string>> usage = {
        {"--json", "frobnicate"},
        {"--json"},
        {"--json", "-t", "0", "list"},
        {"-t", "1e9", "--json", "list"},
        {"--json", "irscan", "SIM"},
        {"--json", "drscan", "SIM", "0x1ff", "--length", "8"},
        {"--json", "read", "SIM", "0", "1", "--bogus"},
    };
    for (const auto& args : usage) {
        Result r = Run(args);
        EXPECT_EQ(r.status, 2) << Describe(r);
        Json doc = ParseJson(r);
        EXPECT_EQ(doc["ok"], false) << r.out;
        EXPECT_EQ(doc["status"], 2) << r.out;
        EXPECT_EQ(doc["error"]["type"], "usage") << r.out;
        EXPECT_TRUE(doc["error"]["message"].is_string()) << r.out;
    }
    Result refused = Run({"-a", m_dir.File("none.sock"), "--json", "list"});
    EXPECT_EQ(ParseJson(refused)["status"], 3) << refused.out;
    EXPECT_NE(refused.err.find("\n  is kestrad running?"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find(m_dir.File("none.sock")), std::string::npos) << refused.err;
}

TEST_F(KestractlTest, ShellCompletionsOfferCommandsOptionsAndAdapterNames)
{
    const int port = StartPeer();
    const std::string address = StartServer({{"SIM", port}}, "ezusb,serial=K1");
    const std::string dir = std::string(KESTRAD_SOURCE_DIR) + "/completions/bash/";
    const std::string bin = ProgramPath("kestractl");
    const std::string binDir = bin.substr(0, bin.rfind('/'));

    // Each case: the script, the line typed so far; the words offered.
    const struct {
        const char* program;
        std::string line;
        std::vector<std::string> offered;
    } cases[] = {
        {"kestractl", "kestractl ir", {"irscan"}},
        {"kestractl", "kestractl --js", {"--json"}},
        {"kestractl", "kestractl -a " + address + " read SIM 0 4 --f", {"--force"}},
        {"kestractl", "kestractl -a " + address + " detect S", {"SIM"}},
        {"kestractl", "kestractl -a " + address + " trst SIM ", {"0", "1"}},
        {"kestractl", "kestractl bridge ", {"xvc", "bitbang"}},
        {"kestractl", "kestractl -a " + address + " bridge xvc --listen 127.0.0.1:2542 S", {"SIM"}},
        {"kestrad", "kestrad --ver", {"--version"}},
        {"kestrad-sim", "kestrad-sim --ch", {"--chain"}},
    };
    for (const auto& c : cases) {
        const std::string script =
            "source \"$0\"; read -ra COMP_WORDS <<< \"$1\"; "
            "[[ $1 == *' ' ]] && COMP_WORDS+=(''); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
            "$(complete -p \"$2\" | sed 's/.*-F \\([^ ]*\\).*/\\1/'); printf '%s\\n' \"${COMPREPLY[@]}\"";
        const std::string run = NewDir();
        Process p("/bin/bash", {"-c", script, dir + c.program, c.line, c.program},
                  {{"PATH", binDir + ":/usr/bin:/bin"}, {"KESTRAD_ADDRESS", ""}}, run);
        ASSERT_EQ(p.Wait(30s), 0) << c.line << "\n" << p.Stderr();
        std::string expected;
        for (const std::string& w : c.offered)
            expected += w + "\n";
        EXPECT_EQ(p.Stdout(), expected) << c.line;
    }

    // Every command of the program's help is one the completions offer.
    Result help = Run({"--help"});
    const std::string completion = testsupport::ReadFile(dir + "kestractl");
    const std::string zshDir = std::string(KESTRAD_SOURCE_DIR) + "/completions/zsh/";
    const std::string zshCompletion = testsupport::ReadFile(zshDir + "_kestractl");
    const size_t from = help.out.find("Subcommands:");
    ASSERT_NE(from, std::string::npos) << help.out;
    std::istringstream lines(help.out.substr(from));
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string command;
        if (!(words >> command) || line.rfind("  ", 0) != 0)
            break;
        EXPECT_NE(completion.find(" " + command), std::string::npos) << command;
        EXPECT_NE(zshCompletion.find("'" + command + ":"), std::string::npos) << command;
    }

    // The zsh files parse. scripts/install-deps installs zsh, so CI
    // (KESTRAD_CI set) must have it.
    const bool haveZsh = Exists("/usr/bin/zsh") || Exists("/bin/zsh");
    if (!haveZsh) {
        if (std::getenv("KESTRAD_CI"))
            ADD_FAILURE() << "zsh is missing; scripts/install-deps installs it";
        else
            std::cerr << "note: zsh is not installed; the zsh completions were not parsed\n";
        return;
    }
    for (const char* file : {"_kestractl", "_kestrad", "_kestrad-sim"}) {
        const std::string path = zshDir + file;
        EXPECT_EQ(testsupport::ReadFile(path).rfind(std::string("#compdef ") + (file + 1) + "\n", 0), 0u)
            << path;
        Process p("/usr/bin/env", {"zsh", "-n", path}, {{"PATH", "/usr/bin:/bin"}}, NewDir());
        EXPECT_EQ(p.Wait(30s), 0) << path << "\n" << p.Stderr();
    }
}
