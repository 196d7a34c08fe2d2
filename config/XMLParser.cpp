#include "config/XMLParser.h"

#include "config/Converter.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

const std::string& Attribute(const std::map<std::string, std::string>& attributes, const char* name)
{
    static const std::string empty;
    const auto it = attributes.find(name);
    return it == attributes.end() ? empty : it->second;
}

bool Has(const std::map<std::string, std::string>& attributes, const char* name)
{
    return attributes.count(name) != 0;
}

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Hex(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

}  // namespace

CXMLParser::CXMLParser(std::string fileName) : m_source(fileName.empty() ? "built-in configuration" : fileName)
{
    if (fileName.empty()) {
        m_text = reinterpret_cast<const char*>(g_builtinXml);
        m_length = g_builtinXmlSize;
        CreateParser();
        return;
    }

    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(fileName.c_str(), "rb"));
    if (!file)
        throw std::invalid_argument("Can't open XML file '" + fileName + "': " + std::strerror(errno));
    // A directory opens fine on Linux but has no usable size, and reading it
    // fails: both end up here as an unreadable file.
    if (std::fseek(file.get(), 0, SEEK_END) != 0)
        throw std::invalid_argument("Can't read XML file");
    const long size = std::ftell(file.get());
    if (size < 0 || static_cast<unsigned long>(size) > kMaxFileSize || std::fseek(file.get(), 0, SEEK_SET) != 0)
        throw std::invalid_argument("Can't read XML file");
    m_buffer.resize(static_cast<std::size_t>(size));
    if (std::fread(m_buffer.data(), 1, m_buffer.size(), file.get()) != m_buffer.size() || std::ferror(file.get()))
        throw std::invalid_argument("Can't read XML file");
    m_text = m_buffer.data();
    m_length = m_buffer.size();
    CreateParser();
}

CXMLParser::CXMLParser(const char* text, std::size_t length)
    : m_source("document"), m_text(text), m_length(length)
{
    if (length > kMaxFileSize)
        throw std::invalid_argument("Can't read XML file");
    CreateParser();
}

CXMLParser::~CXMLParser()
{
    if (m_parser)
        XML_ParserFree(m_parser);
}

void CXMLParser::CreateParser()
{
    m_parser = XML_ParserCreate(nullptr);
    if (!m_parser)
        throw std::bad_alloc();
    XML_SetUserData(m_parser, this);
    XML_SetStartElementHandler(m_parser, &CXMLParser::StaticStartElementHandler);
}

std::shared_ptr<CJTAGOptions> CXMLParser::Parse()
{
    const XML_Status status = XML_Parse(m_parser, m_text, static_cast<int>(m_length), XML_TRUE);
    if (m_handlerError)
        std::rethrow_exception(m_handlerError);
    if (status != XML_STATUS_OK)
        throw std::invalid_argument(std::string("XML Parser Error: ") + XML_ErrorString(XML_GetErrorCode(m_parser)) +
                                    " at line " + std::to_string(XML_GetCurrentLineNumber(m_parser)) + ", column " +
                                    // expat counts columns from 0, editors from 1
                                    std::to_string(XML_GetCurrentColumnNumber(m_parser) + 1));
    // A well-formed document always has a root, and the handler refuses any
    // root but jtag_options; this only guards against handing out nothing.
    if (!m_options)
        throw std::runtime_error("NULL JTAG description");
    if (m_options->version != 10)
        throw std::runtime_error("Expected xml version 10 but found " + std::to_string(m_options->version));
    return m_options;
}

void CXMLParser::StaticStartElementHandler(void* userData, const char* name, const char** attributes)
{
    CXMLParser* self = static_cast<CXMLParser*>(userData);
    // Expat may still deliver an element after it was asked to stop.
    if (self->m_handlerError)
        return;
    // Expat is C and was not built to let exceptions pass through its frames:
    // catch here, stop the parse, and rethrow in Parse().
    try {
        std::map<std::string, std::string> map;
        for (const char** attr = attributes; attr && attr[0] && attr[1]; attr += 2)
            map[attr[0]] = attr[1];
        self->StartElementHandler(name, map);
    } catch (...) {
        self->m_handlerError = std::current_exception();
        XML_StopParser(self->m_parser, XML_FALSE);
    }
}

std::string CXMLParser::Where() const
{
    return " (" + m_source + ", line " + std::to_string(XML_GetCurrentLineNumber(m_parser));
}

unsigned long long CXMLParser::Number(const std::map<std::string, std::string>& attributes,
                                      const std::string& element, const char* attribute) const
{
    try {
        return CConverter::StringToInt(Attribute(attributes, attribute), 0);
    } catch (const std::runtime_error& e) {
        // The converter's text stays first: it is what users and scripts
        // have matched; where the number stands follows.
        throw std::runtime_error(e.what() + Where() + ", element " + element + ", attribute " + attribute +
                                 ")");
    }
}

void CXMLParser::StartElementHandler(const std::string& name, std::map<std::string, std::string>& attributes)
{
    // Only a document rooted at jtag_options describes adapters; anything else
    // would leave no record to fill, so it is refused outright.
    const bool isRoot = !m_rootSeen;
    m_rootSeen = true;
    if (isRoot && name != "jtag_options")
        throw std::runtime_error("NULL JTAG description: expected root element jtag_options, found " + name +
                                 Where() + ")");

    // Below the root, every element is inside a jtag_options: m_options is set.
    if (name == "jtag_options") {
        // A nested jtag_options starts over: the entries before it are dropped.
        m_options = std::make_shared<CJTAGOptions>();
        m_options->version = static_cast<int>(Number(attributes, name, "version"));
    } else if (name == "usb") {
        CUsbJTAGDescription usb;
        usb.name = Attribute(attributes, "name");
        usb.idvendor = static_cast<int>(Number(attributes, name, "idvendor"));
        usb.idproduct = static_cast<int>(Number(attributes, name, "idproduct"));
        usb.frequency = Attribute(attributes, "frequency");
        m_options->usbJTAGs.push_back(std::move(usb));
    } else if (name == "ftdi" || name == "cmsis-dap") {
        m_options->usbJTAGs.push_back(Backend(name, attributes));
    } else if (name == "network") {
        CNetworkJTAGDescription network;
        network.addr = Attribute(attributes, "addr");
        network.name = Attribute(attributes, "name");
        network.port = static_cast<unsigned short>(Number(attributes, name, "port"));
        m_options->networkJTAGs.push_back(std::move(network));
    }
}

std::runtime_error CXMLParser::Error(const std::string& element, const char* attribute, const std::string& text) const
{
    return std::runtime_error(text + Where() + ", element " + element +
                              (attribute ? std::string(", attribute ") + attribute : std::string()) + ")");
}

unsigned CXMLParser::Bits16(const std::map<std::string, std::string>& attributes, const std::string& element,
                            const char* attribute) const
{
    const unsigned long long value = Number(attributes, element, attribute);
    if (value > 0xFFFF)
        throw Error(element, attribute, Attribute(attributes, attribute) + " does not fit the 16 GPIO bits");
    return static_cast<unsigned>(value);
}

// An ftdi or cmsis-dap element: an entry of the bus scan that names its
// back-end. Both are new to version 10 files, so they are checked strictly:
// a mistake in a board's wiring would drive the wrong pins.
CUsbJTAGDescription CXMLParser::Backend(const std::string& element,
                                        const std::map<std::string, std::string>& attributes) const
{
    CUsbJTAGDescription entry;
    entry.element = element;
    entry.name = Attribute(attributes, "name");
    if (entry.name.empty())
        throw Error(element, "name", "an adapter name is required");
    const bool vendor = Has(attributes, "idvendor");
    const bool product = Has(attributes, "idproduct");
    if (vendor != product)
        throw Error(element, vendor ? "idproduct" : "idvendor", "idvendor and idproduct go together");
    entry.hasIds = vendor;
    if (!entry.hasIds && element == "ftdi")
        throw Error(element, "idvendor", "an FTDI board is found by its idvendor and idproduct");
    entry.idvendor = static_cast<int>(Number(attributes, element, "idvendor"));
    entry.idproduct = static_cast<int>(Number(attributes, element, "idproduct"));
    entry.frequency = Attribute(attributes, "frequency");
    entry.product = Attribute(attributes, "product");
    if (element != "ftdi")
        return entry;

    if (Has(attributes, "channel")) {
        const std::string channel = Lower(Attribute(attributes, "channel"));
        if (channel.size() != 1 || channel[0] < 'a' || channel[0] > 'd')
            throw Error(element, "channel", "channel '" + Attribute(attributes, "channel") + "' is not A, B, C or D");
        entry.channel = static_cast<unsigned>(channel[0] - 'a');
    }
    CFtdiLayout& layout = entry.layout;
    for (const char* attribute : {"gpio_value", "gpio_direction", "trst", "srst"})
        layout.described = layout.described || Has(attributes, attribute);
    if (Has(attributes, "gpio_value"))
        layout.value = Bits16(attributes, element, "gpio_value");
    if (Has(attributes, "gpio_direction"))
        layout.direction = Bits16(attributes, element, "gpio_direction");
    const auto line = [&](const char* bits, const char* active, unsigned& mask, bool& activeHigh) {
        mask = Bits16(attributes, element, bits);
        const std::string level = Lower(Attribute(attributes, active));
        if (level == "high")
            activeHigh = true;
        else if (!level.empty() && level != "low")
            throw Error(element, active, "'" + Attribute(attributes, active) + "' is neither low nor high");
        // TCK, TDI, TDO and TMS are the engine's; a reset line elsewhere
        // must be an output to be driven at all.
        if (mask & 0x000F)
            throw Error(element, bits, Hex(mask) + " takes a JTAG pin (TCK, TDI, TDO, TMS are 0x000f)");
        if (mask & ~layout.direction)
            throw Error(element, bits, Hex(mask) + " is not an output in gpio_direction " + Hex(layout.direction));
    };
    line("trst", "trst_active", layout.trst, layout.trstActiveHigh);
    line("srst", "srst_active", layout.srst, layout.srstActiveHigh);
    if (layout.trst & layout.srst)
        throw Error(element, "srst", Hex(layout.srst) + " shares bits with trst " + Hex(layout.trst));
    return entry;
}
