// ftdi::CFtdiJTAG: the adapter of FTDI MPSSE boards.
//
// Boards (vendor:product): TinCanTools Flyswatter2 0403:6010 and Olimex
// ARM-USB-TINY-H 15BA:002A, both an FT2232H whose channel A runs the MPSSE
// (FTDI AN_108). libftdi opens channel A (bulk OUT 0x02, IN 0x81, 512-byte
// packets, two modem-status bytes ahead of every IN packet, which libftdi
// strips). The command bytes come from Commands.h, the board table from
// Boards.h; Channel.h moves the bytes.
//
// CFtdiJTAG is a facade: while open it owns a ScanQueue (ScanQueue.h),
// which batches the scans; closed, it only knows the device and its clock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "JTAG/backends/ftdi/Commands.h"
#include "JTAG/backends/ftdi/ScanQueue.h"
#include "JTAG/core/JTAG.h"
#include "JTAG/usb/Kinds.h"

struct usb_device;

namespace ftdi {

// The clock of a configuration entry: "1000KHZ", "10MHz", "12000hz" (any
// letter case); limited to 30 MHz. Throws std::invalid_argument
// "invalid frequency string: " and the lower-cased text for text without a
// suffix or a number, and for 0 Hz.
unsigned int ParseFrequency(const std::string& text);

// The end state itself when the layer can end a scan there; EXIT1_DR,
// EXIT1_IR and values outside the enum throw std::logic_error
// "TapState conversion error!".
TapState CheckEndState(TapState state);

class CFtdiJTAG : public CJTAG {
public:
    // Probes the chip type (the device is opened briefly). Throws
    // std::runtime_error "couldn't open ftdi device!" when it cannot be
    // opened, and for a chip without an MPSSE engine.
    CFtdiJTAG(struct usb_device* device, const std::string& name, const std::string& frequency,
              const AdapterContext& context);
    ~CFtdiJTAG() override;

    void Open() override;
    void ResetAdapter() override;
    void Close() override;
    void ReadMemBlk(unsigned int address, void* buffer, unsigned int size) override;
    void WriteMemBlk(unsigned int address, const void* data, unsigned int size) override;
    void SetTRST(bool level) override;
    void SetSYS_RST(bool level) override;
    void AsyncShiftIR(unsigned int value, int length, TapState end) override;
    void AsyncShiftDR(const unsigned char* in, int length, TapState end) override;
    void AsyncWriteDR(const unsigned char* in, int length, TapState end) override;
    void Wait(std::vector<unsigned char>& out) override;
    unsigned int ShiftIR(unsigned int value, int length, TapState end) override;
    void ShiftDR(const unsigned char* in, unsigned char* out, int length, TapState end) override;
    void RunTest(unsigned int count) override;
    void SetFrequency(unsigned int hertz) override;
    void DiscardResults() override;

    unsigned int Frequency() const { return m_frequency; }

private:
    // The queue of the open board, or std::runtime_error naming the adapter
    // when closed.
    ScanQueue& Queue();

    std::unique_ptr<ScanQueue> m_queue;
    struct usb_device* m_device;
    uint32_t m_frequency = 6000000;
};

// The USB kind of the boards of the table.
usb::Kind UsbKind();

}  // namespace ftdi
