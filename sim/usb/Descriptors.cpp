// Descriptors of the simulated devices, as libusb-0.1 presents them and as
// GET_DESCRIPTOR returns them, and the standard control requests (see
// SimBus.h).
#include "sim/usb/SimBus.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace simusb {

namespace {

// The wire image of a descriptor, as GET_DESCRIPTOR returns it; empty: stall.
std::vector<uint8_t> DescriptorBytes(const CNode* node, uint8_t type, uint8_t index)
{
    std::vector<uint8_t> b;
    auto u16 = [&](uint16_t v) {
        b.push_back(static_cast<uint8_t>(v));
        b.push_back(static_cast<uint8_t>(v >> 8));
    };
    const usb_device_descriptor& d = node->dev.descriptor;
    if (type == USB_DT_DEVICE && index == 0) {
        b = {d.bLength, d.bDescriptorType};
        u16(d.bcdUSB);
        b.insert(b.end(), {d.bDeviceClass, d.bDeviceSubClass, d.bDeviceProtocol, d.bMaxPacketSize0});
        u16(d.idVendor);
        u16(d.idProduct);
        u16(d.bcdDevice);
        b.insert(b.end(), {d.iManufacturer, d.iProduct, d.iSerialNumber, d.bNumConfigurations});
    } else if (type == USB_DT_CONFIG && index == 0) {
        const usb_config_descriptor& c = node->config;
        b = {c.bLength, c.bDescriptorType};
        u16(c.wTotalLength);
        b.insert(b.end(), {c.bNumInterfaces, c.bConfigurationValue, c.iConfiguration, c.bmAttributes, c.MaxPower});
        for (int i = 0; i < c.bNumInterfaces; ++i) {
            const usb_interface_descriptor& a = c.interface[i].altsetting[0];
            b.insert(b.end(), {a.bLength, a.bDescriptorType, a.bInterfaceNumber, a.bAlternateSetting,
                               a.bNumEndpoints, a.bInterfaceClass, a.bInterfaceSubClass, a.bInterfaceProtocol,
                               a.iInterface});
            for (int e = 0; e < a.bNumEndpoints; ++e) {
                const usb_endpoint_descriptor& ed = a.endpoint[e];
                b.insert(b.end(), {ed.bLength, ed.bDescriptorType, ed.bEndpointAddress, ed.bmAttributes});
                u16(ed.wMaxPacketSize);
                b.push_back(ed.bInterval);
            }
        }
    } else if (type == USB_DT_STRING) {
        const CDeviceInfo& info = InfoOf(node);
        const std::string* s = nullptr;
        if (index == 0) {
            return {4, USB_DT_STRING, 0x09, 0x04};  // English (US)
        } else if (index == 1 && !info.manufacturer.empty()) {
            s = &info.manufacturer;
        } else if (index == 2 && !info.productName.empty()) {
            s = &info.productName;
        } else if (index == 3 && !info.serial.empty()) {
            s = &info.serial;
        } else if (index > 3 && info.strings.count(index)) {
            s = &info.strings.at(index);
        }
        if (!s)
            return b;
        const size_t chars = std::min<size_t>(s->size(), 126);
        b = {static_cast<uint8_t>(2 + 2 * chars), USB_DT_STRING};
        for (size_t i = 0; i < chars; ++i)
            u16(static_cast<uint8_t>((*s)[i]));
    }
    return b;
}

}  // namespace

void BuildDescriptors(CNode* node)
{
    const CDeviceInfo& info = InfoOf(node);
    usb_device_descriptor& d = node->dev.descriptor;
    d.bLength = USB_DT_DEVICE_SIZE;
    d.bDescriptorType = USB_DT_DEVICE;
    d.bcdUSB = info.bcdUSB;
    d.bDeviceClass = info.deviceClass;
    d.bDeviceSubClass = 0;
    d.bDeviceProtocol = 0;
    d.bMaxPacketSize0 = info.maxPacket0;
    d.idVendor = info.vendor;
    d.idProduct = info.product;
    d.bcdDevice = info.bcdDevice;
    d.iManufacturer = info.manufacturer.empty() ? 0 : 1;
    d.iProduct = info.productName.empty() ? 0 : 2;
    d.iSerialNumber = info.serial.empty() ? 0 : 3;
    d.bNumConfigurations = 1;

    const size_t n = info.interfaces.size();
    node->endpoints.resize(n);
    node->altsettings.resize(n);
    node->interfaces.resize(n);
    unsigned total = USB_DT_CONFIG_SIZE;
    for (size_t i = 0; i < n; ++i) {
        const CInterfaceInfo& ii = info.interfaces[i];
        for (const CEndpointInfo& e : ii.endpoints) {
            usb_endpoint_descriptor ed{};
            ed.bLength = USB_DT_ENDPOINT_SIZE;
            ed.bDescriptorType = USB_DT_ENDPOINT;
            ed.bEndpointAddress = e.address;
            ed.bmAttributes = e.attributes;
            ed.wMaxPacketSize = e.maxPacket;
            ed.bInterval = e.interval;
            node->endpoints[i].push_back(ed);
        }
        usb_interface_descriptor& a = node->altsettings[i];
        a = usb_interface_descriptor{};
        a.bLength = USB_DT_INTERFACE_SIZE;
        a.bDescriptorType = USB_DT_INTERFACE;
        a.bInterfaceNumber = static_cast<uint8_t>(i);
        a.bAlternateSetting = 0;
        a.bNumEndpoints = static_cast<uint8_t>(ii.endpoints.size());
        a.bInterfaceClass = ii.interfaceClass;
        a.bInterfaceSubClass = ii.subClass;
        a.bInterfaceProtocol = ii.protocol;
        a.iInterface = ii.stringIndex;
        a.endpoint = node->endpoints[i].empty() ? nullptr : node->endpoints[i].data();
        node->interfaces[i].altsetting = &a;
        node->interfaces[i].num_altsetting = 1;
        total += USB_DT_INTERFACE_SIZE + USB_DT_ENDPOINT_SIZE * unsigned(ii.endpoints.size());
    }
    usb_config_descriptor& c = node->config;
    c.bLength = USB_DT_CONFIG_SIZE;
    c.bDescriptorType = USB_DT_CONFIG;
    c.wTotalLength = static_cast<uint16_t>(total);
    c.bNumInterfaces = static_cast<uint8_t>(n);
    c.bConfigurationValue = 1;
    c.iConfiguration = 0;
    c.bmAttributes = info.configAttributes;
    c.MaxPower = info.maxPower;
    c.interface = node->interfaces.data();
    node->dev.config = &node->config;
}

const usb_endpoint_descriptor* FindEndpoint(const CNode* node, uint8_t address)
{
    const usb_config_descriptor& c = node->config;
    for (int i = 0; i < c.bNumInterfaces; ++i) {
        const usb_interface_descriptor& a = c.interface[i].altsetting[0];
        for (int e = 0; e < a.bNumEndpoints; ++e)
            if (a.endpoint[e].bEndpointAddress == address)
                return &a.endpoint[e];
    }
    return nullptr;
}

int StandardRequest(CNode* node, uint8_t type, uint8_t req, uint16_t wValue, uint16_t wIndex, uint8_t* data, int size)
{
    int result = -EPIPE;
    const bool in = (type & USB_ENDPOINT_IN) != 0;
    switch (req) {
    case USB_REQ_GET_DESCRIPTOR:
        if (in) {
            const std::vector<uint8_t> d =
                DescriptorBytes(node, static_cast<uint8_t>(wValue >> 8), static_cast<uint8_t>(wValue & 0xFF));
            if (!d.empty()) {
                result = static_cast<int>(std::min<size_t>(d.size(), static_cast<size_t>(size)));
                std::memcpy(data, d.data(), static_cast<size_t>(result));
            }
        }
        break;
    case USB_REQ_GET_CONFIGURATION:
        if (in && size >= 1) {
            data[0] = 1;
            result = 1;
        }
        break;
    case USB_REQ_GET_STATUS:
        if (in) {
            result = std::min(size, 2);
            std::memset(data, 0, static_cast<size_t>(result));
        }
        break;
    case USB_REQ_SET_CONFIGURATION:
        result = wValue == 1 ? 0 : -EPIPE;
        break;
    case USB_REQ_SET_INTERFACE:
        result = wValue == 0 && wIndex < node->config.bNumInterfaces ? 0 : -EPIPE;
        break;
    case USB_REQ_CLEAR_FEATURE:
    case USB_REQ_SET_FEATURE:
        result = 0;
        break;
    default:
        break;
    }
    return result;
}

}  // namespace simusb
