// A CMSIS-DAP debug probe, simulated (Arm's CMSIS-DAP protocol, v2 over
// bulk endpoints, as DAPLink firmware presents it).
//
// The device (vendor 0x0D28, product 0x0204 unless set) has two interfaces:
// 0, HID, string "CMSIS-DAP v1", interrupt IN 0x81 and OUT 0x01 of 64 bytes
// (version 1 transport: one command per 64-byte report); 1, vendor class,
// string "CMSIS-DAP v2", bulk OUT 0x02 and IN 0x82 (one command per
// transfer). With version=1 the probe has the HID interface only.
// CmsisDapModel.cpp lists the commands it knows.
#pragma once

#include "sim/usb/SimUsbModel.h"

#include <deque>

namespace simusb {

class SIMUSB_EXPORT CCmsisDapModel : public CDeviceModel {
public:
    static constexpr uint16_t kVendor = 0x0D28;
    static constexpr uint16_t kProduct = 0x0204;
    static constexpr uint8_t kHidOut = 0x01, kHidIn = 0x81, kBulkOut = 0x02, kBulkIn = 0x82;
    static constexpr uint16_t kReportSize = 64;

    // How the next DAP_JTAG_Sequence is answered, for tests of the host.
    enum class Fault {
        None,
        DapError,  // not run; answered 0x14, DAP_ERROR
        Short,     // run; the answer stops after the status byte
    };

    // Fields: serial, chain, vid, pid, packet (size, 64 to 32768; default
    // 64), packets (count, 1 to 255; default 4), caps (the capabilities
    // byte; default 0x03, SWD and JTAG), version (1 or 2; default 2).
    explicit CCmsisDapModel(const CDeviceEntry& entry);

    const char* Kind() const override { return "cmsis-dap"; }
    const CDeviceInfo& Info() const override { return m_Info; }
    void Attach() override;
    int BulkWrite(uint8_t ep, const uint8_t* data, size_t size) override;
    int BulkRead(uint8_t ep, uint8_t* data, size_t size) override;

    // For tests and traces.
    simtap::Chain& Chain() { return m_Target->chain; }
    void FailNextSequence(Fault fault) { m_Fault = fault; }
    unsigned PacketSize() const { return m_PacketSize; }
    uint8_t Port() const { return m_Port; }  // 0 disconnected, 1 SWD, 2 JTAG
    uint32_t ClockHz() const { return m_ClockHz; }
    bool SystemReset() const { return !m_nReset; }  // asserted
    // DAP_JTAG_Sequence commands run and the clocks they carried since the
    // device was attached; the largest request seen.
    uint64_t Sequences() const { return m_Sequences; }
    uint64_t SequenceClocks() const { return m_SequenceClocks; }
    size_t LargestRequest() const { return m_LargestRequest; }

private:
    // The response to one command that fit the packet.
    std::vector<uint8_t> Execute(const uint8_t* request, size_t size);
    std::vector<uint8_t> Info(uint8_t id) const;
    std::vector<uint8_t> JtagSequence(const uint8_t* request, size_t size);
    std::vector<uint8_t> SwjPins(const uint8_t* request);

    CDeviceInfo m_Info;
    std::unique_ptr<CTarget> m_Target;
    unsigned m_PacketSize = 64;
    unsigned m_PacketCount = 4;
    uint8_t m_Capabilities = 0x03;
    bool m_V2 = true;

    // Firmware state, cleared by Attach().
    std::deque<std::vector<uint8_t>> m_BulkReplies;
    std::deque<std::vector<uint8_t>> m_HidReplies;
    uint8_t m_Port = 0;
    uint32_t m_ClockHz = 1000000;
    bool m_nReset = true;
    bool m_Tms = true;
    bool m_Tdi = true;
    Fault m_Fault = Fault::None;
    uint64_t m_Sequences = 0;
    uint64_t m_SequenceClocks = 0;
    size_t m_LargestRequest = 0;
};

}  // namespace simusb
