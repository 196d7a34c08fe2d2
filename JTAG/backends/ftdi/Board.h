// CFtdiJTAG: the back-end for FTDI MPSSE boards.
//
// Boards (vendor:product): TinCanTools Flyswatter2 0403:6010 and Olimex
// ARM-USB-TINY-H 15BA:002A, both an FT2232H whose channel A runs the MPSSE
// (FTDI AN_108). libftdi opens channel A (bulk OUT 0x02, IN 0x81, 512-byte
// packets, two modem-status bytes ahead of every IN packet, which libftdi
// strips). The command bytes come from JTAG/ftdi/Commands.h; the board
// objects of JTAG/ftdi/Adapter.h move them.
//
// CFtdiJTAG is a facade: while open it owns a CFtdiJTAGImpl, which batches
// scans into a 256-byte command buffer and defers reading TDO until Wait, so
// a batch of scans costs a few USB transfers rather than one per scan.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "JTAG/core/JTAG.h"
#include "JTAG/usb/Kinds.h"
#include "JTAG/backends/ftdi/Channel.h"
#include "JTAG/backends/ftdi/Commands.h"

struct usb_device;

// The board table: (vendor id, product id) -> board constructor.
using FtdiAdapterConstructor = std::function<std::unique_ptr<ftdi::Adapter>(struct usb_device*, unsigned int)>;

// True when the ids belong to a board of the table.
bool IsFtdiJTAGBoard(uint16_t vendor, uint16_t product);
bool IsDeviceFtdiJTAG(struct usb_device* device);
// An empty function for a pair that is not in the table.
FtdiAdapterConstructor GetAdapterConstructor(uint16_t vendor, uint16_t product);

// The clock of a configuration entry: "1000KHZ", "10MHz", "12000hz" (any
// letter case); limited to 30 MHz. Throws std::invalid_argument
// "invalid frequency string: " and the lower-cased text for text without a
// suffix or a number, and for 0 Hz.
unsigned int ParseFtdiFrequency(const std::string& text);

// TapStateMachine end states to the layer's states; EXIT1_DR, EXIT1_IR and
// anything else throw std::logic_error "TapState conversion error!".
ftdi::TapState ConvertTapStateType(TapStateMachine::State state);

class CFtdiJTAGImpl {
public:
    CFtdiJTAGImpl(std::unique_ptr<ftdi::Adapter> adapter, unsigned int initialInstruction);
    virtual ~CFtdiJTAGImpl();

    CFtdiJTAGImpl(const CFtdiJTAGImpl&) = delete;
    CFtdiJTAGImpl& operator=(const CFtdiJTAGImpl&) = delete;

    virtual unsigned int ShiftIR(unsigned int value, int length, ftdi::TapState end);
    virtual void ShiftDR(const unsigned char* in, unsigned char* out, int length, ftdi::TapState end);
    virtual void AsyncShiftIR(unsigned int value, int length, ftdi::TapState end);
    virtual void AsyncShiftDR(const unsigned char* in, int length, ftdi::TapState end);
    virtual void AsyncWriteDR(const unsigned char* in, int length, ftdi::TapState end);
    virtual void SetFrequency(unsigned int hertz);
    // Appends the results of the queued scans, in queue order.
    virtual void Wait(std::vector<unsigned char>& results);
    virtual void Reset(bool assertTrst, bool assertSrst);

    void ExecuteCommands(const std::function<void(ftdi::CommandBuilder&)>& commands);
    void FlushBuffer(const unsigned char* data, unsigned int size);
    void RunTest(unsigned int count);
    // Forgets the queued scans of a batch that failed part-way.
    void Discard();

private:
    using ByteIterator = std::vector<unsigned char>::const_iterator;
    // Consumes its raw bytes from [position, end), appends its result bytes
    // and returns the number of raw bytes consumed.
    using ResultHandler = std::function<unsigned int(ByteIterator position, ByteIterator end,
                                                     std::vector<unsigned char>& results)>;

    std::unique_ptr<ftdi::Adapter> m_adapter;
    unsigned int m_lastInstruction;
    ftdi::TapState m_state = ftdi::TEST_LOGIC_RESET;
    ftdi::CommandBuffer m_buffer;
    bool m_trstAsserted = false;
    std::vector<unsigned char> m_raw;
    std::deque<ResultHandler> m_handlers;
    unsigned int m_expected = 0;
    bool m_pending = false;
};

ftdi::CommandBuffer::FlushFunction GetFlushFunction(CFtdiJTAGImpl* impl);

std::unique_ptr<CFtdiJTAGImpl> CreatePimpl(struct usb_device* device, unsigned long frequency,
                                           unsigned int initialInstruction);

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
    void AsyncShiftIR(unsigned int value, int length, TapStateMachine::State end) override;
    void AsyncShiftDR(const unsigned char* in, int length, TapStateMachine::State end) override;
    void AsyncWriteDR(const unsigned char* in, int length, TapStateMachine::State end) override;
    void Wait(std::vector<unsigned char>& out) override;
    unsigned int ShiftIR(unsigned int value, int length, TapStateMachine::State end) override;
    void ShiftDR(const unsigned char* in, unsigned char* out, int length, TapStateMachine::State end) override;
    void RunTest(unsigned int count) override;
    void SetFrequency(unsigned int hertz) override;
    void DiscardResults() override;

    unsigned int Frequency() const { return m_frequency; }

private:
    // The implementation, or std::runtime_error naming the adapter when closed.
    CFtdiJTAGImpl& Impl();

    std::unique_ptr<CFtdiJTAGImpl> m_impl;
    struct usb_device* m_device;
    uint32_t m_frequency = 6000000;
};

namespace ftdi {
// The USB kind of the boards of the table.
usb::Kind UsbKind();
}  // namespace ftdi
