// kestrad: owns the JTAG adapters of this machine and lends each one to one
// debugger client at a time, over TCP (-a host:port) or the local endpoint.
#include <getopt.h>
#include <malloc.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <locale>
#include <memory>
#include <string>

#include "config/Description.h"
#include "log/OemLocale.h"
#include "log/Options.h"
#include "server/JTAGServer.h"
#include "wire/LocalEndpoint.h"

namespace {

[[noreturn]] void Usage()
{
    std::fprintf(stderr, "Usage: %s [options]\n", "kestrad");
    std::fprintf(stderr, "Options:\n");
    std::fprintf(stderr, "\t-h\t\tThis help\n");
    std::fprintf(stderr, "\t-v\t\tTurn on verbose logging mode\n");
    std::fprintf(stderr, "\t-b\t\tTurn on buffer logging mode\n");
    std::fprintf(stderr, "\t-q\t\tQuiet mode\n");
    std::fprintf(stderr, "\t-o file\t\tRead options from xml file\n");
    std::fprintf(stderr, "\t-a address\tBind server to the address\n");
    std::fprintf(stderr, "\t-s\t\tTurn on savepoints\n");
    std::fprintf(stderr, "\t-c\t\tEnable a cli mode\n");
    std::exit(1);
}

// glibc gives a thread that allocates an arena of its own while there are
// fewer than eight per core; with a thread per session, what sessions that
// ended had allocated stays spread over many arenas, and an idle kestrad
// grew after every round of load. Two arenas keep it flat.
// MALLOC_ARENA_MAX, or glibc.malloc.arena_max in GLIBC_TUNABLES, decide
// instead when set.
void LimitMallocArenas()
{
    if (std::getenv("MALLOC_ARENA_MAX") != nullptr)
        return;
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    if (tunables != nullptr && std::strstr(tunables, "glibc.malloc.arena_max") != nullptr)
        return;
    mallopt(M_ARENA_MAX, 2);
}

// Each session holds four descriptors (its socket and its I/O context's
// three), so the usual soft limit of 1024 would run out before the session
// limit; the hard limit is what the system actually allows.
void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char* argv[])
{
    // Before any thread allocates.
    LimitMallocArenas();

    // Console text passes through the OEM facet (the identity here).
    std::locale oem(std::locale(), new OemLocale);
    std::ios_base::sync_with_stdio(false);
    std::cout.imbue(oem);
    std::cin.imbue(oem);
    std::cerr.imbue(oem);

    std::string address;
    std::string configFile;
    bool quiet = false, verbose = false, bufferLog = false, savepoints = false;

    // --version is the only long option; the short ones are those of the
    // usage text plus -V.
    static const option longOptions[] = {{"version", no_argument, nullptr, 'V'},
                                         {nullptr, 0, nullptr, 0}};
    opterr = 0;  // every option error ends in the usage text
    int c;
    while ((c = getopt_long(argc, argv, ":a:o:qvbschH?V", longOptions, nullptr)) != -1) {
        switch (c) {
        case 'V':
            std::printf("kestrad %s\n", KESTRAD_VERSION);
            return 0;
        case 'a': address = optarg; break;
        case 'o': configFile = optarg; break;
        case 'q': quiet = true; break;
        case 'v': verbose = true; break;
        case 'b': bufferLog = true; break;
        case 's': savepoints = true; break;
        case 'c': break;  // accepted and ignored
        default: Usage();  // -h, -H, -?, unknown letters, missing arguments
        }
    }
    if (optind < argc)
        Usage();

    RaiseDescriptorLimit();
    try {
        std::shared_ptr<CJTAGServer> server =
            CJTAGServer::CreateJtagServer(address.empty() ? KESTRAD_DEFAULT_PIPE : address);
        server->Init();
        server->Options()[OPTION_OUTPUT].value = !quiet;
        server->Options()[OPTION_VERBOSE].value = verbose;
        server->Options()[OPTION_OUTBUF].value = bufferLog;
        server->Options()[OPTION_SAVEPOINTS].value = savepoints;
        server->Description().LoadFromXML(configFile);
        server->Start();
    } catch (const std::exception& e) {
        // A server that did not start must not look like one that did.
        std::cerr << "Exception: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
