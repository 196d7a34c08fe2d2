// CCmsisDapJTAG: CMSIS-DAP debug probes in JTAG mode (Arm DAPLink 0D28:0204,
// the Raspberry Pi Debug Probe and picoprobe 2E8A:000C, LPC-Link2
// 1FC9:0090, and any probe whose interface string holds "CMSIS-DAP").
//
// A CMSIS-DAP v2 probe has a vendor-class interface whose string contains
// "CMSIS-DAP", with a bulk OUT and a bulk IN endpoint (a third, for SWO,
// may follow); each command goes out as one bulk transfer and its response
// comes back as one (Arm's CMSIS-DAP documentation). Version 1 probes speak
// the same commands in 64-byte HID reports; they are not served (see
// FindDapInterface). The probe clocks JTAG sequences of one TMS level each,
// so this back-end makes every TAP move itself and packs the scans of a
// batch, with the moves between them, into as few DAP_JTAG_Sequence packets
// as the probe's packet size allows, with as many packets in flight as the
// probe's packet count. Commands.h builds the packets and parses the
// responses; this class moves them through CUsbInterface.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "JTAG/backends/cmsisdap/Commands.h"
#include "JTAG/core/JTAG.h"
#include "JTAG/usb/Kinds.h"
#include "JTAG/usb/UsbInterface.h"

namespace cmsisdap {

// The probe's CMSIS-DAP v2 interface, as its descriptors give it.
struct DapInterface {
    int number = -1;
    uint8_t in = 0;   // bulk IN endpoint address
    uint8_t out = 0;  // bulk OUT endpoint address
};

// The device's CMSIS-DAP v2 interface. Throws std::runtime_error saying why
// the device cannot be served: no interface string holds "CMSIS-DAP", the
// interface lacks its bulk endpoints, or the probe speaks version 1 (HID)
// only: libusb-0.1 would have to detach the kernel's usbhid driver for it
// and has no call to give the interface back, so the probe would vanish
// for every other tool (pyOCD, OpenOCD's hidraw) until it is replugged.
DapInterface FindDapInterface(struct usb_device* device);

// Whether any interface string of the device holds "CMSIS-DAP" (the device
// is opened to read them when it has a vendor or HID interface at all).
bool HasDapInterface(struct usb_device* device);

// What DAP_Info told of the probe.
struct ProbeInfo {
    std::string vendor;
    std::string product;
    std::string serial;
    std::string protocolVersion;
    std::string firmwareVersion;
    uint8_t capabilities = 0;
    unsigned packetSize = 0;
    unsigned packetCount = 1;
};

class CCmsisDapJTAG : public CJTAG {
public:
    // Asks the probe what it is (DAP_Info) and leaves it closed. Throws for
    // a probe without JTAG, a packet size this back-end cannot use, and any
    // transfer failure; the reason is logged at the normal level with the
    // name. `frequency` is a configuration text (JTAG/core/Frequency.h);
    // `usbSerial` the device's serial string, used when DAP_Info gives none.
    CCmsisDapJTAG(std::unique_ptr<usb::CUsbInterface> usb, const DapInterface& dap, const std::string& name,
                  const std::string& frequency, const std::string& usbSerial, const AdapterContext& context);
    ~CCmsisDapJTAG() override;

    // Connects in JTAG mode, sets the clock and resets the TAP with TMS.
    void Open() override;
    // Drops what is queued and disconnects.
    void Close() override;
    // Drops what is queued, connects in JTAG mode again and sets the
    // configured clock; the pins and the target's TAP stay as they are.
    void ResetAdapter() override;
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
    void ClockSequence(const unsigned char* tms, const unsigned char* tdi, unsigned char* tdo,
                       unsigned int bits) override;
    void DiscardResults() override;

    const ProbeInfo& Info() const { return m_info; }
    unsigned int Frequency() const { return m_hertz; }
    // Where the TAP is once everything queued has run.
    TapController::State TrackedState() const { return m_pending ? m_pending->GetState() : m_state; }
    // DAP_JTAG_Sequence packets sent since the adapter was made.
    uint64_t SequencePackets() const { return m_sequencePackets; }

private:
    // A read-back scan's bits among the pending batch's TDO.
    struct Slice {
        uint64_t offset;
        uint64_t bits;
    };

    // One command and its response; the response's size.
    size_t Transact(const std::vector<uint8_t>& request);
    // DAP_Connect in JTAG mode and DAP_SWJ_Clock.
    void Connect();
    void SetClock(unsigned int hertz);
    void Send(const std::vector<uint8_t>& request);
    size_t Receive(unsigned int timeoutMs);
    std::runtime_error Failure(const std::string& what) const;

    // The queue's steps: Begin starts a pending batch where the TAP is, Flush
    // sends it and appends each read-back scan's bits to `results`.
    JtagBatch& Begin();
    void Flush(std::vector<unsigned char>& results);
    // Sends the packets, at most the probe's packet count in flight, and
    // collects their TDO bits.
    void Exchange(const std::vector<SequencePacket>& packets, BitStream& tdo);
    void DropPending();
    // Queues a scan; a failure drops the whole pending batch.
    void QueueScan(bool instruction, const uint8_t* data, int bits, TapState end, bool readBack);
    // A data scan after the checks every data scan takes.
    void QueueData(const unsigned char* in, int length, TapState end, bool readBack);
    std::vector<unsigned char> ScanAlone(bool instruction, const uint8_t* data, int bits, TapState end);
    void DrivePins(uint8_t value, uint8_t select);

    std::unique_ptr<usb::CUsbInterface> m_usb;
    usb::CEndPoint m_in{usb::ENDPOINT_BULK_IN, 0};
    usb::CEndPoint m_out{usb::ENDPOINT_BULK_OUT, 0};
    ProbeInfo m_info;
    unsigned int m_configuredHertz;
    unsigned int m_hertz;
    std::vector<uint8_t> m_reply;
    // Where the last batch sent left the TAP; a pending batch tracks it on.
    TapController::State m_state = TapController::State::TestLogicReset;
    std::unique_ptr<JtagBatch> m_pending;
    std::vector<Slice> m_slices;
    std::vector<unsigned char> m_results;
    bool m_trstReleased = false;
    uint64_t m_sequencePackets = 0;
};

// The USB kind of CMSIS-DAP probes: the ids of the built-in configuration's
// cmsis-dap elements, and any device whose interface string holds "CMSIS-DAP".
usb::Kind UsbKind();

}  // namespace cmsisdap
