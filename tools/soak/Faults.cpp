#include "tools/soak/Faults.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <thread>

#include "client/Client.h"
#include "wire/Packets.h"

using namespace kestrad::client;
using namespace std::chrono_literals;

namespace soak {

namespace {

int PortOf(const std::string& address) { return std::stoi(address.substr(address.rfind(':') + 1)); }

// A bare TCP connection for clients that misbehave on purpose.
class CRaw {
public:
    explicit CRaw(const std::string& address)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(PortOf(address)));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (m_fd < 0 || ::connect(m_fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
            Close();
    }
    ~CRaw() { Close(); }
    CRaw(const CRaw&) = delete;
    CRaw& operator=(const CRaw&) = delete;

    bool Connected() const { return m_fd >= 0; }
    int Release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void Close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    bool Send(const std::vector<uint8_t>& bytes)
    {
        size_t at = 0;
        while (at < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            at += static_cast<size_t>(n);
        }
        return true;
    }
    // Reads up to `size` bytes within `timeout`; stops early at the end of
    // the stream (`closed` then set).
    std::vector<uint8_t> Recv(size_t size, std::chrono::milliseconds timeout, bool& closed)
    {
        std::vector<uint8_t> data;
        closed = false;
        const auto deadline = Clock::now() + timeout;
        uint8_t buf[65536];
        while (data.size() < size) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            const ssize_t n = ::recv(m_fd, buf, std::min(sizeof buf, size - data.size()), 0);
            if (n <= 0) {
                closed = true;
                break;
            }
            data.insert(data.end(), buf, buf + n);
        }
        return data;
    }
    // Opens `name` the raw way: greeting, CMD_OPEN, its reply.
    bool Open(const std::string& name)
    {
        bool closed = false;
        if (Recv(16, 5s, closed).size() != 16)
            return false;
        const auto body = body::Name(name);
        if (!Send(body::Packet(CMD_OPEN, body.data(), body.size())))
            return false;
        const auto reply = Recv(8, 10s, closed);
        return reply.size() == 8 && reply[0] == REPLY_OK;
    }

private:
    int m_fd = -1;
};

uint32_t Word(const std::vector<uint8_t>& v, size_t at)
{
    return v.size() < at + 4 ? 0
                             : static_cast<uint32_t>(v[at]) | static_cast<uint32_t>(v[at + 1]) << 8 |
                                   static_cast<uint32_t>(v[at + 2]) << 16 | static_cast<uint32_t>(v[at + 3]) << 24;
}

std::string Fixed(double value, int decimals = 1)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

}  // namespace

// What the other clients did while a fault lasted.
struct CFaults::Window {
    Shared& shared;
    Clock::time_point start = Clock::now();
    uint64_t served, wrong, lost;
    explicit Window(Shared& s)
        : shared(s), served(s.counters.served), wrong(s.counters.wrong), lost(s.counters.lost)
    {
    }
    std::string Others(bool* clean) const
    {
        const uint64_t w = shared.counters.wrong - wrong, l = shared.counters.lost - lost;
        if (clean)
            *clean = w == 0 && l == 0;
        return std::to_string(shared.counters.served - served) + " replies checked, " + std::to_string(w) +
               " wrong, " + std::to_string(l) + " lost";
    }
    double Seconds() const { return soak::Seconds(Clock::now() - start); }
};

CFaults::CFaults(Shared& shared, CRig& rig, const CWorkload& workload)
    : m_shared(shared), m_rig(rig), m_workload(workload)
{
    for (const AdapterSetup& a : shared.adapters)
        if (a.serial == kFaultSerial)
            m_faultAdapter = a.name;
}

CFaults::~CFaults()
{
    if (m_halfOpenWatch.joinable())
        m_halfOpenWatch.join();
    for (auto& h : m_halfOpen)
        if (h.fd >= 0)
            ::close(h.fd);
}

FaultRecord& CFaults::Record(const std::string& name)
{
    m_records.push_back(FaultRecord{});
    m_records.back().name = name;
    m_records.back().injected = true;
    std::fprintf(stderr, "kestrad-soak: fault: %s\n", name.c_str());
    return m_records.back();
}

std::vector<int> CFaults::Pids() const
{
    return m_limited ? std::vector<int>{m_limited->Pid()} : std::vector<int>{};
}

void CFaults::Run()
{
    KillPeer();
    UnplugUsb();
    DropMidReply();
    Garbage();
    if (m_shared.options.stall)
        StopReading();
    DescriptorLimit();
}

// Waits for `condition` in 10 ms steps for at most `limit`.
static bool Await(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    return testsupport::WaitFor(condition, limit);
}

// A peer dies while the client on it is inside a memory transfer; it comes
// back on the same port.
void CFaults::KillPeer()
{
    FaultRecord& r = Record("kestrad-sim killed mid-command, restarted");
    const int index = m_workload.VictimOf(Kind::Peer);
    if (index < 0) {
        r.affected = "no peer with a client of its own";
        return;
    }
    AdapterState& state = *m_shared.state[static_cast<size_t>(index)];
    const AdapterSetup& setup = m_shared.adapters[static_cast<size_t>(index)];
    state.fault = 0;
    state.bigTransfers = true;
    Window w(m_shared);
    const bool inside = Await([&] { return state.inTransfer.load(); }, 10s);
    std::this_thread::sleep_for(5ms);
    m_rig.Peer(setup.peer).Kill();
    const bool saw = Await([&] { return state.errors.load() > 0; }, 30s);
    std::this_thread::sleep_for(300ms);
    m_rig.Peer(setup.peer).Restart();
    const bool back = Await([&] { return state.recovered.load() > 0; }, 70s);
    state.bigTransfers = false;
    const uint64_t before = m_shared.counters.served;
    Await([&] { return m_shared.counters.served > before + 20; }, 5s);
    state.fault = -1;
    bool clean = false;
    r.others = w.Others(&clean);
    r.affected = std::string(inside ? "" : "(not inside a transfer) ") + state.Seen();
    r.seconds = w.Seconds();
    r.passed = saw && back && clean && m_rig.Server().Running();
}

// The EZ-USB device is pulled while its client moves 256 KiB blocks, and
// plugged back.
void CFaults::UnplugUsb()
{
    FaultRecord& r = Record("USB device unplugged mid-transfer, replugged");
    const int index = m_workload.VictimOf(Kind::EzUsb);
    AdapterState& state = *m_shared.state[static_cast<size_t>(index)];
    state.fault = 1;
    state.bigTransfers = true;
    Window w(m_shared);
    const bool inside = Await([&] { return state.inTransfer.load(); }, 10s);
    std::this_thread::sleep_for(2ms);
    m_rig.Unplug(kUnplugSerial);
    const bool saw = Await([&] { return state.errors.load() > 0; }, 30s);
    std::this_thread::sleep_for(300ms);
    m_rig.Plug();
    const bool back = Await([&] { return state.recovered.load() > 0; }, 70s);
    state.bigTransfers = false;
    const uint64_t before = m_shared.counters.served;
    Await([&] { return m_shared.counters.served > before + 20; }, 5s);
    state.fault = -1;
    bool clean = false;
    r.others = w.Others(&clean);
    r.affected = std::string(inside ? "" : "(not inside a transfer) ") + state.Seen();
    r.seconds = w.Seconds();
    r.passed = saw && back && clean && m_rig.Server().Running();
}

double CFaults::SecondsUntilFree(const std::string& address, const std::string& name, double limit)
{
    const auto start = Clock::now();
    ClientOptions options;
    options.replyTimeout = 20s;
    CClient client(address, options);
    while (Seconds(Clock::now() - start) < limit) {
        try {
            client.Open(name);
            client.Close();
            return Seconds(Clock::now() - start);
        } catch (const ServerError&) {
            std::this_thread::sleep_for(50ms);
        }
    }
    return -1;
}

// A client asks for an 8 MiB block and hangs up after the first 64 KiB.
void CFaults::DropMidReply()
{
    FaultRecord& r = Record("client closed during an 8 MiB CMD_READ_BLK reply");
    Window w(m_shared);
    CRaw raw(m_rig.Address());
    if (!raw.Open(m_faultAdapter)) {
        r.affected = "could not open " + m_faultAdapter;
        return;
    }
    const auto body = body::ReadBlock(0x30000000, 8u << 20);
    raw.Send(body::Packet(CMD_READ_BLK, body.data(), body.size()));
    bool closed = false;
    // The header comes once the whole block is read from the adapter,
    // which under the full load takes a while.
    const auto got = raw.Recv(8 + 65536, 120s, closed);
    raw.Close();
    const double free = SecondsUntilFree(m_rig.Address(), m_faultAdapter, 15);
    bool clean = false;
    r.others = w.Others(&clean);
    r.affected = "reply status " + std::to_string(Word(got, 0)) + ", length " + std::to_string(Word(got, 4)) +
                 "; hung up after " + std::to_string(got.size()) + " bytes; " +
                 (free >= 0 ? "adapter free again after " + Fixed(free, 2) + " s" : "adapter still held after 15 s");
    r.seconds = w.Seconds();
    r.passed = got.size() == 8 + 65536 && Word(got, 0) == REPLY_OK && free >= 0 && clean &&
               m_rig.Server().Running();
}

// A client asks for a 32 MiB block and never reads: the server must end the
// session when a reply piece waits longer than its reply limit (30 s) and
// free the adapter.
void CFaults::StopReading()
{
    FaultRecord& r = Record("client stopped reading a 32 MiB reply");
    Window w(m_shared);
    CRaw raw(m_rig.Address());
    if (!raw.Open(m_faultAdapter)) {
        r.affected = "could not open " + m_faultAdapter;
        return;
    }
    const auto body = body::ReadBlock(0x30000000, 32u << 20);
    raw.Send(body::Packet(CMD_READ_BLK, body.data(), body.size()));
    // Reading the block from the adapter takes a while under load; the
    // reply limit counts from the first piece, so the clock starts with the
    // header.
    bool closed = false;
    const auto header = raw.Recv(8, 180s, closed);
    const double free = header.size() == 8 ? SecondsUntilFree(m_rig.Address(), m_faultAdapter, 60) : -1;
    size_t total = header.size();
    for (;;) {
        const auto got = raw.Recv(1u << 20, 2s, closed);
        total += got.size();
        if (got.empty() || closed)
            break;
    }
    bool clean = false;
    r.others = w.Others(&clean);
    r.affected = (header.size() != 8 ? std::string("no reply header within 180 s")
                  : free >= 0   ? "reply header read, then nothing; adapter free " + Fixed(free) + " s later"
                                : std::string("adapter still held 60 s after the reply header")) +
                 "; then read " + std::to_string(total) + " bytes, " +
                 (closed ? "connection closed by the server" : "connection still open");
    r.seconds = w.Seconds();
    r.passed = free >= 0 && free < 45 && closed && total < (32u << 20) + 8 && clean && m_rig.Server().Running();
}

// HTTP requests and random bytes to the port.
void CFaults::Garbage()
{
    FaultRecord& r = Record("HTTP requests and random bytes");
    Window w(m_shared);
    std::mt19937 rng(m_shared.options.seed);
    std::vector<std::vector<uint8_t>> inputs;
    for (const char* text : {"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
                             "POST /api HTTP/1.0\r\nContent-Length: 4\r\n\r\nabcd", "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03"})
        inputs.emplace_back(text, text + std::strlen(text));
    for (int i = 0; i < 6; ++i) {
        std::vector<uint8_t> bytes(16 + rng() % 4096);
        for (auto& b : bytes)
            b = static_cast<uint8_t>(rng());
        inputs.push_back(bytes);
    }
    int errorReplies = 0, closedConnections = 0, silent = 0, failed = 0;
    for (const auto& input : inputs) {
        CRaw raw(m_rig.Address());
        bool closed = false;
        if (!raw.Connected() || raw.Recv(16, 5s, closed).size() != 16) {
            ++failed;
            continue;
        }
        raw.Send(input);
        const auto reply = raw.Recv(1 << 16, 300ms, closed);
        if (Word(reply, 0) == REPLY_ERROR)
            ++errorReplies;
        if (closed)
            ++closedConnections;
        if (reply.empty() && !closed)
            ++silent;
    }
    bool clean = false;
    r.others = w.Others(&clean);
    r.affected = std::to_string(inputs.size()) + " connections: " + std::to_string(errorReplies) + " error replies, " +
                 std::to_string(closedConnections) + " closed by the server, " + std::to_string(silent) +
                 " waiting for more bytes when we hung up" + (failed ? ", " + std::to_string(failed) + " not greeted" : "");
    r.seconds = w.Seconds();
    r.passed = failed == 0 && clean && m_rig.Server().Running();
}

void CFaults::Begin()
{
    m_halfOpenWindow = std::make_unique<Window>(m_shared);
    // Three bytes of a header, then silence.
    for (int i = 0; i < 5; ++i) {
        CRaw raw(m_rig.Address());
        if (raw.Connected()) {
            raw.Send({CMD_KEEPALIVE, 0, 0});
            m_halfOpen.push_back({raw.Release(), Clock::now()});
        }
    }
    // Notes when the server closes each (past the greeting), for at most
    // 30 s.
    m_halfOpenWatch = std::thread([this] {
        const auto deadline = Clock::now() + 30s;
        size_t open = m_halfOpen.size();
        while (open && Clock::now() < deadline) {
            std::vector<pollfd> fds;
            for (const auto& h : m_halfOpen)
                fds.push_back({h.closedAfter < 0 ? h.fd : -1, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 100) <= 0)
                continue;
            for (size_t i = 0; i < fds.size(); ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                uint8_t buf[64];
                if (::recv(m_halfOpen[i].fd, buf, sizeof buf, 0) <= 0) {
                    m_halfOpen[i].closedAfter = Seconds(Clock::now() - m_halfOpen[i].since);
                    --open;
                }
            }
        }
    });
}

void CFaults::End()
{
    FaultRecord& r = Record("half-open connections (3 header bytes, then silence)");
    if (m_halfOpenWatch.joinable())
        m_halfOpenWatch.join();
    int closedCount = 0;
    double longest = 0;
    for (auto& h : m_halfOpen) {
        if (h.closedAfter >= 0) {
            ++closedCount;
            longest = std::max(longest, h.closedAfter);
        }
        ::close(h.fd);
        h.fd = -1;
    }
    r.others = m_halfOpenWindow->Others(nullptr) + " (the whole fault run)";
    r.affected = std::to_string(closedCount) + " of " + std::to_string(m_halfOpen.size()) +
                 " closed by the server, the last after " + Fixed(longest) + " s";
    r.seconds = longest;
    // The server's read limit is 10 s, checked every 1.25 s.
    r.passed = !m_halfOpen.empty() && closedCount == static_cast<int>(m_halfOpen.size()) && longest < 13 &&
               m_rig.Server().Running();
    m_halfOpenWindow.reset();
}

// A kestrad of its own under a low descriptor limit: two clients work on
// while 60 more connections queue past the limit; once they have gone a new
// client must be served, and the server must hold no more descriptors than
// before.
void CFaults::DescriptorLimit()
{
    FaultRecord& r = Record("descriptor limit (kestrad under nofile 64:64, 100 connections beyond it)");
    const auto start = Clock::now();
    const std::string simUsb = "ezusb,serial=FD1,chain=0x0FD00001:4;ezusb,serial=FD2,chain=0x0FD00003:4";
    m_limited = std::make_unique<CKestrad>(CRig::UsbEntries(), simUsb, "", false, 64);
    const std::string address = m_limited->Address();
    const int pid = m_limited->Pid();
    int before = -1;
    std::string problem;
    try {
        CClient lister(address);
        lister.List();
    } catch (const std::exception& e) {
        problem = std::string("first list: ") + e.what();
    }
    std::this_thread::sleep_for(300ms);
    before = ProcStats::Descriptors(pid);

    // The clients that were there first, each on its adapter.
    struct Other {
        std::unique_ptr<CClient> client;
        uint32_t idcode;
        int ok = 0, failed = 0;
        std::string saw;
    };
    std::vector<Other> others(2);
    const uint32_t ids[] = {0x0FD00001u, 0x0FD00003u};
    for (size_t i = 0; i < others.size(); ++i) {
        others[i].idcode = ids[i];
        try {
            others[i].client = std::make_unique<CClient>(address);
            others[i].client->Open("EZ-USB" + std::to_string(i));
            // They wait while the flood drains: the server's 10 s read limit
            // must not end them.
            others[i].client->EnableKeepAlive(std::chrono::milliseconds(2000));
        } catch (const std::exception& e) {
            problem = std::string("opening: ") + e.what();
        }
    }
    auto idcodes = [&](int rounds) {
        for (auto& o : others)
            for (int k = 0; k < rounds && o.client; ++k) {
                try {
                    o.client->ShiftIR(0x3, 4);
                    const auto dr = o.client->ShiftDR({0, 0, 0, 0}, 32);
                    if (dr == std::vector<uint8_t>{static_cast<uint8_t>(o.idcode), static_cast<uint8_t>(o.idcode >> 8),
                                                   static_cast<uint8_t>(o.idcode >> 16),
                                                   static_cast<uint8_t>(o.idcode >> 24)})
                        ++o.ok;
                    else if (++o.failed == 1)
                        o.saw = "wrong IDCODE " + Hex(dr);
                } catch (const std::exception& e) {
                    if (++o.failed == 1)
                        o.saw = e.what();
                }
            }
    };

    std::vector<int> flood;
    for (int i = 0; i < 100; ++i) {
        CRaw raw(address);
        if (raw.Connected())
            flood.push_back(raw.Release());
    }
    const long long cpu0 = ProcStats::CpuTicks(pid);
    const auto t0 = Clock::now();
    for (int i = 0; i < 10; ++i) {
        idcodes(2);
        std::this_thread::sleep_for(150ms);
    }
    const double cpuShare = static_cast<double>(ProcStats::CpuTicks(pid) - cpu0) /
                            static_cast<double>(sysconf(_SC_CLK_TCK)) / Seconds(Clock::now() - t0);
    // What the flood saw: greeted (accepted) or not.
    int greeted = 0;
    for (int fd : flood) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0)
            ++greeted;
        ::close(fd);
    }

    // Served again once the flood has gone?
    double servedAfter = -1;
    const auto gone = Clock::now();
    while (Seconds(Clock::now() - gone) < 15 && servedAfter < 0) {
        try {
            ClientOptions options;
            options.connectTimeout = 3s;
            options.replyTimeout = 3s;
            CClient fresh(address, options);
            fresh.List();
            servedAfter = Seconds(Clock::now() - gone);
        } catch (const std::exception&) {
            std::this_thread::sleep_for(100ms);
        }
    }
    idcodes(5);
    int ok = 0, failed = 0;
    std::string saw;
    for (auto& o : others) {
        ok += o.ok;
        failed += o.failed;
        if (!o.saw.empty())
            saw = o.saw;
        if (o.client)
            o.client->Disconnect();
    }
    others.clear();
    int after = -1;
    Await([&] { return (after = ProcStats::Descriptors(pid)) <= before; }, 5s);

    r.affected = "100 connections, " + std::to_string(greeted) + " greeted while the others waited; server CPU " +
                 Fixed(100 * cpuShare) + "% of a core meanwhile; " +
                 (servedAfter >= 0 ? "new client served " + Fixed(servedAfter, 2) + " s after they left"
                                   : std::string("no new client served within 15 s")) +
                 "; descriptors " + std::to_string(before) + " before, " + std::to_string(after) + " after" +
                 (problem.empty() ? "" : "; " + problem);
    r.others = "2 clients there first: " + std::to_string(ok) + " IDCODE reads right, " + std::to_string(failed) +
               " failed" + (saw.empty() ? "" : " (" + saw + ")");
    r.seconds = Seconds(Clock::now() - start);
    r.passed = problem.empty() && failed == 0 && ok > 0 && servedAfter >= 0 && after <= before && m_limited->Running();
    if (!r.passed)
        std::fprintf(stderr, "kestrad-soak: the descriptor-limited kestrad's log:\n%s\n", m_limited->FullLog().c_str());
}

}  // namespace soak
