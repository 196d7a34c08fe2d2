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
struct CUsbJTAGDescription;
class CJTAG;

namespace usb {

struct Kind {
    const char* name;  // "ezusb", "jlink", "ftdi", "cmsis-dap"; an ftdi or cmsis-dap element names its kind
    // Whether this back-end drives a device with these ids when a `usb`
    // entry names them. None: any device that no kind before it takes (the
    // maker's adapter, the last resort).
    std::function<bool(uint16_t vendor, uint16_t product)> matches;
    // The adapter for one device of a configuration entry, named `name`;
    // throws when the device cannot be served.
    std::function<std::shared_ptr<CJTAG>(struct usb_device* device, const CUsbJTAGDescription& entry,
                                         const std::string& name, const AdapterContext& context)>
        create;
    // Whether a device that no entry names by its ids is one of this
    // back-end's, by what it is rather than its ids (a CMSIS-DAP probe by
    // its interface string); the bus scan asks it for the entries of the
    // kind that give no ids. None: the back-end serves listed ids only.
    std::function<bool(struct usb_device* device, const AdapterContext& context)> recognises = nullptr;
};

// The first kind of the table that takes the ids; null when none does.
const Kind* FindKind(const std::vector<Kind>& kinds, uint16_t vendor, uint16_t product);

// The kind of this name; null when the table has none.
const Kind* FindKindNamed(const std::vector<Kind>& kinds, const std::string& name);

}  // namespace usb
