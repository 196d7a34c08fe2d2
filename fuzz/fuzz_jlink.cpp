// Fuzz target for what a J-Link probe sends back: the input is the probe's
// reply stream (each read a length byte and that many bytes, cut short where
// the input ends) after a few bytes that choose the scans. The adapter must
// configure the probe, batch scans and cut their results out of any replies,
// coming back with results or a std::exception, never reading or writing
// outside its buffers and never waiting forever on empty replies.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include "JTAG/backends/jlink/Probe.h"
#include "fuzz/FuzzDevice.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const int irLength = data[0] % 36;
    const int drLength = static_cast<int>(data[1]) * 8 + data[2] % 8;
    const unsigned scans = data[3] % 8;
    CFuzzContext context;
    try {
        jlink::CJlinkJTAG jtag(std::make_unique<CFuzzDevice>(context.Logger(), data + 4, size - 4), "JLINK0", "700KHZ",
                        context.Context());
        jtag.Open();
        try {
            jtag.SetTRST(true);
            jtag.ShiftIR(data[1], irLength, TapState::RUN_TEST_IDLE);
        } catch (const std::exception&) {
        }
        std::vector<unsigned char> in(static_cast<size_t>(drLength + 7) / 8, data[2]);
        std::vector<unsigned char> out(in.size());
        try {
            jtag.ShiftDR(in.data(), out.data(), drLength, TapState::PAUSE_DR);
        } catch (const std::exception&) {
        }
        try {
            for (unsigned i = 0; i < scans; ++i) {
                jtag.AsyncShiftDR(in.data(), drLength, TapState::RUN_TEST_IDLE);
                jtag.AsyncWriteDR(in.data(), drLength / 2, TapState::PAUSE_DR);
            }
            std::vector<unsigned char> results;
            jtag.Wait(results);
        } catch (const std::exception&) {
            jtag.DiscardResults();
        }
        jtag.Close();
    } catch (const std::exception&) {
    }
    return 0;
}
