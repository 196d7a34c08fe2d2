// Helpers shared by the device models: field parsing, the JTAG target behind
// an adapter, and the model factory.
#include "sim/usb/SimUsbModel.h"

#include "sim/usb/CmsisDapModel.h"
#include "sim/usb/EzUsbModel.h"
#include "sim/usb/JlinkModel.h"
#include "sim/usb/FtdiModel.h"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace simusb {

int CDeviceModel::Control(uint8_t, uint8_t, uint16_t, uint16_t, uint8_t*, uint16_t)
{
    return -EPIPE;  // a request the device does not know stalls
}

uint32_t ParseNumber(const std::string& key, const std::string& value, uint32_t max)
{
    const bool hex = value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
    const std::string digits = hex ? value.substr(2) : value;
    const char* allowed = hex ? "0123456789abcdefABCDEF" : "0123456789";
    if (digits.empty() || digits.size() > 10 || digits.find_first_not_of(allowed) != std::string::npos)
        throw std::invalid_argument("field " + key + ": '" + value + "' is not a number (decimal or 0x hex)");
    const unsigned long long v = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (v > max)
        throw std::invalid_argument("field " + key + ": " + value + " is larger than " + std::to_string(max));
    return static_cast<uint32_t>(v);
}

std::string CheckSerial(const std::string& s)
{
    if (s.empty() || s.size() > 126)
        throw std::invalid_argument("field serial: '" + s + "' must be 1 to 126 characters");
    for (char c : s)
        if (c <= ' ' || c > '~')
            throw std::invalid_argument("field serial: '" + s + "' holds a character that is not printable ASCII");
    return s;
}

void CheckKeys(const CDeviceEntry& entry, std::initializer_list<const char*> known)
{
    auto isKnown = [&](const std::string& key) {
        for (const char* k : known)
            if (key == k)
                return true;
        return false;
    };
    for (const auto& f : entry.fields)
        if (!isKnown(f.first))
            throw std::invalid_argument("unknown field '" + f.first + "' for model " + entry.model);
    if (!entry.mems.empty() && !isKnown("mem"))
        throw std::invalid_argument("model " + entry.model + " takes no mem field");
}

std::unique_ptr<CTarget> MakeTarget(const CDeviceEntry& entry)
{
    std::vector<simtap::TapConfig> taps{simtap::TapConfig{}};
    auto chain = entry.fields.find("chain");
    if (chain != entry.fields.end()) {
        try {
            taps = simtap::ParseChain(chain->second);
        } catch (const std::exception& e) {
            throw std::invalid_argument("field chain: " + std::string(e.what()));
        }
    }
    std::unique_ptr<CTarget> target;
    try {
        target.reset(new CTarget{simtap::Chain(taps), simtap::Memory()});
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument("field chain: " + std::string(e.what()));
    }
    for (const std::string& mem : entry.mems) {
        const size_t at = mem.rfind('@');
        if (at == std::string::npos || at == 0)
            throw std::invalid_argument("field mem: '" + mem + "' is not FILE@ADDRESS");
        const uint32_t base = ParseNumber("mem", mem.substr(at + 1), 0xFFFFFFFFu);
        target->memory.LoadImage(mem.substr(0, at), base);  // runtime_error names the file and the cause
    }
    return target;
}

std::unique_ptr<CDeviceModel> CreateModel(const CDeviceEntry& entry)
{
    if (entry.model == "ezusb")
        return std::unique_ptr<CDeviceModel>(new CEzUsbModel(entry));
    if (entry.model == "jlink")
        return std::unique_ptr<CDeviceModel>(new CJlinkModel(entry));
    if (entry.model == "flyswatter2")
        return std::unique_ptr<CDeviceModel>(new CFtdiModel(CFtdiModel::Board::Flyswatter2, entry));
    if (entry.model == "tiny-h")
        return std::unique_ptr<CDeviceModel>(new CFtdiModel(CFtdiModel::Board::TinyH, entry));
    if (entry.model == "ft2232h")
        return std::unique_ptr<CDeviceModel>(new CFtdiModel(CFtdiModel::Board::FT2232H, entry));
    if (entry.model == "ft232h")
        return std::unique_ptr<CDeviceModel>(new CFtdiModel(CFtdiModel::Board::FT232H, entry));
    if (entry.model == "cmsis-dap")
        return std::unique_ptr<CDeviceModel>(new CCmsisDapModel(entry));
    throw std::invalid_argument("unknown device model '" + entry.model +
                                "' (known: ezusb, jlink, flyswatter2, tiny-h, ft2232h, ft232h, cmsis-dap)");
}

}  // namespace simusb
