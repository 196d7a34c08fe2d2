// kestrad-soak: runs the real kestrad over simulated adapters with many
// checking clients while faults are injected, and says whether it held up.
//
//   kestrad-soak [--clients N] [--commands M] [--peers P] [--stall] [--quiet]
//                [--watchdog SECONDS] [--idle SECONDS] [--idle-cpu PERCENT]
//                [--seed N] [--rounds N] [--full]
//
// --full is the long configuration: 200 clients x 10,000 commands, four
// peers, the 30 s reply time-out fault, kestrad -q. Exits 0 when every reply
// was right, nothing was lost, kestrad never died, it holds no more
// descriptors than before, stays idle when idle, and every fault passed;
// 1 otherwise, 2 on a usage error, 3 when the watchdog ended a hung run.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>

#include "client/Client.h"
#include "tools/soak/Faults.h"
#include "tools/soak/Report.h"
#include "tools/soak/Rig.h"
#include "tools/soak/Workload.h"

using namespace soak;
using namespace std::chrono_literals;

namespace {

std::atomic<const char*> g_phase{"starting"};
Clock::time_point g_start = Clock::now();

void Phase(const char* phase)
{
    g_phase = phase;
    std::fprintf(stderr, "kestrad-soak: %6.1f s: %s\n", Seconds(Clock::now() - g_start), phase);
}
std::mutex g_pidsMutex;
std::vector<int> g_pids;

void Usage()
{
    std::fprintf(stderr,
                 "usage: kestrad-soak [--clients N] [--commands M] [--peers P] [--stall] [--quiet]\n"
                 "                    [--watchdog SECONDS] [--idle SECONDS] [--idle-cpu PERCENT] [--seed N]\n"
                 "                    [--rounds N] [--full]\n");
}

bool Parse(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto number = [&](double& out) {
            if (i + 1 >= argc)
                return false;
            char* end = nullptr;
            out = std::strtod(argv[++i], &end);
            return end && *end == '\0' && out >= 0;
        };
        double v = 0;
        if (arg == "--full") {
            o.clients = 200;
            o.commands = 10000;
            o.peers = 4;
            o.stall = true;
            o.quiet = true;
            o.watchdog = 3600;
            o.idleSeconds = 10;
        } else if (arg == "--stall") {
            o.stall = true;
        } else if (arg == "--quiet") {
            o.quiet = true;
        } else if ((arg == "--clients" || arg == "--commands" || arg == "--peers" || arg == "--watchdog" ||
                    arg == "--seed") && number(v)) {
            const int n = static_cast<int>(v);
            if (arg == "--clients") o.clients = n;
            if (arg == "--commands") o.commands = n;
            if (arg == "--peers") o.peers = n;
            if (arg == "--watchdog") o.watchdog = n;
            if (arg == "--seed") o.seed = static_cast<unsigned>(n);
        } else if (arg == "--rounds" && number(v)) {
            o.rounds = static_cast<int>(v);
        } else if (arg == "--idle" && number(v)) {
            o.idleSeconds = v;
        } else if (arg == "--idle-cpu" && number(v)) {
            o.idleCpuBound = v;
        } else {
            return false;
        }
    }
    return o.clients > 0 && o.commands > 0 && o.rounds >= 1 && o.peers >= 1 && o.watchdog > 0 && o.idleSeconds >= 1;
}

void SetPids(const std::vector<int>& pids)
{
    std::lock_guard<std::mutex> lock(g_pidsMutex);
    g_pids = pids;
}

// Ends a run that takes longer than it may: kills what it started and exits.
void Watchdog(int seconds)
{
    std::thread([seconds] {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        std::fprintf(stderr, "kestrad-soak: HANG: the run took longer than %d s (phase: %s)\n", seconds,
                     g_phase.load());
        std::lock_guard<std::mutex> lock(g_pidsMutex);
        for (int pid : g_pids)
            if (pid > 0)
                ::kill(pid, SIGKILL);
        std::fflush(stdout);
        std::_Exit(3);
    }).detach();
}

// The server's descriptors once what the run left behind has gone: one
// fresh list (the holder then holds what it holds after any list) and up to
// `settle` for sessions to end.
int SettledDescriptors(CRig& rig, int target, std::chrono::seconds settle)
{
    try {
        kestrad::client::CClient client(rig.Address());
        client.List();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kestrad-soak: list after the run failed: %s\n", e.what());
    }
    int count = -1;
    testsupport::WaitFor([&] { return (count = ProcStats::Descriptors(rig.Server().Pid())) <= target; }, settle);
    return count;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!Parse(argc, argv, options)) {
        Usage();
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    Watchdog(options.watchdog);
    const auto start = Clock::now();

    std::vector<int> assignment;
    std::vector<AdapterSetup> adapters;
    try {
        adapters = PlanAdapters(options, assignment);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kestrad-soak: %s\n", e.what());
        return 2;
    }
    CRig rig(options, adapters);
    ServerFigures figures;
    Shared shared(options, adapters);
    std::vector<FaultRecord> records;
    try {
        Phase("starting kestrad and the peers");
        rig.Start();
        SetPids(rig.Pids());
        shared.address = rig.Address();
        const int pid = rig.Server().Pid();
        figures.fdBefore = SettledDescriptors(rig, 0, 1s);
        const auto fdsBefore = ProcStats::DescriptorList(pid);
        figures.vmRssBeforeKiB = ProcStats::StatusKiB(pid, "VmRSS");
        figures.threadsBefore = ProcStats::Threads(pid);
        std::printf("kestrad-soak: kestrad pid %d on %s, %zu adapters, %d clients, %d descriptors\n", pid,
                    rig.Address().c_str(), adapters.size(), options.clients, figures.fdBefore);
        std::fflush(stdout);

        Phase("workload and faults");
        // However this block ends, the clients that wait for the faults stop.
        struct Release {
            Shared& shared;
            ~Release() { shared.faultsDone = true; }
        } release{shared};
        CWorkload workload(shared, assignment);
        CFaults faults(shared, rig, workload);
        faults.Begin();
        workload.Start();
        std::atomic<bool> done{false};
        std::thread progress([&] {
            while (!done) {
                for (int i = 0; i < 50 && !done; ++i)
                    std::this_thread::sleep_for(100ms);
                std::fprintf(stderr, "kestrad-soak: %6.1f s: %llu served, %llu wrong, %llu lost, %d clients running\n",
                             Seconds(Clock::now() - g_start), static_cast<unsigned long long>(shared.counters.served),
                             static_cast<unsigned long long>(shared.counters.wrong),
                             static_cast<unsigned long long>(shared.counters.lost), shared.running.load());
            }
        });
        // Faults start once every client is under way.
        const uint64_t total = static_cast<uint64_t>(options.clients) * static_cast<uint64_t>(options.commands);
        testsupport::WaitFor([&] { return shared.counters.served >= total / 20; }, 30s);
        faults.Run();
        {
            std::vector<int> pids = rig.Pids();
            for (int p : faults.Pids())
                pids.push_back(p);
            SetPids(pids);
        }
        faults.End();
        shared.faultsDone = true;
        Phase("waiting for the clients to finish");
        workload.Join();
        // Further rounds of the same workload, without faults: resident
        // memory that grows from round to round is kept by the server.
        for (int round = 2; round <= options.rounds && rig.Server().Running(); ++round) {
            SettledDescriptors(rig, figures.fdBefore, 10s);
            figures.rssRounds.push_back(ProcStats::StatusKiB(pid, "VmRSS"));
            Phase("another round");
            CWorkload again(shared, assignment);
            again.Start();
            again.Join();
        }
        done = true;
        progress.join();
        records = faults.Records();

        Phase("settling");
        if (!rig.Server().Running()) {
            figures.crashes = 1;
            figures.state = rig.Server().State();
        } else {
            figures.fdAfter = SettledDescriptors(rig, figures.fdBefore, 10s);
            if (figures.fdAfter > figures.fdBefore) {
                const auto now = ProcStats::DescriptorList(pid);
                const std::set<std::string> old(fdsBefore.begin(), fdsBefore.end());
                for (const auto& fd : now)
                    if (!old.count(fd))
                        figures.fdLeaked.push_back(fd);
            }
            Phase("idle window");
            figures.idleSeconds = options.idleSeconds;
            const long long cpu0 = ProcStats::CpuTicks(pid);
            std::this_thread::sleep_for(std::chrono::duration<double>(options.idleSeconds));
            const long long cpu1 = ProcStats::CpuTicks(pid);
            figures.idleCpuPercent = 100.0 * static_cast<double>(cpu1 - cpu0) /
                                     static_cast<double>(sysconf(_SC_CLK_TCK)) / options.idleSeconds;
            figures.vmHwmKiB = ProcStats::StatusKiB(pid, "VmHWM");
            figures.vmRssKiB = ProcStats::StatusKiB(pid, "VmRSS");
            figures.rssRounds.push_back(figures.vmRssKiB);
            figures.threadsAfter = ProcStats::Threads(pid);
            if (!rig.Server().Running()) {
                figures.crashes = 1;
                figures.state = rig.Server().State();
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kestrad-soak: %s: %s\n", g_phase.load(), e.what());
        if (!rig.Address().empty() && !rig.Server().Running())
            std::fprintf(stderr, "kestrad %s; its log:\n%s\n", rig.Server().State().c_str(), rig.Server().Log().c_str());
        return 1;
    }
    figures.wallSeconds = Seconds(Clock::now() - start);
    const auto failures = Report(options, shared, records, figures);
    if (figures.crashes)
        std::fprintf(stderr, "kestrad's log:\n%s\n", rig.Server().Log().c_str());
    return failures.empty() ? 0 : 1;
}
