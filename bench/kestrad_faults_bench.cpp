// kestrad-faults-bench: figures for how kestrad holds up against misbehaving
// clients and peers. Each run starts the real kestrad (by default the one of
// this build; --kestrad PATH measures another, e.g. an older build, for a
// before/after comparison) on loopback only.
//
//   kestrad-faults-bench [accept|scan|renumerate|bodies|threads|shiftdr|budget|sources|logflood|
//                         peerread|trickle|all]
//                        [--kestrad PATH]
//
// accept      kestrad under `prlimit --nofile=14`, 8 clients queued past the
//             limit: its CPU seconds and log bytes over 10 s, then whether a
//             client is served once the 8 have gone.
// scan        how long one renumerate takes with one answering peer.
// renumerate  a client's round trips on its own open adapter
//             (a kestrad-sim peer), p50/p99, alone and while another client
//             renumerates against a peer that accepts but never greets; and
//             how long ten renumerates at once take.
// bodies      50 connections each sending a 64 MiB CMD_WRITE_BLK body at
//             once, kestrad limited to 2 GiB of address space: its peak
//             resident memory, the replies, and whether it still serves.
// threads     kestrad's thread count with 0, 500 and again 0 connections.
// shiftdr     one CMD_SHIFT_DR of 536,870,848 bits (a 64 MiB body) through a
//             network adapter (a minimal peer in this program that echoes
//             the scan): peak resident memory, and the resident memory of the
//             idle session afterwards.
// budget      four clients that announce 64 MiB bodies and stall (sending
//             64 KiB, then 63 MiB of them), renewed every 8 s, against a
//             client's 32-bit CMD_SHIFT_DR every 200 ms on its own adapter:
//             how many are refused, and whether its adapter is lost.
// sources     one client opens connections until refused; then whether
//             1000 connections from another loopback address are served,
//             and how many refusal lines were logged.
// logflood    unknown commands for 20 s: log growth and server CPU; and the
//             log bytes of a connect-and-hang-up.
// peerread    64 MiB CMD_READ_BLKs through a network peer (one, two at once,
//             one from a peer sending 4000-character rows): peak resident
//             memory.
// trickle     a peer that greets, then sends a byte every 2 s of a line that
//             never ends: how long a client waits for the adapter list; and
//             kestrad's threads and open descriptors after 30 clients asked
//             for the list and hung up (1 s after asking), 2 s and 15 s later.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/ByteOrder.h"
#include "client/Client.h"
#include "tests/support/Process.h"
#include "tests/support/Programs.h"
#include "wire/Packets.h"

using namespace kestrad::client;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::string g_kestrad;

std::string Text(const std::vector<uint8_t>& body) { return std::string(body.begin(), body.end()); }

// kestrad on a free loopback port with the given configuration entries;
// `prefix` runs it under another program (prlimit).
struct Kestrad {
    testsupport::TempDir dir;
    testsupport::Process process;
    int port = 0;
    std::string address;

    explicit Kestrad(const std::string& entries, std::vector<std::string> prefix = {},
                     std::map<std::string, std::string> env = {})
    {
        testsupport::WriteFile(dir.File("kestrad.xml"),
                               "<?xml version=\"1.0\"?>\n<jtag_options version=\"10\">\n" + entries +
                                   "</jtag_options>");
        port = testsupport::FreeTcpPort();
        address = "127.0.0.1:" + std::to_string(port);
        std::vector<std::string> args = prefix;
        std::string program = g_kestrad;
        if (!prefix.empty()) {
            program = prefix[0];
            args.erase(args.begin());
            args.push_back(g_kestrad);
        }
        args.push_back("-a");
        args.push_back(address);
        args.push_back("-o");
        args.push_back(dir.File("kestrad.xml"));
        env["TEMP"] = dir.Path() + "/";
        process = testsupport::Process(program, args, env, dir.Path());
        testsupport::WaitFor([&] { return testsupport::CanConnectTcp(port) || !process.Running(); });
    }
    // The kestrad process itself (prlimit execs it in place).
    int Pid() { return process.Pid(); }
};

std::string Status(int pid, const std::string& field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, field.size() + 1, field + ":") == 0) {
            std::string value = line.substr(field.size() + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            return value;
        }
    return "?";
}

double CpuSeconds(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14)
            utime = std::stoull(f);
        if (i == 15)
            stime = std::stoull(f);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long FileSize(const std::string& path)
{
    std::ifstream in(path, std::ios::ate | std::ios::binary);
    return in ? static_cast<long>(in.tellg()) : 0;
}

// A TCP connection to 127.0.0.1:port, from a chosen loopback address
// (127.0.0.x) when `from` is given.
int RawConnect(int port, const char* from = nullptr)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (from) {
        sockaddr_in at{};
        at.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &at.sin_addr);
        ::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at);
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A listening socket on loopback that accepts nothing and never greets.
struct SilentPeer {
    int fd = -1;
    int port = 0;
    SilentPeer()
    {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at);
        ::listen(fd, 64);
        socklen_t len = sizeof at;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &len);
        port = ntohs(at.sin_port);
    }
    ~SilentPeer() { ::close(fd); }
};

void BenchAccept()
{
    Kestrad server("", {"/usr/bin/prlimit", "--nofile=14:14"});
    std::vector<int> clients;
    for (int i = 0; i < 8; ++i)
        clients.push_back(RawConnect(server.port));
    std::this_thread::sleep_for(1s);
    const std::string log = server.dir.File("kestrad.log");
    const double cpu0 = CpuSeconds(server.Pid());
    const long log0 = FileSize(log);
    std::this_thread::sleep_for(10s);
    const double cpu = CpuSeconds(server.Pid()) - cpu0;
    const long bytes = FileSize(log) - log0;
    for (int fd : clients)
        ::close(fd);
    bool served = false;
    try {
        ClientOptions options;
        options.connectTimeout = 5s;
        options.replyTimeout = 5s;
        CClient client(server.address, options);
        client.KeepAlive();
        served = true;
    } catch (const std::exception&) {
    }
    std::printf("accept      fd limit 14, 8 queued clients, 10 s: %.2f CPU s, %ld log bytes; served after: %s\n",
                cpu, bytes, served ? "yes" : "no");
}

void Percentiles(const char* what, std::vector<double> ms)
{
    if (ms.empty()) {
        std::printf("renumerate  %-40s no samples\n", what);
        return;
    }
    std::sort(ms.begin(), ms.end());
    std::printf("renumerate  %-40s n=%zu p50 %.2f ms p99 %.2f ms max %.2f ms\n", what, ms.size(),
                ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)], ms.back());
}

// One renumerate against a peer that answers: what the probe of one peer
// costs.
void BenchScan()
{
    testsupport::Peer peer;
    Kestrad server(testsupport::NetworkEntry("SIM", peer.port));
    CClient client(server.address);
    std::vector<double> seconds;
    for (int i = 0; i < 3; ++i) {
        const auto start = Clock::now();
        client.List();
        seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    std::printf("scan        one renumerate, one answering peer: median %.3f s of 3\n", seconds[1]);
}

void BenchRenumerate()
{
    testsupport::Peer peer;
    SilentPeer silent;
    Kestrad server(testsupport::NetworkEntry("SIM", peer.port) + testsupport::NetworkEntry("SILENT", silent.port));
    ClientOptions options;
    options.replyTimeout = 60s;
    CClient client(server.address, options);
    client.List();
    client.Open("SIM");
    auto timed = [](const std::function<void()>& op) {
        const auto start = Clock::now();
        op();
        return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    };
    // CMD_RUN_TEST round trips, and "unknown command" (which also closes the
    // adapter, then opened again untimed).
    auto sample = [&](Clock::duration span, std::vector<double>& unknown) {
        std::vector<double> ms;
        const auto end = Clock::now() + span;
        while (Clock::now() < end) {
            for (int i = 0; i < 50; ++i)
                ms.push_back(timed([&] { client.RunTest(1); }));
            unknown.push_back(timed([&] { client.Command(0); }));
            client.Open("SIM");
        }
        return ms;
    };
    std::vector<double> unknownAlone, unknownBusy;
    Percentiles("CMD_RUN_TEST, alone", sample(3s, unknownAlone));
    std::atomic<bool> stop{false};
    std::thread renumerating([&] {
        CClient other(server.address, options);
        while (!stop)
            other.List();
    });
    std::this_thread::sleep_for(200ms);
    Percentiles("CMD_RUN_TEST, during renumerates", sample(8s, unknownBusy));
    Percentiles("unknown command, alone", unknownAlone);
    Percentiles("unknown command, during renumerates", unknownBusy);
    stop = true;
    renumerating.join();
    // Ten renumerates at once against the silent peer.
    const auto start = Clock::now();
    std::vector<std::thread> ten;
    std::vector<double> each(10);
    for (int i = 0; i < 10; ++i)
        ten.emplace_back([&, i] {
            const auto t = Clock::now();
            try {
                CClient c(server.address, options);
                c.List();
                each[i] = std::chrono::duration<double>(Clock::now() - t).count();
            } catch (const std::exception&) {
                each[i] = -1;  // no answer within the client's 60 s
            }
        });
    for (auto& t : ten)
        t.join();
    const long unanswered = std::count(each.begin(), each.end(), -1.0);
    std::printf("renumerate  10 clients at once (a silent peer): slowest %.2f s, %ld without an answer "
                "within 60 s, all done in %.2f s\n",
                *std::max_element(each.begin(), each.end()), unanswered,
                std::chrono::duration<double>(Clock::now() - start).count());
}

void BenchBodies()
{
    // 2 GiB of address space: a memory limit that keeps this machine safe.
    Kestrad server("", {"/usr/bin/prlimit", "--as=2147483648"});
    const uint32_t size = 64u << 20;
    std::atomic<int> ok{0}, refused{0}, closed{0};
    std::vector<std::thread> senders;
    for (int i = 0; i < 50; ++i)
        senders.emplace_back([&] {
            try {
                ClientOptions options;
                options.replyTimeout = 120s;
                CClient c(server.address, options);
                CCmdPacketHdr header{CMD_WRITE_BLK, size};
                c.SendRaw(&header, sizeof header);
                std::vector<uint8_t> piece(1 << 20, 0x5a);
                for (uint32_t sent = 0; sent < size; sent += piece.size())
                    c.SendRaw(piece.data(), piece.size());
                Reply r = c.ReadReply();
                (Text(r.body).find("buffer budget") != std::string::npos ? refused : ok)++;
            } catch (const std::exception&) {
                closed++;
            }
        });
    for (auto& t : senders)
        t.join();
    const std::string peak = Status(server.Pid(), "VmHWM");
    bool served = false;
    try {
        ClientOptions options;
        options.connectTimeout = 5s;
        options.replyTimeout = 5s;
        CClient c(server.address, options);
        c.KeepAlive();
        served = true;
    } catch (const std::exception&) {
    }
    std::printf("bodies      50 x 64 MiB bodies: peak RSS %s; replies: %d answered, %d refused for the budget, "
                "%d connections lost; kestrad %s, serves after: %s\n",
                peak.c_str(), ok.load(), refused.load(), closed.load(),
                server.process.Running() ? "running" : "gone", served ? "yes" : "no");
}

void BenchThreads()
{
    // 500 connections from one address: above the per-client default.
    Kestrad server("", {}, {{"KESTRAD_MAX_SESSIONS_PER_SOURCE", "512"}});
    std::this_thread::sleep_for(500ms);
    const std::string idle = Status(server.Pid(), "Threads");
    std::vector<int> clients;
    for (int i = 0; i < 500; ++i)
        clients.push_back(RawConnect(server.port));
    testsupport::WaitFor([&] { return std::atoi(Status(server.Pid(), "Threads").c_str()) >= 502; }, 10s);
    const std::string busy = Status(server.Pid(), "Threads");
    for (int fd : clients)
        ::close(fd);
    testsupport::WaitFor([&] { return Status(server.Pid(), "Threads") == idle; }, 10s);
    std::printf("threads     0 connections: %s, 500 connections: %s, 0 again: %s\n", idle.c_str(), busy.c_str(),
                Status(server.Pid(), "Threads").c_str());
}

// A peer for the long scan: greets, answers every line with "ok", and
// answers wrDR with the value it was sent, digits in, digits out.
struct EchoPeer {
    SilentPeer listener;
    std::thread thread;
    EchoPeer()
    {
        thread = std::thread([this] {
            for (;;) {
                const int fd = ::accept(listener.fd, nullptr, nullptr);
                if (fd < 0)
                    return;
                Serve(fd);
                ::close(fd);
            }
        });
    }
    ~EchoPeer()
    {
        ::shutdown(listener.fd, SHUT_RDWR);
        thread.join();
    }
    static void SendAll(int fd, const std::string& text)
    {
        for (size_t sent = 0; sent < text.size();) {
            const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            sent += static_cast<size_t>(n);
        }
    }
    static void Serve(int fd)
    {
        SendAll(fd, "RTL model\r\nprotocol RTL_JTAGdemo-0.1\r\n");
        std::string line;
        char buffer[1 << 16];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] != '\n') {
                    line += buffer[i];
                    continue;
                }
                if (line.compare(0, 7, "wrDR 0x") == 0) {
                    const size_t blank = line.find(' ', 7);
                    std::string reply = "ok = 0x";
                    reply.append(line, 7, blank - 7);
                    reply += "\r\n";
                    std::string().swap(line);
                    SendAll(fd, reply);
                } else {
                    SendAll(fd, "ok\r\n");
                }
                line.clear();
            }
        }
    }
};

void BenchShiftDR()
{
    EchoPeer peer;
    Kestrad server(testsupport::NetworkEntry("ECHO", peer.listener.port));
    ClientOptions options;
    options.replyTimeout = 300s;
    CClient client(server.address, options);
    client.List();
    client.Open("ECHO");
    const int bits = 536870848;
    std::vector<uint8_t> data(static_cast<size_t>(bits) / 8, 0xa5);
    const std::string before = Status(server.Pid(), "VmRSS");
    const auto start = Clock::now();
    auto out = client.ShiftDR(data, bits);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const bool same = out == data;
    std::vector<uint8_t>().swap(out);
    std::this_thread::sleep_for(1s);
    std::printf("shiftdr     CMD_SHIFT_DR of %d bits (64 MiB): %.1f s, echo %s; RSS before %s, peak %s, "
                "idle session after %s\n",
                bits, seconds, same ? "matches" : "DIFFERS", before.c_str(), Status(server.Pid(), "VmHWM").c_str(),
                Status(server.Pid(), "VmRSS").c_str());
}

// Clients that take the buffer budget: `hogs` connections each announce a
// 64 MiB CMD_WRITE_BLK, send `sent` bytes of it and stall, and are renewed
// every 8 s, while a victim on its own adapter sends a 32-bit CMD_SHIFT_DR
// every 200 ms and another client tries to open the victim's adapter.
void BudgetRun(const char* what, size_t sent, std::chrono::seconds span)
{
    EchoPeer peer;
    Kestrad server(testsupport::NetworkEntry("ECHO", peer.listener.port));
    ClientOptions options;
    options.replyTimeout = 60s;
    CClient victim(server.address, options);
    victim.List();
    victim.Open("ECHO");
    std::atomic<bool> stop{false};
    std::atomic<int> taken{0};
    std::vector<std::thread> hogs;
    for (int i = 0; i < 4; ++i)
        hogs.emplace_back([&] {
            const std::vector<uint8_t> piece(1u << 20, 0x5a);
            while (!stop) {
                try {
                    CClient hog(server.address, options);
                    CCmdPacketHdr header{CMD_WRITE_BLK, 64u << 20};
                    hog.SendRaw(&header, sizeof header);
                    for (size_t done = 0; done < sent;) {
                        const size_t n = std::min(piece.size(), sent - done);
                        hog.SendRaw(piece.data(), n);
                        done += n;
                    }
                    const auto until = Clock::now() + 8s;
                    while (!stop && Clock::now() < until) {
                        std::this_thread::sleep_for(100ms);
                    }
                } catch (const std::exception&) {
                }
            }
        });
    std::thread thief([&] {
        while (!stop) {
            try {
                CClient t(server.address, options);
                t.Open("ECHO");
                ++taken;
            } catch (const std::exception&) {
            }
            std::this_thread::sleep_for(1s);
        }
    });
    std::this_thread::sleep_for(1s);
    int ok = 0, refused = 0, lost = 0, other = 0;
    std::string example;
    const auto end = Clock::now() + span;
    while (Clock::now() < end) {
        Reply r = victim.Command(CMD_SHIFT_DR, {32, 0, 0, 0, 1, 0, 0, 0, 0x78, 0x56, 0x34, 0x12});
        if (r.status == REPLY_OK) {
            ++ok;
        } else if (Text(r.body).find("buffer budget") != std::string::npos) {
            ++refused;
            example = Text(r.body);
        } else if (Text(r.body).find("is not opened") != std::string::npos ||
                   Text(r.body).find("no jtag associated") != std::string::npos) {
            ++lost;
            try {
                victim.Open("ECHO");
            } catch (const std::exception&) {
            }
        } else {
            ++other;
            example = Text(r.body);
        }
        std::this_thread::sleep_for(200ms);
    }
    stop = true;
    for (auto& t : hogs)
        t.join();
    thief.join();
    std::printf("budget      %s, %lld s: victim's 32-bit CMD_SHIFT_DR %d ok, %d refused for the budget, %d on a "
                "closed or lost adapter, %d other; adapter opened by another client %d times; kestrad peak RSS %s\n",
                what, static_cast<long long>(span.count()), ok, refused, lost, other, taken.load(),
                Status(server.Pid(), "VmHWM").c_str());
    if (!example.empty())
        std::printf("            e.g. \"%s\"\n", example.c_str());
}

void BenchBudget()
{
    BudgetRun("4 hogs announcing 64 MiB and sending 64 KiB", 64u << 10, 40s);
    BudgetRun("4 hogs announcing 64 MiB and sending 63 MiB", 63u << 20, 20s);
}

// Whether the greeting arrives on fd within `timeout` (a refused connection
// is closed without one).
bool Greeted(int fd, std::chrono::milliseconds timeout)
{
    pollfd p{fd, POLLIN, 0};
    unsigned char greeting[16];
    size_t got = 0;
    const auto end = Clock::now() + timeout;
    while (got < sizeof greeting && Clock::now() < end) {
        if (::poll(&p, 1, 100) <= 0)
            continue;
        const ssize_t n = ::recv(fd, greeting + got, sizeof greeting - got, 0);
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return got == sizeof greeting;
}

long CountLines(const std::string& path, const std::string& text)
{
    std::ifstream in(path);
    std::string line;
    long n = 0;
    while (std::getline(in, line))
        n += line.find(text) != std::string::npos;
    return n;
}

size_t Descriptors(int pid)
{
    size_t n = 0;
    if (DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (::readdir(d))
            ++n;
        ::closedir(d);
    }
    return n > 2 ? n - 2 : 0;
}

// One client (127.0.0.1) opens connections until refused (at most 600), at
// the default session cap of 512; then 1000 connections from 127.0.0.2.
void BenchSources()
{
    Kestrad server("");
    std::vector<int> held;
    for (int i = 0; i < 600; ++i) {
        const int fd = RawConnect(server.port, "127.0.0.1");
        if (fd < 0 || !Greeted(fd, 2s)) {
            if (fd >= 0)
                ::close(fd);
            break;
        }
        held.push_back(fd);
    }
    const std::string threads = Status(server.Pid(), "Threads");
    const size_t fds = Descriptors(server.Pid());
    int served = 0;
    for (int i = 0; i < 1000; ++i) {
        const int fd = RawConnect(server.port, "127.0.0.2");
        if (fd >= 0 && Greeted(fd, 2s))
            ++served;
        if (fd >= 0)
            ::close(fd);
    }
    std::this_thread::sleep_for(500ms);
    const long refusals = CountLines(server.dir.File("kestrad.log"), "Refused");
    for (int fd : held)
        ::close(fd);
    std::printf("sources     one client held %zu sessions (%s threads, %zu descriptors in kestrad); "
                "another source: %d of 1000 served; %ld refusal lines logged\n",
                held.size(), threads.c_str(), fds, served, refusals);
}

// A client sends unknown commands for 20 s (kestrad without -v): log
// growth and server CPU; then 1000 connections that hang up at once: log
// bytes per connection.
void BenchLogFlood()
{
    Kestrad server("");
    const std::string log = server.dir.File("kestrad.log");
    std::this_thread::sleep_for(500ms);
    {
        CClient client(server.address);
        const long log0 = FileSize(log);
        const double cpu0 = CpuSeconds(server.Pid());
        const auto end = Clock::now() + 20s;
        long commands = 0;
        while (Clock::now() < end) {
            for (int i = 0; i < 100; ++i)
                client.Command(0);
            commands += 100;
        }
        const long bytes = FileSize(log) - log0;
        std::printf("logflood    %ld unknown commands in 20 s: log grew %ld bytes (%.1f KB/s), kestrad CPU %.1f s\n",
                    commands, bytes, bytes / 20.0 / 1000.0, CpuSeconds(server.Pid()) - cpu0);
    }
    std::this_thread::sleep_for(500ms);
    const long log0 = FileSize(log);
    for (int i = 0; i < 1000; ++i) {
        const int fd = RawConnect(server.port);
        if (fd >= 0 && Greeted(fd, 2s))
            ::close(fd);
        else if (fd >= 0)
            ::close(fd);
    }
    std::this_thread::sleep_for(1s);
    std::printf("logflood    1000 connect-and-hang-ups: %.0f log bytes each\n", (FileSize(log) - log0) / 1000.0);
}

// A peer that answers "dump" with its rows (each word its own address),
// made and sent a piece at a time, and "ok" to anything else; `extra`
// characters pad each row (a misbehaving peer). Serves any number of
// connections at once.
struct DumpPeer {
    SilentPeer listener;
    size_t extra;
    std::thread thread;
    std::vector<std::thread> served;
    explicit DumpPeer(size_t padding) : extra(padding)
    {
        thread = std::thread([this] {
            for (;;) {
                const int fd = ::accept(listener.fd, nullptr, nullptr);
                if (fd < 0)
                    return;
                served.emplace_back([this, fd] {
                    Serve(fd);
                    ::close(fd);
                });
            }
        });
    }
    ~DumpPeer()
    {
        ::shutdown(listener.fd, SHUT_RDWR);
        thread.join();
        for (auto& t : served)
            t.join();
    }
    void Serve(int fd)
    {
        EchoPeer::SendAll(fd, "RTL model\r\nprotocol RTL_JTAGdemo-0.1\r\n");
        std::string line;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] != '\n') {
                    line += buffer[i];
                    continue;
                }
                unsigned long start = 0, last = 0;
                if (std::sscanf(line.c_str(), "dump 0x%lx 0x%lx", &start, &last) == 2)
                    SendRows(fd, static_cast<uint32_t>(start), last / 16 + 1);
                EchoPeer::SendAll(fd, "ok\r\n");
                line.clear();
            }
        }
    }
    void SendRows(int fd, uint32_t address, uint64_t rows)
    {
        std::string piece;
        char row[64];
        const std::string pad(extra, 'x');
        for (uint64_t r = 0; r < rows; ++r, address += 16) {
            std::snprintf(row, sizeof row, "%08x %08x %08x %08x ", address, address + 4, address + 8, address + 12);
            piece += row;
            piece += pad;
            piece += "\r\n";
            if (piece.size() >= (64u << 10)) {
                EchoPeer::SendAll(fd, piece);
                piece.clear();
            }
        }
        EchoPeer::SendAll(fd, piece);
    }
};

// 64 MiB CMD_READ_BLKs through a network peer: kestrad's peak resident
// memory for one read, for two at once, and for one from a peer whose rows
// are 4000 characters long.
void BenchPeerRead()
{
    const uint32_t size = 64u << 20;
    auto run = [&](const char* what, size_t padding, int readers) {
        DumpPeer peer(padding);
        std::string entries;
        for (int i = 0; i < readers; ++i)
            entries += testsupport::NetworkEntry("DUMP" + std::to_string(i), peer.listener.port);
        Kestrad server(entries);
        std::vector<std::string> results(static_cast<size_t>(readers));
        const auto start = Clock::now();
        std::vector<std::thread> threads;
        for (int i = 0; i < readers; ++i)
            threads.emplace_back([&, i] {
                try {
                    ClientOptions options;
                    options.replyTimeout = 300s;
                    CClient client(server.address, options);
                    client.List();
                    client.Open("DUMP" + std::to_string(i));
                    const auto block = client.ReadBlock(0, size);
                    results[static_cast<size_t>(i)] =
                        block.size() == size && ReadLE32(block.data() + size - 4) == size - 4 ? "right" : "WRONG";
                } catch (const std::exception& e) {
                    results[static_cast<size_t>(i)] = std::string("\"") + e.what() + "\"";
                }
            });
        for (auto& t : threads)
            t.join();
        std::string outcome;
        for (const auto& r : results)
            outcome += (outcome.empty() ? "" : ", ") + r;
        std::printf("peerread    %s: %.1f s, kestrad peak RSS %s; %s\n", what,
                    std::chrono::duration<double>(Clock::now() - start).count(),
                    Status(server.Pid(), "VmHWM").c_str(), outcome.c_str());
    };
    run("one 64 MiB read", 0, 1);
    run("two 64 MiB reads at once", 0, 2);
    run("one 64 MiB read, rows of 4000 characters", 4000 - 36, 1);
}

// Greets every connection at once (each on a thread of its own), then
// sends a byte every 2 s, a reply line that never ends.
struct TricklePeer {
    SilentPeer listener;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::vector<std::thread> connections;
    std::thread thread;
    TricklePeer()
    {
        thread = std::thread([this] {
            for (;;) {
                const int fd = ::accept(listener.fd, nullptr, nullptr);
                if (fd < 0)
                    return;
                std::lock_guard<std::mutex> lock(mutex);
                connections.emplace_back([this, fd] { Serve(fd); });
            }
        });
    }
    ~TricklePeer()
    {
        stop = true;
        ::shutdown(listener.fd, SHUT_RDWR);
        thread.join();
        for (auto& t : connections)
            t.join();
    }
    void Serve(int fd)
    {
        const std::string greeting = "RTL model\r\nprotocol RTL_JTAGdemo-0.1\r\n";
        bool open = ::send(fd, greeting.data(), greeting.size(), MSG_NOSIGNAL) > 0;
        auto next = Clock::now() + 2s;
        while (open && !stop) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 200) > 0) {
                char sink[256];
                open = ::recv(fd, sink, sizeof sink, 0) > 0;
            }
            if (open && Clock::now() >= next) {
                open = ::send(fd, "0", 1, MSG_NOSIGNAL) == 1;
                next += 2s;
            }
        }
        ::close(fd);
    }
};

int OpenDescriptors(int pid)
{
    int count = 0;
    if (DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (const dirent* entry = ::readdir(dir))
            count += entry->d_name[0] != '.';
        ::closedir(dir);
    }
    return count;
}

void BenchTrickle()
{
    {
        TricklePeer peer;
        Kestrad server(testsupport::NetworkEntry("TRICKLE", peer.listener.port));
        ClientOptions options;
        options.replyTimeout = 60s;
        const auto start = Clock::now();
        std::string outcome;
        try {
            CClient client(server.address, options);
            outcome = std::to_string(client.List().size()) + " adapters listed";
        } catch (const std::exception&) {
            outcome = "no list within 60 s";
        }
        std::printf("trickle     a peer trickling a byte every 2 s: adapter list after %.1f s (%s)\n",
                    std::chrono::duration<double>(Clock::now() - start).count(), outcome.c_str());
    }
    TricklePeer peer;
    Kestrad server(testsupport::NetworkEntry("TRICKLE", peer.listener.port));
    std::this_thread::sleep_for(500ms);
    const int pid = server.Pid();
    const std::string idleThreads = Status(pid, "Threads");
    const int idleFds = OpenDescriptors(pid);
    std::vector<std::thread> clients;
    for (int i = 0; i < 30; ++i)
        clients.emplace_back([&] {
            try {
                ClientOptions options;
                options.replyTimeout = 1s;
                CClient client(server.address, options);
                client.List();
            } catch (const std::exception&) {
            }
        });
    for (auto& t : clients)
        t.join();
    std::this_thread::sleep_for(2s);
    const std::string threads2 = Status(pid, "Threads");
    const int fds2 = OpenDescriptors(pid);
    std::this_thread::sleep_for(13s);
    std::printf("trickle     30 clients asked for the list and hung up: kestrad threads %s, fds %d after 2 s; "
                "threads %s, fds %d after 15 s (idle before: threads %s, fds %d)\n",
                threads2.c_str(), fds2, Status(pid, "Threads").c_str(), OpenDescriptors(pid), idleThreads.c_str(),
                idleFds);
}

}  // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string mode = "all";
    g_kestrad = testsupport::ProgramPath("kestrad");
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--kestrad" && i + 1 < argc)
            g_kestrad = argv[++i];
        else
            mode = arg;
    }
    std::printf("kestrad: %s\n", g_kestrad.c_str());
    try {
        if (mode == "accept" || mode == "all")
            BenchAccept();
        if (mode == "scan" || mode == "all")
            BenchScan();
        if (mode == "renumerate" || mode == "all")
            BenchRenumerate();
        if (mode == "bodies" || mode == "all")
            BenchBodies();
        if (mode == "threads" || mode == "all")
            BenchThreads();
        if (mode == "shiftdr" || mode == "all")
            BenchShiftDR();
        if (mode == "budget" || mode == "all")
            BenchBudget();
        if (mode == "sources" || mode == "all")
            BenchSources();
        if (mode == "logflood" || mode == "all")
            BenchLogFlood();
        if (mode == "peerread" || mode == "all")
            BenchPeerRead();
        if (mode == "trickle" || mode == "all")
            BenchTrickle();
    } catch (const std::exception& e) {
        std::printf("failed: %s\n", e.what());
        return 1;
    }
    return 0;
}
