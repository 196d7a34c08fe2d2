// FT2232H JTAG boards, simulated: TinCanTools Flyswatter2 and Olimex
// ARM-USB-TINY-H.
//
// The FT2232H as libftdi sees it: bcdDevice 0x0700, two vendor-class
// interfaces, channel A with bulk IN 0x81 and OUT 0x02, channel B with 0x83
// and 0x04, 512-byte packets. Vendor requests (type 0x40) reset and purge
// (0x00), set the baud rate (0x03), latency (0x09) and bit mode (0x0B,
// value mode << 8 | mask). Every IN transfer is a run of 512-byte packets,
// the last one possibly short, each starting with two modem-status bytes;
// with nothing to send a read returns the two status bytes alone. In MPSSE
// mode channel A's OUT data goes to the MPSSE engine (MpsseEngine.h).
//
// Board wiring of the reset lines (a line counts only while its pin is an
// output):
//   flyswatter2 (0403:6010)  low byte:  TRST bit 0x10, system reset bit 0x20,
//                            both asserted low
//   tiny-h      (15BA:002A)  high byte: TRST bit 0x01 asserted low, system
//                            reset bit 0x02 asserted high
// TRST drives the chain's TRST; the system reset level is recorded (the
// simulated target has no reset pin) and traced.
#pragma once

#include "sim/usb/MpsseEngine.h"
#include "sim/usb/SimUsbModel.h"

namespace simusb {

class SIMUSB_EXPORT CFtdiModel : public CDeviceModel {
public:
    enum class Board { Flyswatter2, TinyH };

    static constexpr uint8_t kOutA = 0x02, kInA = 0x81, kOutB = 0x04, kInB = 0x83;
    static constexpr size_t kPacket = 512;
    // Read data the chip holds before it stops taking commands: the
    // FT2232H's 4 KiB transmit buffer of a channel.
    static constexpr size_t kQueueLimit = 4096;

    // Fields: serial, chain, bcd (bcdDevice, default 0x0700).
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
    bool Mpsse() const { return m_Mpsse; }
    unsigned Latency() const { return m_Latency; }
    size_t OutTransfers() const { return m_OutTransfers; }
    size_t DataReads() const { return m_DataReads; }  // IN transfers that carried data
    // A faulty chip for tests: drops whatever the engine answers.
    void DropReplies(bool drop) { m_DropReplies = drop; }

private:
    void UpdateLines();

    Board m_Board;
    CDeviceInfo m_Info;
    std::unique_ptr<CTarget> m_Target;
    CMpsseEngine m_Engine;

    // Chip state, cleared by Attach().
    bool m_Mpsse = false;
    unsigned m_Latency = 16;
    std::vector<uint8_t> m_Queue;  // bytes for the host, from m_QueueHead on
    size_t m_QueueHead = 0;
    bool m_TrstAsserted = false;
    bool m_SrstAsserted = false;
    size_t m_OutTransfers = 0;
    size_t m_DataReads = 0;
    bool m_DropReplies = false;
};

}  // namespace simusb
