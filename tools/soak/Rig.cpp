#include "tools/soak/Rig.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "client/Client.h"

using namespace std::chrono_literals;

namespace soak {

// ---- CPeer -----------------------------------------------------------------

CPeer::CPeer(const Chain& chain) : m_chain(chain.Text()) { Launch(0); }

void CPeer::Launch(int port)
{
    m_process = testsupport::Process(testsupport::ProgramPath("kestrad-sim"),
                                     {"--port", std::to_string(port), "--chain", m_chain}, {}, m_dir.Path());
    int found = 0;
    testsupport::WaitFor([&] {
        const std::string out = m_process.Stdout();
        const std::string banner = "listening on port ";
        const size_t at = out.find(banner);
        if (at != std::string::npos && out.find('\n', at) != std::string::npos)
            found = std::atoi(out.c_str() + at + banner.size());
        return found != 0 || !m_process.Running();
    });
    if (!found)
        throw std::runtime_error("kestrad-sim did not start on port " + std::to_string(port) + ": " +
                                 m_process.Stderr());
    m_port = found;
}

void CPeer::Kill()
{
    if (m_process.Pid() > 0)
        ::kill(m_process.Pid(), SIGKILL);
    m_process.Kill();  // reaps it
}

void CPeer::Restart()
{
    // The port may still be held for a moment by the killed listener.
    for (int attempt = 0;; ++attempt) {
        try {
            Launch(m_port);
            return;
        } catch (const std::exception&) {
            if (attempt == 50)
                throw;
            std::this_thread::sleep_for(100ms);
        }
    }
}

// ---- CKestrad ----------------------------------------------------------------

CKestrad::CKestrad(const std::string& entries, const std::string& simUsb, const std::string& ctlFile, bool quiet,
                   int nofile)
{
    const std::string config = m_dir.File("kestrad.xml");
    testsupport::WriteFile(config, "<?xml version=\"1.0\"?>\n<jtag_options version=\"10\">\n" + entries +
                                       "</jtag_options>\n");
    const int port = testsupport::FreeTcpPort();
    m_address = "127.0.0.1:" + std::to_string(port);
    std::string program = testsupport::ProgramPath("kestrad");
    std::vector<std::string> args;
    if (nofile > 0) {
        // prlimit execs kestrad in place: the pid stays kestrad's.
        args = {"--nofile=" + std::to_string(nofile) + ":" + std::to_string(nofile), program};
        program = "/usr/bin/prlimit";
    }
    for (const char* arg : {"-a", m_address.c_str(), "-o", config.c_str()})
        args.push_back(arg);
    if (quiet)
        args.push_back("-q");
    // Every client comes from 127.0.0.1: one source for kestrad's per-client
    // cap, which the soak's hundreds of clients would exceed.
    std::map<std::string, std::string> env = {{"KESTRAD_MAX_SESSIONS_PER_SOURCE", "100000"},
                                              {"TEMP", m_dir.Path() + "/"},
                                              {"LD_PRELOAD", testsupport::SimUsbPreload()},
                                              {"KESTRAD_SIM_USB", simUsb},
                                              {"KESTRAD_SIM_USB_CTL", ctlFile}};
    m_process = testsupport::Process(program, args, env, m_dir.Path());
    if (!testsupport::WaitFor([&] { return testsupport::CanConnectTcp(port) || !m_process.Running(); }, 20s) ||
        !m_process.Running())
        throw std::runtime_error("kestrad did not start: " + Log());
}

std::string CKestrad::State()
{
    if (m_process.Running())
        return "running";
    const int status = m_process.Wait(0ms);
    return status == -2 ? "killed by a signal" : "exited with status " + std::to_string(status);
}

std::string CKestrad::Log() const
{
    const std::string err = m_process.Stderr();
    const std::string out = m_process.Stdout();
    const std::string tail = out.size() > 4000 ? out.substr(out.size() - 4000) : out;
    return tail + err;
}

// ---- CRig ------------------------------------------------------------------

CRig::CRig(const Options& options, std::vector<AdapterSetup>& adapters)
    : m_options(options), m_adapters(adapters), m_ctlFile(m_dir.File("unplugged"))
{
    testsupport::WriteFile(m_ctlFile, "");
}

std::string CRig::UsbEntries()
{
    return "\t<usb name=\"EZ-USB\" idvendor=\"0x0547\" idproduct=\"0x1002\" frequency=\"12MHZ\"/>\n"
           "\t<usb name=\"JLINK\" idvendor=\"0x1366\" idproduct=\"0x0101\" frequency=\"4MHZ\"/>\n"
           "\t<usb name=\"FLYSWATTER2\" idvendor=\"0x0403\" idproduct=\"0x6010\" frequency=\"6MHZ\"/>\n"
           "\t<usb name=\"ARM-USB-TINY-H\" idvendor=\"0x15BA\" idproduct=\"0x002a\" frequency=\"6MHZ\"/>\n";
}

void CRig::Start()
{
    std::string entries = UsbEntries();
    std::string simUsb;
    // Adapters of one kind are named by a counter in bus order; the devices
    // go on buses in list order (at most 100 a bus), so a kind's counter
    // follows the list. The unplugged device comes last of its kind, so
    // unplugging it renames no other.
    std::map<Kind, int> counters;
    int usb = 0;
    for (AdapterSetup& a : m_adapters) {
        if (a.kind == Kind::Peer) {
            a.peer = static_cast<int>(m_peers.size());
            m_peers.push_back(std::make_unique<CPeer>(a.chain));
            a.name = "SIM" + std::to_string(a.peer);
            entries += "\t<network addr=\"127.0.0.1\" port=\"" + std::to_string(m_peers.back()->Port()) +
                       "\" name=\"" + a.name + "\"/>\n";
            continue;
        }
        simUsb += std::string(simUsb.empty() ? "" : ";") + KindName(a.kind) + ",chain=" + a.chain.Text() +
                  ",bus=" + std::to_string(1 + usb / 100);
        if (!a.serial.empty())
            simUsb += ",serial=" + a.serial;
        ++usb;
        const int n = counters[a.kind]++;
        switch (a.kind) {
        case Kind::EzUsb: a.name = "EZ-USB" + std::to_string(n); break;
        case Kind::Jlink: a.name = "JLINK" + std::to_string(n); break;
        case Kind::Flyswatter2: a.name = "FLYSWATTER2" + std::to_string(n); break;
        case Kind::TinyH: a.name = "ARM-USB-TINY-H" + std::to_string(n); break;
        case Kind::Peer: break;
        }
    }
    m_server = std::make_unique<CKestrad>(entries, simUsb, m_ctlFile, m_options.quiet);

    kestrad::client::CClient client(Address());
    const auto list = client.List();
    std::map<std::string, std::string> bySerial;
    std::map<std::string, bool> listed;
    for (const auto& info : list) {
        listed[info.name] = true;
        if (info.serial)
            bySerial[*info.serial] = info.name;
    }
    for (AdapterSetup& a : m_adapters) {
        if (!a.serial.empty() && bySerial.count(a.serial) && bySerial[a.serial] != a.name)
            throw std::runtime_error("adapter " + a.serial + " is listed as " + bySerial[a.serial] + ", not " + a.name);
        if (!listed.count(a.name))
            throw std::runtime_error("kestrad does not list " + a.name + " (" + KindName(a.kind) + ", chain " +
                                     a.chain.Text() + "); log:\n" + m_server->Log());
    }
    if (list.size() != m_adapters.size())
        throw std::runtime_error("kestrad lists " + std::to_string(list.size()) + " adapters, expected " +
                                 std::to_string(m_adapters.size()));
}

void CRig::Unplug(const std::string& serial) { testsupport::WriteFile(m_ctlFile, serial + "\n"); }

void CRig::Plug() { testsupport::WriteFile(m_ctlFile, ""); }

std::vector<int> CRig::Pids() const
{
    std::vector<int> pids;
    for (const auto& peer : m_peers)
        pids.push_back(peer->Pid());
    if (m_server)
        pids.push_back(m_server->Pid());
    return pids;
}

// ---- ProcStats ---------------------------------------------------------------

int ProcStats::Descriptors(int pid)
{
    DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!dir)
        return -1;
    int count = 0;
    while (dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    ::closedir(dir);
    return count;
}

std::vector<std::string> ProcStats::DescriptorList(int pid)
{
    std::vector<std::string> list;
    const std::string base = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(base.c_str());
    if (!dir)
        return list;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        char target[PATH_MAX];
        const ssize_t n = ::readlink((base + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        list.push_back(std::string(entry->d_name) + " -> " + (n > 0 ? std::string(target, static_cast<size_t>(n)) : "?"));
    }
    ::closedir(dir);
    return list;
}

long ProcStats::StatusKiB(int pid, const char* field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    const std::string prefix = std::string(field) + ":";
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::stol(line.substr(prefix.size()));
    return -1;
}

int ProcStats::Threads(int pid) { return static_cast<int>(StatusKiB(pid, "Threads")); }

long long ProcStats::CpuTicks(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t paren = text.rfind(')');
    if (paren == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(paren + 2));
    std::string field;
    long long utime = 0, stime = 0;
    // Fields from the third on: state is 3, utime 14, stime 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stoll(field);
        if (i == 15)
            stime = std::stoll(field);
    }
    return utime + stime;
}

}  // namespace soak
