// kestrad-sim: a network JTAG peer over a simulated target, standing in for
// the RTL simulation model and the stand-alone DSP cluster model that
// kestrad's network back-end talks to.  Run with --help for the options.
#include "sim/peer/PeerOptions.h"
#include "sim/peer/PeerServer.h"

#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);  // a vanished client must end its connection, not the peer
    simpeer::PeerOptions options;
    std::string message;
    switch (simpeer::ParsePeerOptions(argc, argv, options, message)) {
    case simpeer::ParseOutcome::Help:
        std::cout << simpeer::PeerUsage(argv[0]);
        return 0;
    case simpeer::ParseOutcome::Version:
        std::cout << "kestrad-sim " << KESTRAD_VERSION << "\n";
        return 0;
    case simpeer::ParseOutcome::Error:
        std::cerr << "kestrad-sim: " << message << "\n" << "Try '" << argv[0] << " --help'.\n";
        return 2;
    case simpeer::ParseOutcome::Run:
        break;
    }
    try {
        simpeer::CPeerServer server(options);
        const int port = server.Listen();
        std::cout << "listening on port " << port << std::endl;
        server.Serve();
    } catch (const std::exception& e) {
        std::cerr << "kestrad-sim: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
