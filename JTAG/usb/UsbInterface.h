// CUsbInterface: CAdapterInterface over the libusb-0.1 API, shared by the
// USB back-ends, and the USB bus scan that creates their adapter objects.
//
// Every transfer has a 1000 ms time-out unless a read asks for another; a
// failing libusb call surfaces as std::runtime_error naming the call and its
// result (a time-out says so), never as a return code.
#pragma once

#include <usb.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "JTAG/core/AdapterContext.h"
#include "JTAG/usb/UsbPipe.h"

class CJTAG;
class CLogger;

// The back-end that drives a USB device, decided by its vendor and product
// id. Every back-end's recognition lives in GetUsbAdapterKind, nowhere else.
enum class UsbAdapterKind {
    Korsel,  // the maker's EZ-USB adapter: any matching device nobody else claims
    Jlink,   // SEGGER J-Link
    Ftdi,    // FTDI MPSSE boards (Flyswatter2, Olimex ARM-USB-TINY-H)
};
UsbAdapterKind GetUsbAdapterKind(uint16_t vendor, uint16_t product);

class CUsbInterface : public CAdapterInterface {
public:
    // device is not owned and may be null for subclasses that replace the
    // transfers (a null device cannot be opened). `log` takes the transfer
    // dumps and the failing calls.
    CUsbInterface(struct usb_device* device, CLogger& log);
    // Closes the device; never throws.
    ~CUsbInterface() override;

    CUsbInterface(const CUsbInterface&) = delete;
    CUsbInterface& operator=(const CUsbInterface&) = delete;

    void Open() override;
    void Close() override;
    int Write(const void* endpoint, const void* data, unsigned int size) override;
    // Read with the transfer time-out (1000 ms).
    int Read(const void* endpoint, void* data, unsigned int size) override;
    // Read that gives up after timeoutMs (at least 1 ms) on a bulk endpoint;
    // every read goes through here.
    virtual int ReadWithTimeout(const void* endpoint, void* data, unsigned int size, unsigned int timeoutMs);
    std::vector<unsigned int> getEndPoints() override;

    // Appends an adapter for every device on the bus that matches a USB entry
    // of the configuration. A device whose adapter cannot be created is
    // logged and skipped.
    static void AddAdapters(std::vector<std::shared_ptr<CJTAG>>& adapters, const AdapterContext& context);

    // Held while a device's interface is being claimed: by the bus scan
    // around each adapter it creates (creating one opens the device to read
    // its serial number, version or chip type) and by every adapter's open.
    // Without it an open that meets the scan's claim on the same device fails
    // with "Device or resource busy". Recursive: the scan's own opens take
    // it again.
    static std::recursive_mutex& ClaimMutex();

    // Creates the back-end object for one matching device.
    static std::shared_ptr<CJTAG> CreateAdapter(struct usb_device* device, const std::string& name,
                                                const std::string& frequency, const AdapterContext& context);

protected:
    bool m_opened = false;
    CLogger& m_log;
    struct usb_device* m_device;
    usb_dev_handle* m_handle = nullptr;
};
