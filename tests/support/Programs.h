// Starting the real programs together: kestrad-sim peers, kestrad over the
// simulated USB bus, and a configuration that names them.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/Process.h"

namespace testsupport {

// A kestrad-sim on an ephemeral port.
struct Peer {
    TempDir dir;
    Process process;
    int port = 0;

    explicit Peer(std::vector<std::string> args = {})
    {
        args.insert(args.begin(), {"--port", "0", "--trace", dir.File("trace.txt")});
        process = Process(ProgramPath("kestrad-sim"), args, {}, dir.Path());
        WaitFor([&] {
            port = PortAfter(process.Stdout(), "listening on port ");
            return port != 0 || !process.Running();
        });
        if (!port)
            throw std::runtime_error("kestrad-sim did not start: " + process.Stderr());
    }
    std::string Trace() const { return ReadFile(dir.File("trace.txt")); }
};

inline std::string NetworkEntry(const std::string& name, int port, const std::string& addr = "127.0.0.1")
{
    return "\t<network addr=\"" + addr + "\" port=\"" + std::to_string(port) + "\" name=\"" + name + "\"/>\n";
}

inline std::string UsbEntry()
{
    return "\t<usb name=\"EZ-USB\" idvendor=\"0x0547\" idproduct=\"0x1002\" frequency=\"12MHZ\"/>\n";
}

// kestrad with the given configuration entries, on a free loopback port or
// on the local endpoint `local` when one is named, over the simulated USB bus
// when `simUsb` names devices.
struct Server {
    TempDir dir;
    Process process;
    int port = 0;
    std::string address;

    Server(const std::string& entries, const std::string& simUsb = "", std::vector<std::string> extra = {},
           std::map<std::string, std::string> env = {}, const std::string& local = "")
    {
        WriteFile(dir.File("kestrad.xml"),
                  "<?xml version=\"1.0\"?>\n<jtag_options version=\"10\">\n" + entries + "</jtag_options>");
        if (local.empty()) {
            port = FreeTcpPort();
            address = "127.0.0.1:" + std::to_string(port);
        } else {
            address = local;
        }
        std::vector<std::string> args = {"-a", address, "-o", dir.File("kestrad.xml")};
        args.insert(args.end(), extra.begin(), extra.end());
        env["TEMP"] = dir.Path();
        if (!simUsb.empty()) {
            env["LD_PRELOAD"] = SimUsbPreload();
            env["KESTRAD_SIM_USB"] = simUsb;
        }
        process = Process(ProgramPath("kestrad"), args, env, dir.Path());
        auto listening = [&] { return local.empty() ? CanConnectTcp(port) : CanConnectLocal(local); };
        if (!WaitFor([&] { return listening() || !process.Running(); }) || !process.Running())
            throw std::runtime_error("kestrad did not start: " + process.Stderr());
    }
    const std::string& Address() const { return address; }
    std::string Log() const { return process.Stdout() + process.Stderr(); }
};

}  // namespace testsupport
