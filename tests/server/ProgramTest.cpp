// The kestrad program itself: command line, start-up, greeting, log file.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "client/Client.h"
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

TEST(Program, BindFailureEndsThroughExceptionHandler)
{
    TempDir dir;
    RunResult r = RunKestrad({"-a", "192.0.2.1:5000"}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.rfind("Exception: bind: ", 0), 0u) << r.err;
}

TEST(Program, BadConfigurationFile)
{
    TempDir dir;
    const int port = FreeTcpPort();
    const std::string address = "127.0.0.1:" + std::to_string(port);
    RunResult missing = RunKestrad({"-a", address, "-o", dir.File("none.xml")}, dir);
    EXPECT_EQ(missing.status, 0);
    EXPECT_EQ(missing.err, "Exception: Can't open XML file\n");

    WriteFile(dir.File("v9.xml"), "<jtag_options version=\"9\"/>");
    RunResult v9 = RunKestrad({"-a", address, "-o", dir.File("v9.xml")}, dir);
    EXPECT_EQ(v9.err, "Exception: Expected xml version 10 but found 9\n");

    WriteFile(dir.File("bad.xml"), "<jtag_options version=\"10\">");
    RunResult bad = RunKestrad({"-a", address, "-o", dir.File("bad.xml")}, dir);
    EXPECT_EQ(bad.err.rfind("Exception: XML Parser Error: ", 0), 0u) << bad.err;

    WriteFile(dir.File("port.xml"),
              "<jtag_options version=\"10\"><network addr=\"127.0.0.1\" port=\"80a\" name=\"N\"/></jtag_options>");
    RunResult port80a = RunKestrad({"-a", address, "-o", dir.File("port.xml")}, dir);
    EXPECT_EQ(port80a.err, "Exception: Can not convert 80a to integer!\n");
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
