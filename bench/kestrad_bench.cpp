// kestrad-bench: round trips and transfer times, each beside a baseline
// measured in the same run, so figures from a noisy shared machine can be
// compared as ratios.
//
//   kestrad-bench [fake|peer|usb|jlink|ftdi|cmsis-dap|all] [--seconds S]
//
// fake  in-process server over loopback TCP and the local endpoint, with a
//       fake adapter: CMD_SHIFT_DR (32 bits) and 1000-scan batches per
//       second, beside a bare 16-byte ping-pong on the same transport.
// peer  kestrad + kestrad-sim: CMD_SHIFT_DR through the peer and a 64 KiB
//       CMD_READ_BLK, beside a bare ping-pong with the peer itself.
// usb   kestrad over the simulated USB bus: a 1 MiB CMD_READ_BLK through the
//       EZ-USB adapter, beside a 1 MiB read from the fake adapter.
// jlink kestrad over the simulated USB bus with a J-Link probe: scans per
//       second of 1000-scan batches (32-bit data scans, one batched probe
//       command each), beside single CMD_SHIFT_DR round trips through the
//       same probe.
// ftdi  kestrad over the simulated FT2232H (ARM-USB-TINY-H) and the real
//       libftdi: scans per second of 1000-scan batches (32-bit DR scans)
//       beside single CMD_SHIFT_DR round trips through the same board.
// cmsis-dap  kestrad over the simulated CMSIS-DAP probe, with 64-byte
//       packets (4 in flight, a full-speed probe) and 512-byte packets (8):
//       single CMD_SHIFT_DR and 1000-scan batches per second, and the
//       DAP_JTAG_Sequence packets a batch takes (counted in the bus trace of
//       a server of their own) with their mean fill; beside the same figures
//       through the simulated J-Link in the same run.
#include <sys/socket.h>
#include <sys/un.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "client/Client.h"
#include "server/JTAGServerImpl.h"
#include "tests/support/FakeAdapter.h"
#include "tests/support/Process.h"
#include "tests/support/Programs.h"

using namespace kestrad::client;
using Clock = std::chrono::steady_clock;

namespace {

double g_seconds = 2.0;

// Runs `op` repeatedly for the configured time; returns operations per second.
double Rate(const std::function<void()>& op)
{
    for (int i = 0; i < 50; ++i)
        op();  // warm-up
    size_t n = 0;
    auto start = Clock::now();
    auto end = start + std::chrono::duration<double>(g_seconds);
    while (Clock::now() < end) {
        op();
        ++n;
    }
    return n / std::chrono::duration<double>(Clock::now() - start).count();
}

double Seconds(const std::function<void()>& op, int repeat = 5)
{
    op();
    double best = 1e9;
    for (int i = 0; i < repeat; ++i) {
        auto start = Clock::now();
        op();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

// A TCP connection to 127.0.0.1:port with Nagle's algorithm off.
int ConnectLoopback(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("cannot connect to port " + std::to_string(port));
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// A bare echo server: reads 8 bytes, writes 16; the floor any protocol round
// trip on this transport stands on.
class Echo {
public:
    explicit Echo(bool local, const std::string& path = "")
    {
        m_listen = socket(local ? AF_UNIX : AF_INET, SOCK_STREAM, 0);
        if (local) {
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
            unlink(path.c_str());
            bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a);
            m_address = path;
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a);
            socklen_t len = sizeof a;
            getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
            m_port = ntohs(a.sin_port);
        }
        listen(m_listen, 1);
        m_thread = std::thread([this, local] {
            int fd = accept(m_listen, nullptr, nullptr);
            if (fd < 0)
                return;
            if (!local) {
                int one = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            }
            char buf[16] = {};
            for (;;) {
                if (recv(fd, buf, 8, MSG_WAITALL) != 8)
                    break;
                if (send(fd, buf, 16, 0) != 16)
                    break;
            }
            close(fd);
        });
    }
    ~Echo()
    {
        shutdown(m_listen, SHUT_RDWR);
        close(m_listen);
        if (m_thread.joinable())
            m_thread.join();
    }

    // Ping-pongs per second over a fresh connection.
    double Rate()
    {
        int fd;
        if (m_address.empty()) {
            fd = ConnectLoopback(m_port);
        } else {
            fd = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            std::strncpy(a.sun_path, m_address.c_str(), sizeof a.sun_path - 1);
            connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        char buf[16] = {};
        double rate = ::Rate([&] {
            send(fd, buf, 8, 0);
            recv(fd, buf, 16, MSG_WAITALL);
        });
        close(fd);
        return rate;
    }

private:
    int m_listen = -1;
    int m_port = 0;
    std::string m_address;
    std::thread m_thread;
};

// An in-process server on `endpointPath` (local) or a loopback port (TCP)
// serving one fake adapter, FAKE0, that records nothing.
template <typename Protocol>
std::shared_ptr<CJTAGServerImpl<Protocol>> StartFakeServer(const std::string& endpointPath = "")
{
    auto service = std::make_shared<asio::io_context>();
    std::error_code ec;
    std::shared_ptr<CJTAGServerImpl<Protocol>> server;
    if constexpr (std::is_same<Protocol, LocalProtocol>::value)
        server = std::make_shared<CJTAGServerImpl<Protocol>>(endpointPath, service, ec);
    else
        server = std::make_shared<CJTAGServerImpl<Protocol>>(
            asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0), service, ec);
    server->Options()[OPTION_OUTPUT].value = false;  // logging is not what is measured
    server->Description().LoadFromXML("");
    server->Holder().SetSources({[](CJTAGHolder::Adapters& adapters, const AdapterContext& context) {
        auto fake = std::make_shared<CFakeAdapter>(context, "FAKE0");
        fake->SetRecording(false);
        adapters.push_back(fake);
    }});
    server->StartAccepting();
    return server;
}

template <typename Protocol>
void FakeTransport(const char* name, const std::string& endpointPath)
{
    auto server = StartFakeServer<Protocol>(endpointPath);

    Echo echo(std::is_same<Protocol, LocalProtocol>::value, endpointPath + ".echo");
    const double floor = echo.Rate();

    CClient client(server->EndpointText());
    client.List();
    client.Open("FAKE0");
    std::vector<uint8_t> bits = {1, 2, 3, 4};
    const double shift = Rate([&] { client.ShiftDR(bits, 32); });
    CBatch batch;
    for (int i = 0; i < 1000; ++i)
        batch.ShiftDR(bits, 32);
    const double batches = Rate([&] { client.Execute(batch); });
    std::printf("%-6s bare ping-pong          %10.0f /s\n", name, floor);
    std::printf("%-6s CMD_SHIFT_DR (32 bits)  %10.0f /s   %.2f of bare\n", name, shift, shift / floor);
    std::printf("%-6s 1000-scan batch         %10.0f /s   %.0f scans/s, %.2f of bare\n", name, batches,
                batches * 1000, batches / floor);
    client.Disconnect();
    server->Shutdown();
}

void BenchFake()
{
    testsupport::TempDir dir;
    FakeTransport<asio::ip::tcp>("tcp", "");
    FakeTransport<LocalProtocol>("local", dir.File("bench.sock"));
}

// Bare round trips with the peer itself: one "run 0" line and its answer.
double PeerFloor(int port)
{
    int fd = ConnectLoopback(port);
    char buf[256];
    std::string got;
    while (std::count(got.begin(), got.end(), '\n') < 2) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    double rate = Rate([&] {
        send(fd, "run 0\r\n", 7, 0);
        std::string line;
        while (line.find('\n') == std::string::npos) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            line.append(buf, static_cast<size_t>(n));
        }
    });
    close(fd);
    return rate;
}

void BenchPeer()
{
    testsupport::Peer peer;
    testsupport::Server server(testsupport::NetworkEntry("SIM", peer.port), "", {"-q"});
    CClient client(server.Address());
    client.List();
    client.Open("SIM");
    std::vector<uint8_t> bits = {1, 2, 3, 4};
    const double shift = Rate([&] { client.ShiftDR(bits, 32); });
    const double read64k = Seconds([&] { client.ReadBlock(0x10000, 65536); });
    client.Close();
    client.Disconnect();
    // The peer serves one connection at a time: measure its floor after.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    const double floor = PeerFloor(peer.port);
    std::printf("peer   bare line round trip     %10.0f /s\n", floor);
    std::printf("peer   CMD_SHIFT_DR (32 bits)   %10.0f /s   %.2f of bare\n", shift, shift / floor);
    std::printf("peer   CMD_READ_BLK 64 KiB      %10.4f s\n", read64k);
}

void BenchUsb()
{
    testsupport::Server server(testsupport::UsbEntry(), "ezusb,serial=BENCH1", {"-q"});
    CClient client(server.Address());
    client.SetReplyTimeout(std::chrono::seconds(120));
    client.List();
    client.Open("EZ-USB0");
    const double usb = Seconds([&] { client.ReadBlock(0, 1 << 20); }, 3);
    std::printf("usb    CMD_READ_BLK 1 MiB (EZ-USB, simulated)  %8.4f s  (%.1f MiB/s)\n", usb, 1.0 / usb);

    auto inProcess = StartFakeServer<asio::ip::tcp>();
    CClient fake(inProcess->EndpointText());
    fake.List();
    fake.Open("FAKE0");
    const double base = Seconds([&] { fake.ReadBlock(0, 1 << 20); }, 3);
    std::printf("usb    CMD_READ_BLK 1 MiB (fake adapter)       %8.4f s  ratio %.1f\n", base, usb / base);
    fake.Disconnect();
    inProcess->Shutdown();
}

void BenchJlink()
{
    testsupport::Server server(
        "\t<usb name=\"JLINK\" idvendor=\"0x1366\" idproduct=\"0x0101\" frequency=\"12000KHZ\"/>\n",
        "jlink,serial=BENCHJ", {"-q"});
    CClient client(server.Address());
    client.SetReplyTimeout(std::chrono::seconds(120));
    client.List();
    client.Open("JLINK0");
    client.SetTrst(false);
    client.SetTrst(true);
    const std::vector<uint8_t> word = {0x12, 0x34, 0x56, 0x78};
    const double single = Rate([&] { client.ShiftDR(word, 32); });
    CBatch batch;
    for (int i = 0; i < 1000; ++i)
        batch.ShiftDR(word, 32);
    const double batches = Rate([&] { client.Execute(batch); });
    std::printf("jlink  CMD_SHIFT_DR (32 bits), one at a time  %10.0f scans/s\n", single);
    std::printf("jlink  1000-scan batch (32 bits each)         %10.0f scans/s   ratio %.1f\n", batches * 1000,
                batches * 1000 / single);
}

void BenchFtdi()
{
    const std::string entry =
        "\t<usb name=\"ARM-USB-TINY-H\" idvendor=\"0x15BA\" idproduct=\"0x002a\" frequency=\"30MHz\"/>\n";
    testsupport::Server server(entry, "tiny-h,chain=0x4BA00477:4", {"-q"});
    CClient client(server.Address());
    client.List();
    client.Open("ARM-USB-TINY-H0");
    std::vector<uint8_t> bits = {1, 2, 3, 4};
    const double single = Rate([&] { client.ShiftDR(bits, 32); });
    CBatch batch;
    for (int i = 0; i < 1000; ++i)
        batch.ShiftDR(bits, 32);
    const double batches = Rate([&] { client.Execute(batch); });
    std::printf("ftdi   CMD_SHIFT_DR (32 bits), one per round trip  %10.0f scans/s\n", single);
    std::printf("ftdi   1000-scan batch (32 bits each)              %10.0f scans/s   %.1f x single\n",
                batches * 1000, batches * 1000 / single);
    client.Close();
    client.Disconnect();
}

// Single scans and 1000-scan batches (32-bit DR scans) per second through a
// kestrad over the simulated bus.
struct ScanRates {
    double single;
    double batches;
};

ScanRates MeasureScans(const std::string& entry, const std::string& device, const std::string& adapter)
{
    testsupport::Server server(entry, device, {"-q"});
    CClient client(server.Address());
    client.SetReplyTimeout(std::chrono::seconds(120));
    client.List();
    client.Open(adapter);
    client.SetTrst(false);
    client.SetTrst(true);
    const std::vector<uint8_t> word = {0x12, 0x34, 0x56, 0x78};
    ScanRates rates;
    rates.single = Rate([&] { client.ShiftDR(word, 32); });
    CBatch batch;
    for (int i = 0; i < 1000; ++i)
        batch.ShiftDR(word, 32);
    rates.batches = Rate([&] { client.Execute(batch); });
    client.Close();
    client.Disconnect();
    return rates;
}

// DAP_JTAG_Sequence packets (OUT transfers on 0x02 that start with 0x14) of
// one 1000-scan batch, and their mean size, from the bus trace.
std::pair<size_t, double> SequencePackets(const std::string& entry, const std::string& device)
{
    testsupport::TempDir dir;
    const std::string trace = dir.File("usb.trace");
    testsupport::Server server(entry, device, {"-q"}, {{"KESTRAD_SIM_USB_TRACE", trace}});
    CClient client(server.Address());
    client.List();
    client.Open("DAP0");
    client.SetTrst(false);
    client.SetTrst(true);
    const auto count = [&] {
        std::istringstream lines(testsupport::ReadFile(trace));
        std::pair<size_t, double> packets{0, 0};
        for (std::string line; std::getline(lines, line);) {
            const size_t colon = line.find(':');
            if (line.rfind("OUT", 0) != 0 || line.find(" ep 0x02 ") == std::string::npos || colon == std::string::npos ||
                line.compare(colon, 4, ": 14") != 0)
                continue;
            ++packets.first;
            packets.second += std::stod(line.substr(line.rfind(' ', colon) + 1));
        }
        return packets;
    };
    const auto before = count();
    CBatch batch;
    for (int i = 0; i < 1000; ++i)
        batch.ShiftDR({0x12, 0x34, 0x56, 0x78}, 32);
    client.Execute(batch);
    const auto after = count();
    client.Close();
    client.Disconnect();
    const size_t packets = after.first - before.first;
    return {packets, packets ? (after.second - before.second) / static_cast<double>(packets) : 0};
}

void BenchCmsisDap()
{
    const char* const chain = "chain=0x4BA00477:4";
    const ScanRates jlink =
        MeasureScans("\t<usb name=\"JLINK\" idvendor=\"0x1366\" idproduct=\"0x0101\" frequency=\"12000KHZ\"/>\n",
                     std::string("jlink,serial=BENCHJ,") + chain, "JLINK0");
    std::printf("%-42s %14s %16s %18s %16s\n", "adapter (simulated)", "single scans/s", "batch scans/s",
                "packets per batch", "mean packet");
    std::printf("%-42s %14.0f %16.0f %18s %16s\n", "J-Link", jlink.single, jlink.batches * 1000, "-", "-");
    const std::string entry = "\t<cmsis-dap name=\"DAP\" idvendor=\"0x0d28\" idproduct=\"0x0204\" frequency=\"10MHZ\"/>\n";
    for (const auto& [size, count] : {std::pair<unsigned, unsigned>{64, 4}, {512, 8}}) {
        const std::string device = "cmsis-dap,serial=BENCHD,packet=" + std::to_string(size) +
                                   ",packets=" + std::to_string(count) + "," + chain;
        const ScanRates dap = MeasureScans(entry, device, "DAP0");
        const auto packets = SequencePackets(entry, device);
        char name[64];
        std::snprintf(name, sizeof name, "CMSIS-DAP, %u-byte packets, %u in flight", size, count);
        char fill[32];
        std::snprintf(fill, sizeof fill, "%.1f of %u B", packets.second, size);
        std::printf("%-42s %14.0f %16.0f %18zu %16s\n", name, dap.single, dap.batches * 1000, packets.first, fill);
        std::printf("%-42s %14.2f %16.2f\n", "  ratio to the J-Link", dap.single / jlink.single,
                    dap.batches / jlink.batches);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::string mode = "all";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc)
            g_seconds = std::stod(argv[++i]);
        else if (a == "-h" || a == "--help") {
            std::printf("usage: kestrad-bench [fake|peer|usb|jlink|ftdi|cmsis-dap|all] [--seconds S]\n");
            return 0;
        } else
            mode = a;
    }
    try {
        if (mode == "fake" || mode == "all")
            BenchFake();
        if (mode == "peer" || mode == "all")
            BenchPeer();
        if (mode == "usb" || mode == "all")
            BenchUsb();
        if (mode == "jlink" || mode == "all")
            BenchJlink();
        if (mode == "ftdi" || mode == "all")
            BenchFtdi();
        if (mode == "cmsis-dap" || mode == "all")
            BenchCmsisDap();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kestrad-bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
