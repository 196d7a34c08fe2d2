// Fuzz target for what the maker's EZ-USB adapter sends back: the input is
// the device's reply stream (each reply a length byte and that many bytes,
// cut short where the input ends) plus a few lengths for the operations. The
// adapter must probe, scan and read memory over any replies and come back
// with results or a std::exception, never write outside its buffers.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include "JTAG/backends/ezusb/Adapter.h"
#include "fuzz/FuzzDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const int irLength = data[0] % 40 - 2;
    const int drLength = data[1] % 50 - 2;
    const unsigned memSize = static_cast<unsigned>(data[2]) * 8 + data[3] % 8;
    CFuzzContext context;
    try {
        ezusb::CKorselUsbJTAG jtag(std::make_unique<CFuzzDevice>(context.Logger(), data + 4, size - 4), "EZ-USB0",
                            "12MHZ", data[3] >> 4, context.Context());
        jtag.Open();
        try {
            jtag.ShiftIR(data[1], irLength, TapState::RUN_TEST_IDLE);
        } catch (const std::exception&) {
        }
        if (drLength >= 0) {
            std::vector<unsigned char> in(static_cast<size_t>(drLength + 7) / 8, data[2]);
            std::vector<unsigned char> out(in.size());
            try {
                jtag.ShiftDR(in.data(), out.data(), drLength, TapState::RUN_TEST_IDLE);
            } catch (const std::exception&) {
            }
        }
        try {
            jtag.SetTRST(false);
            jtag.SetTRST(true);
            std::vector<unsigned char> id(static_cast<size_t>(data[1] % 5));
            jtag.ShiftDR(id.data(), id.data(), static_cast<int>(id.size()) * 8, TapState::RUN_TEST_IDLE);
        } catch (const std::exception&) {
        }
        std::vector<unsigned char> memory(memSize);
        jtag.ReadMemBlk(0x1000, memory.data(), memSize);
    } catch (const std::exception&) {
    }
    return 0;
}
