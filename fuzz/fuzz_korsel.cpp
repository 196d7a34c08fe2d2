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

#include "server/JTAGServer.h"
#include "JTAG/backends/ezusb/Adapter.h"
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
    const int irLength = data[0] % 40 - 2;
    const int drLength = data[1] % 50 - 2;
    const unsigned memSize = static_cast<unsigned>(data[2]) * 8 + data[3] % 8;
    CFuzzServer server;
    try {
        CKorselUsbJTAG jtag(std::make_unique<CFuzzDevice>(server, data + 4, size - 4), "EZ-USB0", "12MHZ",
                            data[3] >> 4, server);
        jtag.Open();
        try {
            jtag.ShiftIR(data[1], irLength, TapStateMachine::RUN_TEST_IDLE);
        } catch (const std::exception&) {
        }
        if (drLength >= 0) {
            std::vector<unsigned char> in(static_cast<size_t>(drLength + 7) / 8, data[2]);
            std::vector<unsigned char> out(in.size());
            try {
                jtag.ShiftDR(in.data(), out.data(), drLength, TapStateMachine::RUN_TEST_IDLE);
            } catch (const std::exception&) {
            }
        }
        try {
            jtag.SetTRST(false);
            jtag.SetTRST(true);
            std::vector<unsigned char> id(static_cast<size_t>(data[1] % 5));
            jtag.ShiftDR(id.data(), id.data(), static_cast<int>(id.size()) * 8, TapStateMachine::RUN_TEST_IDLE);
        } catch (const std::exception&) {
        }
        std::vector<unsigned char> memory(memSize);
        jtag.ReadMemBlk(0x1000, memory.data(), memSize);
    } catch (const std::exception&) {
    }
    return 0;
}
