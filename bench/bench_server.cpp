// kestrad-bench-server: kestrad's server, quiet, with fake adapters in place
// of devices, so round trips can be measured without the cost of a device
// model. It runs the same server code as kestrad.
//
//   kestrad-bench-server tcp [N]         127.0.0.1, prints the port
//   kestrad-bench-server unix PATH [N]   the local endpoint at PATH
//
// N fake adapters are served, FAKE0 .. FAKE<N-1> (default 1). It serves
// until it is killed.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "server/JTAGServerImpl.h"
#include "tests/support/FakeAdapter.h"

namespace {

template <typename Server>
void Run(std::shared_ptr<Server> server, int adapters)
{
    server->Options()[OPTION_OUTPUT].value = false;
    server->Options()[OPTION_VERBOSE].value = false;
    server->Description().LoadFromXML("");
    server->Holder().SetSources({[adapters](CJTAGHolder::Adapters& list, const AdapterContext& context) {
        for (int i = 0; i < adapters; ++i) {
            auto fake = std::make_shared<CFakeAdapter>(context, "FAKE" + std::to_string(i));
            fake->SetRecording(false);
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
    const std::string kind = argc > 1 ? argv[1] : "";
    auto service = std::make_shared<asio::io_context>();
    std::error_code ec;
    if (kind == "tcp") {
        const int n = argc > 2 ? std::atoi(argv[2]) : 1;
        auto server = std::make_shared<CJTAGServerImpl<asio::ip::tcp>>(
            asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0), service, ec);
        if (ec)
            return 1;
        Run(server, n);
    } else if (kind == "unix" && argc > 2) {
        const int n = argc > 3 ? std::atoi(argv[3]) : 1;
        auto server = std::make_shared<CJTAGServerImpl<LocalProtocol>>(std::string(argv[2]), service, ec);
        if (ec)
            return 1;
        Run(server, n);
    }
    std::fprintf(stderr, "usage: kestrad-bench-server tcp [N] | unix PATH [N]\n");
    return 2;
}
