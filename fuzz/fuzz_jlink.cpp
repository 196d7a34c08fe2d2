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

#include "server/JTAGServer.h"
#include "JTAG/backends/jlink/Probe.h"
#include "config/Description.h"
#include "log/Logger.h"

namespace {

class CFuzzServer : public CJTAGServer {
public:
    void Init() override {}
    void Start() override {}
    COptions<bool>& Options() override { return m_options; }
    CLogger& Logger() override { return m_logger; }
    CDescription& Description() override { return m_description; }

private:
    COptions<bool> m_options{{OPTION_OUTPUT, "output", "", false},
                             {OPTION_VERBOSE, "verbose", "", false},
                             {OPTION_OUTBUF, "outbuf", "", false}};
    CLogger m_logger{m_options, nullptr};
    CDescription m_description;
};

// Serves reads from the fuzz input; writes go nowhere.
class CFuzzDevice : public CUsbInterface {
public:
    CFuzzDevice(CJTAGServer& server, const uint8_t* data, size_t size)
        : CUsbInterface(nullptr, server), m_data(data), m_size(size)
    {
    }
    ~CFuzzDevice() override { m_opened = false; }

    std::vector<unsigned int> getEndPoints() override { return {0x81, 0x02}; }

    void Open() override { m_opened = true; }
    void Close() override { m_opened = false; }
    int Write(const void*, const void*, unsigned int size) override { return static_cast<int>(size); }
    int Read(const void*, void* data, unsigned int size) override
    {
        if (m_size == 0)
            return 0;
        size_t length = std::min<size_t>(*m_data, m_size - 1);
        ++m_data;
        --m_size;
        const size_t count = std::min<size_t>(length, size);
        std::memcpy(data, m_data, count);
        m_data += length;
        m_size -= length;
        return static_cast<int>(count);
    }
    // Reads with their own time-out (draining stale replies) come from the
    // input too, not from libusb.
    int ReadWithTimeout(const void* endpoint, void* data, unsigned int size, unsigned int) override
    {
        return Read(endpoint, data, size);
    }

private:
    const uint8_t* m_data;
    size_t m_size;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const int irLength = data[0] % 36;
    const int drLength = static_cast<int>(data[1]) * 8 + data[2] % 8;
    const unsigned scans = data[3] % 8;
    CFuzzServer server;
    try {
        CJlinkJTAG jtag(std::make_unique<CFuzzDevice>(server, data + 4, size - 4), "JLINK0", "700KHZ", server);
        jtag.Open();
        try {
            jtag.SetTRST(true);
            jtag.ShiftIR(data[1], irLength, TapStateMachine::RUN_TEST_IDLE);
        } catch (const std::exception&) {
        }
        std::vector<unsigned char> in(static_cast<size_t>(drLength + 7) / 8, data[2]);
        std::vector<unsigned char> out(in.size());
        try {
            jtag.ShiftDR(in.data(), out.data(), drLength, TapStateMachine::PAUSE_DR);
        } catch (const std::exception&) {
        }
        try {
            for (unsigned i = 0; i < scans; ++i) {
                jtag.AsyncShiftDR(in.data(), drLength, TapStateMachine::RUN_TEST_IDLE);
                jtag.AsyncWriteDR(in.data(), drLength / 2, TapStateMachine::PAUSE_DR);
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
