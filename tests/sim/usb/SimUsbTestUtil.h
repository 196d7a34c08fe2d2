// Helpers for the simulated USB bus tests: they set KESTRAD_SIM_USB, rescan,
// and open devices through the libusb-0.1 API the library exports.
#pragma once

#include "sim/usb/EzUsbModel.h"
#include "sim/usb/SimUsb.h"

#include <usb.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace simusbtest {

// Every test gets its own serial numbers, so its devices (and their targets)
// are fresh even when all tests run in one process.
inline std::string UniqueSerial(const char* prefix)
{
    static int counter = 0;
    return prefix + std::to_string(getpid()) + "x" + std::to_string(++counter);
}

inline std::vector<struct usb_device*> Rescan(const std::string& devices)
{
    setenv("KESTRAD_SIM_USB", devices.c_str(), 1);
    usb_init();
    usb_find_busses();
    usb_find_devices();
    std::vector<struct usb_device*> all;
    for (usb_bus* bus = usb_get_busses(); bus; bus = bus->next)
        for (struct usb_device* dev = bus->devices; dev; dev = dev->next)
            all.push_back(dev);
    return all;
}

inline std::vector<struct usb_device*> Devices()
{
    std::vector<struct usb_device*> all;
    for (usb_bus* bus = usb_get_busses(); bus; bus = bus->next)
        for (struct usb_device* dev = bus->devices; dev; dev = dev->next)
            all.push_back(dev);
    return all;
}

inline struct usb_device* FindSerial(const std::string& serial)
{
    for (struct usb_device* dev : Devices()) {
        if (!dev->descriptor.iSerialNumber)
            continue;
        usb_dev_handle* h = usb_open(dev);
        if (!h)
            continue;
        char buf[256];
        const int n = usb_get_string_simple(h, dev->descriptor.iSerialNumber, buf, sizeof buf);
        usb_close(h);
        if (n >= 0 && serial == buf)
            return dev;
    }
    return nullptr;
}

inline simusb::CEzUsbModel& EzModel(struct usb_device* dev)
{
    simusb::CDeviceModel* model = simusb::ModelOf(dev);
    EXPECT_NE(model, nullptr);
    EXPECT_STREQ(model->Kind(), "ezusb");
    return *static_cast<simusb::CEzUsbModel*>(model);
}

// An opened and claimed EZ-USB adapter, with frame helpers.
class CEzHandle {
public:
    explicit CEzHandle(struct usb_device* dev) : m_Handle(usb_open(dev))
    {
        EXPECT_NE(m_Handle, nullptr) << usb_strerror();
        if (m_Handle) {
            EXPECT_EQ(usb_set_configuration(m_Handle, 1), 0) << usb_strerror();
            EXPECT_EQ(usb_claim_interface(m_Handle, 0), 0) << usb_strerror();
        }
    }
    ~CEzHandle()
    {
        if (m_Handle) {
            usb_release_interface(m_Handle, 0);
            usb_close(m_Handle);
        }
    }
    usb_dev_handle* get() const { return m_Handle; }

    int Send(const std::vector<uint8_t>& frame, int ep = 0x02)
    {
        return usb_bulk_write(m_Handle, ep, reinterpret_cast<const char*>(frame.data()), int(frame.size()), 1000);
    }
    // One bulk read from 0x86; an error gives the negative result in `status`.
    std::vector<uint8_t> Read(int size, int timeout = 1000, int* status = nullptr)
    {
        std::vector<uint8_t> buf(size_t(size), 0);
        const int n = usb_bulk_read(m_Handle, 0x86, reinterpret_cast<char*>(buf.data()), size, timeout);
        if (status)
            *status = n;
        buf.resize(n > 0 ? size_t(n) : 0);
        return buf;
    }

private:
    usb_dev_handle* m_Handle;
};

// A 6-byte command frame with both lines released (TRST and reset high).
inline std::vector<uint8_t> Cmd(unsigned direction, uint8_t op, uint32_t arg, bool trst = true, bool srst = true)
{
    const uint8_t h = uint8_t(0x40 | (trst ? 0x08 : 0) | (srst ? 0x04 : 0) | direction);
    return {h, op, uint8_t(arg), uint8_t(arg >> 8), uint8_t(arg >> 16), uint8_t(arg >> 24)};
}

inline void Append(std::vector<uint8_t>& out, const std::vector<uint8_t>& more)
{
    out.insert(out.end(), more.begin(), more.end());
}

inline uint32_t Le32(const std::vector<uint8_t>& b, size_t at = 0)
{
    return uint32_t(b.at(at)) | uint32_t(b.at(at + 1)) << 8 | uint32_t(b.at(at + 2)) << 16 | uint32_t(b.at(at + 3)) << 24;
}

}  // namespace simusbtest
