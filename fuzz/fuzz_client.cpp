// Fuzz target for the client's reply parsers: any byte string as an adapter
// list (CMD_RENUMERATE reply) and as a batch reply, split against a batch
// whose shape also comes from the input. Each must give a result or a
// kestrad::client::Error, never a crash or a read outside the input.
#include "client/Client.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace kestrad::client;
    try {
        ParseAdapterList(data, size);
    } catch (const Error&) {
    }

    // The first bytes pick up to eight scans; the rest is the reply.
    CBatch batch;
    size_t pos = 0;
    while (pos < size && pos < 8 && data[pos] != 0xFF) {
        const uint32_t length = data[pos] % 64 + 1;
        switch (data[pos] % 3) {
        case 0: batch.ShiftIR(0, length > 32 ? 32 : length); break;
        case 1: batch.ShiftDR(std::vector<uint8_t>(BitBytes(length)), length); break;
        default: batch.WriteDR(std::vector<uint8_t>(BitBytes(length)), length); break;
        }
        ++pos;
    }
    try {
        batch.Split(std::vector<uint8_t>(data + pos, data + size));
    } catch (const Error&) {
    }
    ParseTapState(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
