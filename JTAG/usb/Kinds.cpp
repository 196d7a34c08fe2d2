#include "JTAG/usb/Kinds.h"

namespace usb {

const Kind* FindKind(const std::vector<Kind>& kinds, uint16_t vendor, uint16_t product)
{
    for (const Kind& kind : kinds)
        if (!kind.matches || kind.matches(vendor, product))
            return &kind;
    return nullptr;
}

const Kind* FindKindNamed(const std::vector<Kind>& kinds, const std::string& name)
{
    for (const Kind& kind : kinds)
        if (name == kind.name)
            return &kind;
    return nullptr;
}

}  // namespace usb
