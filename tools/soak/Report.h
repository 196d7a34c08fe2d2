// kestrad-soak: the summary table and the verdict.
#pragma once

#include <string>
#include <vector>

#include "tools/soak/Workload.h"

namespace soak {

// What was measured on the server from outside.
struct ServerFigures {
    std::string state = "running";  // or how it ended
    int crashes = 0;
    int fdBefore = -1, fdAfter = -1;
    std::vector<std::string> fdLeaked;   // descriptors there after that were not before
    long vmRssBeforeKiB = -1;            // VmRSS before the first client
    long vmHwmKiB = -1, vmRssKiB = -1;
    std::vector<long> rssRounds;         // VmRSS once each round has settled
    double idleCpuPercent = -1;
    double idleSeconds = 0;
    int threadsBefore = -1, threadsAfter = -1;
    double wallSeconds = 0;
};

// Prints the table; returns the reasons the run failed (empty: passed).
std::vector<std::string> Report(const Options& options, Shared& shared, const std::vector<FaultRecord>& faults,
                                const ServerFigures& server);

}  // namespace soak
