// The libusb-0.1 API over the simulated bus (see SimUsb.h).
//
// Results follow libusb 0.1.12 on Linux: 0 or more is success, errors are
// negative errno values with the library's texts ("error submitting URB:
// No such device", "could not claim interface 0: Device or resource busy").
// As in 0.1.12, a bulk or interrupt transfer that times out returns -110
// and leaves usb_strerror() as it was: the text still names the previous
// failure, or says "No error".
#include "sim/usb/SimBus.h"
#include "sim/usb/SimUsb.h"

#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#define API extern "C" __attribute__((visibility("default")))

using namespace simusb;

struct usb_dev_handle {
    int fd;  // first: libftdi reads it and hands it to FD_SET
    CNode* node;
};

namespace {

std::chrono::milliseconds TimeoutOf(int timeout)
{
    if (timeout <= 0 || timeout == 32767)
        return std::chrono::milliseconds(kForeverTimeoutMs);
    return std::chrono::milliseconds(timeout);
}

int Transfer(usb_dev_handle* h, int ep, bool in, uint8_t type, uint8_t* bytes, int size, int timeout)
{
    const char* what = in ? "IN " : "OUT";
    if (!h || !h->node)
        return Fail(-EINVAL, "error submitting URB: %s", std::strerror(EINVAL));
    if (size < 0 || (size > 0 && !bytes))
        return Fail(-EINVAL, "error submitting URB: %s", std::strerror(EINVAL));
    CNode* node = h->node;
    const uint8_t address = static_cast<uint8_t>(ep);
    const usb_endpoint_descriptor* desc = FindEndpoint(node, address);
    if (!desc || ((address & USB_ENDPOINT_DIR_MASK) != 0) != in)
        return Fail(-ENOENT, "error submitting URB: %s", std::strerror(ENOENT));
    if ((desc->bmAttributes & USB_ENDPOINT_TYPE_MASK) != type)
        return Fail(-EINVAL, "error submitting URB: %s", std::strerror(EINVAL));

    CSlot* slot = node->slot;
    const auto deadline = std::chrono::steady_clock::now() + TimeoutOf(timeout);
    std::unique_lock<std::mutex> lock(slot->lock);
    int result;
    for (;;) {
        if (!Present(node)) {
            result = Fail(-ENODEV, "error submitting URB: %s", std::strerror(ENODEV));
            break;
        }
        result = in ? slot->model->BulkRead(address, bytes, static_cast<size_t>(size))
                    : slot->model->BulkWrite(address, bytes, static_cast<size_t>(size));
        if (result != kNotReady) {
            slot->changed.notify_all();
            if (result < 0)
                Fail(result, "error submitting URB: %s", std::strerror(-result));
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            result = -ETIMEDOUT;  // the library sets no text for a time-out
            break;
        }
        // Wake up now and then to notice an unplug made through the control file.
        slot->changed.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(50)));
    }
    lock.unlock();
    if (Tracing()) {
        char ep[16];
        std::snprintf(ep, sizeof ep, " ep 0x%02x ", address);
        const std::string head = what + (" " + Where(node)) + ep;
        if (result >= 0)
            TraceLine(std::string(head) + std::to_string(result) + ":" + Hex(bytes, static_cast<size_t>(result)));
        else
            TraceLine(std::string(head) + "error " + std::to_string(result) + " (" + std::strerror(-result) + ")");
    }
    return result;
}

bool Gone(usb_dev_handle* h) { return !h || !h->node || !Present(h->node); }

}  // namespace

API void usb_init(void)
{
    CBus& bus = Bus();
    std::lock_guard<std::mutex> guard(bus.lock);
    RefreshDevices(bus);
}

API void usb_set_debug(int level) { SetDebugLevel(level); }

API char* usb_strerror(void) { return LastError(); }

API int usb_find_busses(void) { return FindBusses(); }

API int usb_find_devices(void) { return FindDevices(); }

API struct usb_bus* usb_get_busses(void) { return usb_busses; }

API usb_dev_handle* usb_open(struct usb_device* dev)
{
    CNode* node = NodeOf(dev);
    if (!node) {
        Fail(-EINVAL, "usb_open: not a device of this bus");
        return nullptr;
    }
    if (!Present(node)) {
        Fail(-ENOENT, "failed to open %s: %s", Path(node).c_str(), std::strerror(ENOENT));
        return nullptr;
    }
    // A real handle holds the usbfs file; libftdi passes this one to FD_SET,
    // so it must be a small valid descriptor.
    const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0 || fd >= FD_SETSIZE) {
        const int err = fd < 0 ? errno : EMFILE;
        if (fd >= 0)
            ::close(fd);
        Fail(-err, "failed to open %s: %s", Path(node).c_str(), std::strerror(err));
        return nullptr;
    }
    return new usb_dev_handle{fd, node};
}

API int usb_close(usb_dev_handle* h)
{
    if (!h)
        return Fail(-EINVAL, "usb_close: no handle");
    if (h->node) {
        CSlot* slot = h->node->slot;
        std::lock_guard<std::mutex> guard(slot->lock);
        for (auto it = slot->claims.begin(); it != slot->claims.end();)
            it = it->second == h ? slot->claims.erase(it) : std::next(it);
    }
    ::close(h->fd);
    delete h;
    return 0;
}

API struct usb_device* usb_device(usb_dev_handle* h) { return h && h->node ? &h->node->dev : nullptr; }

API int usb_set_configuration(usb_dev_handle* h, int configuration)
{
    if (Gone(h))
        return Fail(-ENODEV, "could not set config %d: %s", configuration, std::strerror(ENODEV));
    if (configuration != 1)
        return Fail(-EINVAL, "could not set config %d: %s", configuration, std::strerror(EINVAL));
    return 0;
}

API int usb_claim_interface(usb_dev_handle* h, int interface)
{
    if (Gone(h))
        return Fail(-ENODEV, "could not claim interface %d: %s", interface, std::strerror(ENODEV));
    if (interface < 0 || interface >= h->node->config.bNumInterfaces)
        return Fail(-ENOENT, "could not claim interface %d: %s", interface, std::strerror(ENOENT));
    CSlot* slot = h->node->slot;
    std::lock_guard<std::mutex> guard(slot->lock);
    auto it = slot->claims.find(interface);
    if (it != slot->claims.end() && it->second != h)
        return Fail(-EBUSY, "could not claim interface %d: %s", interface, std::strerror(EBUSY));
    slot->claims[interface] = h;
    return 0;
}

API int usb_release_interface(usb_dev_handle* h, int interface)
{
    if (Gone(h))
        return Fail(-ENODEV, "could not release intf %d: %s", interface, std::strerror(ENODEV));
    CSlot* slot = h->node->slot;
    std::lock_guard<std::mutex> guard(slot->lock);
    auto it = slot->claims.find(interface);
    if (it == slot->claims.end() || it->second != h)
        return Fail(-EINVAL, "could not release intf %d: %s", interface, std::strerror(EINVAL));
    slot->claims.erase(it);
    return 0;
}

API int usb_set_altinterface(usb_dev_handle* h, int alternate)
{
    if (Gone(h))
        return Fail(-ENODEV, "could not set alt intf 0/%d: %s", alternate, std::strerror(ENODEV));
    if (alternate != 0)
        return Fail(-EINVAL, "could not set alt intf 0/%d: %s", alternate, std::strerror(EINVAL));
    return 0;
}

API int usb_resetep(usb_dev_handle* h, unsigned int ep)
{
    if (Gone(h))
        return Fail(-ENODEV, "could not reset ep %u: %s", ep, std::strerror(ENODEV));
    if (!FindEndpoint(h->node, static_cast<uint8_t>(ep)))
        return Fail(-ENOENT, "could not reset ep %u: %s", ep, std::strerror(ENOENT));
    return 0;
}

API int usb_clear_halt(usb_dev_handle* h, unsigned int ep)
{
    if (Gone(h))
        return Fail(-ENODEV, "could not clear/halt ep %u: %s", ep, std::strerror(ENODEV));
    if (!FindEndpoint(h->node, static_cast<uint8_t>(ep)))
        return Fail(-ENOENT, "could not clear/halt ep %u: %s", ep, std::strerror(ENOENT));
    return 0;
}

API int usb_reset(usb_dev_handle* h)
{
    if (Gone(h))
        return Fail(-ENODEV, "could not reset: %s", std::strerror(ENODEV));
    return 0;
}

API int usb_get_driver_np(usb_dev_handle* h, int interface, char* name, unsigned int namelen)
{
    if (name && namelen > 0)
        name[0] = 0;
    if (Gone(h))
        return Fail(-ENODEV, "could not get bound driver: %s", std::strerror(ENODEV));
    (void)interface;
    return Fail(-ENODATA, "could not get bound driver: %s", std::strerror(ENODATA));
}

API int usb_detach_kernel_driver_np(usb_dev_handle* h, int interface)
{
    if (Gone(h))
        return Fail(-ENODEV, "could not detach kernel driver from interface %d: %s", interface,
                    std::strerror(ENODEV));
    // No kernel driver is ever bound to a simulated device. libftdi tells
    // "no driver" from a real failure by errno, as the ioctl leaves it.
    errno = ENODATA;
    return Fail(-ENODATA, "could not detach kernel driver from interface %d: %s", interface,
                std::strerror(ENODATA));
}

API int usb_control_msg(usb_dev_handle* h, int requesttype, int request, int value, int index, char* bytes, int size,
                        int timeout)
{
    (void)timeout;  // the simulated devices answer control requests at once
    if (Gone(h))
        return Fail(-ENODEV, "error sending control message: %s", std::strerror(ENODEV));
    if (size < 0 || size > 0xFFFF || (size > 0 && !bytes))
        return Fail(-EINVAL, "error sending control message: %s", std::strerror(EINVAL));
    CNode* node = h->node;
    const uint8_t type = static_cast<uint8_t>(requesttype);
    const uint8_t req = static_cast<uint8_t>(request);
    const uint16_t wValue = static_cast<uint16_t>(value);
    const uint16_t wIndex = static_cast<uint16_t>(index);
    uint8_t* data = reinterpret_cast<uint8_t*>(bytes);
    int result = -EPIPE;
    if ((type & 0x60) == USB_TYPE_STANDARD) {
        result = StandardRequest(node, type, req, wValue, wIndex, data, size);
    } else {
        std::lock_guard<std::mutex> guard(node->slot->lock);
        result = node->slot->model->Control(type, req, wValue, wIndex, data, static_cast<uint16_t>(size));
        node->slot->changed.notify_all();
    }
    if (Tracing()) {
        char setup[40];
        std::snprintf(setup, sizeof setup, " %02x %02x %04x %04x ", type, req, wValue, wIndex);
        const std::string head = "CTRL " + Where(node) + setup;
        TraceLine(std::string(head) + std::to_string(result) + (result > 0 ? ":" + Hex(data, static_cast<size_t>(result)) : ""));
    }
    if (result < 0)
        return Fail(result, "error sending control message: %s", std::strerror(-result));
    return result;
}

API int usb_get_string(usb_dev_handle* h, int index, int langid, char* buf, size_t buflen)
{
    const int size = static_cast<int>(std::min<size_t>(buflen, 0xFFFF));
    return usb_control_msg(h, USB_ENDPOINT_IN, USB_REQ_GET_DESCRIPTOR, (USB_DT_STRING << 8) + index, langid, buf,
                           size, 1000);
}

API int usb_get_string_simple(usb_dev_handle* h, int index, char* buf, size_t buflen)
{
    if (!buf || buflen == 0)
        return Fail(-EINVAL, "usb_get_string_simple: no room for the string");
    uint8_t tbuf[255];
    int ret = usb_get_string(h, 0, 0, reinterpret_cast<char*>(tbuf), sizeof tbuf);
    if (ret < 0)
        return ret;
    if (ret < 4)
        return Fail(-EIO, "%s", std::strerror(EIO));
    const int langid = tbuf[2] | (tbuf[3] << 8);
    ret = usb_get_string(h, index, langid, reinterpret_cast<char*>(tbuf), sizeof tbuf);
    if (ret < 0)
        return ret;
    if (ret < 2 || tbuf[1] != USB_DT_STRING)
        return Fail(-EIO, "%s", std::strerror(EIO));
    if (tbuf[0] > ret)
        return Fail(-EFBIG, "%s", std::strerror(EFBIG));
    size_t di = 0;
    for (int si = 2; si + 1 < tbuf[0]; si += 2) {
        if (di >= buflen - 1)
            break;
        buf[di++] = tbuf[si + 1] ? '?' : static_cast<char>(tbuf[si]);
    }
    buf[di] = 0;
    return static_cast<int>(di);
}

API int usb_get_descriptor_by_endpoint(usb_dev_handle* h, int ep, unsigned char type, unsigned char index, void* buf,
                                       int size)
{
    if (buf && size > 0)
        std::memset(buf, 0, static_cast<size_t>(size));
    return usb_control_msg(h, ep | USB_ENDPOINT_IN, USB_REQ_GET_DESCRIPTOR, (type << 8) + index, 0,
                           static_cast<char*>(buf), size, 1000);
}

API int usb_get_descriptor(usb_dev_handle* h, unsigned char type, unsigned char index, void* buf, int size)
{
    if (buf && size > 0)
        std::memset(buf, 0, static_cast<size_t>(size));
    return usb_control_msg(h, USB_ENDPOINT_IN, USB_REQ_GET_DESCRIPTOR, (type << 8) + index, 0, static_cast<char*>(buf),
                           size, 1000);
}

API int usb_bulk_write(usb_dev_handle* h, int ep, const char* bytes, int size, int timeout)
{
    // The model only reads OUT data; the cast matches the library's old non-const signature.
    return Transfer(h, ep, false, USB_ENDPOINT_TYPE_BULK, reinterpret_cast<uint8_t*>(const_cast<char*>(bytes)), size,
                    timeout);
}

API int usb_bulk_read(usb_dev_handle* h, int ep, char* bytes, int size, int timeout)
{
    return Transfer(h, ep | USB_ENDPOINT_IN, true, USB_ENDPOINT_TYPE_BULK, reinterpret_cast<uint8_t*>(bytes), size,
                    timeout);
}

API int usb_interrupt_write(usb_dev_handle* h, int ep, const char* bytes, int size, int timeout)
{
    return Transfer(h, ep, false, USB_ENDPOINT_TYPE_INTERRUPT, reinterpret_cast<uint8_t*>(const_cast<char*>(bytes)),
                    size, timeout);
}

API int usb_interrupt_read(usb_dev_handle* h, int ep, char* bytes, int size, int timeout)
{
    return Transfer(h, ep | USB_ENDPOINT_IN, true, USB_ENDPOINT_TYPE_INTERRUPT, reinterpret_cast<uint8_t*>(bytes),
                    size, timeout);
}
