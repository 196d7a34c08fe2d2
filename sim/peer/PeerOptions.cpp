#include "sim/peer/PeerOptions.h"

#include "sim/peer/PeerLineHandler.h"

#include <getopt.h>

#include <stdexcept>

namespace simpeer {

Fault ParseFault(const std::string& text)
{
    const std::string usage = "bad fault '" + text + "': expected close-mid-reply=CMD, garbage=CMD or stall=CMD, "
                                                      "optionally with :N for the n-th CMD only";
    const size_t eq = text.find('=');
    if (eq == std::string::npos)
        throw std::invalid_argument(usage);
    const std::string kind = text.substr(0, eq);
    std::string command = text.substr(eq + 1);
    Fault f;
    if (kind == "close-mid-reply")
        f.kind = Fault::Kind::CloseMidReply;
    else if (kind == "garbage")
        f.kind = Fault::Kind::Garbage;
    else if (kind == "stall")
        f.kind = Fault::Kind::Stall;
    else
        throw std::invalid_argument(usage);
    const size_t colon = command.find(':');
    if (colon != std::string::npos) {
        uint64_t n = 0;
        if (!ParseDecimal(command.substr(colon + 1), 1000000000, n) || n == 0)
            throw std::invalid_argument(usage);
        f.occurrence = static_cast<unsigned>(n);
        command.resize(colon);
    }
    if (command.empty() || command.find_first_of(" \t\r\n") != std::string::npos)
        throw std::invalid_argument(usage);
    f.command = command;
    return f;
}

MemoryImage ParseMemoryImage(const std::string& text)
{
    MemoryImage image{text, 0};
    const size_t at = text.rfind('@');
    uint32_t addr = 0;
    if (at != std::string::npos && ParseHex32(text.substr(at + 1), addr)) {
        image.path = text.substr(0, at);
        image.address = addr;
    }
    if (image.path.empty())
        throw std::invalid_argument("bad memory image '" + text + "': expected FILE or FILE@ADDR");
    return image;
}

std::string PeerUsage(const char* program)
{
    return std::string("Usage: ") + program + " [options]\n"
        "A network JTAG peer: serves the peer text protocol over a simulated TAP chain\n"
        "and target memory, one TCP connection at a time.\n"
        "\n"
        "  --port N              TCP port to listen on (0, the default, picks a free one);\n"
        "                        \"listening on port N\" is printed once listening\n"
        "  --bind ADDR           numeric address to listen on (default 127.0.0.1)\n"
        "  --protocol NAME       protocol name of the greeting (default RTL_JTAGdemo-0.1)\n"
        "  --dsp                 same as --protocol Standalone_DSP_Cluster-0.1, which also\n"
        "                        enables read_word32 and write_word32\n"
        "  --chain CHAIN         TAP chain, TDO side first: TAP(+TAP)*, TAP = IDCODE[:IRLEN],\n"
        "                        IDCODE = 0xHEX or bypass; default 0x4BA00477:4\n"
        "  --memory FILE[@ADDR]  load a raw binary image at ADDR (hex, default 0); repeatable\n"
        "  --trace FILE          append every command line (\"> \") and reply line (\"< \")\n"
        "  --fault KIND=CMD[:N]  misbehave on command CMD (every time, or only the N-th time):\n"
        "                        close-mid-reply  send half the reply line, then close\n"
        "                        garbage          answer with a garbage line\n"
        "                        stall            never answer, keep the connection open\n"
        "                        repeatable\n"
        "  --max-connections N   exit after serving N connections (default: never)\n"
        "  -h, --help            show this text\n"
        "  -V, --version         print the version and exit\n"
        "\n"
        "Each connection starts with the TAPs in Test-Logic-Reset; the memory lasts for\n"
        "the life of the process.\n";
}

ParseOutcome ParsePeerOptions(int argc, char** argv, PeerOptions& options, std::string& message)
{
    enum { kPort = 1000, kBind, kProtocol, kDsp, kChain, kMemory, kTrace, kFault, kMaxConn };
    static const option kLong[] = {
        {"port", required_argument, nullptr, kPort},
        {"bind", required_argument, nullptr, kBind},
        {"protocol", required_argument, nullptr, kProtocol},
        {"dsp", no_argument, nullptr, kDsp},
        {"chain", required_argument, nullptr, kChain},
        {"memory", required_argument, nullptr, kMemory},
        {"trace", required_argument, nullptr, kTrace},
        {"fault", required_argument, nullptr, kFault},
        {"max-connections", required_argument, nullptr, kMaxConn},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    optind = 0;  // full re-initialisation (glibc), so the parser can run more than once
    opterr = 0;
    try {
        for (;;) {
            int index = 0;
            const int c = getopt_long(argc, argv, ":hV", kLong, &index);
            if (c == -1)
                break;
            const std::string arg = optarg ? optarg : "";
            uint64_t n = 0;
            switch (c) {
            case kPort:
                if (!ParseDecimal(arg, 65535, n))
                    throw std::invalid_argument("bad port '" + arg + "': expected 0 to 65535");
                options.port = static_cast<int>(n);
                break;
            case kBind:
                options.bind = arg;
                break;
            case kProtocol:
                if (arg.empty())
                    throw std::invalid_argument("empty protocol name");
                options.protocol = arg;
                break;
            case kDsp:
                options.protocol = kDspProtocol;
                break;
            case kChain: {
                options.chain = simtap::ParseChain(arg);
                const simtap::Chain check(options.chain);  // reject what the model refuses now, not per connection
                (void)check;
                break;
            }
            case kMemory:
                options.images.push_back(ParseMemoryImage(arg));
                break;
            case kTrace:
                options.trace = arg;
                break;
            case kFault:
                options.faults.push_back(ParseFault(arg));
                break;
            case kMaxConn:
                if (!ParseDecimal(arg, ~0ull, n) || n == 0)
                    throw std::invalid_argument("bad connection count '" + arg + "': expected a number above 0");
                options.maxConnections = n;
                break;
            case 'h':
                return ParseOutcome::Help;
            case 'V':
                return ParseOutcome::Version;
            case ':':
                throw std::invalid_argument(std::string("option ") + argv[optind - 1] + " needs a value");
            default:
                throw std::invalid_argument(std::string("unknown option ") + argv[optind - 1]);
            }
        }
        if (optind < argc)
            throw std::invalid_argument(std::string("unexpected argument '") + argv[optind] + "'");
    } catch (const std::exception& e) {
        message = e.what();
        return ParseOutcome::Error;
    }
    return ParseOutcome::Run;
}

}  // namespace simpeer
