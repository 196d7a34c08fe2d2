// The configuration in force: which USB adapters to look for and which network
// peers to probe. Loaded from an XML document whose root is jtag_options
// version 10; a default document is linked into the program.
#pragma once

#include <memory>
#include <string>
#include <vector>

// The GPIO wiring of an FTDI MPSSE board, as OpenOCD's `ftdi layout_init`
// and `ftdi layout_signal` give it: 16 bits, the channel's low byte (ADBUS:
// TCK, TDI, TDO, TMS, GPIOL0-3) in bits 0-7 and its high byte (ACBUS) in
// bits 8-15. Without a description a board is driven as a generic MPSSE
// adapter: TCK, TDI and TMS outputs, TMS high, no reset lines.
struct CFtdiLayout {
    bool described = false;       // the element gave any of the wiring attributes
    unsigned value = 0x0008;      // initial levels
    unsigned direction = 0x000B;  // 1: output
    unsigned trst = 0;            // bits of the TRST line; 0: the board has none
    bool trstActiveHigh = false;  // TRST is asserted by driving its bits high
    unsigned srst = 0;            // bits of the system reset line; 0: none
    bool srstActiveHigh = false;
};

// One entry of the USB bus scan: a `usb` element (the back-end follows from
// the ids), or an `ftdi` or `cmsis-dap` element, which names the back-end
// that serves its devices and describes them more closely.
struct CUsbJTAGDescription {
    std::string name;       // adapter kind, e.g. "EZ-USB"; devices are named name + counter
    int idvendor = 0;       // low 32 bits of the converted attribute
    int idproduct = 0;
    std::string frequency;  // unconverted, e.g. "12MHZ"; the back-end interprets it
    std::string element = "usb";  // "usb", "ftdi" or "cmsis-dap"
    // False for a cmsis-dap element without ids: it takes the probes no
    // entry with ids names, found by their interface string.
    bool hasIds = true;
    std::string product;    // the USB product string a device must report; empty: any
    unsigned channel = 0;   // ftdi: the chip's channel that runs JTAG, 0 = A .. 3 = D
    CFtdiLayout layout;     // ftdi: the board's wiring
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
