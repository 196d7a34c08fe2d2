// CJlinkJTAG: SEGGER J-Link probes (USB vendor 0x1366, product 0x0101).
//
// The probe has one vendor interface with a bulk IN and a bulk OUT endpoint
// (0x81 and 0x02 on full-speed probes, 0x81 and 0x01 on high-speed ones;
// taken from the descriptor) and speaks the J-Link USB command protocol
// (SEGGER RM08001; libjaylink is a public implementation). It only clocks
// raw TMS/TDI streams, so this back-end makes every TAP move itself and packs
// asynchronous scans, with the moves between them, into one pending
// EMU_CMD_HW_JTAG3 (or EMU_CMD_HW_JTAG_WRITE) command of up to 65535 clocks,
// whose TDO reply is cut into the scans' results when it arrives. A
// synchronous scan sends what is pending and then goes out in a command of
// its own. The commands are built in Commands.h; this class moves them
// through CUsbInterface.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "JTAG/backends/jlink/Commands.h"
#include "JTAG/core/JTAG.h"
#include "JTAG/usb/Kinds.h"
#include "JTAG/usb/UsbInterface.h"

namespace jlink {

class CJlinkJTAG : public CJTAG {
public:
    using EmuCmdHwJtag = jlink::EmuCmdHwJtag;
    using limit_exceeded = jlink::limit_exceeded;

    enum ShiftType {
        INSTRUCTION_SCAN = 0,
        DATA_SCAN = 1,
    };

    // Configures the probe (version, configuration, power off, JTAG
    // interface, speed), reads its serial number string (descriptor index
    // serialIndex, 0: none) and leaves it closed. `frequency` is a
    // configuration text (JTAG/core/Frequency.h). Throws for a device without
    // a bulk IN or OUT endpoint and for any transfer failure.
    CJlinkJTAG(std::unique_ptr<usb::CUsbInterface> usb, const std::string& name, const std::string& frequency,
               const AdapterContext& context, uint8_t serialIndex = 0);
    ~CJlinkJTAG() override;

    static bool IsJlink(unsigned short vendor, unsigned short product);

    void Open() override;
    void Close() override;
    // Sets the probe up again as the constructor did (JTAG interface, the
    // configured speed), dropping whatever is queued; the target is not
    // touched.
    void ResetAdapter() override;
    // The probe has no memory path of its own: both refuse.
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
    // Rides in the pending read-back command (what is queued goes out with
    // it, its results staying for the next Wait); a sequence longer than one
    // command's room continues in the next commands.
    void ClockSequence(const unsigned char* tms, const unsigned char* tdi, unsigned char* tdo,
                       unsigned int bits) override;

    // Sends `size` bytes to the OUT endpoint; a failure is logged and rethrown
    // with what was being sent.
    void ExecuteCommand(const uint8_t* command, uint32_t size);
    // Reads exactly `size` bytes from the IN endpoint, then drops the byte the
    // probe appends to some replies (ReplyHasTrailingByte).
    void ReadResultOfExecutedCommand(uint8_t* buffer, uint32_t size);
    int GetAdapterType();
    void SetJtagSpeed(unsigned short kHz);
    void SelectJtagInterface();
    // Queues one scan (the move into its shift state, its bits, the move to
    // `end`) after what is pending, sending the pending command first when
    // it is of the other type or full.
    void AsyncShift(ShiftType type, const uint8_t* data, int bits, TapState end, bool writeOnly);
    std::vector<unsigned char> ReadScanChainShiftedData(const uint8_t* tdo, uint32_t bitOffset, int bits);

    // For tests: the configured speed in kHz and the tracked TAP state.
    unsigned short Speed() const { return m_speed; }
    TapController::State TrackedState() const { return m_pending ? m_pending->State() : m_tapState; }

    // Empty reads in a row after which a reply counts as missing.
    static constexpr unsigned kMaxEmptyReads = 4;

private:
    // A read-back scan's bits in the pending command's TDO; a piece of a raw
    // sequence goes to bit `into` of the sequence's TDO instead.
    struct Slice {
        uint32_t offset;
        uint32_t bits;
        bool sequence;
        uint64_t into;
    };

    void SendByte(uint8_t command);

    // The queue's steps. Flush sends the pending command, if any; for a
    // read-back command it reads the TDO and appends each scan's bits to
    // `results`. Begin starts a pending command where the last command sent
    // left the TAP. Append runs one step on the pending command; a step that
    // does not fit sends the command (its results to `results`) and runs in
    // a fresh one, and what does not fit even there is refused. Flush puts
    // the bits of raw-sequence slices into `sequenceTdo`.
    void Flush(std::vector<unsigned char>& results, unsigned char* sequenceTdo = nullptr);
    void Begin(EmuCmdHwJtag::CmdType type);
    void Append(std::vector<unsigned char>& results, const std::function<void(EmuCmdHwJtag&)>& step);
    // The three steps of a scan; a read-back one leaves a slice.
    void AppendScan(ShiftType type, const uint8_t* data, int bits, TapState end, bool readBack,
                    std::vector<unsigned char>& results);
    // Forgets the pending command, its slices and the results not yet taken.
    void DropPending();
    // A synchronous scan: what is pending goes first (its results stay for
    // the next Wait), then this scan alone; returns its captured bits.
    std::vector<unsigned char> ScanAlone(ShiftType type, const uint8_t* data, int bits, TapState end);

    int m_adapterType = 0;
    std::unique_ptr<usb::CUsbInterface> m_usb;
    usb::CEndPoint m_in{usb::ENDPOINT_BULK_IN, 0};
    usb::CEndPoint m_out{usb::ENDPOINT_BULK_OUT, 0};
    unsigned short m_speed = 0;
    // Where the last command sent left the TAP; a pending command tracks the
    // TAP on from there, and one dropped unsent never moved it.
    TapController::State m_tapState = TapController::State::TestLogicReset;
    std::unique_ptr<EmuCmdHwJtag> m_pending;
    std::vector<Slice> m_slices;
    bool m_trstReleased = false;
    std::vector<unsigned char> m_buffer;
    std::vector<unsigned char> m_results;
};

// The USB kind of J-Link probes (1366:0101).
usb::Kind UsbKind();

}  // namespace jlink
