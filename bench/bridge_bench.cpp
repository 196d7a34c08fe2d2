// kestrad-bridge-bench: scan bits per second through the bridges, beside the
// same scans sent to kestrad as one batch, in one run.
//
//   kestrad-bridge-bench [TARGET...] [--scans N] [--bits N] [--runs N]
//
// The scans: N data scans of B bits (default 100 of 20,000) through the
// one-bit BYPASS register of a simulated Xilinx TAP (IDCODE 0x0362D093,
// 6-bit IR), with random TDI; every TDO bit is checked (it is the TDI bit
// before it). For each target, in separate processes (the server, the
// bridge, the tool):
//   batch    the scans as one CMD_ASYNC_OPERATIONS (the baseline), sent
//            again until a second has passed;
//   xvc      an XVC client in this process sends them as shift: calls
//            through `kestractl bridge xvc`, each scan one call that goes
//            from Run-Test/Idle through Shift-DR and back, waiting for its
//            TDO as openFPGALoader and Vivado do; again until a second has
//            passed;
//   bitbang  OpenOCD plays them from an SVF file with TDO checks through
//            `kestractl bridge bitbang` (the time of `svf` alone, measured
//            inside OpenOCD).
// Last, OpenOCD plays the file against a remote_bitbang server in this
// process that answers at once from a simulated chain, without kestrad:
// OpenOCD's own ceiling. The bridges' cost is shown as the CPU time of the
// bridge process per second of the run, and as the rate of its parsers
// alone over the very bytes the tool sends (OpenOCD's "0R4"-style stream in
// its 512-byte writes; the shift: commands).
//
// Targets: fake (kestrad-bench-server's fake adapter clocking a simulated
// chain; default); cmsis-dap (kestrad over the simulated USB bus with a
// CMSIS-DAP probe, 512-byte packets, 8 in flight, in front of the chain);
// jlink (the same with a J-Link); ft2232h (with a Flyswatter2).
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/ByteOrder.h"
#include "client/Client.h"
#include "client/bridge/BitbangProtocol.h"
#include "client/bridge/XvcProtocol.h"
#include "sim/tap/SimTap.h"
#include "tests/support/Process.h"

using namespace kestrad::client;
using namespace testsupport;
using Clock = std::chrono::steady_clock;

namespace {

uint32_t g_scans = 100;
uint32_t g_bits = 20000;
int g_runs = 3;
const char* const kChain = "0x0362D093:6";

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// CPU seconds (user + system) a process has used so far.
double CpuSeconds(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double ChildrenCpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

std::string Tool(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (access((dir + "/" + name).c_str(), X_OK) == 0)
            return dir + "/" + name;
    throw std::runtime_error(name + " is not installed (scripts/install-deps installs it)");
}

// ---- the scans ------------------------------------------------------------

struct Scans {
    std::vector<std::vector<uint8_t>> tdi;  // one bit vector per scan
    bool Bit(size_t scan, uint32_t k) const { return (tdi[scan][k / 8] >> (k % 8)) & 1; }
    // Through BYPASS: TDO bit k is TDI bit k - 1; bit 0 is the captured 0.
    bool Expected(size_t scan, uint32_t k) const { return k > 0 && Bit(scan, k - 1); }
};

Scans MakeScans()
{
    std::mt19937 random(20261208);
    Scans s;
    for (uint32_t i = 0; i < g_scans; ++i) {
        std::vector<uint8_t> v((g_bits + 7) / 8);
        for (uint8_t& b : v)
            b = static_cast<uint8_t>(random());
        if (g_bits % 8)
            v.back() &= static_cast<uint8_t>((1u << (g_bits % 8)) - 1);
        s.tdi.push_back(std::move(v));
    }
    return s;
}

std::string HexOf(const std::function<bool(uint32_t)>& bit)
{
    std::string out;
    for (uint32_t d = (g_bits + 3) / 4; d-- > 0;) {
        int nibble = 0;
        for (int k = 0; k < 4; ++k)
            if (d * 4 + k < g_bits && bit(d * 4 + k))
                nibble |= 1 << k;
        out += "0123456789abcdef"[nibble];
    }
    return out;
}

std::string Svf(const Scans& s)
{
    std::string out = "ENDIR IDLE;\nENDDR IDLE;\nSTATE RESET;\nSTATE IDLE;\nSIR 6 TDI (3f);\n";
    const std::string mask = HexOf([](uint32_t) { return true; });
    for (size_t i = 0; i < s.tdi.size(); ++i)
        out += "SDR " + std::to_string(g_bits) + " TDI (" + HexOf([&](uint32_t k) { return s.Bit(i, k); }) +
               ") TDO (" + HexOf([&](uint32_t k) { return s.Expected(i, k); }) + ") MASK (" + mask + ");\n";
    return out;
}

// ---- the target and the bridges -------------------------------------------

struct Target {
    TempDir dir;
    Process process;
    std::string address;
    std::string adapter;
};

std::unique_ptr<Target> StartFake()
{
    auto t = std::make_unique<Target>();
    t->process = Process(BinDir() + "/kestrad-bench-server", {"tcp", "1", "--chain", kChain}, {}, t->dir.Path());
    WaitFor([&] { return t->process.Stdout().find('\n') != std::string::npos || !t->process.Running(); });
    const std::string out = t->process.Stdout();
    if (out.find('\n') == std::string::npos)
        throw std::runtime_error("kestrad-bench-server did not start: " + t->process.Stderr());
    t->address = out.substr(0, out.find('\n'));
    t->adapter = "FAKE0";
    return t;
}

// The real kestrad over the simulated USB bus with one device in front of
// the chain: `entry` its configuration line, `device` its KESTRAD_SIM_USB
// text without the chain.
std::unique_ptr<Target> StartSimUsb(const std::string& entry, const std::string& device, const std::string& adapter)
{
    auto t = std::make_unique<Target>();
    WriteFile(t->dir.File("kestrad.xml"),
              "<?xml version=\"1.0\"?>\n<jtag_options version=\"10\">\n\t" + entry + "\n</jtag_options>");
    const int port = FreeTcpPort();
    t->address = "127.0.0.1:" + std::to_string(port);
    t->process = Process(BinDir() + "/kestrad", {"-q", "-a", t->address, "-o", t->dir.File("kestrad.xml")},
                         {{"TEMP", t->dir.Path()},
                          {"LD_PRELOAD", SimUsbPreload()},
                          {"KESTRAD_SIM_USB", device + ",chain=" + kChain}},
                         t->dir.Path());
    if (!WaitFor([&] { return CanConnectTcp(port) || !t->process.Running(); }) || !t->process.Running())
        throw std::runtime_error("kestrad did not start: " + t->process.Stderr());
    t->adapter = adapter;
    return t;
}

std::unique_ptr<Target> StartCmsisDap()
{
    return StartSimUsb("<cmsis-dap name=\"DAP\" idvendor=\"0x0D28\" idproduct=\"0x0204\" frequency=\"10MHZ\"/>",
                       "cmsis-dap,serial=BENCH,packet=512,packets=8", "DAP0");
}

std::unique_ptr<Target> StartJlink()
{
    return StartSimUsb("<usb name=\"JLINK\" idvendor=\"0x1366\" idproduct=\"0x0101\" frequency=\"12MHZ\"/>",
                       "jlink,serial=BENCH", "JLINK0");
}

std::unique_ptr<Target> StartFt2232h()
{
    return StartSimUsb("<usb name=\"FLYSWATTER2\" idvendor=\"0x0403\" idproduct=\"0x6010\" frequency=\"30MHZ\"/>",
                       "flyswatter2,serial=BENCH", "FLYSWATTER20");
}

struct TargetKind {
    const char* name;
    std::unique_ptr<Target> (*start)();
};

const TargetKind kTargets[] = {
    {"fake", StartFake},
    {"cmsis-dap", StartCmsisDap},
    {"jlink", StartJlink},
    {"ft2232h", StartFt2232h},
};

struct Bridge {
    TempDir dir;
    Process process;
    int port = 0;
    Bridge(const Target& t, const std::string& protocol)
    {
        process = Process(BinDir() + "/kestractl",
                          {"-a", t.address, "bridge", protocol, t.adapter, "--listen", "127.0.0.1:0"}, {}, dir.Path());
        std::smatch m;
        WaitFor([&] {
            const std::string log = process.Stderr();
            if (std::regex_search(log, m, std::regex(" on 127\\.0\\.0\\.1:([0-9]+) ")))
                port = std::stoi(m[1]);
            return port != 0 || !process.Running();
        });
        if (!port)
            throw std::runtime_error("the bridge did not start: " + process.Stderr());
    }
    ~Bridge()
    {
        kill(process.Pid(), SIGTERM);
        process.Wait(std::chrono::seconds(10));
    }
};

// Short paths are repeated until this much time has passed, so rates and
// CPU shares (counted in clock ticks) are not noise.
constexpr double kMinSeconds = 1.0;

struct Figure {
    int repeats = 1;           // times the scans were sent
    double seconds = 0;        // of the scans alone
    double bridgeCpu = -1;     // CPU seconds of the bridge process
    double toolCpu = -1;       // CPU seconds of the tool (OpenOCD)
    double serverCpu = 0;      // CPU seconds of the server
};

// ---- batch ----------------------------------------------------------------

Figure RunBatch(const Target& t, const Scans& s)
{
    CClient c(t.address);
    c.List();  // the server builds its adapter list when asked
    c.Open(t.adapter);
    c.ShiftIR(0x3F, 6);  // BYPASS
    CBatch batch;
    for (const auto& v : s.tdi)
        batch.ShiftDR(v, g_bits);
    Figure f;
    const double serverBefore = CpuSeconds(t.process.Pid());
    const auto start = Clock::now();
    std::vector<std::vector<uint8_t>> results;
    do {
        results = c.Execute(batch);
        ++f.repeats;
    } while (Since(start) < kMinSeconds);
    f.seconds = Since(start);
    f.serverCpu = CpuSeconds(t.process.Pid()) - serverBefore;
    for (size_t i = 0; i < results.size(); ++i)
        for (uint32_t k = 0; k < g_bits; ++k)
            if ((((results[i][k / 8] >> (k % 8)) & 1) != 0) != s.Expected(i, k))
                throw std::runtime_error("batch: scan " + std::to_string(i) + " bit " + std::to_string(k) + " is wrong");
    c.Close();
    return f;
}

// ---- OpenOCD through the bitbang bridge -------------------------------------

// OpenOCD playing the file against a remote_bitbang server on `port`;
// bridgePid and serverPid (0 for none) are charged their CPU time.
Figure PlaySvf(int port, const std::string& svfPath, int bridgePid, int serverPid)
{
    TempDir dir;
    WriteFile(dir.File("bridge.cfg"), "adapter driver remote_bitbang\nremote_bitbang host 127.0.0.1\n"
                                      "remote_bitbang port " + std::to_string(port) + "\n"
                                      "gdb_port disabled\ntelnet_port disabled\ntcl_port disabled\n"
                                      "jtag newtap chip tap -irlen 6 -expected-id 0x0362d093\n");
    Figure f;
    const double bridgeBefore = bridgePid ? CpuSeconds(bridgePid) : 0;
    const double serverBefore = serverPid ? CpuSeconds(serverPid) : 0;
    const double childrenBefore = ChildrenCpuSeconds();
    const auto start = Clock::now();
    Process openocd(Tool("openocd"),
                    {"-f", dir.File("bridge.cfg"), "-c",
                     "init; set t0 [clock milliseconds]; svf -quiet " + svfPath +
                         "; echo \"svf-ms [expr {[clock milliseconds] - $t0}]\"; shutdown"},
                    {}, dir.Path());
    const int status = openocd.Wait(std::chrono::minutes(10));
    const double wall = Since(start);
    f.toolCpu = ChildrenCpuSeconds() - childrenBefore;
    f.bridgeCpu = bridgePid ? CpuSeconds(bridgePid) - bridgeBefore : -1;
    f.serverCpu = serverPid ? CpuSeconds(serverPid) - serverBefore : -1;
    const std::string out = openocd.Stdout() + openocd.Stderr();
    std::smatch m;
    if (status != 0 || !std::regex_search(out, m, std::regex("svf-ms ([0-9]+)")))
        throw std::runtime_error("OpenOCD failed (status " + std::to_string(status) + "):\n" + out.substr(0, 3000));
    f.seconds = std::stod(m[1]) / 1000.0;
    // The CPU figures cover OpenOCD's start too; scale them to the svf's share.
    const double share = wall > 0 ? f.seconds / wall : 1;
    f.toolCpu *= share;
    f.bridgeCpu *= share;
    f.serverCpu *= share;
    return f;
}

Figure RunOpenOcd(const Target& t, const std::string& svfPath)
{
    Bridge bridge(t, "bitbang");
    return PlaySvf(bridge.port, svfPath, bridge.process.Pid(), t.process.Pid());
}

// OpenOCD's ceiling: a remote_bitbang server in this process that answers
// from a simulated chain at once, with no kestrad and no adapter behind it
// (the bridge's parser, then the chain; nothing else).
class CCeilingServer {
public:
    CCeilingServer() : m_chain(simtap::ParseChain(kChain))
    {
        m_listen = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof sa;
        if (bind(m_listen, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(m_listen, 1) != 0 ||
            getsockname(m_listen, reinterpret_cast<sockaddr*>(&sa), &length) != 0)
            throw std::runtime_error("cannot listen for the in-process remote_bitbang server");
        m_port = ntohs(sa.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~CCeilingServer()
    {
        shutdown(m_listen, SHUT_RDWR);
        close(m_listen);
        m_thread.join();
    }
    int Port() const { return m_port; }

private:
    void Serve()
    {
        const int fd = accept(m_listen, nullptr, nullptr);
        if (fd < 0)
            return;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        kestrad::bridge::CBitbangParser parser;
        std::vector<kestrad::bridge::BitbangStep> steps;
        std::vector<uint8_t> buffer(65536);
        bool last = true;
        for (;;) {
            const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0)
                break;
            parser.Feed(buffer.data(), static_cast<size_t>(n), steps);
            parser.Flush(steps);
            std::string answers;
            for (const auto& step : steps) {
                if (step.kind != kestrad::bridge::BitbangStep::Kind::Sequence)
                    continue;
                std::vector<bool> tdo(step.bits);
                for (uint32_t k = 0; k < step.bits; ++k)
                    tdo[k] = m_chain.Clock((step.tms[k / 8] >> (k % 8)) & 1, (step.tdi[k / 8] >> (k % 8)) & 1);
                for (int32_t index : step.samples)
                    answers += (index < 0 ? last : tdo[static_cast<size_t>(index)]) ? '1' : '0';
                if (step.bits)
                    last = tdo.back();
            }
            steps.clear();
            if (!answers.empty() && send(fd, answers.data(), answers.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(answers.size()))
                break;
            if (parser.Done())
                break;
        }
        close(fd);
    }

    simtap::Chain m_chain;
    int m_listen = -1;
    int m_port = 0;
    std::thread m_thread;
};

Figure RunOpenOcdCeiling(const std::string& svfPath)
{
    CCeilingServer server;
    return PlaySvf(server.Port(), svfPath, 0, 0);
}

// ---- an XVC client through the xvc bridge ------------------------------------

class CXvcClient {
public:
    explicit CXvcClient(int port)
    {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
            throw std::runtime_error("cannot connect to the xvc bridge");
        int one = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~CXvcClient() { close(m_fd); }
    void Send(const std::vector<uint8_t>& bytes)
    {
        for (size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                throw std::runtime_error("xvc: send failed");
            sent += static_cast<size_t>(n);
        }
    }
    std::vector<uint8_t> Receive(size_t size)
    {
        std::vector<uint8_t> out(size);
        for (size_t got = 0; got < size;) {
            const ssize_t n = recv(m_fd, out.data() + got, size - got, 0);
            if (n <= 0)
                throw std::runtime_error("xvc: the bridge closed the connection");
            got += static_cast<size_t>(n);
        }
        return out;
    }
    std::string Line()
    {
        std::string out;
        for (char c = 0; c != '\n';) {
            if (recv(m_fd, &c, 1, 0) != 1)
                throw std::runtime_error("xvc: no getinfo: answer");
            out += c;
        }
        return out;
    }

private:
    int m_fd = -1;
};

void SetBit(std::vector<uint8_t>& v, uint64_t k, bool b)
{
    if (b)
        v[k / 8] |= static_cast<uint8_t>(1u << (k % 8));
}

std::vector<uint8_t> Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

// One shift: per scan, from Run-Test/Idle: TMS 1 0 0 to Shift-DR, the data
// bits (TMS 1 on the last, to Exit1-DR), TMS 1 0 back to Run-Test/Idle.
// A prefix of `prefixBits` clocks goes first, TDI high.
std::vector<uint8_t> ShiftCommand(const Scans& s, size_t scan, const std::vector<uint8_t>& prefixTms,
                                  uint32_t prefixBits)
{
    const uint32_t n = prefixBits + 3 + g_bits + 2;
    std::vector<uint8_t> tms((n + 7) / 8), tdi((n + 7) / 8);
    uint32_t k = 0;
    for (; k < prefixBits; ++k) {
        SetBit(tms, k, (prefixTms[k / 8] >> (k % 8)) & 1);
        SetBit(tdi, k, true);
    }
    for (bool b : {true, false, false})
        SetBit(tms, k++, b);
    for (uint32_t i = 0; i < g_bits; ++i, ++k) {
        SetBit(tms, k, i == g_bits - 1);
        SetBit(tdi, k, s.Bit(scan, i));
    }
    for (bool b : {true, false})
        SetBit(tms, k++, b);
    std::vector<uint8_t> out = {'s', 'h', 'i', 'f', 't', ':'};
    const auto count = Le32(n);
    out.insert(out.end(), count.begin(), count.end());
    out.insert(out.end(), tms.begin(), tms.end());
    out.insert(out.end(), tdi.begin(), tdi.end());
    return out;
}

std::vector<std::vector<uint8_t>> XvcCommands(const Scans& s)
{
    // The first scan carries Test-Logic-Reset, Run-Test/Idle and the IR
    // scan of BYPASS (TDI high): 5 x 1, 0, then 1 1 0 0 to Shift-IR, 6 bits
    // (the last with TMS 1), 1 0 to Run-Test/Idle: 18 clocks.
    std::vector<uint8_t> prefix(4, 0);
    uint32_t k = 0;
    for (bool b : {true, true, true, true, true, false, true, true, false, false})
        SetBit(prefix, k++, b);
    for (uint32_t i = 0; i < 6; ++i)
        SetBit(prefix, k++, i == 5);
    for (bool b : {true, false})
        SetBit(prefix, k++, b);
    std::vector<std::vector<uint8_t>> out;
    for (size_t i = 0; i < s.tdi.size(); ++i)
        out.push_back(i == 0 ? ShiftCommand(s, i, prefix, k) : ShiftCommand(s, i, {}, 0));
    return out;
}

Figure RunXvc(const Target& t, const Scans& s, const std::vector<std::vector<uint8_t>>& commands)
{
    Bridge bridge(t, "xvc");
    CXvcClient client(bridge.port);
    client.Send({'g', 'e', 't', 'i', 'n', 'f', 'o', ':'});
    const std::string info = client.Line();
    const uint32_t max = static_cast<uint32_t>(std::stoul(info.substr(info.rfind(':') + 1)));
    if ((g_bits + 40 + 7) / 8 > max)
        throw std::runtime_error("xvc: scans of " + std::to_string(g_bits) + " bits do not fit the bridge's " +
                                 std::to_string(max) + "-byte vectors; use --bits");
    Figure f;
    f.repeats = 0;
    const double bridgeBefore = CpuSeconds(bridge.process.Pid());
    const double serverBefore = CpuSeconds(t.process.Pid());
    const auto start = Clock::now();
    std::vector<std::vector<uint8_t>> replies;
    do {
        replies.clear();
        for (const auto& command : commands) {
            client.Send(command);
            replies.push_back(client.Receive((ReadLE32(command.data() + 6) + 7) / 8));
        }
        ++f.repeats;
    } while (Since(start) < kMinSeconds);
    f.seconds = Since(start);
    f.bridgeCpu = CpuSeconds(bridge.process.Pid()) - bridgeBefore;
    f.serverCpu = CpuSeconds(t.process.Pid()) - serverBefore;
    for (size_t i = 0; i < replies.size(); ++i) {
        const uint32_t first = (i == 0 ? 18 : 0) + 3;  // the data's first clock
        for (uint32_t k = 0; k < g_bits; ++k)
            if ((((replies[i][(first + k) / 8] >> ((first + k) % 8)) & 1) != 0) != s.Expected(i, k))
                throw std::runtime_error("xvc: scan " + std::to_string(i) + " bit " + std::to_string(k) + " is wrong");
    }
    return f;
}

// ---- the parsers alone ------------------------------------------------------

// What OpenOCD's bitbang driver writes for the scans: per bit TCK low with
// TMS and TDI, 'R', TCK high; in 512-byte writes.
double BitbangParseRate(const Scans& s)
{
    std::string stream;
    for (size_t i = 0; i < s.tdi.size(); ++i)
        for (uint32_t k = 0; k < g_bits; ++k) {
            const int v = (k == g_bits - 1 ? 2 : 0) | (s.Bit(i, k) ? 1 : 0);
            stream += static_cast<char>('0' + v);
            stream += 'R';
            stream += static_cast<char>('4' + v);
        }
    double best = 1e9;
    for (int run = 0; run < 5; ++run) {
        kestrad::bridge::CBitbangParser parser;
        std::vector<kestrad::bridge::BitbangStep> steps;
        const auto start = Clock::now();
        for (size_t pos = 0; pos < stream.size(); pos += 512) {
            parser.Feed(reinterpret_cast<const uint8_t*>(stream.data()) + pos, std::min<size_t>(512, stream.size() - pos),
                        steps);
            parser.Flush(steps);
            steps.clear();
        }
        best = std::min(best, Since(start));
    }
    return static_cast<double>(s.tdi.size()) * g_bits / best;
}

double XvcParseRate(const std::vector<std::vector<uint8_t>>& commands)
{
    std::vector<uint8_t> stream;
    for (const auto& c : commands)
        stream.insert(stream.end(), c.begin(), c.end());
    double best = 1e9;
    for (int run = 0; run < 5; ++run) {
        kestrad::bridge::CXvcParser parser(1u << 20);
        std::vector<kestrad::bridge::XvcAction> actions;
        const auto start = Clock::now();
        for (size_t pos = 0; pos < stream.size(); pos += 65536) {
            parser.Feed(stream.data() + pos, std::min<size_t>(65536, stream.size() - pos), actions);
            actions.clear();
        }
        best = std::min(best, Since(start));
    }
    return static_cast<double>(commands.size()) * g_bits / best;
}

// ---- the table --------------------------------------------------------------

template <typename Run>
Figure Best(Run run)
{
    Figure best;
    best.seconds = 1e9;
    for (int i = 0; i < g_runs; ++i) {
        const Figure f = run();
        if (f.seconds < best.seconds)
            best = f;
    }
    return best;
}

std::string Share(double cpu, double seconds)
{
    if (cpu < 0)
        return "-";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.0f%%", 100 * cpu / seconds);
    return buf;
}

void Bench(const TargetKind& kind, const Scans& scans, const std::string& svfPath,
           const std::vector<std::vector<uint8_t>>& xvc)
{
    const auto target = kind.start();
    const double bits = static_cast<double>(g_scans) * g_bits;
    const Figure batch = Best([&] { return RunBatch(*target, scans); });
    const Figure stream = Best([&] { return RunXvc(*target, scans, xvc); });
    const Figure openocd = Best([&] { return RunOpenOcd(*target, svfPath); });
    const struct {
        const char* path;
        const Figure& f;
    } rows[] = {
        {"one kestrad batch (CMD_ASYNC_OPERATIONS)", batch},
        {"XVC shift: stream -> bridge xvc", stream},
        {"OpenOCD svf -> bridge bitbang", openocd},
    };
    const double batchRate = bits * batch.repeats / batch.seconds;
    for (const auto& r : rows) {
        const double rate = bits * r.f.repeats / r.f.seconds;
        std::printf("| %s | %s | %.0f | %.3f | %.2f | %.3f | %s | %s | %s |\n", kind.name, r.path,
                    bits * r.f.repeats, r.f.seconds, rate / 1e6, rate / batchRate,
                    Share(r.f.bridgeCpu, r.f.seconds).c_str(), Share(r.f.toolCpu, r.f.seconds).c_str(),
                    Share(r.f.serverCpu, r.f.seconds).c_str());
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<const TargetKind*> chosen;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if ((a == "--scans" || a == "--bits" || a == "--runs") && i + 1 < argc) {
            const unsigned long v = std::strtoul(argv[++i], nullptr, 10);
            if (a == "--scans")
                g_scans = static_cast<uint32_t>(v);
            else if (a == "--bits")
                g_bits = static_cast<uint32_t>(std::min(v, 1ul << 24));
            else
                g_runs = static_cast<int>(std::min(v, 100ul));
            continue;
        }
        bool known = false;
        for (const TargetKind& t : kTargets)
            if (a == t.name) {
                chosen.push_back(&t);
                known = true;
            }
        if (!known) {
            std::fprintf(stderr, "usage: kestrad-bridge-bench [fake] [cmsis-dap] [jlink] [ft2232h] [--scans N] [--bits N] [--runs N]\n");
            return a == "-h" || a == "--help" ? 0 : 2;
        }
    }
    if (chosen.empty())
        chosen.push_back(&kTargets[0]);
    if (g_scans == 0 || g_bits < 2 || g_runs < 1) {
        std::fprintf(stderr, "kestrad-bridge-bench: --scans, --bits (at least 2) and --runs must be positive\n");
        return 2;
    }
    try {
        const Scans scans = MakeScans();
        TempDir dir;
        const std::string svfPath = dir.File("scans.svf");
        WriteFile(svfPath, Svf(scans));
        const auto xvc = XvcCommands(scans);
        std::printf("%u scans of %u bits through BYPASS, every TDO bit checked; best of %d runs\n\n", g_scans,
                    g_bits, g_runs);
        std::printf("| adapter | path | scan bits | seconds | Mbit/s | rate vs batch | bridge CPU | OpenOCD CPU | "
                    "server CPU |\n|---|---|---|---|---|---|---|---|---|\n");
        for (const TargetKind* t : chosen)
            Bench(*t, scans, svfPath, xvc);
        const Figure ceiling = Best([&] { return RunOpenOcdCeiling(svfPath); });
        const double bits = static_cast<double>(g_scans) * g_bits;
        std::printf("| - | OpenOCD svf -> remote_bitbang answered in-process, no kestrad (OpenOCD's ceiling) | %.0f | "
                    "%.3f | %.2f | - | - | %s | - |\n",
                    bits, ceiling.seconds, bits / ceiling.seconds / 1e6, Share(ceiling.toolCpu, ceiling.seconds).c_str());
        std::printf("\n| bridge parser alone (this process) | Mbit/s |\n|---|---|\n");
        std::printf("| remote_bitbang, OpenOCD's bytes in 512-byte writes, cut after each | %.1f |\n",
                    BitbangParseRate(scans) / 1e6);
        std::printf("| XVC, the shift: commands in 64 KiB reads | %.1f |\n", XvcParseRate(xvc) / 1e6);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kestrad-bridge-bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
