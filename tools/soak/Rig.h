// kestrad-soak: the processes. kestrad on a loopback port over the simulated
// USB bus and kestrad-sim peers, with the knobs the faults turn (kill and
// restart a peer, unplug and replug a USB device) and what /proc says about
// the server.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/soak/Soak.h"
#include "tests/support/Process.h"

namespace soak {

// A kestrad-sim peer on a loopback port that stays the same across restarts.
class CPeer {
public:
    explicit CPeer(const Chain& chain);
    int Port() const { return m_port; }
    bool Running() { return m_process.Running(); }
    void Kill();      // SIGKILL, reaped
    void Restart();   // on the same port
    int Pid() const { return m_process.Pid(); }

private:
    void Launch(int port);

    testsupport::TempDir m_dir;
    testsupport::Process m_process;
    std::string m_chain;
    int m_port = 0;
};

// One kestrad process. `nofile` > 0 starts it under that descriptor limit,
// soft and hard.
class CKestrad {
public:
    CKestrad(const std::string& entries, const std::string& simUsb, const std::string& ctlFile, bool quiet,
             int nofile = 0);
    const std::string& Address() const { return m_address; }
    int Pid() const { return m_process.Pid(); }
    bool Running() { return m_process.Running(); }
    // "running", or how it ended.
    std::string State();
    std::string Log() const;  // the tail of its output
    std::string FullLog() const { return m_process.Stdout() + m_process.Stderr(); }
    void Stop() { m_process.Kill(); }

private:
    testsupport::TempDir m_dir;
    testsupport::Process m_process;
    std::string m_address;
};

// The soak's adapters and the programs behind them.
class CRig {
public:
    CRig(const Options& options, std::vector<AdapterSetup>& adapters);
    // Starts the peers and kestrad, lists the adapters and fills in their
    // names; throws when an adapter is missing.
    void Start();

    CKestrad& Server() { return *m_server; }
    const std::string& Address() const { return m_server->Address(); }
    CPeer& Peer(int i) { return *m_peers.at(static_cast<size_t>(i)); }
    int Peers() const { return static_cast<int>(m_peers.size()); }

    void Unplug(const std::string& serial);
    void Plug();
    // The configuration entries and KESTRAD_SIM_USB value for a kestrad of
    // its own over the given EZ-USB devices (the descriptor-limit fault).
    static std::string UsbEntries();
    // Every process the watchdog must end.
    std::vector<int> Pids() const;

private:
    const Options& m_options;
    std::vector<AdapterSetup>& m_adapters;
    testsupport::TempDir m_dir;
    std::string m_ctlFile;
    std::vector<std::unique_ptr<CPeer>> m_peers;
    std::unique_ptr<CKestrad> m_server;
};

// What /proc says about a process.
struct ProcStats {
    static int Descriptors(int pid);                    // entries of /proc/PID/fd, -1 if gone
    static std::vector<std::string> DescriptorList(int pid);  // "fd -> target"
    static long StatusKiB(int pid, const char* field);  // VmHWM, VmRSS; -1 if gone
    static long long CpuTicks(int pid);                 // utime + stime, -1 if gone
    static int Threads(int pid);
};

}  // namespace soak
