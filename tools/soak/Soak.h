// kestrad-soak: what its parts share. The program starts the real kestrad
// over simulated adapters (Rig), runs clients that check every reply against
// the simulated chips (Workload), injects faults while they run (Faults) and
// prints what happened (Report).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace soak {

using Clock = std::chrono::steady_clock;

struct Options {
    int clients = 12;
    int commands = 300;
    // Rounds of the workload on the same server; faults in the first only.
    int rounds = 1;
    int peers = 3;
    // Seconds the whole run may take before the watchdog ends it.
    int watchdog = 240;
    // Stop reading a large reply and wait for the server's 30 s reply
    // time-out: only in long runs.
    bool stall = false;
    // Largest idle CPU share of one core, in percent.
    double idleCpuBound = 5.0;
    double idleSeconds = 3.0;
    bool quiet = false;
    unsigned seed = 1;
    std::string binDir;
};

// One TAP of a simulated chain, TDO side first as kestrad-sim --chain has it.
struct Tap {
    uint32_t idcode = 0;  // 0: no IDCODE register (BYPASS after reset)
    uint32_t irLength = 4;
};

// The known chain behind an adapter and what replies must be.
struct Chain {
    std::vector<Tap> taps;

    std::string Text() const;                 // kestrad-sim / KESTRAD_SIM_USB syntax
    uint32_t IrLength() const;                // sum of the IR lengths
    uint32_t IrCapture() const;               // each IR captures 0b..01
    uint32_t IrAllBypass() const;             // all ones
    uint32_t IrSelectIdcode() const;          // IDCODE (0x3) in TAP 0, BYPASS elsewhere
    uint32_t IdcodeScanBits() const { return 32 + static_cast<uint32_t>(taps.size()) - 1; }
    // What an IDCODE scan of zeros returns once IrSelectIdcode() is loaded.
    std::vector<uint8_t> IdcodeScan() const;
    // What shifting `in` (`bits` bits) through the chain in BYPASS returns:
    // each TAP delays by one bit and captures 0.
    std::vector<uint8_t> BypassScan(const std::vector<uint8_t>& in, uint32_t bits) const;
};

enum class Kind { Peer, EzUsb, Jlink, Flyswatter2, TinyH };
const char* KindName(Kind kind);

struct AdapterSetup {
    Kind kind = Kind::EzUsb;
    std::string serial;     // EZ-USB adapters report it; the others are named by position
    std::string name;       // what CMD_OPEN takes, known once the server listed them
    Chain chain;
    int peer = -1;          // index of the kestrad-sim peer (Kind::Peer)
    bool memory = false;    // target memory reachable (EZ-USB, peers)
    uint32_t maxScanBits = 64;
    int users = 0;          // clients that drive it (more than one: they contend)
    bool victim = false;    // a fault hits it: its client goes on until the faults are done
};

// Outcomes counted over the whole run.
struct Counters {
    std::atomic<uint64_t> served{0};       // replies received and checked
    std::atomic<uint64_t> wrong{0};        // a reply that differs from the chip
    std::atomic<uint64_t> lost{0};         // no reply, or the connection dropped unexpectedly
    std::atomic<uint64_t> refused{0};      // CMD_OPEN refused: another session holds the adapter
    std::atomic<uint64_t> expectedErrors{0};  // error replies caused by an injected fault
    std::atomic<uint64_t> recoveries{0};   // adapters opened again after a fault
};

// What one fault did: what the client it hit saw, and what the others saw
// while it lasted. Filled by Faults, printed by Report.
struct FaultRecord {
    std::string name;
    bool injected = false;
    bool passed = false;      // the server behaved as it must
    std::string affected;     // what the affected client saw
    std::string others;       // what the other clients saw
    double seconds = 0;
};

// A place to note events; thread-safe and bounded, for the report.
class CNotes {
public:
    void Add(const std::string& text);
    std::vector<std::string> Take();

private:
    std::mutex m_mutex;
    std::vector<std::string> m_notes;
    size_t m_dropped = 0;
};

// Bits helpers.
inline int Bit(const std::vector<uint8_t>& v, size_t k) { return (v[k / 8] >> (k % 8)) & 1; }
std::string Hex(const std::vector<uint8_t>& v, size_t max = 16);
double Seconds(Clock::duration d);

}  // namespace soak
