// Fuzz target for the SVF parser and planner: any bytes, fed in two pieces
// split where the first byte says, must give statements and operations or a
// CSvfError, never a crash, a read outside the input or a large allocation
// (the scan length is capped low so memory stays small).
#include "client/svf/SvfPlanner.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace kestrad::svf;
    if (size == 0)
        return 0;
    const size_t split = 1 + data[0] % size;
    const char* text = reinterpret_cast<const char*>(data);
    CSvfParser::Limits limits;
    limits.maxScanBits = 4096;
    CSvfParser parser(limits);
    CSvfPlanner planner;
    SvfOps ops;
    auto sink = [&](SvfStatement&& st) {
        ops.clear();
        planner.Add(st, ops);
    };
    try {
        parser.Feed(text + 1, split - 1, sink);
        parser.Feed(text + split, size - split, sink);
        parser.Finish();
    } catch (const CSvfError&) {
    }
    return 0;
}
