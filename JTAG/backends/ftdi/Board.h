// ftdi::CFtdiJTAG: the adapter of FTDI MPSSE boards.
//
// Boards: any FT2232C/D/H, FT4232H or FT232H whose channel runs the MPSSE
// (FTDI AN_108), wired as the configuration describes it (Boards.h: the
// Flyswatter2 0403:6010, the Olimex ARM-USB-TINY-H 15BA:002A and others).
// libftdi opens the board's channel (channel A: bulk OUT 0x02, IN 0x81;
// B: 0x04, 0x83; 512-byte packets, two modem-status bytes ahead of every
// IN packet, which libftdi strips). The command bytes come from
// Commands.h; Channel.h moves the bytes.
//
// CFtdiJTAG is a facade: while open it owns a ScanQueue (ScanQueue.h),
// which batches the scans; closed, it only knows the device and its clock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "JTAG/backends/ftdi/Boards.h"
#include "JTAG/backends/ftdi/Commands.h"
#include "JTAG/backends/ftdi/ScanQueue.h"
#include "JTAG/core/JTAG.h"
#include "JTAG/usb/Kinds.h"

struct usb_device;

namespace ftdi {

class CFtdiJTAG : public CJTAG {
public:
    // Probes the chip type and reads the serial number string (the board's
    // channel is opened briefly). Throws std::runtime_error "couldn't open
    // ftdi device!" when it cannot be opened, and for a chip without an MPSSE
    // engine. `frequency` is a configuration text (JTAG/core/Frequency.h).
    CFtdiJTAG(struct usb_device* device, const std::string& name, const std::string& frequency,
              const AdapterContext& context, const Board& board);
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
    // Idle clocks sent between two checks that the client still waits.
    static constexpr unsigned int kRunTestPiece = 7u << 16;
    void SetFrequency(unsigned int hertz) override;
    void DiscardResults() override;
    // MPSSE TMS commands for TMS runs, data clocking for TMS-0 runs.
    void ClockSequence(const unsigned char* tms, const unsigned char* tdi, unsigned char* tdo,
                       unsigned int bits) override;

    // The clock the board runs at after Open: the configured one as the
    // chip's divisor reaches it.
    unsigned int Frequency() const;

private:
    // The queue of the open board, or std::runtime_error naming the adapter
    // when closed.
    ScanQueue& Queue();

    std::unique_ptr<ScanQueue> m_queue;
    struct usb_device* m_device;
    Board m_board;
    uint32_t m_frequency = 6000000;  // as configured
    bool m_highSpeed = true;
};

// The USB kind of FTDI boards (Boards.h).
usb::Kind UsbKind();

}  // namespace ftdi
