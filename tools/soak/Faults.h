// kestrad-soak: the faults, each bounded in count and time, injected while
// the workload runs. Each notes what the client it hit saw, what the other
// clients saw meanwhile, and whether the server behaved as it must.
#pragma once

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/soak/Rig.h"
#include "tools/soak/Workload.h"

namespace soak {

class CFaults {
public:
    CFaults(Shared& shared, CRig& rig, const CWorkload& workload);
    ~CFaults();

    // Opens the half-open connections (their time-out runs beside the rest).
    void Begin();
    // Every other fault, one after the other.
    void Run();
    // Waits for the server to end the half-open connections.
    void End();

    std::vector<FaultRecord>& Records() { return m_records; }
    // Processes of its own the watchdog must end (the descriptor-limited
    // kestrad).
    std::vector<int> Pids() const;

private:
    struct Window;
    FaultRecord& Record(const std::string& name);
    void KillPeer();
    void UnplugUsb();
    void DropMidReply();
    void StopReading();
    void Garbage();
    void DescriptorLimit();
    // Waits until an open of the fault adapter succeeds; seconds it took, or
    // a negative value when it did not within `limit`.
    double SecondsUntilFree(const std::string& address, const std::string& name, double limit);

    Shared& m_shared;
    CRig& m_rig;
    const CWorkload& m_workload;
    std::vector<FaultRecord> m_records;
    std::string m_faultAdapter;
    struct HalfOpen {
        int fd = -1;
        Clock::time_point since;
        double closedAfter = -1;  // seconds until the server closed it
    };
    std::vector<HalfOpen> m_halfOpen;
    std::thread m_halfOpenWatch;
    std::unique_ptr<Window> m_halfOpenWindow;  // the others while they waited
    std::unique_ptr<CKestrad> m_limited;
};

}  // namespace soak
