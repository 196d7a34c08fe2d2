// CKorselUsbJTAG: the maker's EZ-USB based JTAG adapter.
//
// The adapter's firmware runs the TAP sequences itself; the server sends it
// command and scan frames on bulk OUT endpoint 2 (0x02), reads replies from
// bulk IN endpoint 6 (0x86) and sends single control bytes (clock choice,
// adapter reset) on bulk OUT endpoint 4 (0x04). The frames are built in
// Frames.h; this class moves them through CUsbInterface and keeps the
// adapter's state (line levels, last instruction).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "JTAG/core/JTAG.h"
#include "JTAG/backends/ezusb/Frames.h"
#include "JTAG/usb/Kinds.h"
#include "JTAG/usb/UsbInterface.h"

namespace ezusb {

class CKorselUsbJTAG : public CJTAG_With_IdCode<IDCODE_KORSEL> {
public:
    // Opens the device once to read its serial number and firmware version
    // (failures there are logged and the adapter exists with an unknown
    // version); the adapter is closed afterwards. `frequency` is a
    // configuration text (JTAG/core/Frequency.h) for the adapter's clock.
    CKorselUsbJTAG(std::unique_ptr<usb::CUsbInterface> usb, const std::string& name,
                   const std::string& frequency, uint8_t serialIndex, const AdapterContext& context);
    ~CKorselUsbJTAG() override;

    void Open() override;
    void ResetAdapter() override;
    void Close() override;
    void ReadMemBlk(unsigned int address, void* buffer, unsigned int size) override;
    void WriteMemBlk(unsigned int address, const void* data, unsigned int size) override;
    void SetTRST(bool level) override;
    void SetSYS_RST(bool level) override;
    unsigned int ShiftIR(unsigned int value, int length, TapState end) override;
    void ShiftDR(const unsigned char* in, unsigned char* out, int length,
                 TapState end) override;
    void RunTest(unsigned int count) override;
    void SetFrequency(unsigned int hertz) override;

    // Block engines behind ReadMemBlk/WriteMemBlk (40 words per block, 9 blocks
    // per transfer there). Any address and length: a word only partly
    // covered is read, and for a write merged and written back.
    void ReadBlocks(uint32_t address, void* buffer, unsigned int size, uint32_t wordsPerBlock,
                      uint32_t blocksPerTransfer);
    void WriteBlocks(uint32_t address, const void* data, unsigned int size, uint32_t wordsPerBlock,
                       uint32_t blocksPerTransfer);

    // Room for the replies of one memory read transfer.
    static constexpr size_t kReceiveArea = 4096;
    // Sends of one memory read transfer whose replies bring no word before
    // the read fails.
    static constexpr unsigned kReadAttempts = 3;
    // Transfers of a memory block between two checks that its client still
    // waits (about half a megabyte).
    static constexpr uint64_t kTransfersPerCheck = 256;

protected:
    // Command endpoint out, reply endpoint in; each does nothing and returns 0
    // for a size of 0 (BulkWriteRead: for an outSize of 0).
    int BulkWrite(const void* data, unsigned int size);
    int BulkRead(void* data, unsigned int size);
    int BulkWriteRead(const void* out, unsigned int outSize, void* in, unsigned int inSize);

private:
    Lines LineLevels() const { return Lines{m_trst, m_sysRst}; }
    void SendLines();
    // Whole words at a word address (the firmware's unit).
    void ReadWords(uint32_t address, unsigned char* out, uint64_t words, uint32_t wordsPerBlock,
                   uint32_t blocksPerTransfer);
    void WriteWords(uint32_t address, const unsigned char* in, uint64_t words, uint32_t wordsPerBlock,
                    uint32_t blocksPerTransfer);
    // Reads the reply endpoint empty, each read waiting only briefly.
    void DrainReplies();
    // Drains and throws unless a reply brought exactly `expected` bytes.
    void CheckReplySize(const char* what, int received, size_t expected);

    std::unique_ptr<usb::CUsbInterface> m_usb;
    usb::CEndPoint m_replyEndPoint{usb::ENDPOINT_BULK_IN, 0x86};
    usb::CEndPoint m_commandEndPoint{usb::ENDPOINT_BULK_OUT, 0x02};
    usb::CEndPoint m_controlEndPoint{usb::ENDPOINT_BULK_OUT2, 0x04};
    uint16_t m_clockCode = 1;
    uint16_t m_configuredCode = 1;
    // The clock last asked for (configured, or by the session's client).
    uint32_t m_askedHertz = 12000000;
    uint32_t m_configuredHertz = 12000000;
    // How often a RunTest wait asks whether its client is still there.
    static constexpr std::chrono::milliseconds kRunTestCheck{100};
    uint32_t m_wordsPerBlock = 40;
    uint32_t m_blocksPerTransfer = 9;
    uint32_t m_lastInstruction = 0xFFFFFFFFu;  // nothing shifted yet
};

// The USB kind of the maker's adapter: any device a USB entry of the
// configuration names that no other back-end takes.
usb::Kind UsbKind();

}  // namespace ezusb
