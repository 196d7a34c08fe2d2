// The adapter sources the server's holder scans: the USB bus, whose devices
// go to the back-end their USB ids name, then the network peers of the
// configuration. The one place that knows every back-end.
#pragma once

#include <vector>

#include "JTAG/core/JTAGHolder.h"
#include "JTAG/usb/Kinds.h"

// The USB back-end kinds in the order they are tried: the J-Link, the FTDI
// boards, CMSIS-DAP probes, and last the maker's EZ-USB adapter, which takes
// any other device a USB entry of the configuration names.
const std::vector<usb::Kind>& UsbKinds();

std::vector<CJTAGHolder::Source> DefaultSources();
