// Fuzz target for what a CMSIS-DAP probe sends back. The input's first
// bytes choose the scans; the rest is the probe's reply stream (each reply
// a length byte and that many bytes, cut short where the input ends). The
// reply parsers get every reply on their own, and the adapter gets the
// whole stream: it must ask the probe what it is, connect, batch scans over
// packets and cut their results out of any replies, coming back with results
// or a std::exception, never reading outside a reply or its own buffers and
// never waiting forever on empty replies.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <vector>

#include "JTAG/backends/cmsisdap/Probe.h"
#include "fuzz/FuzzDevice.h"

namespace {

// Every parser on one reply; the sequence parser against a batch of the
// scans the input chose.
void ParseAlone(const uint8_t* reply, size_t size, const std::vector<uint8_t>& request)
{
    using namespace cmsisdap;
    try {
        InfoString(reply, size);
    } catch (const std::exception&) {
    }
    try {
        InfoNumber(reply, size, 0);
    } catch (const std::exception&) {
    }
    try {
        ConnectedPort(reply, size);
        PinsRead(reply, size);
    } catch (const std::exception&) {
    }
    try {
        BitStream tdo;
        ParseSequenceReply(request, reply, size, tdo);
        if (tdo.Size() > 0)
            tdo.Slice(tdo.Size() / 2, tdo.Size() - tdo.Size() / 2);
    } catch (const std::exception&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const int irLength = data[0] % 36;
    const int drLength = static_cast<int>(data[1]) * 8 + data[2] % 8;
    const unsigned scans = data[3] % 8;
    const std::vector<unsigned char> in(static_cast<size_t>(drLength + 7) / 8, data[2]);

    cmsisdap::JtagBatch batch(TapController::State::RunTestIdle, 64);
    batch.Move(TapState::SHIFT_DR);
    batch.Scan(in.data(), static_cast<uint64_t>(drLength), true);
    batch.Move(TapState::PAUSE_DR);
    const std::vector<uint8_t> request = batch.Packets().empty() ? std::vector<uint8_t>{0x14, 0x00}
                                                                   : batch.Packets()[0].request;
    for (size_t at = 4; at < size;) {
        const size_t length = std::min<size_t>(data[at], size - at - 1);
        ParseAlone(data + at + 1, length, request);
        at += 1 + length;
    }

    CFuzzContext context;
    try {
        cmsisdap::DapInterface dap;
        dap.number = 0;
        dap.in = 0x81;
        dap.out = 0x01;
        cmsisdap::CCmsisDapJTAG jtag(std::make_unique<CFuzzDevice>(context.Logger(), data + 4, size - 4), dap,
                                     "DAPLINK0", "1MHZ", "", context.Context());
        jtag.Open();
        try {
            jtag.SetTRST(true);
            jtag.ShiftIR(data[1], irLength, TapState::RUN_TEST_IDLE);
        } catch (const std::exception&) {
        }
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
        try {
            const uint8_t tms[2] = {data[0], data[1]};
            uint8_t tdo[2] = {};
            jtag.ClockSequence(tms, tms, tdo, 16);
        } catch (const std::exception&) {
        }
        jtag.Close();
    } catch (const std::exception&) {
    }
    return 0;
}
