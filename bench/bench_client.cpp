// kestrad-bench-client: measures kestrad from outside, beside the bare echo
// (kestrad-bench-echo) exchanging the same bytes on the same transport. The
// two are measured in turns of a few hundred round trips each, so a noisy
// machine weighs on both alike. Figures go to stdout, one line per test.
//
//   kestrad-bench-client rtt ADDR ECHO CMD [--adapter NAME] [--count N] [--clients C]
//       p50/p99 round trip of CMD (close | shiftdr, 32 bits), in µs, for
//       kestrad and the echo. With C clients each opens FAKE<i> (or
//       NAME<i>) and all run at once.
//   kestrad-bench-client batch ADDR SCANS [--adapter NAME] [--count N]
//       ns per scan of CMD_ASYNC_OPERATIONS batches of SCANS 32-bit scans,
//       and of single CMD_SHIFT_DR commands.
//   kestrad-bench-client blk ADDR ECHO SIZE [--adapter NAME] [--count N]
//       MiB/s of CMD_READ_BLK and CMD_WRITE_BLK of SIZE bytes, and of the
//       echo moving the same bytes.
//   kestrad-bench-client idle ADDR SESSIONS SECONDS
//       holds SESSIONS connections (greeting read) for SECONDS, printing
//       "ready" once all are up.
//   kestrad-bench-client tunnel ADDR BASE [--adapter NAME] [--count N]
//       p50/p99 round trip of CMD_SHIFT_DR (32 bits) through the client
//       library (CClient) on ADDR (an ssh:// address) and on BASE (the same
//       server's local endpoint), in µs; NAME0 and NAME1 are opened.
//   kestrad-bench-client count ADDR CMD N [--adapter NAME]
//       opens the adapter, prints "ready", waits for a line on stdin, runs N
//       round trips of CMD, prints "done" (for counting system calls).
//
// ADDR and ECHO are host:port (loopback) or a Unix socket path.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "client/Client.h"
#include "client/Protocol.h"
#include "wire/Packets.h"

using namespace kestrad::client;
using Clock = std::chrono::steady_clock;

namespace {

int Connect(const std::string& address)
{
    const size_t colon = address.rfind(':');
    int fd;
    if (colon != std::string::npos && address.find('/') == std::string::npos) {
        std::string host = address.substr(0, colon);
        if (host != "127.0.0.1" && host != "localhost")
            throw std::runtime_error("loopback only: " + address);
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(std::stoi(address.substr(colon + 1))));
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("cannot connect to " + address);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    } else {
        fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, address.c_str(), sizeof a.sun_path - 1);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("cannot connect to " + address);
    }
    return fd;
}

void ReadAll(int fd, void* data, size_t size)
{
    char* p = static_cast<char*>(data);
    while (size) {
        ssize_t n = recv(fd, p, size, 0);
        if (n <= 0)
            throw std::runtime_error("connection closed");
        p += n;
        size -= static_cast<size_t>(n);
    }
}

void WriteAll(int fd, const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size) {
        ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
        if (n <= 0)
            throw std::runtime_error("connection closed");
        p += n;
        size -= static_cast<size_t>(n);
    }
}

// One connection: sends a prepared packet, reads one reply into a buffer
// kept between round trips.
struct Conn {
    int fd = -1;
    std::vector<uint8_t> reply;
    uint32_t status = 0;

    explicit Conn(const std::string& address) : fd(Connect(address)) {}
    ~Conn()
    {
        if (fd >= 0)
            close(fd);
    }
    Conn(const Conn&) = delete;

    size_t RoundTrip(const std::vector<uint8_t>& packet)
    {
        WriteAll(fd, packet.data(), packet.size());
        return Read();
    }
    size_t Read()
    {
        uint32_t head[2];
        ReadAll(fd, head, sizeof head);
        status = head[0];
        reply.resize(head[1]);
        ReadAll(fd, reply.data(), head[1]);
        return 8 + head[1];
    }
};

// A kestrad connection, greeted, with `adapter` open unless empty.
std::unique_ptr<Conn> Kestrad(const std::string& address, const std::string& adapter)
{
    auto c = std::make_unique<Conn>(address);
    c->Read();  // the greeting
    if (!adapter.empty()) {
        c->RoundTrip(body::Packet(CMD_RENUMERATE, nullptr, 0));
        auto name = body::Name(adapter);
        c->RoundTrip(body::Packet(CMD_OPEN, name.data(), name.size()));
        if (c->status != REPLY_OK)
            throw std::runtime_error("cannot open " + adapter + ": " +
                                     std::string(c->reply.begin(), c->reply.end()));
    }
    return c;
}

// An echo connection answering `replySize` bytes to each packet.
std::unique_ptr<Conn> Echo(const std::string& address, uint32_t replySize)
{
    auto c = std::make_unique<Conn>(address);
    WriteAll(c->fd, &replySize, 4);
    return c;
}

std::vector<uint8_t> Command(const std::string& cmd)
{
    if (cmd == "close")
        return body::Packet(CMD_CLOSE, nullptr, 0);
    if (cmd == "shiftdr") {
        auto b = body::ShiftDR({1, 2, 3, 4}, 32, TapState::RunTestIdle);
        return body::Packet(CMD_SHIFT_DR, b.data(), b.size());
    }
    throw std::runtime_error("unknown command " + cmd);
}

double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

struct Options {
    std::string adapter = "FAKE";
    long count = 0;
    int clients = 1;
};

// Round trips on C connections at once (one thread each), `n` each, the
// latencies appended to `out`.
void RunClients(std::vector<std::unique_ptr<Conn>>& conns, const std::vector<uint8_t>& packet, long n,
                std::vector<double>& out)
{
    std::vector<std::vector<double>> per(conns.size());
    std::vector<std::thread> threads;
    std::atomic<size_t> ready{0};
    for (size_t i = 0; i < conns.size(); ++i) {
        threads.emplace_back([&, i] {
            per[i].reserve(static_cast<size_t>(n));
            ++ready;
            while (ready.load() < conns.size()) {
            }
            for (long k = 0; k < n; ++k) {
                auto t0 = Clock::now();
                conns[i]->RoundTrip(packet);
                per[i].push_back(Us(Clock::now() - t0));
            }
        });
    }
    for (auto& t : threads)
        t.join();
    for (auto& v : per)
        out.insert(out.end(), v.begin(), v.end());
}

int Rtt(const std::string& addr, const std::string& echoAddr, const std::string& cmd, const Options& o)
{
    const auto packet = Command(cmd);
    const bool needsAdapter = cmd != "close";
    std::vector<std::unique_ptr<Conn>> ks, es;
    for (int i = 0; i < o.clients; ++i) {
        std::string name = needsAdapter ? o.adapter + std::to_string(i) : "";
        ks.push_back(Kestrad(addr, name));
    }
    const uint32_t replySize = static_cast<uint32_t>(ks[0]->RoundTrip(packet));
    for (int i = 0; i < o.clients; ++i)
        es.push_back(Echo(echoAddr, replySize));
    const long total = o.count ? o.count : 20000 / o.clients;
    const long turn = std::max(1L, std::min(500L, total / 10));
    std::vector<double> k, e, skip;
    RunClients(ks, packet, 200 / o.clients + 1, skip);  // warm-up
    RunClients(es, packet, 200 / o.clients + 1, skip);
    for (long done = 0; done < total; done += turn) {
        RunClients(es, packet, turn, e);
        RunClients(ks, packet, turn, k);
    }
    std::printf("%s clients=%d reply=%u kestrad_p50=%.1f kestrad_p99=%.1f echo_p50=%.1f echo_p99=%.1f\n",
                cmd.c_str(), o.clients, replySize, Percentile(k, 0.5), Percentile(k, 0.99), Percentile(e, 0.5),
                Percentile(e, 0.99));
    return 0;
}

// The cost of the way in: the same command through the client library over
// ADDR and over BASE, in alternating turns.
int Tunnel(const std::string& addr, const std::string& base, const Options& o)
{
    ClientOptions options;
    options.connectTimeout = options.replyTimeout = std::chrono::seconds(30);
    CClient through(addr, options), direct(base, options);
    through.List();  // the server builds its list when asked
    through.Open(o.adapter + "0");
    direct.Open(o.adapter + "1");
    const std::vector<uint8_t> bits(4, 0xA5);
    auto run = [&](CClient& c, long n, std::vector<double>& out) {
        for (long i = 0; i < n; ++i) {
            const auto t0 = Clock::now();
            c.ShiftDR(bits, 32);
            out.push_back(Us(Clock::now() - t0));
        }
    };
    const long total = o.count ? o.count : 20000;
    const long turn = std::max(1L, std::min(500L, total / 10));
    std::vector<double> t, d, skip;
    run(through, 200, skip);  // warm-up
    run(direct, 200, skip);
    for (long done = 0; done < total; done += turn) {
        run(direct, turn, d);
        run(through, turn, t);
    }
    std::printf("shiftdr tunnel_p50=%.1f tunnel_p99=%.1f base_p50=%.1f base_p99=%.1f\n", Percentile(t, 0.5),
                Percentile(t, 0.99), Percentile(d, 0.5), Percentile(d, 0.99));
    return 0;
}

int Batch(const std::string& addr, long scans, const Options& o)
{
    auto c = Kestrad(addr, o.adapter + "0");
    CBatch batch;
    for (long i = 0; i < scans; ++i)
        batch.ShiftDR({1, 2, 3, 4}, 32);
    const auto packet = body::Packet(CMD_ASYNC_OPERATIONS, batch.Body().data(), batch.Body().size());
    const auto single = Command("shiftdr");
    const long batches = o.count ? o.count : std::max(3L, 200000 / scans / 4);
    const long singles = 5000;
    c->RoundTrip(packet);
    if (c->status != REPLY_OK || c->reply.size() != batch.ExpectedResultBytes())
        throw std::runtime_error("batch refused");
    for (int i = 0; i < 100; ++i)
        c->RoundTrip(single);
    // Best of three turns of each.
    double perBatch = 1e18, perSingle = 1e18;
    for (int t = 0; t < 3; ++t) {
        auto t0 = Clock::now();
        for (long i = 0; i < singles; ++i)
            c->RoundTrip(single);
        perSingle = std::min(perSingle, Us(Clock::now() - t0) * 1000 / singles);
        t0 = Clock::now();
        for (long i = 0; i < batches; ++i)
            c->RoundTrip(packet);
        perBatch = std::min(perBatch, Us(Clock::now() - t0) * 1000 / batches);
    }
    const double perScan = perBatch / scans;
    std::printf("batch scans=%ld ns_per_scan=%.0f single_ns=%.0f speedup=%.1f\n", scans, perScan, perSingle,
                perSingle / perScan);
    return 0;
}

int Blk(const std::string& addr, const std::string& echoAddr, uint32_t size, const Options& o)
{
    auto c = Kestrad(addr, o.adapter + "0");
    std::vector<uint8_t> data(size, 0x5a);
    auto wb = body::WriteBlock(0x1000, data.data(), data.size());
    const auto write = body::Packet(CMD_WRITE_BLK, wb.data(), wb.size());
    auto rb = body::ReadBlock(0x1000, size);
    const auto read = body::Packet(CMD_READ_BLK, rb.data(), rb.size());
    const long n = o.count ? o.count : std::max(3L, static_cast<long>((256u << 20) / size / 4));
    const long turns = std::min(n, 3L);
    const uint32_t writeReply = static_cast<uint32_t>(c->RoundTrip(write));
    const uint32_t readReply = static_cast<uint32_t>(c->RoundTrip(read));
    if (c->status != REPLY_OK || c->reply.size() != size)
        throw std::runtime_error("read refused");
    auto ew = Echo(echoAddr, writeReply);
    auto er = Echo(echoAddr, readReply);
    auto mib = [&](Conn& conn, const std::vector<uint8_t>& packet) {
        double best = 0;
        for (long t = 0; t < turns; ++t) {
            const long each = std::max(1L, n / turns);
            auto t0 = Clock::now();
            for (long i = 0; i < each; ++i)
                conn.RoundTrip(packet);
            const double s = Us(Clock::now() - t0) / 1e6;
            best = std::max(best, each * static_cast<double>(size) / s / (1 << 20));
        }
        return best;
    };
    const double er_ = mib(*er, read), kr = mib(*c, read);
    const double ew_ = mib(*ew, write), kw = mib(*c, write);
    std::printf("blk size=%u read_mibs=%.0f echo_read_mibs=%.0f write_mibs=%.0f echo_write_mibs=%.0f\n", size, kr,
                er_, kw, ew_);
    return 0;
}

int Idle(const std::string& addr, int sessions, int seconds)
{
    std::vector<std::unique_ptr<Conn>> conns;
    for (int i = 0; i < sessions; ++i)
        conns.push_back(Kestrad(addr, ""));
    std::printf("ready\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(std::min(seconds, 9)));
    return 0;
}

int Count(const std::string& addr, const std::string& cmd, long n, const Options& o)
{
    const auto packet = Command(cmd);
    auto c = Kestrad(addr, cmd == "close" ? "" : o.adapter + "0");
    for (int i = 0; i < 100; ++i)
        c->RoundTrip(packet);
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    std::getline(std::cin, line);
    for (long i = 0; i < n; ++i)
        c->RoundTrip(packet);
    std::printf("done\n");
    std::fflush(stdout);
    std::getline(std::cin, line);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> pos;
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--adapter" && i + 1 < argc)
            o.adapter = argv[++i];
        else if (a == "--count" && i + 1 < argc)
            o.count = std::atol(argv[++i]);
        else if (a == "--clients" && i + 1 < argc)
            o.clients = std::max(1, std::atoi(argv[++i]));
        else
            pos.push_back(a);
    }
    try {
        if (pos.size() == 4 && pos[0] == "rtt")
            return Rtt(pos[1], pos[2], pos[3], o);
        if (pos.size() == 3 && pos[0] == "tunnel")
            return Tunnel(pos[1], pos[2], o);
        if (pos.size() == 3 && pos[0] == "batch")
            return Batch(pos[1], std::atol(pos[2].c_str()), o);
        if (pos.size() == 4 && pos[0] == "blk")
            return Blk(pos[1], pos[2], static_cast<uint32_t>(std::atol(pos[3].c_str())), o);
        if (pos.size() == 4 && pos[0] == "idle")
            return Idle(pos[1], std::atoi(pos[2].c_str()), std::atoi(pos[3].c_str()));
        if (pos.size() == 4 && pos[0] == "count")
            return Count(pos[1], pos[2], std::atol(pos[3].c_str()), o);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kestrad-bench-client: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: see the comment at the top of bench/bench_client.cpp\n");
    return 2;
}
