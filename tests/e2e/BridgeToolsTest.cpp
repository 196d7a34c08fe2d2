// The bridges end to end with the real third-party clients: openFPGALoader
// through `kestractl bridge xvc` and OpenOCD through `kestractl bridge
// bitbang`, each against an adapter kestrad serves. Every program talks to
// loopback only.
//
// The adapter under test is the parameter: a server and the name of an
// adapter on it that clocks raw sequences over a chain whose first TAP is a
// Xilinx part (IDCODE 0x0362D093, 6-bit IR; the simulators' opcodes: 0x3
// selects IDCODE, all ones BYPASS). Other adapters join kTargets below.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <random>
#include <sstream>
#include <thread>
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include "tests/server/ServerFixture.h"
#include "tests/support/Programs.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

const char* const kChain = "0x0362D093:6";

// A kestrad (or the benchmark server, which runs the same server code) and
// the adapter the bridges are to serve.
class CTargetServer {
public:
    virtual ~CTargetServer() = default;
    virtual std::string Address() const = 0;
    virtual std::string Adapter() const = 0;
};

// An in-process server (kestrad's own server code) with a fake adapter that
// clocks a simulated chain.
class CFakeTarget : public CTargetServer {
public:
    CFakeTarget() : m_harness({ChainedFakeAdapterSource({"FAKE0"}, kChain)})
    {
        // A line per sequence would drown the tools' output.
        m_harness.server().Options()[OPTION_OUTPUT].value = false;
    }
    std::string Address() const override { return m_harness.Address(); }
    std::string Adapter() const override { return "FAKE0"; }

private:
    ServerHarness<TcpTransport> m_harness;
};

// The real kestrad over the simulated USB bus, with a CMSIS-DAP probe in
// front of the chain: the bridges' sequences become DAP_JTAG_Sequence
// packets.
class CCmsisDapTarget : public CTargetServer {
public:
    CCmsisDapTarget()
        : m_server("\t<cmsis-dap name=\"DAP\" idvendor=\"0x0D28\" idproduct=\"0x0204\" frequency=\"10MHZ\"/>\n",
                   std::string("cmsis-dap,serial=BRIDGE1,chain=") + kChain, {"-q"})
    {
    }
    std::string Address() const override { return m_server.Address(); }
    std::string Adapter() const override { return "DAP0"; }

private:
    Server m_server;
};

// The real kestrad over the simulated USB bus with a J-Link in front of the
// chain: the sequences ride in EMU_CMD_HW_JTAG3 commands.
class CJlinkTarget : public CTargetServer {
public:
    CJlinkTarget()
        : m_server("\t<usb name=\"JLINK\" idvendor=\"0x1366\" idproduct=\"0x0101\" frequency=\"12MHZ\"/>\n",
                   std::string("jlink,serial=BRIDGE2,chain=") + kChain, {"-q"})
    {
    }
    std::string Address() const override { return m_server.Address(); }
    std::string Adapter() const override { return "JLINK0"; }

private:
    Server m_server;
};

// The same with a Flyswatter2 (FT2232H): the sequences become MPSSE TMS and
// data clocking commands.
class CFtdiTarget : public CTargetServer {
public:
    CFtdiTarget()
        : m_server("\t<usb name=\"FLYSWATTER2\" idvendor=\"0x0403\" idproduct=\"0x6010\" frequency=\"30MHZ\"/>\n",
                   std::string("flyswatter2,serial=BRIDGE3,chain=") + kChain, {"-q"})
    {
    }
    std::string Address() const override { return m_server.Address(); }
    std::string Adapter() const override { return "FLYSWATTER20"; }

private:
    Server m_server;
};

struct TargetKind {
    const char* name;
    std::unique_ptr<CTargetServer> (*start)();
};

const TargetKind kTargets[] = {
    {"fake", [] { return std::unique_ptr<CTargetServer>(new CFakeTarget()); }},
    {"cmsis_dap", [] { return std::unique_ptr<CTargetServer>(new CCmsisDapTarget()); }},
    {"jlink", [] { return std::unique_ptr<CTargetServer>(new CJlinkTarget()); }},
    {"ft2232h", [] { return std::unique_ptr<CTargetServer>(new CFtdiTarget()); }},
};

// A program found on PATH (the tests need Debian's openocd and
// openfpgaloader; scripts/install-deps installs them).
std::string Tool(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    ADD_FAILURE() << name << " is not installed (scripts/install-deps installs it)";
    return "/nonexistent/" + name;
}

// `kestractl bridge PROTOCOL ADAPTER --listen 127.0.0.1:0`, and the port it
// serves on, read from its log.
struct Bridge {
    TempDir dir;
    Process process;
    int port = 0;

    Bridge(const CTargetServer& server, const std::string& protocol)
    {
        process = Process(ProgramPath("kestractl"),
                          {"-a", server.Address(), "bridge", protocol, server.Adapter(), "--listen", "127.0.0.1:0"},
                          {}, dir.Path());
        WaitFor([&] {
            port = PortAfter(process.Stderr(), " on 127.0.0.1:");
            return port != 0 || !process.Running();
        });
        if (!port)
            throw std::runtime_error("the bridge did not start: " + process.Stderr());
    }
    std::string Log() const { return process.Stderr(); }
    // Stops it as a user does; its exit status.
    int Stop(int signal)
    {
        kill(process.Pid(), signal);
        return process.Wait(10s);
    }
};

struct ToolRun {
    int status;
    std::string output;
};

ToolRun RunTool(const std::string& program, const std::vector<std::string>& args,
            std::chrono::milliseconds timeout = 60s)
{
    TempDir dir;
    Process p(program, args, {}, dir.Path());
    const int status = p.Wait(timeout);
    return {status, p.Stdout() + p.Stderr()};
}

// A TCP connection the test holds open (a client that keeps the bridge busy).
struct Holder {
    int fd = -1;
    explicit Holder(int port)
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
            ADD_FAILURE() << "cannot connect to the bridge on port " << port;
    }
    ~Holder() { close(fd); }
};

// An SVF file for the chain: the IDCODE checked, then a scan of `bits` bits
// through BYPASS, whose TDO is the TDI one bit late; `wrongBit` >= 0 flips
// that bit of the expected TDO.
std::string Svf(uint32_t bits, int wrongBit)
{
    std::mt19937 random(7);
    std::vector<bool> tdi(bits);
    for (uint32_t k = 0; k < bits; ++k)
        tdi[k] = random() & 1;
    auto hex = [&](auto bit) {
        std::string out;
        for (uint32_t d = (bits + 3) / 4; d-- > 0;) {
            int nibble = 0;
            for (int k = 0; k < 4; ++k)
                if (d * 4 + k < bits && bit(d * 4 + k))
                    nibble |= 1 << k;
            out += "0123456789abcdef"[nibble];
        }
        return out;
    };
    const std::string in = hex([&](uint32_t k) { return tdi[k]; });
    const std::string out = hex([&](uint32_t k) {
        const bool b = k > 0 && tdi[k - 1];
        return static_cast<int>(k) == wrongBit ? !b : b;
    });
    const std::string mask = hex([](uint32_t) { return true; });
    return "ENDIR IDLE;\nENDDR IDLE;\nSTATE RESET;\nSTATE IDLE;\n"
           "SIR 6 TDI (03);\nSDR 32 TDI (00000000) TDO (0362d093) MASK (ffffffff);\n"
           "SIR 6 TDI (3f);\nSDR " + std::to_string(bits) + " TDI (" + in + ") TDO (" + out + ") MASK (" + mask +
           ");\nRUNTEST 100 TCK;\n";
}

class BridgeTools : public ::testing::TestWithParam<TargetKind> {
protected:
    void SetUp() override { server = GetParam().start(); }
    std::unique_ptr<CTargetServer> server;
};

}  // namespace

// openFPGALoader names the part; a second client is refused while one is
// served, and a stopped bridge gives the adapter back.
TEST_P(BridgeTools, OpenFpgaLoaderDetectsThroughXvc)
{
    Bridge bridge(*server, "xvc");
    const std::vector<std::string> detect = {"-c", "xvc-client", "--ip", "127.0.0.1", "--port",
                                             std::to_string(bridge.port), "--detect"};
    {
        Holder busy(bridge.port);
        ASSERT_TRUE(WaitFor([&] { return bridge.Log().find(" connected") != std::string::npos; }));
        const ToolRun refused = RunTool(Tool("openFPGALoader"), detect);
        EXPECT_NE(refused.status, 0) << refused.output;
        EXPECT_TRUE(WaitFor([&] { return bridge.Log().find(" refused: serving ") != std::string::npos; }))
            << bridge.Log();
    }
    ASSERT_TRUE(WaitFor([&] { return bridge.Log().find(" disconnected") != std::string::npos; }));

    const ToolRun run = RunTool(Tool("openFPGALoader"), detect);
    std::printf("%s", run.output.c_str());
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("idcode 0x362d093"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("manufacturer xilinx"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("model  xc7a35"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("irlength 6"), std::string::npos) << run.output;

    EXPECT_EQ(bridge.Stop(SIGTERM), 0) << bridge.Log();
    EXPECT_NE(bridge.Log().find("stopped; " + server->Adapter() + " closed"), std::string::npos) << bridge.Log();
    // Given back: another client can open it. kestractl raw: 8 clocks with
    // TMS high reach Test-Logic-Reset from anywhere, 0 1 0 0 lead to
    // Shift-DR, and 32 more bring the IDCODE out as the top 32 of 44 bits.
    const std::string kestractl = ProgramPath("kestractl");
    const ToolRun probe = RunTool(kestractl, {"-a", server->Address(), "raw", server->Adapter(), "0", "0", "0"});
    EXPECT_EQ(probe.status, 0) << probe.output;
    EXPECT_EQ(probe.output, server->Adapter() + " clocks raw JTAG sequences\n");
    const ToolRun idcode = RunTool(kestractl, {"-a", server->Address(), "raw", server->Adapter(), "0x2ff", "0", "44"});
    EXPECT_EQ(idcode.status, 0) << idcode.output;
    EXPECT_EQ(idcode.output.substr(0, 10), "0x0362d093") << idcode.output;
    std::printf("%s", bridge.Log().c_str());
}

// OpenOCD finds the TAP by its expected IDCODE, scans IR and DR, and plays
// an SVF with TDO checks and a 20,000-bit scan; a wrong expected bit fails.
TEST_P(BridgeTools, OpenOcdScansAndPlaysSvfThroughRemoteBitbang)
{
    Bridge bridge(*server, "bitbang");
    TempDir dir;
    WriteFile(dir.File("bridge.cfg"), "adapter driver remote_bitbang\n"
                                      "remote_bitbang host 127.0.0.1\n"
                                      "remote_bitbang port " + std::to_string(bridge.port) + "\n"
                                      "gdb_port disabled\ntelnet_port disabled\ntcl_port disabled\n"
                                      "jtag newtap chip tap -irlen 6 -expected-id 0x0362d093\n");
    WriteFile(dir.File("good.svf"), Svf(20000, -1));
    WriteFile(dir.File("bad.svf"), Svf(20000, 12345));
    const std::string openocd = Tool("openocd");

    const ToolRun scans = RunTool(openocd, {"-f", dir.File("bridge.cfg"), "-c",
                                        "init; irscan chip.tap 0x3; echo [drscan chip.tap 32 0]; "
                                        "irscan chip.tap 0x3f; echo [drscan chip.tap 16 0xa5c3]; shutdown"});
    std::printf("%s", scans.output.c_str());
    EXPECT_EQ(scans.status, 0) << scans.output;
    EXPECT_NE(scans.output.find("tap/device found: 0x0362d093"), std::string::npos) << scans.output;
    EXPECT_NE(scans.output.find("\n0362d093\n"), std::string::npos) << scans.output;
    // Through the one-bit BYPASS register the bits come back one place up.
    EXPECT_NE(scans.output.find("\n4b86\n"), std::string::npos) << scans.output;

    const ToolRun good = RunTool(openocd, {"-f", dir.File("bridge.cfg"), "-c",
                                       "init; svf -quiet " + dir.File("good.svf") + "; shutdown"});
    EXPECT_EQ(good.status, 0) << good.output;
    EXPECT_EQ(good.output.find("Error"), std::string::npos) << good.output;

    const ToolRun bad = RunTool(openocd, {"-f", dir.File("bridge.cfg"), "-c",
                                      "init; svf -quiet " + dir.File("bad.svf") + "; shutdown"});
    EXPECT_NE(bad.status, 0);
    EXPECT_NE(bad.output.find("tdo check error at line 8"), std::string::npos) << bad.output.substr(0, 2000);
    EXPECT_NE(bad.output.find("svf file programmed failed"), std::string::npos) << bad.output.substr(0, 2000);

    EXPECT_EQ(bridge.Stop(SIGINT), 0) << bridge.Log();
    const std::string log = bridge.Log();
    EXPECT_NE(log.find("quit ("), std::string::npos) << log;
    EXPECT_NE(log.find("stopped; " + server->Adapter() + " closed (3 clients"), std::string::npos) << log;
    std::printf("%s", log.c_str());
}

// What OpenOCD rarely sends, by hand: reset lines, and the two ways a
// remote_bitbang client is dropped (an 'R' whose clock edge never comes, and
// SWD); then the bridge idles past kestrad's 10-second limit and still
// serves (its keep-alives hold the session).
TEST(BridgeSession, BitbangResetsTheClientsItCannotServeAndIdling)
{
    ServerHarness<TcpTransport> harness({ChainedFakeAdapterSource({"FAKE0"}, kChain)});
    harness.server().Options()[OPTION_OUTPUT].value = false;
    struct Named : CTargetServer {
        std::string address;
        std::string Address() const override { return address; }
        std::string Adapter() const override { return "FAKE0"; }
    } target;
    target.address = harness.Address();
    Bridge bridge(target, "bitbang");
    auto adapter = [&] { return harness.Adapter("FAKE0"); };
    {
        Holder client(bridge.port);
        // 't': TRST asserted, then 'r' releases it; 's': the system reset.
        for (const auto& [bytes, call] : std::vector<std::pair<std::string, std::string>>{
                 {"t", "SetTRST 0"}, {"r", "SetTRST 1"}, {"s", "SetSYS_RST 0"}, {"r", "SetSYS_RST 1"}}) {
            ASSERT_EQ(send(client.fd, bytes.data(), bytes.size(), 0), 1);
            EXPECT_TRUE(WaitFor([&] { return adapter() && adapter()->CallMade(call); })) << call;
        }
        // An 'R' sent with TCK low waits for the next rising edge; a client
        // that waits for the answer first is dropped, not told a guess.
        ASSERT_EQ(send(client.fd, "0R", 2, 0), 2);
        EXPECT_TRUE(WaitFor([&] { return bridge.Log().find("before it clocks that bit") != std::string::npos; }))
            << bridge.Log();
        char byte;
        EXPECT_EQ(recv(client.fd, &byte, 1, 0), 0) << "the bridge answered a sample it cannot know";
    }
    {
        Holder client(bridge.port);
        ASSERT_EQ(send(client.fd, "04Rc", 4, 0), 4);
        char answer = 0;
        EXPECT_EQ(recv(client.fd, &answer, 1, 0), 1);
        EXPECT_EQ(answer, '1');  // TDO reads high outside the Shift states
        EXPECT_TRUE(WaitFor([&] {
            return bridge.Log().find("dropped: SWD command 'c': this bridge serves JTAG only") != std::string::npos;
        })) << bridge.Log();
    }
    const auto idleSince = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(11s);
    ASSERT_TRUE(bridge.process.Running()) << bridge.Log();
    {
        Holder client(bridge.port);
        ASSERT_EQ(send(client.fd, "04R", 3, 0), 3);
        char answer = 0;
        EXPECT_EQ(recv(client.fd, &answer, 1, 0), 1) << "idle for " <<
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - idleSince).count()
            << " s\n" << bridge.Log();
        EXPECT_EQ(answer, '1');
    }
    EXPECT_EQ(bridge.Stop(SIGTERM), 0) << bridge.Log();
}

INSTANTIATE_TEST_SUITE_P(Adapters, BridgeTools, ::testing::ValuesIn(kTargets),
                         [](const auto& info) { return std::string(info.param.name); });

// An adapter that takes whole scans only is refused before the bridge
// listens, with the server's reason.
TEST(BridgeRefusal, AdapterWithoutRawSequencesIsRefusedBeforeListening)
{
    Peer peer;
    Server server(NetworkEntry("SIM", peer.port));
    for (const char* protocol : {"xvc", "bitbang"}) {
        const ToolRun run = RunTool(ProgramPath("kestractl"),
                                {"-a", server.Address(), "bridge", protocol, "SIM", "--listen", "127.0.0.1:0"});
        EXPECT_EQ(run.status, 4) << run.output;
        EXPECT_NE(run.output.find("kestractl: server error: SIM cannot clock raw JTAG sequences: it takes whole "
                                  "IR and DR scans only; a bridge needs an adapter that does"),
                  std::string::npos)
            << run.output;
        EXPECT_EQ(run.output.find("serving"), std::string::npos) << run.output;
    }
}
