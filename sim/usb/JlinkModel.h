// A SEGGER J-Link probe, simulated.
//
// A full-speed J-Link (vendor 0x1366, product 0x0101) has one vendor-class
// interface with bulk IN endpoint 0x81 and bulk OUT endpoint 0x02 of 64
// bytes. The host writes commands to 0x02 and reads replies from 0x81, in
// the J-Link USB protocol (SEGGER RM08001; libjaylink is a public
// implementation). JlinkModel.cpp lists the commands this model knows.
#pragma once

#include "sim/usb/SimUsbModel.h"

#include <deque>

namespace simusb {

class SIMUSB_EXPORT CJlinkModel : public CDeviceModel {
public:
    static constexpr uint16_t kVendor = 0x1366;
    static constexpr uint16_t kProduct = 0x0101;
    static constexpr uint8_t kOutEp = 0x02;
    static constexpr uint8_t kInEp = 0x81;
    static constexpr uint16_t kPacketSize = 64;
    // Reply bytes the probe holds before it stops taking commands.
    static constexpr size_t kReplyLimit = 64 * 1024;

    // What follows a reply whose length is a multiple of the packet size:
    // the firmware either ends the transfer with a zero-length packet or
    // sends one extra byte.
    enum class Terminator { ZeroLengthPacket, ExtraByte };
    static constexpr uint8_t kExtraByte = 0xA5;

    // Fields: serial, chain, vid, pid, term=zlp|byte (std::invalid_argument
    // for anything else).
    explicit CJlinkModel(const CDeviceEntry& entry);

    const char* Kind() const override { return "jlink"; }
    const CDeviceInfo& Info() const override { return m_Info; }
    void Attach() override;
    int BulkWrite(uint8_t ep, const uint8_t* data, size_t size) override;
    int BulkRead(uint8_t ep, uint8_t* data, size_t size) override;

    // For tests and traces.
    simtap::Chain& Chain() { return m_Target->chain; }
    Terminator Term() const { return m_Term; }
    unsigned SpeedKHz() const { return m_SpeedKHz; }
    bool Power() const { return m_Power; }
    bool SystemReset() const { return m_Srst; }
    // JTAG commands (EMU_CMD_HW_JTAG3 and EMU_CMD_HW_JTAG_WRITE) executed and
    // the clocks they carried, since the device was attached.
    uint64_t JtagCommands() const { return m_JtagCommands; }
    uint64_t JtagClocks() const { return m_JtagClocks; }

private:
    // Length of the command at the front of m_Input: 0 when more bytes are
    // needed, SIZE_MAX for an unknown command.
    size_t CommandLength() const;
    void Execute(const uint8_t* command, size_t size);
    void Jtag(const uint8_t* command, bool readBack);
    void Reply(std::vector<uint8_t> bytes);
    size_t Queued() const;

    CDeviceInfo m_Info;
    std::unique_ptr<CTarget> m_Target;
    Terminator m_Term = Terminator::ZeroLengthPacket;

    // Firmware state, cleared by Attach().
    std::vector<uint8_t> m_Input;                // command bytes not yet executed
    std::deque<std::vector<uint8_t>> m_Replies;  // one entry per IN transfer; empty: zero-length packet
    size_t m_ReplyOffset = 0;
    unsigned m_SpeedKHz = 4000;
    unsigned m_Interface = 0;  // 0 JTAG, 1 SWD
    bool m_Power = false;
    bool m_Srst = true;
    uint64_t m_JtagCommands = 0;
    uint64_t m_JtagClocks = 0;
};

}  // namespace simusb
