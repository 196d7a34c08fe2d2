#include "JTAG/usb/BusScan.h"

#include <usb.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <stdexcept>

#include "JTAG/usb/Strings.h"
#include "JTAG/usb/UsbInterface.h"
#include "base/Printable.h"
#include "log/Logger.h"

namespace usb {

namespace {

// How closely an entry describes a device; kNone: not at all.
enum Rank { kNone = -1, kRecognised = 0, kUsbIds = 1, kBackendIds = 2, kProduct = 3 };

// A device of the bus and what the scan has read of it so far.
struct Candidate {
    struct usb_device* device;
    int best = kNone;
    bool productRead = false;
    std::string product;
    std::map<std::string, bool> recognisedBy;  // kind name -> answer
};

class Scan {
public:
    Scan(const std::vector<Kind>& kinds, const AdapterContext& context) : m_kinds(kinds), m_context(context) {}

    int RankOf(const CUsbJTAGDescription& entry, Candidate& candidate)
    {
        const usb_device_descriptor& ids = candidate.device->descriptor;
        if (!entry.hasIds)
            return Recognises(entry.element, candidate) ? kRecognised : kNone;
        if (ids.idVendor != entry.idvendor || ids.idProduct != entry.idproduct)
            return kNone;
        if (!entry.product.empty())
            return ProductOf(candidate) == entry.product ? kProduct : kNone;
        return entry.element == "usb" ? kUsbIds : kBackendIds;
    }

private:
    const std::string& ProductOf(Candidate& candidate)
    {
        if (!candidate.productRead) {
            candidate.productRead = true;
            try {
                candidate.product = ReadStrings(candidate.device, {candidate.device->descriptor.iProduct})[0];
            } catch (const std::exception& e) {
                m_context.logger.LogVerb("USB scan: %s\n", Printable(e.what()).c_str());
            }
        }
        return candidate.product;
    }

    bool Recognises(const std::string& kindName, Candidate& candidate)
    {
        const auto known = candidate.recognisedBy.find(kindName);
        if (known != candidate.recognisedBy.end())
            return known->second;
        const Kind* kind = FindKindNamed(m_kinds, kindName);
        bool yes = false;
        try {
            yes = kind && kind->recognises && kind->recognises(candidate.device, m_context);
        } catch (const std::exception& e) {
            m_context.logger.LogVerb("USB scan: %s\n", Printable(e.what()).c_str());
        }
        candidate.recognisedBy[kindName] = yes;
        return yes;
    }

    const std::vector<Kind>& m_kinds;
    const AdapterContext& m_context;
};

}  // namespace

std::shared_ptr<CJTAG> CreateAdapter(const std::vector<Kind>& kinds, struct usb_device* device,
                                     const CUsbJTAGDescription& entry, const std::string& name,
                                     const AdapterContext& context)
{
    const Kind* kind = entry.element == "usb"
                           ? FindKind(kinds, device->descriptor.idVendor, device->descriptor.idProduct)
                           : FindKindNamed(kinds, entry.element);
    if (!kind)
        throw std::runtime_error("no back-end drives USB device " + Ids(device));
    return kind->create(device, entry, name, context);
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

    std::vector<Candidate> candidates;
    for (usb_bus* bus = usb_get_busses(); bus; bus = bus->next)
        for (struct usb_device* device = bus->devices; device; device = device->next)
            candidates.push_back(Candidate{device, kNone, false, {}, {}});

    // The best rank of every device: entries with ids first, so that only
    // the devices none of them names are opened to be recognised.
    Scan scan(kinds, context);
    for (Candidate& candidate : candidates) {
        for (const CUsbJTAGDescription& entry : descriptions)
            if (entry.hasIds)
                candidate.best = std::max(candidate.best, scan.RankOf(entry, candidate));
        if (candidate.best == kNone)
            for (const CUsbJTAGDescription& entry : descriptions)
                if (!entry.hasIds)
                    candidate.best = std::max(candidate.best, scan.RankOf(entry, candidate));
    }

    for (const CUsbJTAGDescription& entry : descriptions) {
        unsigned int counter = 0;
        for (Candidate& candidate : candidates) {
            if (candidate.best == kNone || (!entry.hasIds && candidate.best != kRecognised) ||
                scan.RankOf(entry, candidate) != candidate.best)
                continue;
            // The index is used up even when the adapter cannot be created.
            const std::string name = entry.name + std::to_string(counter++);
            // A device a session holds is left alone: opening it to probe
            // would talk to it under the session's feet.
            if (context.InUse(name))
                continue;
            try {
                std::lock_guard<std::recursive_mutex> claim(CUsbInterface::ClaimMutex());
                adapters.push_back(CreateAdapter(kinds, candidate.device, entry, name, context));
            } catch (const std::exception& e) {
                context.logger.LogVerb("Exception in CUsbJTAG::AddAdapters: %s\n", Printable(e.what()).c_str());
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
