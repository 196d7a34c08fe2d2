#include "JTAG/Sources.h"

#include "JTAG/backends/network/Peer.h"
#include "JTAG/usb/UsbInterface.h"

std::vector<CJTAGHolder::Source> DefaultSources()
{
    // USB adapters precede network adapters in the list.
    return {&CUsbInterface::AddAdapters, &CNetworkJTAG::AddAdapters};
}
