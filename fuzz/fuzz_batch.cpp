// Fuzz target for CMD_ASYNC_OPERATIONS bodies: any byte string is walked as
// a batch; every data byte a sub-record hands out is read, so a field that
// pointed outside the body would show up under AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "wire/AsyncBatch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An exact-size copy, so reading one byte past it is caught.
    std::vector<unsigned char> body(data, data + size);
    unsigned sum = 0;
    try {
        ForEachAsyncOperation(body.data(), static_cast<uint32_t>(body.size()), [&](const CAsyncOperation& op) {
            if (op.data)
                for (size_t i = 0; i < (static_cast<size_t>(op.length) + 7) / 8; ++i)
                    sum += op.data[i];
        });
    } catch (const std::runtime_error&) {
    }
    return static_cast<int>(sum & 0);
}
