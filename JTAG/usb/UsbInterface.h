// CUsbInterface: CUsbPipe over the libusb-0.1 API, shared by the USB
// back-ends.
//
// Every transfer has a 1000 ms time-out unless a read asks for another; a
// failing libusb call surfaces as std::runtime_error naming the call and its
// result (a time-out says so), never as a return code.
#pragma once

#include <usb.h>

#include <mutex>
#include <vector>

#include "JTAG/usb/UsbPipe.h"

class CLogger;

namespace usb {

class CUsbInterface : public CUsbPipe {
public:
    // Which interface an open claims, and whether it selects configuration
    // 1 first. A device whose other interfaces belong to kernel drivers (a
    // CMSIS-DAP probe beside its serial port and drive) keeps the
    // configuration it has: Linux refuses to change it under them.
    struct Claim {
        int interfaceNumber = 0;
        bool setConfiguration = true;
    };

    // device is not owned and may be null for subclasses that replace the
    // transfers (a null device cannot be opened). `log` takes the transfer
    // dumps and the failing calls.
    CUsbInterface(struct usb_device* device, CLogger& log);
    CUsbInterface(struct usb_device* device, CLogger& log, Claim claim);
    // Closes the device; never throws.
    ~CUsbInterface() override;

    CUsbInterface(const CUsbInterface&) = delete;
    CUsbInterface& operator=(const CUsbInterface&) = delete;

    void Open() override;
    void Close() override;
    int Write(const CEndPoint& endpoint, const void* data, unsigned int size) override;
    // Read with the transfer time-out (1000 ms).
    int Read(const CEndPoint& endpoint, void* data, unsigned int size) override;
    // Read that gives up after timeoutMs (at least 1 ms) on a bulk endpoint;
    // every read goes through here.
    virtual int ReadWithTimeout(const CEndPoint& endpoint, void* data, unsigned int size, unsigned int timeoutMs);
    // The endpoints of the claimed interface.
    std::vector<unsigned int> GetEndPoints() override;

    // Held while a device's interface is being claimed: by the bus scan
    // around each adapter it creates (creating one opens the device to read
    // its serial number, version or chip type) and by every adapter's open.
    // Without it an open that meets the scan's claim on the same device fails
    // with "Device or resource busy". Recursive: the scan's own opens take
    // it again.
    static std::recursive_mutex& ClaimMutex();

protected:
    bool m_opened = false;
    CLogger& m_log;
    struct usb_device* m_device;
    usb_dev_handle* m_handle = nullptr;
    Claim m_claim;
};

}  // namespace usb
