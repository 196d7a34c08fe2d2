#include "JTAG/Sources.h"

#include "JTAG/backends/cmsisdap/Probe.h"
#include "JTAG/backends/ezusb/Adapter.h"
#include "JTAG/backends/ftdi/Board.h"
#include "JTAG/backends/jlink/Probe.h"
#include "JTAG/backends/network/Peer.h"
#include "JTAG/usb/BusScan.h"

const std::vector<usb::Kind>& UsbKinds()
{
    static const std::vector<usb::Kind> kinds = {jlink::UsbKind(), ftdi::UsbKind(), cmsisdap::UsbKind(),
                                                  ezusb::UsbKind()};
    return kinds;
}

std::vector<CJTAGHolder::Source> DefaultSources()
{
    // USB adapters precede network adapters in the list.
    return {usb::BusSource(UsbKinds()), &network::CNetworkJTAG::AddAdapters};
}
