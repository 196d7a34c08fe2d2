// kestrad-bench-server: kestrad's server, quiet, with fake adapters in place
// of devices, so round trips can be measured without the cost of a device
// model. It runs the same server code as kestrad.
//
//   kestrad-bench-server tcp [N] [--chain CHAIN]         127.0.0.1, prints the port
//   kestrad-bench-server unix PATH [N] [--chain CHAIN]   the local endpoint at PATH
//
// N fake adapters are served, FAKE0 .. FAKE<N-1> (default 1). With --chain
// (the simulators' chain syntax, e.g. 0x0362D093:6) each clocks a simulated
// TAP chain, so scans and raw sequences reach real TAPs (the bridges' tests
// and benchmark use this). It serves until it is killed.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "server/JTAGServerImpl.h"
#include "tests/support/FakeAdapter.h"

namespace {

template <typename Server>
void Run(std::shared_ptr<Server> server, int adapters, const std::vector<simtap::TapConfig>& chain)
{
    server->Options()[OPTION_OUTPUT].value = false;
    server->Options()[OPTION_VERBOSE].value = false;
    server->Description().LoadFromXML("");
    server->Holder().SetSources({[adapters, chain](CJTAGHolder::Adapters& list, const AdapterContext& context) {
        for (int i = 0; i < adapters; ++i) {
            auto fake = std::make_shared<CFakeAdapter>(context, "FAKE" + std::to_string(i));
            fake->SetRecording(false);
            if (!chain.empty())
                fake->AttachChain(chain);
            list.push_back(fake);
        }
    }});
    server->StartAccepting();
    std::printf("%s\n", server->EndpointText().c_str());
    std::fflush(stdout);
    for (;;)
        std::this_thread::sleep_for(std::chrono::seconds(1));
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<simtap::TapConfig> chain;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::string(argv[i]) == "--chain" && i + 1 < argc) {
            try {
                chain = simtap::ParseChain(argv[++i]);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "kestrad-bench-server: %s\n", e.what());
                return 2;
            }
            continue;
        }
        args.push_back(argv[i]);
    }
    argc = static_cast<int>(args.size());
    argv = args.data();
    const std::string kind = argc > 1 ? argv[1] : "";
    auto service = std::make_shared<asio::io_context>();
    std::error_code ec;
    if (kind == "tcp") {
        const int n = argc > 2 ? std::atoi(argv[2]) : 1;
        auto server = std::make_shared<CJTAGServerImpl<asio::ip::tcp>>(
            asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0), service, ec);
        if (ec)
            return 1;
        Run(server, n, chain);
    } else if (kind == "unix" && argc > 2) {
        const int n = argc > 3 ? std::atoi(argv[3]) : 1;
        auto server = std::make_shared<CJTAGServerImpl<LocalProtocol>>(std::string(argv[2]), service, ec);
        if (ec)
            return 1;
        Run(server, n, chain);
    }
    std::fprintf(stderr, "usage: kestrad-bench-server tcp [N] | unix PATH [N], then [--chain CHAIN]\n");
    return 2;
}
