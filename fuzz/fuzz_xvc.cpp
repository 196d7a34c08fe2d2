// Fuzz target for the XVC 1.0 parser: any bytes, fed in pieces whose sizes
// the first byte picks, must give well-formed actions (vectors as long as
// their bit count says and never longer than offered) or one Error, never a
// crash or a read outside the input.
#include "client/bridge/XvcProtocol.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace kestrad::bridge;
    if (size == 0)
        return 0;
    const size_t piece = 1 + data[0] % 7;
    constexpr uint32_t kMax = 64;
    CXvcParser parser(kMax);
    std::vector<XvcAction> actions;
    for (size_t pos = 1; pos < size; pos += piece)
        parser.Feed(data + pos, pos + piece <= size ? piece : size - pos, actions);
    size_t errors = 0;
    for (const XvcAction& a : actions) {
        if (a.kind == XvcAction::Kind::Error) {
            ++errors;
            continue;
        }
        if (a.kind != XvcAction::Kind::Shift)
            continue;
        const size_t bytes = (static_cast<size_t>(a.bits) + 7) / 8;
        if (a.tms.size() != bytes || a.tdi.size() != bytes || bytes > kMax)
            __builtin_trap();
    }
    if (errors > 1 || (errors == 1 && actions.back().kind != XvcAction::Kind::Error) ||
        parser.Failed() != (errors == 1))
        __builtin_trap();
    return 0;
}
