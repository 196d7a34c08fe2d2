// Fuzz target for the parsers of untrusted input the FTDI back-end uses: the
// clock text of a configuration entry (the parser every back-end shares),
// and the bytes an FTDI chip sends back for a scan. Both must return a value
// or throw std::exception, never read outside their input.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "JTAG/backends/ftdi/Commands.h"
#include "JTAG/core/Frequency.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    try {
        ParseFrequency(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const std::exception&) {
    }
    if (size >= 2) {
        // The first two bytes are the bit count (15 bits) and whether the
        // scan left by one exit clock (the top bit), the rest the read-back.
        const int bits = data[0] | (data[1] & 0x7F) << 8;
        const unsigned exitClocks = (data[1] & 0x80) ? 1 : 2;
        const std::vector<unsigned char> raw(data + 2, data + size);
        try {
            const std::vector<unsigned char> captured = ftdi::ReadScanChain(raw, bits, exitClocks);
            if (captured.size() != (static_cast<size_t>(bits) + 7) / 8)
                __builtin_trap();
        } catch (const std::exception&) {
        }
    }
    return 0;
}
