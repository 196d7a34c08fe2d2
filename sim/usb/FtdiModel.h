// FTDI JTAG boards, simulated: TinCanTools Flyswatter2, Olimex
// ARM-USB-TINY-H, and any board on an FT2232H or FT232H with its own wiring.
//
// The FT2232H as libftdi sees it: bcdDevice 0x0700, two vendor-class
// interfaces, channel A with bulk IN 0x81 and OUT 0x02, channel B with 0x83
// and 0x04, 512-byte packets; the FT232H has channel A only and bcdDevice
// 0x0900. Vendor requests (type 0x40; wIndex 1 channel A, 2 channel B)
// reset and purge (0x00), set the baud rate (0x03), latency (0x09) and bit
// mode (0x0B, value mode << 8 | mask). Every IN transfer is a run of
// 512-byte packets, the last one possibly short, each starting with two
// modem-status bytes; with nothing to send a read returns the two status
// bytes alone. In MPSSE mode the JTAG channel's OUT data goes to the MPSSE
// engine (MpsseEngine.h); the other channel is an idle serial port.
//
// Wiring of the reset lines, as GPIO bits of the JTAG channel (the low byte
// in bits 0-7, the high byte in 8-15; a line counts only while its pins are
// outputs):
//   flyswatter2 (0403:6010, "Flyswatter2")  TRST 0x0010, system reset
//                            0x0020, both asserted low
//   tiny-h      (15BA:002A)  TRST 0x0100 asserted low, system reset 0x0200
//                            asserted high
//   ft2232h (0403:6010, "Dual RS232-HS"), ft232h (0403:6014, "Single
//                            RS232-HS")  the fields trst= and srst=
// TRST drives the chain's TRST; the system reset level is recorded (the
// simulated target has no reset pin) and traced.
#pragma once

#include "sim/usb/MpsseEngine.h"
#include "sim/usb/SimUsbModel.h"

namespace simusb {

class SIMUSB_EXPORT CFtdiModel : public CDeviceModel {
public:
    enum class Board { Flyswatter2, TinyH, FT2232H, FT232H };

    // A reset line: its GPIO bits (0: none) and the level that asserts it.
    struct Line {
        uint16_t mask = 0;
        bool activeHigh = false;
    };

    static constexpr uint8_t kOutA = 0x02, kInA = 0x81, kOutB = 0x04, kInB = 0x83;
    static constexpr size_t kPacket = 512;
    // Read data the chip holds before it stops taking commands: the
    // FT2232H's 4 KiB transmit buffer of a channel.
    static constexpr size_t kQueueLimit = 4096;

    // Fields: serial, chain, bcd (bcdDevice, default 0x0700, 0x0900 for
    // ft232h), vid, pid, product; for ft2232h and ft232h also trst and srst
    // (MASK or MASK:high), and for ft2232h channel (a or b, the JTAG one).
    CFtdiModel(Board board, const CDeviceEntry& entry);

    const char* Kind() const override;
    const CDeviceInfo& Info() const override { return m_Info; }
    void Attach() override;
    int Control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                uint16_t size) override;
    int BulkWrite(uint8_t ep, const uint8_t* data, size_t size) override;
    int BulkRead(uint8_t ep, uint8_t* data, size_t size) override;

    // For tests and traces.
    simtap::Chain& Chain() { return m_Target->chain; }
    const CMpsseEngine& Engine() const { return m_Engine; }
    bool TrstAsserted() const { return m_TrstAsserted; }
    bool SystemResetAsserted() const { return m_SrstAsserted; }
    bool Mpsse() const { return m_Mpsse[m_Jtag]; }
    unsigned Latency() const { return m_Latency[m_Jtag]; }
    unsigned JtagChannel() const { return m_Jtag; }  // 0 A, 1 B
    size_t OutTransfers() const { return m_OutTransfers; }
    size_t DataReads() const { return m_DataReads; }  // IN transfers that carried data
    // A faulty chip for tests: drops whatever the engine answers.
    void DropReplies(bool drop) { m_DropReplies = drop; }

private:
    void UpdateLines();
    // The channel of a request's wIndex or of an endpoint; -1 for none.
    int ChannelOfIndex(uint16_t index) const;
    int ChannelOfEndpoint(uint8_t ep, bool in) const;

    Board m_Board;
    CDeviceInfo m_Info;
    std::unique_ptr<CTarget> m_Target;
    CMpsseEngine m_Engine;
    Line m_Trst, m_Srst;
    unsigned m_Jtag = 0;       // the channel wired to the chain
    unsigned m_Channels = 2;

    // Chip state, cleared by Attach().
    bool m_Mpsse[2] = {false, false};
    unsigned m_Latency[2] = {16, 16};
    std::vector<uint8_t> m_Queue;  // bytes for the host, from m_QueueHead on
    size_t m_QueueHead = 0;
    bool m_TrstAsserted = false;
    bool m_SrstAsserted = false;
    size_t m_OutTransfers = 0;
    size_t m_DataReads = 0;
    bool m_DropReplies = false;
};

}  // namespace simusb
