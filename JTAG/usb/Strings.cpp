#include "JTAG/usb/Strings.h"

#include <usb.h>

#include <cstdio>
#include <stdexcept>

namespace usb {

std::vector<Interface> Interfaces(const struct usb_device* device)
{
    std::vector<Interface> out;
    if (!device || !device->config || !device->config->interface)
        return out;
    const usb_config_descriptor& config = device->config[0];
    for (unsigned i = 0; i < config.bNumInterfaces; ++i) {
        const usb_interface& iface = config.interface[i];
        if (iface.num_altsetting < 1 || !iface.altsetting)
            continue;
        const usb_interface_descriptor& setting = iface.altsetting[0];
        Interface entry{setting.bInterfaceNumber, setting.bInterfaceClass, setting.iInterface, {}};
        for (unsigned e = 0; e < setting.bNumEndpoints && setting.endpoint; ++e) {
            const usb_endpoint_descriptor& endpoint = setting.endpoint[e];
            entry.endpoints.push_back({endpoint.bEndpointAddress,
                                       static_cast<uint8_t>(endpoint.bmAttributes & USB_ENDPOINT_TYPE_MASK),
                                       endpoint.wMaxPacketSize});
        }
        out.push_back(entry);
    }
    return out;
}

std::vector<std::string> ReadStrings(struct usb_device* device, const std::vector<uint8_t>& indexes)
{
    std::vector<std::string> out(indexes.size());
    bool any = false;
    for (uint8_t index : indexes)
        any = any || index != 0;
    if (!any)
        return out;
    usb_dev_handle* handle = usb_open(device);
    if (!handle) {
        const char* text = usb_strerror();
        throw std::runtime_error("cannot open USB device " + Ids(device) + " to read its strings: " +
                                 (text ? text : "unknown USB error"));
    }
    for (size_t i = 0; i < indexes.size(); ++i) {
        if (indexes[i] == 0)
            continue;
        char text[256];
        const int length = usb_get_string_simple(handle, indexes[i], text, sizeof text);
        if (length > 0)
            out[i].assign(text, static_cast<size_t>(length) < sizeof text ? static_cast<size_t>(length) : sizeof text - 1);
    }
    usb_close(handle);
    return out;
}

std::string Ids(const struct usb_device* device)
{
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", device->descriptor.idVendor, device->descriptor.idProduct);
    return ids;
}

}  // namespace usb
