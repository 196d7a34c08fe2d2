// The kestrad program itself: command line, start-up, greeting, log file.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>
#include <thread>

#include "client/Client.h"
#include "server/TransportTraits.h"
#include "tests/support/Process.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

const std::string kUsage =
    "Usage: kestrad [options]\n"
    "Options:\n"
    "\t-h\t\tThis help\n"
    "\t-v\t\tTurn on verbose logging mode\n"
    "\t-b\t\tTurn on buffer logging mode\n"
    "\t-q\t\tQuiet mode\n"
    "\t-o file\t\tRead options from xml file\n"
    "\t-a address\tBind server to the address\n"
    "\t-s\t\tTurn on savepoints\n"
    "\t-c\t\tEnable a cli mode\n";

struct RunResult {
    int status;
    std::string out, err;
};

RunResult RunKestrad(const std::vector<std::string>& args, const TempDir& dir)
{
    Process p(ProgramPath("kestrad"), args, {{"TEMP", dir.Path()}}, dir.Path());
    int status = p.Wait(10s);
    return {status, p.Stdout(), p.Stderr()};
}

// A running kestrad on a free loopback port.
struct Served {
    TempDir dir;
    int port = FreeTcpPort();
    Process process;
    explicit Served(std::vector<std::string> extra = {}, std::map<std::string, std::string> env = {})
    {
        std::vector<std::string> args = {"-a", "127.0.0.1:" + std::to_string(port)};
        args.insert(args.end(), extra.begin(), extra.end());
        env["TEMP"] = dir.Path();
        process = Process(ProgramPath("kestrad"), args, env, dir.Path());
        if (!WaitFor([&] { return CanConnectTcp(port) || !process.Running(); }))
            throw std::runtime_error("kestrad did not start");
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port); }
};

}  // namespace

TEST(Program, UsageAndExitStatus)
{
    TempDir dir;
    for (auto args : std::vector<std::vector<std::string>>{
             {"-h"}, {"-H"}, {"-?"}, {"-x"}, {"extra"}, {"-a"}, {"-o"}, {"-v", "-a", "1.2.3.4:1", "stray"}}) {
        RunResult r = RunKestrad(args, dir);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.err, kUsage) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
    }
}

TEST(Program, GreetsEveryClient)
{
    Served served;
    for (int i = 0; i < 2; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(served.port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        unsigned char buf[16];
        size_t got = 0;
        while (got < sizeof buf) {
            ssize_t n = read(fd, buf + got, sizeof buf - got);
            ASSERT_GT(n, 0);
            got += static_cast<size_t>(n);
        }
        const unsigned char expected[16] = {1, 0, 0, 0, 8, 0, 0, 0, 0xAB, 0xEE, 0xDD, 0xFF, 0, 0, 0, 0};
        EXPECT_EQ(std::memcmp(buf, expected, 16), 0);
        close(fd);
    }
    EXPECT_TRUE(WaitFor([&] { return served.process.Stdout().find("Session:2: A new session started.\n") != std::string::npos; }));
    EXPECT_NE(served.process.Stdout().find("Session:1: A new session started.\n"), std::string::npos);
    // The same lines reach the log file in $TEMP.
    EXPECT_NE(ReadFile(served.dir.File("kestrad.log")).find("Session:1: A new session started.\n"),
              std::string::npos);
}

TEST(Program, OptionsApplyAfterInit)
{
    {
        // Without -v the verbose signature of Start() is not logged.
        Served plain;
        kestrad::client::CClient c(plain.Address());
        c.Disconnect();
        EXPECT_TRUE(WaitFor([&] { return plain.process.Stdout().find("Session ended.") != std::string::npos; }));
        EXPECT_EQ(plain.process.Stdout().find("::Start()"), std::string::npos);
    }
    {
        Served verbose({"-v"});
        EXPECT_TRUE(WaitFor([&] { return verbose.process.Stdout().find("void CJTAGServerImpl<Protocol>::Start() [with Protocol = asio::ip::tcp]\n") != std::string::npos; }));
    }
    {
        // -q silences everything, console and log file.
        Served quiet({"-q", "-v"});
        kestrad::client::CClient c(quiet.Address());
        c.List();
        c.Disconnect();
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(quiet.process.Stdout(), "");
        EXPECT_EQ(ReadFile(quiet.dir.File("kestrad.log")), "");
    }
}

// A log directory that is missing, or a kestrad.log planted there (a FIFO,
// whose open would wait for a reader): kestrad says so once on standard
// error, and serves.
TEST(Program, ServesWithoutALogFileItCannotUse)
{
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.File("kestrad.log").c_str(), 0666), 0);
    const struct {
        std::string temp;
        std::string why;
    } cases[] = {
        {dir.File("missing"), "No such file or directory"},
        {dir.Path(), "it is not a regular file"},
    };
    for (const auto& c : cases) {
        const int port = FreeTcpPort();
        Process p(ProgramPath("kestrad"), {"-a", "127.0.0.1:" + std::to_string(port)}, {{"TEMP", c.temp}},
                  dir.Path());
        ASSERT_TRUE(WaitFor([&] { return CanConnectTcp(port) || !p.Running(); })) << c.temp;
        kestrad::client::CClient client("127.0.0.1:" + std::to_string(port));
        EXPECT_NO_THROW(client.List());
        const std::string said =
            "Can't open log file " + c.temp + "/kestrad.log: " + c.why + ". Logging to the console only.\n";
        EXPECT_EQ(p.Stderr().find(said), 0u) << p.Stderr();
        EXPECT_EQ(p.Stderr().find(said, 1), std::string::npos) << p.Stderr();
        EXPECT_NE(p.Stdout().find("Session:1: A new session started.\n"), std::string::npos);
    }
}

namespace {

// glibc's malloc arenas beyond the main one in process `pid`: each is a
// mapping reserved at a 64 MiB boundary, 64 MiB long (the part in use, then
// the rest without access).
int MallocHeaps(int pid)
{
    const unsigned long size = 64ul << 20;
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    int heaps = 0;
    unsigned long heapStart = 0, heapEnd = 0;
    bool inHeap = false;
    while (std::getline(maps, line)) {
        unsigned long start = 0, end = 0;
        char perms[5] = {};
        unsigned long offset = 0, inode = 0;
        char dev[16] = {};
        char path[256] = {};
        const int fields = std::sscanf(line.c_str(), "%lx-%lx %4s %lx %15s %lu %255s", &start, &end, perms, &offset,
                                       dev, &inode, path);
        if (fields < 6 || inode != 0 || fields == 7) {
            inHeap = false;
            continue;
        }
        if (inHeap && start == heapEnd && end <= heapStart + size) {
            heapEnd = end;
        } else {
            inHeap = start % size == 0;
            heapStart = start;
            heapEnd = end;
        }
        if (inHeap && heapEnd == heapStart + size) {
            ++heaps;
            inHeap = false;
        }
    }
    return heaps;
}

}  // namespace

// Sixteen sessions at once, each on a thread of its own: kestrad keeps to
// two malloc arenas (the main one and one more), so what ended sessions
// allocated is not spread over a dozen arenas that idle memory never leaves.
TEST(Program, KeepsToTwoMallocArenas)
{
    auto load = [](const std::string& address) {
        std::vector<std::thread> clients;
        for (int i = 0; i < 16; ++i)
            clients.emplace_back([&] {
                kestrad::client::CClient c(address);
                for (int k = 0; k < 20; ++k)
                    c.List();
            });
        for (auto& t : clients)
            t.join();
    };
    // Told otherwise, glibc's own limit applies: the usual many arenas.
    Served usual({}, {{"MALLOC_ARENA_MAX", "8"}});
    load(usual.Address());
    const int many = MallocHeaps(usual.process.Pid());
    if (many == 0)
        GTEST_SKIP() << "malloc is not glibc's here (a sanitizer's)";
    EXPECT_GT(many, 1);

    Served served;
    load(served.Address());
    EXPECT_LE(MallocHeaps(served.process.Pid()), 1);
}

TEST(Program, StartupFailuresEndWithStatusOne)
{
    TempDir dir;
    // An endpoint in use: a listening socket of our own on a loopback port.
    const int busyFd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(busyFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(busyFd, 1), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(busyFd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const std::string busy = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    const std::string address = "127.0.0.1:" + std::to_string(FreeTcpPort());

    WriteFile(dir.File("v9.xml"), "<jtag_options version=\"9\"/>");
    WriteFile(dir.File("bad.xml"), "<jtag_options version=\"10\">\n<usb>");
    WriteFile(dir.File("port.xml"),
              "<jtag_options version=\"10\"><network addr=\"127.0.0.1\" port=\"80a\" name=\"N\"/></jtag_options>");
    const struct {
        std::vector<std::string> args;
        std::string err;  // the whole of stderr, or its start when it ends in "..."
    } cases[] = {
        {{"-a", busy}, "Exception: cannot listen on " + busy + ": Address already in use\n"},
        {{"-a", "127.0.0.1:99999"}, "Exception: bad address '127.0.0.1:99999': port 99999 is out of range (0 to 65535)\n"},
        {{"-a", "127.0.0.1"}, "Exception: bad address '127.0.0.1': missing port (use host:port)\n"},
        {{"-a", "127.0.0.1:"}, "Exception: bad address '127.0.0.1:': missing port (use host:port)\n"},
        {{"-a", "[::1]"}, "Exception: bad address '[::1]': missing port (use [host]:port)\n"},
        {{"-a", address, "-o", dir.File("none.xml")},
         "Exception: Can't open XML file '" + dir.File("none.xml") + "': No such file or directory\n"},
        {{"-a", address, "-o", dir.File("v9.xml")}, "Exception: Expected xml version 10 but found 9\n"},
        {{"-a", address, "-o", dir.File("bad.xml")},
         "Exception: XML Parser Error: no element found at line 2, column 6\n"},
        {{"-a", address, "-o", dir.File("port.xml")},
         "Exception: Can not convert 80a to integer! (" + dir.File("port.xml") +
             ", line 1, element network, attribute port)\n"},
    };
    for (const auto& c : cases) {
        const RunResult r = RunKestrad(c.args, dir);
        EXPECT_EQ(r.status, 1) << c.args[1];
        if (c.err.size() > 3 && c.err.compare(c.err.size() - 3, 3, "...") == 0)
            EXPECT_EQ(r.err.rfind(c.err.substr(0, c.err.size() - 3), 0), 0u) << r.err;
        else
            EXPECT_EQ(r.err, c.err);
    }
    close(busyFd);
    // A bare IPv4 address is refused, not taken as the name of a socket file.
    EXPECT_FALSE(std::ifstream(dir.File("127.0.0.1")).good());
}

TEST(Program, LogsWhereItListens)
{
    TempDir dir;
    Process any(ProgramPath("kestrad"), {"-a", "127.0.0.1:0"}, {{"TEMP", dir.Path()}}, dir.Path());
    std::string port;
    ASSERT_TRUE(WaitFor([&] {
        const std::string out = any.Stdout();
        const std::string::size_type at = out.find("Listening on 127.0.0.1:");
        const std::string::size_type end = out.find(".\n", at);
        if (at == std::string::npos || end == std::string::npos)
            return false;
        port = out.substr(at + 23, end - at - 23);
        return true;
    })) << any.Stdout() << any.Stderr();
    ASSERT_NE(port, "0");
    EXPECT_TRUE(CanConnectTcp(std::stoi(port)));
    // Loopback needs no warning about unauthenticated clients.
    EXPECT_EQ(any.Stderr().find("not authenticated"), std::string::npos) << any.Stderr();

    // IPv6 hosts in brackets, as kestractl takes them.
    const int v6 = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 loop6{};
    loop6.sin6_family = AF_INET6;
    loop6.sin6_addr = in6addr_loopback;
    const bool haveV6 = v6 >= 0 && bind(v6, reinterpret_cast<sockaddr*>(&loop6), sizeof loop6) == 0;
    if (v6 >= 0)
        close(v6);
    if (!haveV6)
        GTEST_SKIP() << "no IPv6 loopback here";
    const std::string address = "[::1]:" + std::to_string(FreeTcpPort());
    Process bracketed(ProgramPath("kestrad"), {"-a", address}, {{"TEMP", dir.Path()}}, dir.Path());
    ASSERT_TRUE(WaitFor([&] { return bracketed.Stdout().find("Listening on " + address + ".\n") != std::string::npos; }))
        << bracketed.Stdout() << bracketed.Stderr();
    kestrad::client::CClient client(address);
    client.Disconnect();
}

// Only a loopback address goes without the start-up warning that TCP
// clients are not authenticated (no test binds anything else).
TEST(Program, LoopbackAddressesAreTheOnesWithoutTheWarning)
{
    const std::pair<const char*, bool> rows[] = {
        {"127.0.0.1", true}, {"127.4.5.6", true}, {"::1", true}, {"::ffff:127.0.0.1", true},
        {"0.0.0.0", false}, {"::", false}, {"192.0.2.7", false}, {"::ffff:192.0.2.7", false}, {"2001:db8::1", false}};
    for (const auto& [text, loopback] : rows)
        EXPECT_EQ(TransportTraits<asio::ip::tcp>::IsLoopback(asio::ip::make_address(text)), loopback) << text;
}

TEST(Program, LoadsValidConfigurationFile)
{
    TempDir cfg;
    WriteFile(cfg.File("ok.xml"), "<jtag_options version=\"0xA\"><usb name=\"EZ-USB\" idvendor=\"0x0547\" "
                                  "idproduct=\"0x1002\" frequency=\"12MHZ\"/></jtag_options>");
    Served served({"-o", cfg.File("ok.xml")});
    kestrad::client::CClient c(served.Address());
    EXPECT_TRUE(c.List().empty());
}
