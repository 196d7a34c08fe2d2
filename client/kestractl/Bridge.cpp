// kestractl bridge: serves an adapter that kestrad holds to OpenOCD
// (remote_bitbang) or to Vivado and openFPGALoader (XVC 1.0) until SIGINT or
// SIGTERM, then gives the adapter back. The protocols and the serving are
// in client/bridge; this is the command around them.
#include "client/kestractl/CommandParts.h"

#include "client/bridge/Bridge.h"

#include <csignal>
#include <cstdio>
#include <ctime>

namespace kestractl {

namespace {

const char* const kXvcListen = "127.0.0.1:2542";      // the XVC port by convention
const char* const kBitbangListen = "127.0.0.1:3335";  // next to OpenOCD's own 3333..3334

void OnTerminate(int) { g_interrupted = 1; }

// Bridge log lines go to stderr with the time, so stdout stays for results.
void LogLine(const std::string& prefix, const std::string& text)
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[16];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    std::fprintf(stderr, "%s %s: %s\n", stamp, prefix.c_str(), text.c_str());
    std::fflush(stderr);
}

}  // namespace

void BridgeArguments(CLI::App& sub, Step& st)
{
    st.value = "";
    sub.add_option("PROTOCOL", st.value, "xvc (Xilinx Virtual Cable 1.0) or bitbang (OpenOCD's remote_bitbang)")
        ->required()
        ->check(CLI::IsMember({"xvc", "bitbang"}));
    AddAdapterArgument(sub, st);
    // Checked before anything is connected; whether the address can be
    // bound is known only when the bridge listens.
    const CLI::Validator hostPort(
        [](std::string& text) -> std::string {
            const size_t colon = text.rfind(':');
            const std::string port = colon == std::string::npos ? "" : text.substr(colon + 1);
            if (colon == 0 || colon == std::string::npos || port.empty() || port.size() > 5 ||
                port.find_first_not_of("0123456789") != std::string::npos || std::stoul(port) > 65535)
                return "'" + text + "' is not HOST:PORT (a port from 0 to 65535)";
            return std::string();
        },
        "HOST:PORT");
    sub.add_option("--listen", st.listen,
                   std::string("HOST:PORT to serve the tool on (default ") + kXvcListen + " for xvc, " +
                       kBitbangListen + " for bitbang; port 0 picks one)")
        ->check(hostPort);
}

int RunBridge(const Step& step, const Settings& settings)
{
    struct sigaction sa {};
    sa.sa_handler = OnTerminate;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);

    const bool xvc = step.value == "xvc";
    const std::string listen = !step.listen.empty() ? step.listen : xvc ? kXvcListen : kBitbangListen;
    const std::string prefix = "bridge " + step.value;
    Json doc;
    doc["ok"] = false;
    int status = EXIT_OK;
    CSession session(settings);
    try {
        session.Hold(step.adapter);
        const std::string adapter = session.Held();
        kestrad::bridge::CSessionTarget target(session.Client(), adapter);
        // Refused before any tool connects: a tool would only see a closed
        // connection.
        target.Probe();
        kestrad::bridge::CListener listener(listen);
        kestrad::bridge::BridgeOptions options;
        options.adapter = adapter;
        options.stop = [] { return g_interrupted != 0; };
        kestrad::client::CClient& client = session.Client();
        options.serverAlive = [&client] {
            return client.IsConnected() && !client.ServerClosedWithin(std::chrono::milliseconds(0));
        };
        options.log = [&](const std::string& text) { LogLine(prefix, text); };
        LogLine(prefix, "serving " + adapter + " on " + listener.Address() +
                            (xvc ? " (XVC 1.0, vectors up to " + std::to_string(options.maxVectorBytes) + " bytes)"
                                 : " (remote_bitbang)") +
                            "; Ctrl-C stops");
        session.Client().EnableKeepAlive();
        const kestrad::bridge::BridgeReport report =
            xvc ? kestrad::bridge::RunXvcBridge(target, listener, options)
                : kestrad::bridge::RunBitbangBridge(target, listener, options);
        session.Client().DisableKeepAlive();
        session.Release();
        LogLine(prefix, "stopped; " + adapter + " closed (" + std::to_string(report.clients) + " clients, " +
                            std::to_string(report.refused) + " refused, " + std::to_string(report.bits) +
                            " bits)");
        doc["adapter"] = adapter;
        doc["listen"] = listener.Address();
        doc["clients"] = report.clients;
        doc["refused"] = report.refused;
        doc["bits"] = report.bits;
    } catch (const std::exception& e) {
        status = ReportError(e, "", settings.json, &doc, "bridge");
    }
    session.Finish();
    if (settings.json) {
        doc["ok"] = status == EXIT_OK;
        std::printf("%s\n", doc.dump(2).c_str());
    }
    std::fflush(stdout);
    return status;
}

}  // namespace kestractl
