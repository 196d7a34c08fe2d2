// What the USB back-ends' fuzz targets share: a silent adapter context and
// a device whose replies come from the fuzz input. Each reply is a length
// byte and that many bytes, cut short where the input ends; writes go
// nowhere.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "JTAG/core/AdapterContext.h"
#include "JTAG/usb/UsbInterface.h"
#include "config/Description.h"
#include "log/Logger.h"

// Every log level off: the fuzzer measures the back-end, not the logger.
class CFuzzContext {
public:
    AdapterContext Context() { return AdapterContext{m_logger, m_description, nullptr, nullptr}; }
    CLogger& Logger() { return m_logger; }

private:
    COptions<bool> m_options{{OPTION_OUTPUT, "output", "", false},
                             {OPTION_VERBOSE, "verbose", "", false},
                             {OPTION_OUTBUF, "outbuf", "", false}};
    CLogger m_logger{m_options, nullptr};
    CDescription m_description;
};

class CFuzzDevice : public usb::CUsbInterface {
public:
    CFuzzDevice(CLogger& log, const uint8_t* data, size_t size)
        : usb::CUsbInterface(nullptr, log), m_data(data), m_size(size)
    {
    }
    ~CFuzzDevice() override { m_opened = false; }

    // A J-Link's two bulk endpoints; the EZ-USB back-end asks for none.
    std::vector<unsigned int> GetEndPoints() override { return {0x81, 0x02}; }

    void Open() override { m_opened = true; }
    void Close() override { m_opened = false; }
    int Write(const usb::CEndPoint&, const void*, unsigned int size) override { return static_cast<int>(size); }
    int Read(const usb::CEndPoint&, void* data, unsigned int size) override
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
    int ReadWithTimeout(const usb::CEndPoint& endpoint, void* data, unsigned int size, unsigned int) override
    {
        return Read(endpoint, data, size);
    }

private:
    const uint8_t* m_data;
    size_t m_size;
};
