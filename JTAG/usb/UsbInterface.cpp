// USB transport over libusb-0.1 and the bus scan that picks each device's
// back-end.
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

#include "JTAG/core/JTAG.h"
#include "JTAG/backends/ftdi/Board.h"
#include "JTAG/backends/jlink/Probe.h"
#include "JTAG/backends/ezusb/Adapter.h"
#include "base/Printable.h"
#include "config/Description.h"
#include "log/Logger.h"

// libusb-0.1 is initialised exactly once per process, before main runs; the
// scan itself never initialises it.
struct CUsbLibraryInitializer {
    CUsbLibraryInitializer() { usb_init(); }
};

namespace {

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

const CEndPoint& Record(const void* endpoint)
{
    return *static_cast<const CEndPoint*>(endpoint);
}

int TransferSize(unsigned int size)
{
    if (size > static_cast<unsigned int>(INT_MAX))
        throw std::runtime_error("USB transfer of " + std::to_string(size) + " bytes is too large");
    return static_cast<int>(size);
}

}  // namespace

CUsbLibraryInitializer g_initiliazer;

// ---------------------------------------------------------------------------
// Back-end recognition. A new USB back-end adds its ids here and its creation
// in CUsbInterface::CreateAdapter.

namespace {

// The FTDI back-end's board table: Flyswatter2 and Olimex ARM-USB-TINY-H.
bool IsFtdiJTAGId(uint16_t vendor, uint16_t product)
{
    return IsFtdiJTAGBoard(vendor, product);
}

}  // namespace

UsbAdapterKind GetUsbAdapterKind(uint16_t vendor, uint16_t product)
{
    if (CJlinkJTAG::isItJlink(vendor, product))
        return UsbAdapterKind::Jlink;
    if (IsFtdiJTAGId(vendor, product))
        return UsbAdapterKind::Ftdi;
    return UsbAdapterKind::Korsel;
}

std::shared_ptr<CJTAG> CUsbInterface::CreateAdapter(struct usb_device* device, const std::string& name,
                                                    const std::string& frequency, const AdapterContext& context)
{
    switch (GetUsbAdapterKind(device->descriptor.idVendor, device->descriptor.idProduct)) {
    case UsbAdapterKind::Jlink:
        return std::make_shared<CJlinkJTAG>(
            std::unique_ptr<CUsbInterface>(new CUsbInterface(device, context.logger)), name, frequency, context);
    case UsbAdapterKind::Ftdi:
        return std::make_shared<CFtdiJTAG>(device, name, frequency, context);
    case UsbAdapterKind::Korsel:
        break;
    }
    return std::make_shared<CKorselUsbJTAG>(
        std::unique_ptr<CUsbInterface>(new CUsbInterface(device, context.logger)), name, frequency,
        device->descriptor.iSerialNumber, context);
}

std::recursive_mutex& CUsbInterface::ClaimMutex()
{
    static std::recursive_mutex mutex;
    return mutex;
}

void CUsbInterface::AddAdapters(std::vector<std::shared_ptr<CJTAG>>& adapters, const AdapterContext& context)
{
    // A copy: a configuration reload must not pull the entries from under the scan.
    const std::vector<CUsbJTAGDescription> descriptions = context.description.GetJTAGs().usbJTAGs;
    usb_find_busses();
    usb_find_devices();
    if (descriptions.empty())
        return;

    for (const CUsbJTAGDescription& description : descriptions) {
        unsigned int counter = 0;
        for (usb_bus* bus = usb_get_busses(); bus; bus = bus->next) {
            for (struct usb_device* device = bus->devices; device; device = device->next) {
                if (device->descriptor.idVendor != description.idvendor ||
                    device->descriptor.idProduct != description.idproduct)
                    continue;
                // The index is used up even when the adapter cannot be created.
                const std::string name = description.name + std::to_string(counter++);
                try {
                    std::lock_guard<std::recursive_mutex> claim(ClaimMutex());
                    adapters.push_back(CreateAdapter(device, name, description.frequency, context));
                } catch (const std::exception& e) {
                    context.logger.LogVerb("Exception in CUsbJTAG::AddAdapters: %s\n", Printable(e.what()).c_str());
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Transport.

CUsbInterface::CUsbInterface(struct usb_device* device, CLogger& log) : m_log(log), m_device(device)
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
    int result = usb_set_configuration(m_handle, 1);
    if (result < 0) {
        m_log.LogVerb("usb_set_configuration returned %08X\n", static_cast<unsigned>(result));
        std::runtime_error error = UsbError("usb_set_configuration", result);
        usb_close(m_handle);
        m_handle = nullptr;
        throw error;
    }
    result = usb_claim_interface(m_handle, 0);
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
    int result = usb_release_interface(handle, 0);
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

int CUsbInterface::Write(const void* endpoint, const void* data, unsigned int size)
{
    if (!m_opened)
        throw std::runtime_error("Usb interface is not open.");
    const CEndPoint& record = Record(endpoint);
    if (record.kind == ENDPOINT_BULK_IN)
        throw std::runtime_error("Invalid endpoint is specified for usb_bulk_write()");
    const int result = usb_bulk_write(m_handle, record.address, static_cast<const char*>(data),
                                      TransferSize(size), kTransferTimeoutMs);
    if (result < 0)
        throw UsbError(OnEndpoint("usb_bulk_write", record.address).c_str(), result, kTransferTimeoutMs);
    m_log.LogBuffer(data, result, "BulkWrite");
    return result;
}

int CUsbInterface::Read(const void* endpoint, void* data, unsigned int size)
{
    return ReadWithTimeout(endpoint, data, size, kTransferTimeoutMs);
}

int CUsbInterface::ReadWithTimeout(const void* endpoint, void* data, unsigned int size, unsigned int timeoutMs)
{
    if (!m_opened)
        throw std::runtime_error("Usb interface is not open.");
    const CEndPoint& record = Record(endpoint);
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

std::vector<unsigned int> CUsbInterface::getEndPoints()
{
    std::vector<unsigned int> endpoints;
    if (!m_device || !m_device->config || !m_device->config->interface ||
        m_device->config->bNumInterfaces == 0)
        return endpoints;
    const usb_interface& iface = m_device->config->interface[0];
    if (iface.num_altsetting < 1 || !iface.altsetting)
        return endpoints;
    const usb_interface_descriptor& setting = iface.altsetting[0];
    for (unsigned i = 0; i < setting.bNumEndpoints && setting.endpoint; ++i)
        endpoints.push_back(setting.endpoint[i].bEndpointAddress);
    return endpoints;
}
