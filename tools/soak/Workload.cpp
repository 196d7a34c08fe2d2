#include "tools/soak/Workload.h"

#include <algorithm>
#include <random>

#include "client/Client.h"

using namespace kestrad::client;
using namespace std::chrono_literals;

namespace soak {

const char* const kUnplugSerial = "SOAKUNPLUG";
const char* const kFaultSerial = "SOAKFAULT";

void AdapterState::Saw(const std::string& what)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (seen.size() < 4)
        seen.push_back(what);
}

std::string AdapterState::Seen()
{
    std::lock_guard<std::mutex> lock(mutex);
    std::string text;
    for (const auto& s : seen)
        text += (text.empty() ? "" : "; ") + s;
    return text.empty() ? "nothing" : text;
}

std::vector<AdapterSetup> PlanAdapters(const Options& options, std::vector<int>& assignment)
{
    const int contenders = options.clients >= 8 ? std::max(3, options.clients / 10) : 0;
    const int shared = contenders ? std::max(1, contenders / 4) : 0;
    const int own = options.clients - contenders;
    if (own < options.peers + 5)
        throw std::invalid_argument("--clients must be at least --peers + 5 (" + std::to_string(options.peers + 5) +
                                    ") so that every kind of adapter has a client");

    std::vector<AdapterSetup> adapters;
    int serial = 0;
    auto add = [&](Kind kind, int taps) {
        AdapterSetup a;
        a.kind = kind;
        const uint32_t id = 0x0A000001u | (static_cast<uint32_t>(adapters.size() + 1) << 12);
        a.chain.taps.push_back({id, 4});
        if (taps > 1)
            a.chain.taps.push_back({0, 5});
        if (taps > 2)
            a.chain.taps.push_back({0x06413041u, 5});
        a.memory = kind == Kind::EzUsb || kind == Kind::Peer;
        a.maxScanBits = kind == Kind::EzUsb ? 32 : 96;
        if (kind == Kind::EzUsb) {
            char text[16];
            std::snprintf(text, sizeof text, "SK%05d", serial++);
            a.serial = text;
        }
        adapters.push_back(a);
        return static_cast<int>(adapters.size() - 1);
    };

    // Peers first, then the USB kinds: each kind at least once, then mostly
    // EZ-USB and J-Link (the FTDI boards clock every bit through libftdi).
    for (int i = 0; i < options.peers; ++i)
        assignment.push_back(add(Kind::Peer, 3));
    adapters.front().victim = true;
    const Kind first[] = {Kind::Jlink, Kind::Flyswatter2, Kind::TinyH, Kind::EzUsb};
    const Kind cycle[] = {Kind::EzUsb, Kind::Jlink, Kind::EzUsb, Kind::Flyswatter2, Kind::EzUsb,
                          Kind::Jlink, Kind::EzUsb, Kind::TinyH, Kind::Jlink, Kind::EzUsb};
    const int usbOwn = own - options.peers - 1;  // the last one is the unplug victim
    for (int i = 0; i < usbOwn; ++i) {
        const Kind kind = i < 4 ? first[i] : cycle[(i - 4) % 10];
        assignment.push_back(add(kind, kind == Kind::EzUsb ? 1 : 1 + i % 2));
    }
    for (int s = 0; s < shared; ++s) {
        const int index = add(Kind::EzUsb, 1);
        for (int c = s; c < contenders; c += shared)
            assignment.push_back(index);
    }
    adapters[static_cast<size_t>(add(Kind::EzUsb, 1))].serial = kFaultSerial;
    const int victim = add(Kind::EzUsb, 1);
    adapters[static_cast<size_t>(victim)].serial = kUnplugSerial;
    adapters[static_cast<size_t>(victim)].victim = true;
    assignment.push_back(victim);
    for (int index : assignment)
        ++adapters[static_cast<size_t>(index)].users;
    return adapters;
}

namespace {

// One client: its connection, its adapter, and the checks.
class CWorker {
public:
    CWorker(Shared& shared, int id, int adapter)
        : m_shared(shared),
          m_id(id),
          m_adapter(shared.adapters[static_cast<size_t>(adapter)]),
          m_state(*shared.state[static_cast<size_t>(adapter)]),
          m_rng(shared.options.seed * 7919u + static_cast<unsigned>(id)),
          m_base(0x20000000u + static_cast<uint32_t>(id) * 0x100000u)
    {
    }

    void Run()
    {
        const bool contending = m_adapter.users > 1;
        while (m_done < m_shared.options.commands || m_state.fault.load() >= 0 ||
               (m_adapter.victim && !m_shared.faultsDone)) {
            try {
                if (!m_client)
                    Connect();
                if (!m_open) {
                    if (!OpenAdapter())
                        continue;
                }
                Step();
                if (contending && m_turn >= 20) {
                    m_client->Close();
                    Served();
                    m_open = false;
                    m_turn = 0;
                    std::this_thread::sleep_for(std::chrono::milliseconds(m_rng() % 5));
                }
            } catch (const ServerError& e) {
                m_open = false;
                m_state.inTransfer = false;
                if (m_state.fault.load() >= 0) {
                    m_shared.counters.expectedErrors++;
                    m_state.errors++;
                    m_state.Saw(std::string("error reply \"") + e.what() + "\"");
                    Recover();
                } else {
                    Wrong(std::string("error reply: ") + e.what());
                }
            } catch (const Error& e) {
                // Connection or protocol failures: no fault of ours closes a
                // worker's connection.
                Lost(e.what());
                m_client.reset();
                m_open = false;
            } catch (const std::exception& e) {
                Wrong(std::string("unexpected: ") + e.what());
                m_client.reset();
                m_open = false;
            }
        }
        if (m_client)
            m_client->Disconnect();
    }

private:
    void Connect()
    {
        ClientOptions options;
        options.connectTimeout = 20s;
        // A renumerate waits up to 5 s for each peer that serves another
        // session (a peer takes one connection at a time).
        options.replyTimeout = 90s;
        m_client = std::make_unique<CClient>(m_shared.address, options);
    }

    // Opens the adapter; false when another session holds it (counted).
    bool OpenAdapter()
    {
        try {
            m_client->Open(m_adapter.name);
        } catch (const ServerError& e) {
            const std::string text = e.what();
            if (m_adapter.users > 1 && text.find("is already opened") != std::string::npos) {
                m_shared.counters.refused++;
                std::this_thread::sleep_for(std::chrono::milliseconds(1 + m_rng() % 4));
                return false;
            }
            throw;
        }
        Served();
        m_open = true;
        m_lastIr = 1;
        return true;
    }

    // After an error reply caused by a fault: open the adapter again until
    // it works, renumerating when the device object is dead (an unplugged
    // device comes back as a new one).
    void Recover()
    {
        const auto deadline = Clock::now() + 60s;
        int attempt = 0;
        while (Clock::now() < deadline) {
            try {
                m_client->Open(m_adapter.name);
                m_open = true;
                m_lastIr = 1;
                m_state.recovered++;
                m_shared.counters.recoveries++;
                m_state.Saw("open again after " + std::to_string(attempt) + " refusals");
                return;
            } catch (const ServerError& e) {
                if (attempt++ == 0)
                    m_state.Saw(std::string("open refused \"") + e.what() + "\"");
            }
            if (attempt % 4 == 0)
                m_client->List();
            std::this_thread::sleep_for(200ms);
        }
        Lost("adapter " + m_adapter.name + " did not come back within 60 s of the fault");
    }

    // What CMD_SHIFT_IR answers on this adapter: the captured bits, but for
    // the EZ-USB adapter only their low nibble (its reply carries four bits)
    // and for the FTDI boards the value the previous scan shifted in (they
    // do not read the instruction register back; 1 after an open).
    uint32_t ExpectedIr(uint32_t value, uint32_t length)
    {
        switch (m_adapter.kind) {
        case Kind::EzUsb:
            return m_adapter.chain.IrCapture() & 0x0Fu;
        case Kind::Flyswatter2:
        case Kind::TinyH: {
            const uint32_t bytes = std::min<uint32_t>((length + 7) / 8, 4);
            const uint32_t previous = bytes == 4 ? m_lastIr : m_lastIr & ((1u << (8 * bytes)) - 1);
            m_lastIr = value;
            return previous;
        }
        default:
            return m_adapter.chain.IrCapture();
        }
    }

    void Served(int n = 1)
    {
        m_done += n;
        m_turn += n;
        m_shared.counters.served += static_cast<uint64_t>(n);
    }

    void Wrong(const std::string& what)
    {
        m_shared.counters.wrong++;
        m_shared.problems.Add("client " + std::to_string(m_id) + " on " + m_adapter.name + ": wrong: " + what);
    }

    void Lost(const std::string& what)
    {
        m_shared.counters.lost++;
        m_shared.problems.Add("client " + std::to_string(m_id) + " on " + m_adapter.name + ": lost: " + what);
    }

    template <typename T>
    void Expect(const T& got, const T& want, const std::string& what)
    {
        if (got == want)
            Served();
        else
            Wrong(what);
    }

    std::vector<uint8_t> Pattern(uint32_t bits)
    {
        std::vector<uint8_t> bytes((bits + 7) / 8);
        for (auto& b : bytes)
            b = static_cast<uint8_t>(m_rng());
        if (bits % 8)
            bytes.back() &= static_cast<uint8_t>((1u << (bits % 8)) - 1);
        return bytes;
    }

    uint32_t PatternBits()
    {
        const uint32_t least = static_cast<uint32_t>(m_adapter.chain.taps.size()) + 1;
        return least + m_rng() % (m_adapter.maxScanBits - least + 1);
    }

    void Step()
    {
        const Chain& chain = m_adapter.chain;
        // The maker's adapter sends a data scan as a command byte and data
        // for the target's debug unit (bit 8 never leaves it), so only its
        // IDCODE read, memory and idle clocks have a chain-level meaning.
        const bool ezUsb = m_adapter.kind == Kind::EzUsb;
        unsigned op = m_rng() % (m_adapter.memory ? 7 : 5);
        if (ezUsb && op == 2)
            op = 0;
        switch (op) {
        case 0:
        case 1: {  // IDCODE: select it in the first TAP, read it
            const uint32_t ir = m_client->ShiftIR(chain.IrSelectIdcode(), chain.IrLength());
            Expect(ir, ExpectedIr(chain.IrSelectIdcode(), chain.IrLength()), "IR capture " + std::to_string(ir));
            const auto dr = m_client->ShiftDR(std::vector<uint8_t>((chain.IdcodeScanBits() + 7) / 8, 0),
                                              chain.IdcodeScanBits());
            Expect(dr, chain.IdcodeScan(), "IDCODE scan " + Hex(dr) + ", chip has " + Hex(chain.IdcodeScan()));
            break;
        }
        case 2: {  // BYPASS everywhere: the pattern comes back delayed a bit per TAP
            const uint32_t ir = m_client->ShiftIR(chain.IrAllBypass(), chain.IrLength());
            Expect(ir, ExpectedIr(chain.IrAllBypass(), chain.IrLength()), "IR capture " + std::to_string(ir));
            const uint32_t bits = PatternBits();
            const auto in = Pattern(bits);
            const auto dr = m_client->ShiftDR(in, bits);
            Expect(dr, chain.BypassScan(in, bits),
                   "bypass scan of " + std::to_string(bits) + " bits " + Hex(in) + " gave " + Hex(dr));
            break;
        }
        case 3: {  // the same as one batch
            const uint32_t bits = PatternBits();
            const auto in = Pattern(bits);
            CBatch batch;
            batch.ShiftIR(chain.IrSelectIdcode(), chain.IrLength())
                .ShiftDR(std::vector<uint8_t>((chain.IdcodeScanBits() + 7) / 8, 0), chain.IdcodeScanBits());
            if (ezUsb)
                batch.ShiftIR(chain.IrSelectIdcode(), chain.IrLength())
                    .ShiftDR(std::vector<uint8_t>((chain.IdcodeScanBits() + 7) / 8, 0), chain.IdcodeScanBits());
            else
                batch.ShiftIR(chain.IrAllBypass(), chain.IrLength()).ShiftDR(in, bits);
            const auto results = m_client->Execute(batch);
            auto word = [](const std::vector<uint8_t>& v) {
                uint32_t w = 0;
                for (size_t i = 0; i < v.size() && i < 4; ++i)
                    w |= static_cast<uint32_t>(v[i]) << (8 * i);
                return w;
            };
            const uint32_t ir0 = ExpectedIr(chain.IrSelectIdcode(), chain.IrLength());
            const uint32_t ir1 = ExpectedIr(ezUsb ? chain.IrSelectIdcode() : chain.IrAllBypass(), chain.IrLength());
            const bool ok = results.size() == 4 && word(results[0]) == ir0 &&
                            results[1] == chain.IdcodeScan() && word(results[2]) == ir1 &&
                            results[3] == (ezUsb ? chain.IdcodeScan() : chain.BypassScan(in, bits));
            if (ok)
                Served();
            else
                Wrong("batch results " + (results.size() == 4 ? Hex(results[1]) + " " + Hex(results[3]) : std::string("?")));
            break;
        }
        case 4:
            m_client->RunTest(1 + m_rng() % 64);
            Served();
            break;
        default: {  // memory: write, read back
            const bool big = m_state.bigTransfers.load();
            const uint32_t size = big ? (m_adapter.kind == Kind::Peer ? 16u : 256u) * 1024u
                                      : 4u * (1 + m_rng() % (m_adapter.kind == Kind::Peer ? 64 : 1024));
            const uint32_t address = m_base + 4u * (m_rng() % 1024);
            const auto data = Pattern(size * 8);
            m_state.inTransfer = true;
            m_client->WriteBlock(address, data);
            Served();
            const auto back = m_client->ReadBlock(address, size);
            m_state.inTransfer = false;
            Expect(back, data, "memory at " + std::to_string(address) + ": wrote " + Hex(data) + ", read " + Hex(back));
            break;
        }
        }
    }

    Shared& m_shared;
    const int m_id;
    const AdapterSetup& m_adapter;
    AdapterState& m_state;
    std::mt19937 m_rng;
    const uint32_t m_base;
    std::unique_ptr<CClient> m_client;
    bool m_open = false;
    int m_done = 0;
    int m_turn = 0;
    uint32_t m_lastIr = 1;
};

}  // namespace

CWorkload::CWorkload(Shared& shared, std::vector<int> assignment)
    : m_shared(shared), m_assignment(std::move(assignment))
{
}

CWorkload::~CWorkload() { Join(); }

void CWorkload::Start()
{
    for (size_t i = 0; i < m_assignment.size(); ++i) {
        m_shared.running++;
        m_threads.emplace_back([this, i] {
            CWorker worker(m_shared, static_cast<int>(i), m_assignment[i]);
            worker.Run();
            m_shared.running--;
        });
    }
}

void CWorkload::Join()
{
    for (auto& t : m_threads)
        if (t.joinable())
            t.join();
}

int CWorkload::VictimOf(Kind kind) const
{
    for (size_t i = 0; i < m_shared.adapters.size(); ++i)
        if (m_shared.adapters[i].kind == kind && m_shared.adapters[i].victim)
            return static_cast<int>(i);
    return -1;
}

}  // namespace soak
