// What a USB device says of itself beyond its ids: the interfaces of its
// configuration (from the descriptors libusb-0.1 has read already) and its
// string descriptors (read over the default pipe; the device is opened for
// that, but no interface is claimed).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct usb_device;

namespace usb {

struct Endpoint {
    uint8_t address;     // with the direction bit
    uint8_t type;        // bmAttributes & 3: 2 bulk, 3 interrupt
    uint16_t maxPacket;
};

// Alternate setting 0 of one interface of the first configuration.
struct Interface {
    int number;
    uint8_t interfaceClass;  // 0x03 HID, 0xFF vendor
    uint8_t stringIndex;     // iInterface; 0: none
    std::vector<Endpoint> endpoints;
};

// The interfaces, in descriptor order; none for a device without a
// configuration. No I/O.
std::vector<Interface> Interfaces(const struct usb_device* device);

// The string descriptors `indexes` of the device, in that order; index 0
// and a string that cannot be read give "". Throws std::runtime_error
// naming the device when it cannot be opened at all.
std::vector<std::string> ReadStrings(struct usb_device* device, const std::vector<uint8_t>& indexes);

// "vvvv:pppp", the ids as lsusb prints them.
std::string Ids(const struct usb_device* device);

}  // namespace usb
