// The USB bus scan: every device on the bus that matches a USB entry of the
// configuration gets the adapter of the first back-end kind that takes its
// ids (JTAG/usb/Kinds.h).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "JTAG/core/JTAGHolder.h"
#include "JTAG/usb/Kinds.h"

namespace usb {

// Appends an adapter for every matching device. A device whose adapter
// cannot be created is logged and skipped.
void AddAdapters(const std::vector<Kind>& kinds, std::vector<std::shared_ptr<CJTAG>>& adapters,
                 const AdapterContext& context);

// The adapter of the kind that takes the device; std::runtime_error when no
// kind does.
std::shared_ptr<CJTAG> CreateAdapter(const std::vector<Kind>& kinds, struct usb_device* device,
                                     const std::string& name, const std::string& frequency,
                                     const AdapterContext& context);

// The scan as a source of the holder.
CJTAGHolder::Source BusSource(std::vector<Kind> kinds);

}  // namespace usb
