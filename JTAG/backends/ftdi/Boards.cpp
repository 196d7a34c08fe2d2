#include "JTAG/backends/ftdi/Boards.h"

#include <usb.h>

#include <memory>

#include "JTAG/usb/Strings.h"
#include "base/Printable.h"
#include "log/Logger.h"

namespace ftdi {

namespace {

// The built-in configuration's ftdi elements, read once per process.
const std::vector<CUsbJTAGDescription>& BuiltinBoards()
{
    static const std::vector<CUsbJTAGDescription> boards = [] {
        CDescription builtin;
        builtin.LoadFromXML("");
        std::vector<CUsbJTAGDescription> out;
        for (const CUsbJTAGDescription& entry : builtin.GetJTAGs().usbJTAGs)
            if (entry.element == "ftdi")
                out.push_back(entry);
        return out;
    }();
    return boards;
}

bool SameIds(const CUsbJTAGDescription& entry, uint16_t vendor, uint16_t product)
{
    return entry.idvendor == vendor && entry.idproduct == product;
}

}  // namespace

Board BoardOf(const CUsbJTAGDescription& element)
{
    const CFtdiLayout& layout = element.layout;
    Board board;
    board.described = layout.described;
    board.wiring.channel = element.channel;
    board.wiring.value = static_cast<uint16_t>(layout.value);
    board.wiring.direction = static_cast<uint16_t>(layout.direction);
    board.wiring.lines = {static_cast<uint16_t>(layout.trst), layout.trstActiveHigh, static_cast<uint16_t>(layout.srst),
                          layout.srstActiveHigh};
    return board;
}

bool IsBoard(uint16_t vendor, uint16_t product)
{
    if (vendor == 0x0403 && (product == 0x6010 || product == 0x6011 || product == 0x6014))
        return true;
    for (const CUsbJTAGDescription& board : BuiltinBoards())
        if (SameIds(board, vendor, product))
            return true;
    return false;
}

bool IsBoard(const struct usb_device* device)
{
    return device && IsBoard(device->descriptor.idVendor, device->descriptor.idProduct);
}

Board FindBoard(const CUsbJTAGDescription& entry, struct usb_device* device, const std::string& name,
                const AdapterContext& context)
{
    const uint16_t vendor = device->descriptor.idVendor;
    const uint16_t product = device->descriptor.idProduct;
    std::string productString;
    try {
        productString = usb::ReadStrings(device, {device->descriptor.iProduct})[0];
    } catch (const std::exception& e) {
        context.logger.LogVerb("%s: %s\n", Printable(name).c_str(), Printable(e.what()).c_str());
    }

    Board board;
    if (entry.element == "ftdi") {
        board = BoardOf(entry);
    } else {
        // A board of the built-in configuration, as the bus scan would
        // choose it: one that names the product string before one that does not.
        const CUsbJTAGDescription* found = nullptr;
        for (const CUsbJTAGDescription& builtin : BuiltinBoards())
            if (SameIds(builtin, vendor, product) && !builtin.product.empty() && builtin.product == productString) {
                found = &builtin;
                break;
            }
        for (const CUsbJTAGDescription& builtin : BuiltinBoards())
            if (!found && SameIds(builtin, vendor, product) && builtin.product.empty())
                found = &builtin;
        if (found)
            board = BoardOf(*found);
    }
    if (!board.described)
        context.logger.Log("%s: %s \"%s\" is driven as a generic MPSSE adapter without reset lines; describe its "
                           "wiring in an <ftdi> element of the configuration (its ids, product=\"%s\", gpio_value, "
                           "gpio_direction, trst, srst)\n",
                           Printable(name).c_str(), usb::Ids(device).c_str(), Printable(productString).c_str(),
                           Printable(productString).c_str());
    return board;
}

}  // namespace ftdi
