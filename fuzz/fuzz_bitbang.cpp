// Fuzz target for the remote_bitbang parser: any bytes, fed in pieces whose
// sizes the first byte picks and cut now and then as a quiet input would,
// must give sequences whose vectors match their clock count and whose
// answers point at their own edges (or the edge before), within the bound.
#include "client/bridge/BitbangProtocol.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace kestrad::bridge;
    if (size == 0)
        return 0;
    const size_t piece = 1 + data[0] % 13;
    constexpr uint32_t kMax = 37;
    CBitbangParser parser(kMax);
    std::vector<BitbangStep> steps;
    for (size_t pos = 1; pos < size; pos += piece) {
        parser.Feed(data + pos, pos + piece <= size ? piece : size - pos, steps);
        if (data[pos] & 0x80)
            parser.Flush(steps);
    }
    parser.Flush(steps);
    for (const BitbangStep& s : steps) {
        if (s.kind != BitbangStep::Kind::Sequence)
            continue;
        const size_t bytes = (static_cast<size_t>(s.bits) + 7) / 8;
        if (s.bits > kMax || s.tms.size() != bytes || s.tdi.size() != bytes || s.samples.size() > 2 * kMax)
            __builtin_trap();
        for (int32_t index : s.samples)
            if (index < -1 || index >= static_cast<int32_t>(s.bits))
                __builtin_trap();
    }
    if (parser.WaitingSamples() > kMax)
        __builtin_trap();
    return 0;
}
