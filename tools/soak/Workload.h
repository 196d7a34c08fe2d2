// kestrad-soak: the clients. Each runs its share of commands on one adapter
// and checks every reply against the chain and memory it knows the adapter
// has. Clients with an adapter of their own keep it open; clients that share
// one take turns, and an open refused because another holds the adapter is
// counted, not failed.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/soak/Soak.h"

namespace soak {

// What a fault does to one adapter while it lasts; the worker on it reports
// what it saw here instead of counting a failure.
struct AdapterState {
    std::atomic<int> fault{-1};           // index of the fault hitting it, -1 none
    std::atomic<bool> bigTransfers{false};
    std::atomic<bool> inTransfer{false};
    std::atomic<int> errors{0};           // error replies seen during the fault
    std::atomic<int> recovered{0};        // times the worker had it open again
    std::mutex mutex;
    std::vector<std::string> seen;        // first few things the worker saw

    void Saw(const std::string& what);
    std::string Seen();
};

// Everything the workers, the faults and the report share.
struct Shared {
    const Options& options;
    std::vector<AdapterSetup>& adapters;
    std::string address;
    Counters counters;
    CNotes problems;  // every wrong or lost reply, for the report
    std::vector<std::unique_ptr<AdapterState>> state;
    std::atomic<int> running{0};
    std::atomic<bool> faultsDone{false};

    Shared(const Options& o, std::vector<AdapterSetup>& a) : options(o), adapters(a)
    {
        for (size_t i = 0; i < a.size(); ++i)
            state.push_back(std::make_unique<AdapterState>());
    }
};

class CWorkload {
public:
    // Client i drives assignment[i] (an index into shared.adapters).
    CWorkload(Shared& shared, std::vector<int> assignment);
    ~CWorkload();
    void Start();
    void Join();
    // The adapter of a given kind that a fault hits (AdapterSetup::victim);
    // -1 when there is none.
    int VictimOf(Kind kind) const;
    int Clients() const { return static_cast<int>(m_assignment.size()); }

private:
    Shared& m_shared;
    std::vector<int> m_assignment;
    std::vector<std::thread> m_threads;
};

// Builds the adapters for `options`: one of its own for most clients, a few
// shared by several, every kind represented. Fills `assignment`.
std::vector<AdapterSetup> PlanAdapters(const Options& options, std::vector<int>& assignment);

// Serial number of the EZ-USB device the unplug fault pulls; it is the last
// EZ-USB adapter so that unplugging it renames no other.
extern const char* const kUnplugSerial;
// Serial number of the EZ-USB adapter the single-connection faults use (no
// worker drives it).
extern const char* const kFaultSerial;

}  // namespace soak
