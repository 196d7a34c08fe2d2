// Fuzz target for the configuration document: any byte string goes through
// the expat-based parser and the number converter, and must come back as a
// record or a std::exception, never a crash or a leak.
#include "config/Converter.h"
#include "config/XMLParser.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    try {
        CXMLParser parser(reinterpret_cast<const char*>(data), size);
        parser.Parse();
    } catch (const std::exception&) {
    }
    try {
        CConverter::StringToInt(std::string(reinterpret_cast<const char*>(data), size), 0);
    } catch (const std::exception&) {
    }
    return 0;
}
