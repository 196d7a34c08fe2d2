// The FTDI boards this back-end drives, by USB id: TinCanTools Flyswatter2
// (0403:6010) and Olimex ARM-USB-TINY-H (15BA:002A). A board's constructor
// opens its channel with the board's own GPIO wiring (Channel.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "JTAG/backends/ftdi/Channel.h"

struct usb_device;

namespace ftdi {

// (vendor id, product id) -> board constructor; the clock is in hertz.
using BoardConstructor = std::function<std::unique_ptr<Channel>(struct usb_device*, unsigned int hertz)>;

// True when the ids, or a device's ids, belong to a board of the table.
bool IsBoard(uint16_t vendor, uint16_t product);
bool IsBoard(const struct usb_device* device);
// An empty function for a pair that is not in the table.
BoardConstructor GetBoardConstructor(uint16_t vendor, uint16_t product);

}  // namespace ftdi
