#include "config/Description.h"
#include "config/XMLParser.h"

#include <expat.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

// The USB entries of the built-in document: usb, ftdi and cmsis-dap elements.
constexpr size_t kBuiltinEntries = 11;

// A file under the test temp directory, removed when the test ends.
class CTempFile {
public:
    explicit CTempFile(const std::string& content)
    {
        std::string pattern = testing::TempDir() + "kestrad_config_XXXXXX";
        const int fd = mkstemp(&pattern[0]);
        if (fd < 0)
            throw std::runtime_error("mkstemp failed");
        m_path = pattern;
        const ssize_t written = write(fd, content.data(), content.size());
        close(fd);
        if (written != static_cast<ssize_t>(content.size()))
            throw std::runtime_error("short write to " + m_path);
    }
    ~CTempFile() { std::remove(m_path.c_str()); }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

std::string BuiltinText()
{
    return std::string(reinterpret_cast<const char*>(g_builtinXml), g_builtinXmlSize);
}

// The built-in document's prolog (declaration and DTD) followed by our own root.
std::string WithBuiltinDtd(const std::string& root)
{
    const std::string text = BuiltinText();
    return text.substr(0, text.find("<jtag_options version")) + root;
}

CJTAGOptions Load(const std::string& document)
{
    CTempFile file(document);
    CDescription description;
    description.LoadFromXML(file.Path());
    return description.GetJTAGs();
}

// Loads the built-in document, then the failing one, and checks the error and
// that the built-in record is still in force.
template <typename Exception>
void ExpectLoadFails(const std::string& path, const std::string& message)
{
    CDescription description;
    description.LoadFromXML("");
    try {
        description.LoadFromXML(path);
        ADD_FAILURE() << "loading " << path << " succeeded";
    } catch (const Exception& e) {
        EXPECT_EQ(e.what(), message);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "wrong exception type: " << e.what();
    }
    const CJTAGOptions& kept = description.GetJTAGs();
    EXPECT_EQ(kept.version, 10);
    EXPECT_EQ(kept.usbJTAGs.size(), kBuiltinEntries);
}

// "FILE" in `message` stands for the document's path.
template <typename Exception>
void ExpectDocumentFails(const std::string& document, std::string message)
{
    CTempFile file(document);
    const size_t at = message.find("FILE");
    if (at != std::string::npos)
        message.replace(at, 4, file.Path());
    ExpectLoadFails<Exception>(file.Path(), message);
}

}  // namespace

TEST(Description, BuiltinDocument)
{
    CDescription description;
    description.LoadFromXML("");
    const CJTAGOptions& options = description.GetJTAGs();
    EXPECT_EQ(options.version, 10);
    EXPECT_TRUE(options.networkJTAGs.empty());
    struct Expected {
        const char* element;
        const char* name;
        int vendor;
        int product;
        const char* frequency;
    };
    const Expected expected[] = {
        {"usb", "EZ-USB", 0x0547, 0x1002, "12MHZ"},
        {"usb", "JLINK", 0x1366, 0x0101, "700KHZ"},
        {"ftdi", "FLYSWATTER2", 0x0403, 0x6010, "1000KHZ"},
        {"ftdi", "ARM-USB-TINY-H", 0x15BA, 0x002A, "1000KHZ"},
        {"ftdi", "ARM-USB-OCD-H", 0x15BA, 0x002B, "1000KHZ"},
        {"ftdi", "FT2232H", 0x0403, 0x6010, "1000KHZ"},
        {"ftdi", "FT232H", 0x0403, 0x6014, "1000KHZ"},
        {"cmsis-dap", "DAPLINK", 0x0D28, 0x0204, "1000KHZ"},
        {"cmsis-dap", "DEBUGPROBE", 0x2E8A, 0x000C, "1000KHZ"},
        {"cmsis-dap", "LPC-LINK2", 0x1FC9, 0x0090, "1000KHZ"},
        {"cmsis-dap", "CMSIS-DAP", 0, 0, "1000KHZ"},
    };
    ASSERT_EQ(options.usbJTAGs.size(), kBuiltinEntries);
    for (size_t i = 0; i < kBuiltinEntries; ++i) {
        const CUsbJTAGDescription& entry = options.usbJTAGs[i];
        EXPECT_EQ(entry.element, expected[i].element);
        EXPECT_EQ(entry.name, expected[i].name);
        EXPECT_EQ(entry.idvendor, expected[i].vendor);
        EXPECT_EQ(entry.idproduct, expected[i].product);
        EXPECT_EQ(entry.frequency, expected[i].frequency);
        EXPECT_EQ(entry.hasIds, expected[i].vendor != 0) << entry.name;
    }
    // The two boards the back-end always drove, with the bytes they always had.
    const CFtdiLayout& flyswatter2 = options.usbJTAGs[2].layout;
    EXPECT_EQ(options.usbJTAGs[2].product, "Flyswatter2");
    EXPECT_EQ((std::vector<unsigned>{0x0018, 0x097B, 0x0010, 0x0020}),
              (std::vector<unsigned>{flyswatter2.value, flyswatter2.direction, flyswatter2.trst, flyswatter2.srst}));
    EXPECT_FALSE(flyswatter2.trstActiveHigh || flyswatter2.srstActiveHigh);
    const CFtdiLayout& tinyH = options.usbJTAGs[3].layout;
    EXPECT_EQ((std::vector<unsigned>{0x0108, 0x0F1B, 0x0100, 0x0200}),
              (std::vector<unsigned>{tinyH.value, tinyH.direction, tinyH.trst, tinyH.srst}));
    EXPECT_TRUE(tinyH.srstActiveHigh && !tinyH.trstActiveHigh);
    EXPECT_FALSE(options.usbJTAGs[5].layout.described);  // FT2232H: generic
}

TEST(Description, EmbeddedBytesAreTheSourceFile)
{
    std::ifstream in(KESTRAD_SOURCE_DIR "/config/kestrad.xml", std::ios::binary);
    ASSERT_TRUE(in);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(g_builtinXmlSize, file.size());
    EXPECT_EQ(BuiltinText(), file);
    EXPECT_NE(file.back(), '\n');
}

TEST(Description, GetJTAGsBeforeLoad)
{
    CDescription description;
    try {
        description.GetJTAGs();
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "NULL JTAG description");
    }
}

TEST(Description, AttributeDefaultsAndNumbers)
{
    const std::string entries =
        "<jtag_options version=\"0xA\">"
        "<usb name=\"A\" idvendor=\"1366\" idproduct=\"0547\"/>"
        "<serial name=\"ignored\" port=\"x\"/>"
        "<usb name=\"B\"/>"
        "<network addr=\"127.0.0.1\" name=\"SIM\" port=\"70000\" extra=\"y\"/>"
        "</jtag_options>";

    const CJTAGOptions withDtd = Load(WithBuiltinDtd(entries));
    EXPECT_EQ(withDtd.version, 10);
    ASSERT_EQ(withDtd.usbJTAGs.size(), 2u);
    EXPECT_EQ(withDtd.usbJTAGs[0].idvendor, 1366);
    EXPECT_EQ(withDtd.usbJTAGs[0].idproduct, 359);
    // The built-in DTD declares frequency with the default "24MHZ".
    EXPECT_EQ(withDtd.usbJTAGs[0].frequency, "24MHZ");
    EXPECT_EQ(withDtd.usbJTAGs[1].idvendor, 0);
    EXPECT_EQ(withDtd.usbJTAGs[1].idproduct, 0);
    ASSERT_EQ(withDtd.networkJTAGs.size(), 1u);
    EXPECT_EQ(withDtd.networkJTAGs[0].addr, "127.0.0.1");
    EXPECT_EQ(withDtd.networkJTAGs[0].name, "SIM");
    EXPECT_EQ(withDtd.networkJTAGs[0].port, 4464);

    const CJTAGOptions bare = Load(entries);
    ASSERT_EQ(bare.usbJTAGs.size(), 2u);
    EXPECT_EQ(bare.usbJTAGs[0].frequency, "");
    EXPECT_EQ(bare.usbJTAGs[1].name, "B");
}

TEST(Description, BackendElementsKeepDocumentOrder)
{
    const CJTAGOptions options = Load(
        "<jtag_options version=\"10\">"
        "<usb name=\"EZ\" idvendor=\"0x0547\" idproduct=\"0x1002\"/>"
        "<ftdi name=\"BUSBLASTER\" idvendor=\"0x0403\" idproduct=\"0x6010\" product=\"Dual RS232-HS\" channel=\"b\" "
        "frequency=\"6MHZ\" gpio_value=\"0x0c08\" gpio_direction=\"0x0f1b\" trst=\"0x0100\" srst=\"0x0200\" "
        "srst_active=\"HIGH\"/>"
        "<cmsis-dap name=\"ANYDAP\" frequency=\"2MHZ\"/>"
        "</jtag_options>");
    ASSERT_EQ(options.usbJTAGs.size(), 3u);
    const CUsbJTAGDescription& board = options.usbJTAGs[1];
    EXPECT_EQ(board.element, "ftdi");
    EXPECT_EQ(board.product, "Dual RS232-HS");
    EXPECT_EQ(board.channel, 1u);
    EXPECT_TRUE(board.layout.described);
    EXPECT_EQ((std::vector<unsigned>{0x0c08, 0x0f1b, 0x0100, 0x0200}),
              (std::vector<unsigned>{board.layout.value, board.layout.direction, board.layout.trst, board.layout.srst}));
    EXPECT_FALSE(board.layout.trstActiveHigh);
    EXPECT_TRUE(board.layout.srstActiveHigh);
    const CUsbJTAGDescription& probe = options.usbJTAGs[2];
    EXPECT_EQ(probe.element, "cmsis-dap");
    EXPECT_FALSE(probe.hasIds);
    EXPECT_EQ(probe.frequency, "2MHZ");
    EXPECT_EQ(options.usbJTAGs[0].element, "usb");
    EXPECT_TRUE(options.usbJTAGs[0].hasIds);
}

TEST(Description, NestedRootStartsOver)
{
    const CJTAGOptions options = Load(
        "<jtag_options version=\"9\"><usb name=\"dropped\"/>"
        "<jtag_options version=\"10\"><network name=\"kept\"/></jtag_options>"
        "</jtag_options>");
    EXPECT_EQ(options.version, 10);
    EXPECT_TRUE(options.usbJTAGs.empty());
    ASSERT_EQ(options.networkJTAGs.size(), 1u);
    EXPECT_EQ(options.networkJTAGs[0].name, "kept");
}

TEST(Description, RejectedDocumentsKeepTheDescription)
{
    ExpectDocumentFails<std::runtime_error>("<jtag_options version=\"9\"/>", "Expected xml version 10 but found 9");
    ExpectDocumentFails<std::runtime_error>("<jtag_options/>", "Expected xml version 10 but found 0");
    // The old texts come first; then the file, the line, and what stands there.
    const struct {
        const char* document;
        const char* message;
    } cases[] = {
        {"<jtag_options version=\"10\"><network port=\"80a\"/></jtag_options>",
         "Can not convert 80a to integer! (FILE, line 1, element network, attribute port)"},
        {"<jtag_options version=\"10\">\n\n  <usb idvendor=\"0x10000000000000000\"/></jtag_options>",
         "Can not convert 0x10000000000000000 to integer! (FILE, line 3, element usb, attribute idvendor)"},
        {"<jtag_options version=\"ten\"/>",
         "Can not convert ten to integer! (FILE, line 1, element jtag_options, attribute version)"},
        // Without a jtag_options root there is no record to fill.
        {"<usb name=\"X\" idvendor=\"1\"/>",
         "NULL JTAG description: expected root element jtag_options, found usb (FILE, line 1)"},
        {"<?xml version=\"1.0\"?>\n<config><jtag_options version=\"10\"/></config>",
         "NULL JTAG description: expected root element jtag_options, found config (FILE, line 2)"},
        {"<serial/>", "NULL JTAG description: expected root element jtag_options, found serial (FILE, line 1)"},
        // The elements that name a back-end are checked strictly: a wrong
        // wiring would drive the wrong pins.
        {"<jtag_options version=\"10\"><ftdi idvendor=\"1\" idproduct=\"2\"/></jtag_options>",
         "an adapter name is required (FILE, line 1, element ftdi, attribute name)"},
        {"<jtag_options version=\"10\"><ftdi name=\"B\"/></jtag_options>",
         "an FTDI board is found by its idvendor and idproduct (FILE, line 1, element ftdi, attribute idvendor)"},
        {"<jtag_options version=\"10\"><cmsis-dap name=\"D\" idvendor=\"1\"/></jtag_options>",
         "idvendor and idproduct go together (FILE, line 1, element cmsis-dap, attribute idproduct)"},
        {"<jtag_options version=\"10\"><ftdi name=\"B\" idvendor=\"1\" idproduct=\"2\" channel=\"E\"/></jtag_options>",
         "channel 'E' is not A, B, C or D (FILE, line 1, element ftdi, attribute channel)"},
        {"<jtag_options version=\"10\"><ftdi name=\"B\" idvendor=\"1\" idproduct=\"2\" gpio_value=\"0x10000\"/></jtag_options>",
         "0x10000 does not fit the 16 GPIO bits (FILE, line 1, element ftdi, attribute gpio_value)"},
        {"<jtag_options version=\"10\"><ftdi name=\"B\" idvendor=\"1\" idproduct=\"2\" gpio_direction=\"0x0f1b\" "
         "trst=\"0x0100\" trst_active=\"up\"/></jtag_options>",
         "'up' is neither low nor high (FILE, line 1, element ftdi, attribute trst_active)"},
        {"<jtag_options version=\"10\"><ftdi name=\"B\" idvendor=\"1\" idproduct=\"2\" trst=\"0x0008\"/></jtag_options>",
         "0x0008 takes a JTAG pin (TCK, TDI, TDO, TMS are 0x000f) (FILE, line 1, element ftdi, attribute trst)"},
        {"<jtag_options version=\"10\"><ftdi name=\"B\" idvendor=\"1\" idproduct=\"2\" srst=\"0x0200\"/></jtag_options>",
         "0x0200 is not an output in gpio_direction 0x000b (FILE, line 1, element ftdi, attribute srst)"},
        {"<jtag_options version=\"10\"><ftdi name=\"B\" idvendor=\"1\" idproduct=\"2\" gpio_direction=\"0x0f1b\" "
         "trst=\"0x0300\" srst=\"0x0200\"/></jtag_options>",
         "0x0200 shares bits with trst 0x0300 (FILE, line 1, element ftdi, attribute srst)"},
    };
    for (const auto& c : cases)
        ExpectDocumentFails<std::runtime_error>(c.document, c.message);
}

TEST(Description, MalformedDocuments)
{
    // The message names the error and where expat stopped (line, and column from 1).
    const std::string prefix = "XML Parser Error: ";
    ExpectDocumentFails<std::invalid_argument>("<jtag_options version=\"10\">\n  <usb></jtag_options>",
                                               prefix + XML_ErrorString(XML_ERROR_TAG_MISMATCH) +
                                                   " at line 2, column 10");
    ExpectDocumentFails<std::invalid_argument>("", prefix + XML_ErrorString(XML_ERROR_NO_ELEMENTS) +
                                                       " at line 1, column 1");
    ExpectDocumentFails<std::invalid_argument>("<jtag_options version=\"10\"/><jtag_options/>",
                                               prefix + XML_ErrorString(XML_ERROR_JUNK_AFTER_DOC_ELEMENT) +
                                                   " at line 1, column 29");
    ExpectDocumentFails<std::invalid_argument>("<jtag_options version=\"10\" version=\"10\"/>",
                                               prefix + XML_ErrorString(XML_ERROR_DUPLICATE_ATTRIBUTE) +
                                                   " at line 1, column 28");
}

TEST(Description, UnreadableFiles)
{
    const std::string missing = testing::TempDir() + "kestrad_no_such_file.xml";
    ExpectLoadFails<std::invalid_argument>(missing,
                                           "Can't open XML file '" + missing + "': No such file or directory");
    // A directory opens on Linux, but cannot be read as a document.
    ExpectLoadFails<std::invalid_argument>(testing::TempDir(), "Can't read XML file");

    // Too large for a configuration; sparse, so it costs no disk.
    CTempFile huge("");
    ASSERT_EQ(truncate(huge.Path().c_str(), CXMLParser::kMaxFileSize + 1), 0);
    ExpectLoadFails<std::invalid_argument>(huge.Path(), "Can't read XML file");

    if (geteuid() != 0) {  // root reads any file regardless of its mode
        CTempFile locked("<jtag_options version=\"10\"/>");
        ASSERT_EQ(chmod(locked.Path().c_str(), 0), 0);
        ExpectLoadFails<std::invalid_argument>(locked.Path(),
                                               "Can't open XML file '" + locked.Path() + "': Permission denied");
    }
}

TEST(Description, ParserOverMemoryBuffer)
{
    const std::string text = BuiltinText();
    CXMLParser parser(text.data(), text.size());
    const auto options = parser.Parse();
    ASSERT_TRUE(options);
    EXPECT_EQ(options->usbJTAGs.size(), kBuiltinEntries);
}
