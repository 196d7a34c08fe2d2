// KESTRAD_SIM_USB parsed into device entries (see SimUsb.h).
#include "sim/usb/SimUsb.h"

#include <stdexcept>

namespace simusb {

namespace {

std::string Trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return std::string();
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

std::vector<std::string> Split(const std::string& s, char sep)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        const size_t p = s.find(sep, start);
        out.push_back(s.substr(start, p == std::string::npos ? std::string::npos : p - start));
        if (p == std::string::npos)
            return out;
        start = p + 1;
    }
}

}  // namespace

std::vector<CDeviceEntry> ParseDeviceList(const std::string& text)
{
    std::vector<CDeviceEntry> out;
    const std::vector<std::string> entries = Split(text, ';');
    for (size_t i = 0; i < entries.size(); ++i) {
        CDeviceEntry entry;
        entry.text = Trim(entries[i]);
        if (entry.text.empty())
            continue;
        const std::string where = "device " + std::to_string(out.size()) + " (\"" + entry.text + "\"): ";
        const std::vector<std::string> fields = Split(entry.text, ',');
        entry.model = Trim(fields[0]);
        if (entry.model.empty() || entry.model.find('=') != std::string::npos)
            throw std::invalid_argument(where + "must start with a model name such as ezusb");
        for (size_t f = 1; f < fields.size(); ++f) {
            const std::string field = Trim(fields[f]);
            const size_t eq = field.find('=');
            if (eq == std::string::npos || eq == 0)
                throw std::invalid_argument(where + "field '" + field + "' is not key=value");
            const std::string key = Trim(field.substr(0, eq));
            const std::string value = Trim(field.substr(eq + 1));
            if (value.empty())
                throw std::invalid_argument(where + "field " + key + " has no value");
            if (key == "mem") {
                entry.mems.push_back(value);
            } else if (!entry.fields.emplace(key, value).second) {
                throw std::invalid_argument(where + "field " + key + " is given twice");
            }
        }
        out.push_back(std::move(entry));
    }
    return out;
}

}  // namespace simusb
