// USB transport over libusb-0.1.
//
// The transport opens a device with configuration 1 and interface 0 claimed,
// moves bytes by bulk transfers (1000 ms time-out) and reads string
// descriptors; see libusb-0.1's usb.h for the calls used.
#include "JTAG/usb/UsbInterface.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "log/Logger.h"

namespace {

// libusb-0.1 is initialised exactly once per process, before main runs; the
// bus scan itself never initialises it.
struct CUsbLibraryInitializer {
    CUsbLibraryInitializer() { usb_init(); }
};

constexpr int kTransferTimeoutMs = 1000;

// usb_open gives no result code; its failure is described by the library.
std::runtime_error UsbOpenError()
{
    const char* text = usb_strerror();
    return std::runtime_error(text ? text : "unknown USB error");
}

// A failed call described by its own result. libusb-0.1 leaves the previous
// usb_strerror() text in place after a time-out, so that text could name an
// older, unrelated failure (or say "No error").
std::runtime_error UsbError(const char* call, int result, int timeoutMs = 0)
{
    if (result == -ETIMEDOUT && timeoutMs > 0)
        return std::runtime_error(std::string(call) + " timed out after " + std::to_string(timeoutMs) + " ms");
    return std::runtime_error(std::string(call) + " failed: " + std::strerror(-result) + " (" +
                              std::to_string(result) + ")");
}

std::string OnEndpoint(const char* call, unsigned address)
{
    char text[64];
    std::snprintf(text, sizeof text, "%s on endpoint 0x%02x", call, address & 0xFF);
    return text;
}

int TransferSize(unsigned int size)
{
    if (size > static_cast<unsigned int>(INT_MAX))
        throw std::runtime_error("USB transfer of " + std::to_string(size) + " bytes is too large");
    return static_cast<int>(size);
}

const CUsbLibraryInitializer g_usbInitializer;

}  // namespace

namespace usb {

std::recursive_mutex& CUsbInterface::ClaimMutex()
{
    static std::recursive_mutex mutex;
    return mutex;
}

// ---------------------------------------------------------------------------
// Transport.

CUsbInterface::CUsbInterface(struct usb_device* device, CLogger& log) : m_log(log), m_device(device) {}

CUsbInterface::CUsbInterface(struct usb_device* device, CLogger& log, Claim claim)
    : m_log(log), m_device(device), m_claim(claim)
{
}

CUsbInterface::~CUsbInterface()
{
    // A device that vanished cannot be released; the destructor still must not throw.
    try {
        Close();
    } catch (const std::exception& e) {
        m_log.LogVerb("Closing USB device failed: %s\n", e.what());
    } catch (...) {
    }
}

void CUsbInterface::Open()
{
    if (m_opened)
        return;
    if (!m_device)
        throw std::runtime_error("Usb interface has no device to open.");
    std::lock_guard<std::recursive_mutex> claim(ClaimMutex());
    m_handle = usb_open(m_device);
    if (!m_handle) {
        m_log.LogVerb("usb_open returned %08X\n", 0u);
        throw UsbOpenError();
    }
    usleep(2000);
    int result = m_claim.setConfiguration ? usb_set_configuration(m_handle, 1) : 0;
    if (result < 0) {
        m_log.LogVerb("usb_set_configuration returned %08X\n", static_cast<unsigned>(result));
        std::runtime_error error = UsbError("usb_set_configuration", result);
        usb_close(m_handle);
        m_handle = nullptr;
        throw error;
    }
    result = usb_claim_interface(m_handle, m_claim.interfaceNumber);
    if (result < 0) {
        m_log.LogVerb("usb_claim_interface returned %08X\n", static_cast<unsigned>(result));
        std::runtime_error error = UsbError("usb_claim_interface", result);
        usb_close(m_handle);
        m_handle = nullptr;
        throw error;
    }
    m_opened = true;
}

void CUsbInterface::Close()
{
    if (!m_opened)
        return;
    m_opened = false;
    usb_dev_handle* handle = m_handle;
    m_handle = nullptr;
    if (!handle)
        return;
    int result = usb_release_interface(handle, m_claim.interfaceNumber);
    if (result != 0) {
        m_log.LogVerb("usb_release_interface returned %08X\n", static_cast<unsigned>(result));
        std::runtime_error error = UsbError("usb_release_interface", result);
        // The handle is closed all the same: the flag is already clear, so
        // nobody would ever close it later (an unplugged device lands here).
        usb_close(handle);
        throw error;
    }
    result = usb_close(handle);
    if (result != 0) {
        m_log.LogVerb("usb_close returned %08X\n", static_cast<unsigned>(result));
        throw UsbError("usb_close", result);
    }
}

int CUsbInterface::Write(const CEndPoint& record, const void* data, unsigned int size)
{
    if (!m_opened)
        throw std::runtime_error("Usb interface is not open.");
    if (record.kind == ENDPOINT_BULK_IN)
        throw std::runtime_error("Invalid endpoint is specified for usb_bulk_write()");
    const int result = usb_bulk_write(m_handle, record.address, static_cast<const char*>(data),
                                      TransferSize(size), kTransferTimeoutMs);
    if (result < 0)
        throw UsbError(OnEndpoint("usb_bulk_write", record.address).c_str(), result, kTransferTimeoutMs);
    m_log.LogBuffer(data, result, "BulkWrite");
    return result;
}

int CUsbInterface::Read(const CEndPoint& endpoint, void* data, unsigned int size)
{
    return ReadWithTimeout(endpoint, data, size, kTransferTimeoutMs);
}

int CUsbInterface::ReadWithTimeout(const CEndPoint& record, void* data, unsigned int size, unsigned int timeoutMs)
{
    if (!m_opened)
        throw std::runtime_error("Usb interface is not open.");
    // libusb-0.1 reads a time-out of 0 as "wait forever": never ask for that.
    const int timeout = static_cast<int>(std::min<unsigned int>(std::max(timeoutMs, 1u), INT_MAX));
    int result;
    if (record.kind == ENDPOINT_BULK_IN)
        result = usb_bulk_read(m_handle, record.address, static_cast<char*>(data), TransferSize(size), timeout);
    else if (record.kind == ENDPOINT_STRING)
        result = usb_get_string_simple(m_handle, record.address, static_cast<char*>(data), size);
    else
        throw std::runtime_error("Invalid endpoint is specified for usb_bulk_read()");
    m_log.LogBuffer(data, std::max(result, 0), "BulkRead");
    if (result < 0) {
        if (record.kind == ENDPOINT_STRING)
            throw UsbError(("usb_get_string_simple of string " + std::to_string(record.address)).c_str(), result);
        throw UsbError(OnEndpoint("usb_bulk_read", record.address).c_str(), result, timeout);
    }
    return result;
}

std::vector<unsigned int> CUsbInterface::GetEndPoints()
{
    std::vector<unsigned int> endpoints;
    if (!m_device || !m_device->config || !m_device->config->interface ||
        m_device->config->bNumInterfaces == 0)
        return endpoints;
    for (unsigned n = 0; n < m_device->config->bNumInterfaces; ++n) {
        const usb_interface& iface = m_device->config->interface[n];
        if (iface.num_altsetting < 1 || !iface.altsetting)
            continue;
        const usb_interface_descriptor& setting = iface.altsetting[0];
        if (setting.bInterfaceNumber != m_claim.interfaceNumber)
            continue;
        for (unsigned i = 0; i < setting.bNumEndpoints && setting.endpoint; ++i)
            endpoints.push_back(setting.endpoint[i].bEndpointAddress);
        break;
    }
    return endpoints;
}

}  // namespace usb
