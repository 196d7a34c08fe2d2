// The kinds of USB back-end, found by the devices' USB ids. The bus scan
// knows back-ends only through such a table (JTAG/Sources.cpp has the
// server's); each back-end describes its own kind next to its adapter.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "JTAG/core/AdapterContext.h"

struct usb_device;
class CJTAG;

namespace usb {

struct Kind {
    const char* name;  // "ezusb", "jlink", "ftdi"
    // Whether this back-end drives a device with these ids. None: any device
    // that no kind before it takes (the maker's adapter, the last resort).
    std::function<bool(uint16_t vendor, uint16_t product)> matches;
    // The adapter for one device; throws when the device cannot be served.
    std::function<std::shared_ptr<CJTAG>(struct usb_device* device, const std::string& name,
                                         const std::string& frequency, const AdapterContext& context)>
        create;
};

// The first kind of the table that takes the ids; null when none does.
const Kind* FindKind(const std::vector<Kind>& kinds, uint16_t vendor, uint16_t product);

}  // namespace usb
