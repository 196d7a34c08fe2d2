// The maker's EZ-USB based JTAG adapter, simulated.
//
// The real adapter is a Cypress EZ-USB whose firmware runs the TAP sequences
// itself: the host sends short frames to bulk OUT endpoint 0x02, single
// control bytes to bulk OUT endpoint 0x04 and reads replies from bulk IN
// endpoint 0x86. The frames, control bytes and replies are those of the
// maker's public adapter description; EzUsbModel.cpp lists how this model
// reads the frames where that description leaves the firmware open.
#pragma once

#include "sim/usb/SimUsbModel.h"

#include <deque>

namespace simusb {

class SIMUSB_EXPORT CEzUsbModel : public CDeviceModel {
public:
    static constexpr uint16_t kVendor = 0x0547;
    static constexpr uint16_t kProduct = 0x1002;
    static constexpr uint16_t kDefaultVersion = 0x3700;
    static constexpr uint8_t kCommandEp = 0x02;
    static constexpr uint8_t kControlEp = 0x04;
    static constexpr uint8_t kReplyEp = 0x86;
    // Replies the firmware holds before it stops taking frames.
    static constexpr size_t kReplyLimit = 64 * 1024;

    // Fields: serial, chain, mem, ver, vid, pid (throws std::invalid_argument).
    explicit CEzUsbModel(const CDeviceEntry& entry);

    const char* Kind() const override { return "ezusb"; }
    const CDeviceInfo& Info() const override { return m_Info; }
    void Attach() override;
    int BulkWrite(uint8_t ep, const uint8_t* data, size_t size) override;
    int BulkRead(uint8_t ep, uint8_t* data, size_t size) override;

    // For tests and traces.
    simtap::Chain& Chain() { return m_Target->chain; }
    simtap::Memory& Memory() { return m_Target->memory; }
    unsigned ClockCode() const { return m_ClockCode; }
    bool SystemReset() const { return m_Srst; }
    bool InAdapterReset() const { return m_AdapterReset; }

private:
    void CommandTransfer(const uint8_t* data, size_t size);
    void InstructionScan(const uint8_t* frame, size_t size);
    void DataScan(const uint8_t* frame, size_t size);
    void CommandFrame(const uint8_t* frame);
    void ApplyLines(uint8_t header);
    void FlushBlock();
    void Reply(std::vector<uint8_t> bytes);
    size_t Queued() const;

    CDeviceInfo m_Info;
    std::unique_ptr<CTarget> m_Target;
    uint16_t m_Version;

    // Firmware state, cleared by Attach().
    std::deque<std::vector<uint8_t>> m_Replies;  // one entry per IN transfer
    size_t m_ReplyOffset = 0;                    // bytes of m_Replies.front() already read
    unsigned m_ClockCode = 1;
    bool m_AdapterReset = false;
    bool m_Srst = true;
    int m_Block = 0;  // 0 none, 1 write block, 2 read block
    uint32_t m_Address = 0;
    std::vector<uint8_t> m_BlockReply;
};

}  // namespace simusb
