// Command line of kestrad-sim.
#pragma once

#include "sim/tap/SimTap.h"

#include <cstdint>
#include <string>
#include <vector>

namespace simpeer {

// A misbehaviour on request, for testing clients against a failing peer.
struct Fault {
    enum class Kind { CloseMidReply, Garbage, Stall };
    Kind kind = Kind::Garbage;
    std::string command;      // command word it applies to
    unsigned occurrence = 0;  // only the n-th such command of the process (1-based); 0 = every one
};

// "close-mid-reply=CMD", "garbage=CMD" or "stall=CMD", each optionally
// followed by ":N" for the n-th occurrence only.  Throws std::invalid_argument.
Fault ParseFault(const std::string& text);

struct MemoryImage {
    std::string path;
    uint32_t address = 0;
};

// "FILE" or "FILE@ADDR" (hex ADDR, optional 0x): the text after the last '@'
// is an address only when it parses as one, so file names may contain '@'.
MemoryImage ParseMemoryImage(const std::string& text);

struct PeerOptions {
    int port = 0;  // 0 = ephemeral
    std::string bind = "127.0.0.1";
    std::string protocol = "RTL_JTAGdemo-0.1";
    std::vector<simtap::TapConfig> chain = {simtap::TapConfig{}};
    std::vector<MemoryImage> images;
    std::string trace;
    std::vector<Fault> faults;
    uint64_t maxConnections = 0;  // 0 = unlimited
};

enum class ParseOutcome { Run, Help, Version, Error };

// Parses argv with getopt_long; on Error `message` says why.
ParseOutcome ParsePeerOptions(int argc, char** argv, PeerOptions& options, std::string& message);
std::string PeerUsage(const char* program);

}  // namespace simpeer
