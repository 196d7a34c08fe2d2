// The FTDI boards this back-end drives. A board is what the configuration
// says of it in an ftdi element: its USB ids, optionally its product string
// and channel, and how its GPIO pins are wired (config/Description.h,
// CFtdiLayout). The built-in configuration describes the TinCanTools
// Flyswatter2 (0403:6010, "Flyswatter2"), the Olimex ARM-USB-TINY-H
// (15BA:002A) and ARM-USB-OCD-H (15BA:002B), and FTDI's own FT2232H and
// FT232H ids as generic boards without reset lines.
#pragma once

#include <cstdint>
#include <string>

#include "JTAG/backends/ftdi/Channel.h"
#include "JTAG/core/AdapterContext.h"
#include "config/Description.h"

struct usb_device;

namespace ftdi {

// A board as the adapter drives it.
struct Board {
    Wiring wiring;
    // False for a board nobody described: TCK, TDI and TMS only.
    bool described = false;
};

// The wiring an ftdi element describes.
Board BoardOf(const CUsbJTAGDescription& element);

// Whether a `usb` entry with these ids leads to this back-end: FTDI's own
// MPSSE chips (FT2232C/D/H 0403:6010, FT4232H 0403:6011, FT232H 0403:6014)
// and the ids of the built-in configuration's ftdi elements.
bool IsBoard(uint16_t vendor, uint16_t product);
bool IsBoard(const struct usb_device* device);

// The board of a device that `entry` takes: an ftdi element's own
// description; for a `usb` entry, the built-in ftdi element that describes
// the device (its ids, and its product string when the element names one),
// else a generic board. A generic board is logged with how to describe it.
Board FindBoard(const CUsbJTAGDescription& entry, struct usb_device* device, const std::string& name,
                const AdapterContext& context);

}  // namespace ftdi
