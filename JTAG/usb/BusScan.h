// The USB bus scan: every device on the bus that an entry of the
// configuration describes gets the adapter of the back-end kind the entry
// leads to (JTAG/usb/Kinds.h).
//
// Which entries take a device: those that describe it most closely. An
// entry that names the device's product string beats one with its ids
// alone; an ftdi or cmsis-dap element with the ids beats a `usb` entry with
// them; an entry without ids (a cmsis-dap element) takes only a device that
// no entry with ids names, and only when its back-end recognises it. Entries
// that describe a device equally well each make an adapter for it, in the
// order of the configuration.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "JTAG/core/JTAGHolder.h"
#include "JTAG/usb/Kinds.h"
#include "config/Description.h"

namespace usb {

// Appends an adapter for every matching device. A device whose adapter
// cannot be created is logged and skipped.
void AddAdapters(const std::vector<Kind>& kinds, std::vector<std::shared_ptr<CJTAG>>& adapters,
                 const AdapterContext& context);

// The adapter that the entry's kind (the kind its element names, or for a
// `usb` entry the kind that takes the device's ids) makes for the device;
// std::runtime_error when no kind does.
std::shared_ptr<CJTAG> CreateAdapter(const std::vector<Kind>& kinds, struct usb_device* device,
                                     const CUsbJTAGDescription& entry, const std::string& name,
                                     const AdapterContext& context);

// The scan as a source of the holder.
CJTAGHolder::Source BusSource(std::vector<Kind> kinds);

}  // namespace usb
