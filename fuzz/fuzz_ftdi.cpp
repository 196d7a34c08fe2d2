// Fuzz target for the FTDI back-end's parsers of untrusted input: the clock
// text of a configuration entry, and the bytes an FTDI chip sends back for a
// scan. Both must return a value or throw std::exception, never read outside
// their input.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "JTAG/backends/ftdi/Board.h"
#include "JTAG/backends/ftdi/Commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    try {
        ftdi::ParseFrequency(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const std::exception&) {
    }
    if (size >= 2) {
        // The first two bytes are the bit count, the rest the read-back.
        const int bits = data[0] | data[1] << 8;
        const std::vector<unsigned char> raw(data + 2, data + size);
        try {
            const std::vector<unsigned char> captured = ftdi::ReadScanChain(raw, bits);
            if (captured.size() != (static_cast<size_t>(bits) + 7) / 8)
                __builtin_trap();
        } catch (const std::exception&) {
        }
    }
    return 0;
}
