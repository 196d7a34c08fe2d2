#include "JTAG/usb/BusScan.h"

#include <usb.h>

#include <cstdio>
#include <mutex>
#include <stdexcept>

#include "JTAG/usb/UsbInterface.h"
#include "base/Printable.h"
#include "config/Description.h"
#include "log/Logger.h"

namespace usb {

std::shared_ptr<CJTAG> CreateAdapter(const std::vector<Kind>& kinds, struct usb_device* device,
                                     const std::string& name, const std::string& frequency,
                                     const AdapterContext& context)
{
    const uint16_t vendor = device->descriptor.idVendor;
    const uint16_t product = device->descriptor.idProduct;
    const Kind* kind = FindKind(kinds, vendor, product);
    if (!kind) {
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x", vendor, product);
        throw std::runtime_error("no back-end drives USB device " + std::string(ids));
    }
    return kind->create(device, name, frequency, context);
}

void AddAdapters(const std::vector<Kind>& kinds, std::vector<std::shared_ptr<CJTAG>>& adapters,
                 const AdapterContext& context)
{
    // A copy: a configuration reload must not pull the entries from under the scan.
    const std::vector<CUsbJTAGDescription> descriptions = context.description.GetJTAGs().usbJTAGs;
    usb_find_busses();
    usb_find_devices();
    if (descriptions.empty())
        return;

    for (const CUsbJTAGDescription& description : descriptions) {
        unsigned int counter = 0;
        for (usb_bus* bus = usb_get_busses(); bus; bus = bus->next) {
            for (struct usb_device* device = bus->devices; device; device = device->next) {
                if (device->descriptor.idVendor != description.idvendor ||
                    device->descriptor.idProduct != description.idproduct)
                    continue;
                // The index is used up even when the adapter cannot be created.
                const std::string name = description.name + std::to_string(counter++);
                try {
                    std::lock_guard<std::recursive_mutex> claim(CUsbInterface::ClaimMutex());
                    adapters.push_back(CreateAdapter(kinds, device, name, description.frequency, context));
                } catch (const std::exception& e) {
                    context.logger.LogVerb("Exception in CUsbJTAG::AddAdapters: %s\n", Printable(e.what()).c_str());
                }
            }
        }
    }
}

CJTAGHolder::Source BusSource(std::vector<Kind> kinds)
{
    return [kinds](std::vector<std::shared_ptr<CJTAG>>& adapters, const AdapterContext& context) {
        AddAdapters(kinds, adapters, context);
    };
}

}  // namespace usb
