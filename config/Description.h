// The configuration in force: which USB adapters to look for and which network
// peers to probe. Loaded from an XML document whose root is jtag_options
// version 10; a default document is linked into the program.
#pragma once

#include <memory>
#include <string>
#include <vector>

struct CUsbJTAGDescription {
    std::string name;       // adapter kind, e.g. "EZ-USB"; devices are named name + counter
    int idvendor = 0;       // low 32 bits of the converted attribute
    int idproduct = 0;
    std::string frequency;  // unconverted, e.g. "12MHZ"; the back-end interprets it
};

struct CNetworkJTAGDescription {
    std::string name;
    std::string addr;
    unsigned short port = 0;  // low 16 bits of the converted attribute
};

struct CJTAGOptions {
    int version = 0;
    std::vector<CUsbJTAGDescription> usbJTAGs;
    std::vector<CNetworkJTAGDescription> networkJTAGs;
};

class CDescription {
public:
    CDescription();
    virtual ~CDescription();

    // Empty name: the built-in document. On any error the description in force
    // is unchanged and the error leaves the call.
    void LoadFromXML(const std::string& fileName);

    // Throws std::runtime_error("NULL JTAG description") before the first load.
    const CJTAGOptions& GetJTAGs() const;

private:
    std::shared_ptr<const CJTAGOptions> m_options;
};

// The built-in document "kestrad.xml", linked into the program from
// config/kestrad.xml. Exactly its bytes: no terminating NUL is counted.
extern const unsigned char g_builtinXml[];
extern const unsigned int g_builtinXmlSize;
