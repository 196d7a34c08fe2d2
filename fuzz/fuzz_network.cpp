// Fuzz target for the network peer's reply parsers: line splitting, result
// lines (64-bit and longer values) and dump rows. Replies come from another
// process, so none of these may read outside the text or crash on any input.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "JTAG/backends/network/Protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);

    const std::vector<std::string> lines = network::SplitLines(text);
    if (lines.size() > network::CountLF(text.data(), text.size()))
        __builtin_trap();

    for (const std::string& line : lines) {
        unsigned long long value;
        const bool ok = network::ParseResult(line, value);
        if (!ok && value != 0)
            __builtin_trap();

        // A length from the line itself, up to a few hundred bits.
        const int length = line.empty() ? 0 : static_cast<unsigned char>(line[0]) * 2;
        std::vector<unsigned char> bits((length + 7) / 8 + 1, 0xa5);
        network::ParseResultBits(line, bits.data(), length);
        if (bits.back() != 0xa5)  // wrote past (length + 7) / 8 bytes
            __builtin_trap();

        for (unsigned column = 0; column < 5; ++column) {
            try {
                network::DumpWord(line, column);
            } catch (const std::out_of_range&) {
            } catch (const std::runtime_error&) {
            }
        }
        network::ProtocolName(line);
    }
    return 0;
}
