#include "JTAG/backends/ftdi/Boards.h"

#include <usb.h>

#include <map>
#include <mutex>
#include <utility>

namespace ftdi {

namespace {

using BoardTable = std::map<std::pair<uint16_t, uint16_t>, BoardConstructor>;

template <typename Board>
void AddBoard(BoardTable& table, uint16_t vendor, uint16_t product)
{
    table[{vendor, product}] = [](struct usb_device* device, unsigned int hertz) {
        return std::unique_ptr<Channel>(new Board(device, hertz));
    };
}

const BoardTable& Boards()
{
    static BoardTable table;
    static std::once_flag once;
    std::call_once(once, [] {
        AddBoard<Flyswatter2>(table, 0x0403, 0x6010);
        AddBoard<Olimex>(table, 0x15BA, 0x002A);
    });
    return table;
}

}  // namespace

BoardConstructor GetBoardConstructor(uint16_t vendor, uint16_t product)
{
    const BoardTable& table = Boards();
    const auto it = table.find({vendor, product});
    return it == table.end() ? BoardConstructor() : it->second;
}

bool IsBoard(uint16_t vendor, uint16_t product)
{
    return Boards().count({vendor, product}) != 0;
}

bool IsBoard(const struct usb_device* device)
{
    return device && IsBoard(device->descriptor.idVendor, device->descriptor.idProduct);
}

}  // namespace ftdi
