// kestrad-simusb: a libusb-0.1 library whose bus holds simulated devices.
//
// The library exports the libusb-0.1 API of Debian's <usb.h> (0.1.12), the
// data symbol usb_busses and the few test hooks declared here and in
// SimUsbModel.h. Which devices it presents (KESTRAD_SIM_USB), how they are
// unplugged (KESTRAD_SIM_USB_CTL), traced (KESTRAD_SIM_USB_TRACE) and time
// out is described once, in the top-level README.md ("The simulated USB
// bus").
//
// The files: LibUsbApi.cpp (the API), Bus.cpp (the devices of the value,
// linked into the bus list), DeviceList.cpp (parsing the value), Unplug.cpp
// (the control file), Descriptors.cpp, Trace.cpp; the device models are
// EzUsbModel, JlinkModel, FtdiModel over MpsseEngine, and CmsisDapModel.
#pragma once

#include "sim/usb/SimUsbModel.h"

#include <string>
#include <vector>

namespace simusb {

// Splits a KESTRAD_SIM_USB value into device entries; throws
// std::invalid_argument naming the entry and what is wrong with it.
SIMUSB_EXPORT std::vector<CDeviceEntry> ParseDeviceList(const std::string& text);

constexpr int kForeverTimeoutMs = 30000;

}  // namespace simusb
