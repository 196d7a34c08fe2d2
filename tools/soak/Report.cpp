#include "tools/soak/Report.h"

#include <cstdio>

namespace soak {

std::vector<std::string> Report(const Options& options, Shared& shared, const std::vector<FaultRecord>& faults,
                                const ServerFigures& server)
{
    const Counters& c = shared.counters;
    std::map<Kind, int> kinds;
    for (const AdapterSetup& a : shared.adapters)
        ++kinds[a.kind];
    std::string adapters;
    for (const auto& k : kinds)
        adapters += (adapters.empty() ? "" : ", ") + std::to_string(k.second) + " " + KindName(k.first);

    std::printf("\nkestrad-soak: %d clients x %d commands, %zu adapters (%s), %.1f s\n\n", options.clients,
                options.commands, shared.adapters.size(), adapters.c_str(), server.wallSeconds);
    std::printf("| figure | value |\n|---|---|\n");
    std::printf("| commands served (replies checked) | %llu |\n", static_cast<unsigned long long>(c.served));
    std::printf("| wrong replies | %llu |\n", static_cast<unsigned long long>(c.wrong));
    std::printf("| lost replies | %llu |\n", static_cast<unsigned long long>(c.lost));
    std::printf("| opens refused, adapter held by another client (expected) | %llu |\n",
                static_cast<unsigned long long>(c.refused));
    std::printf("| error replies caused by injected faults (expected) | %llu |\n",
                static_cast<unsigned long long>(c.expectedErrors));
    std::printf("| adapters opened again after a fault | %llu |\n", static_cast<unsigned long long>(c.recoveries));
    std::printf("| crashes (kestrad died or exited) | %d (%s) |\n", server.crashes, server.state.c_str());
    std::printf("| descriptors before / after | %d / %d |\n", server.fdBefore, server.fdAfter);
    std::printf("| resident memory before (VmRSS) | %ld KiB |\n", server.vmRssBeforeKiB);
    std::printf("| peak resident memory (VmHWM) | %ld KiB |\n", server.vmHwmKiB);
    std::printf("| final resident memory (VmRSS) | %ld KiB |\n", server.vmRssKiB);
    if (server.rssRounds.size() > 1) {
        std::string rounds;
        for (long kib : server.rssRounds)
            rounds += (rounds.empty() ? "" : ", ") + std::to_string(kib);
        std::printf("| resident memory after each round | %s KiB |\n", rounds.c_str());
    }
    std::printf("| threads before / after | %d / %d |\n", server.threadsBefore, server.threadsAfter);
    std::printf("| idle CPU over %.0f s | %.2f%% of a core (bound %.1f%%) |\n", server.idleSeconds,
                server.idleCpuPercent, options.idleCpuBound);

    std::printf("\n| fault | result | s | what happened |\n|---|---|---|---|\n");
    for (const FaultRecord& f : faults)
        std::printf("| %s | %s | %.1f | affected client saw: %s; other clients: %s |\n", f.name.c_str(),
                    f.passed ? "ok" : "FAILED", f.seconds, f.affected.c_str(), f.others.c_str());
    if (!options.stall)
        std::printf("| client stopped reading a large reply | not run | | the server's 30 s reply limit is fixed; "
                    "run with --stall (the full configuration does) |\n");

    const auto problems = shared.problems.Take();
    if (!problems.empty()) {
        std::printf("\nproblems:\n");
        for (const auto& p : problems)
            std::printf("  %s\n", p.c_str());
    }
    for (const auto& fd : server.fdLeaked)
        std::printf("  descriptor held after the run: %s\n", fd.c_str());

    std::vector<std::string> failures;
    if (c.wrong)
        failures.push_back(std::to_string(c.wrong) + " wrong replies");
    if (c.lost)
        failures.push_back(std::to_string(c.lost) + " lost replies");
    if (server.crashes)
        failures.push_back("kestrad " + server.state);
    if (server.fdAfter < 0 || server.fdAfter > server.fdBefore)
        failures.push_back("descriptors leaked: " + std::to_string(server.fdBefore) + " before, " +
                           std::to_string(server.fdAfter) + " after");
    if (server.idleCpuPercent < 0 || server.idleCpuPercent > options.idleCpuBound)
        failures.push_back("idle CPU " + std::to_string(server.idleCpuPercent) + "%");
    for (const FaultRecord& f : faults)
        if (!f.passed)
            failures.push_back("fault: " + f.name);
    std::printf("\n%s\n", failures.empty() ? "PASSED" : "FAILED");
    for (const auto& f : failures)
        std::printf("  %s\n", f.c_str());
    std::fflush(stdout);
    return failures;
}

}  // namespace soak
