// Fuzz target for kestrad-sim's command lines: every line of the input is
// handled in turn by one peer, which must answer it (or refuse it) without
// crashing or allocating without bound.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "sim/peer/PeerLineHandler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    simtap::Memory memory;
    simpeer::CPeerLineHandler peer({simtap::TapConfig{}}, memory);
    peer.StartConnection();
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    std::string line;
    while (std::getline(in, line))
        peer.HandleLine(line);
    return 0;
}
