// The maker's EZ-USB JTAG adapter (see Adapter.h for the device and its
// endpoints). The frames and replies follow the adapter firmware's command
// set as documented by the maker; Frames.h builds them.
#include "JTAG/backends/ezusb/Adapter.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "JTAG/core/Frequency.h"
#include "base/Printable.h"
#include "config/Description.h"
#include "log/Logger.h"

namespace ezusb {

namespace {

// How the probe's log lines name the constructor; log readers match this
// text, so it stays as it was when the constructor took the whole server.
const char* const kConstructorSignature =
    "CKorselUsbJTAG::CKorselUsbJTAG(std::unique_ptr<CUsbInterface>, const string&, const string&, "
    "uint8_t, CJTAGServer&)";

// Firmware versions below this one are not supported.
constexpr int kOldestSupportedVersion = 0x3600;
// This firmware starts with the system reset line driven low.
constexpr int kVersionWithSysRstLow = 0x4900;

// Stale replies are drained in 32-byte reads until the device has none. A
// device that never stops answering is not waited for beyond this many reads.
constexpr unsigned kMaxDrainReads = 1024;
// A reply the device already holds comes back within a millisecond or two; a
// drain read waits only this long, so a device with nothing to give costs
// one short wait instead of the full transfer time-out.
constexpr unsigned kDrainTimeoutMs = 50;

// Room for the reply of a scan, a line frame or the identification: more
// than any of them brings (the line frame's 32 bytes the most), so a reply of
// the wrong size is seen whole instead of leaving its rest behind.
constexpr unsigned kReplyRoom = 64;
// The firmware answers every line frame with this many bytes.
constexpr int kLineReplySize = 32;

// The adapter runs at 12, 24 or 48 MHz (control bytes 1, 2, 3): the fastest
// of them not above the clock asked for, 12 MHz for anything below.
uint16_t ClockCode(uint32_t hertz)
{
    if (hertz >= 48000000)
        return 3;
    if (hertz >= 24000000)
        return 2;
    return 1;
}

uint32_t ClockOf(uint16_t code) { return 12000000u << (code - 1); }

// Instruction lengths the scan frames carry whole: 8 bits, and 4 bits sent
// as 8 with the nibble twice. Any other length has no value byte (1 to 3, 5
// to 7) or only the low 8 bits of the value, with a length code that stands
// for several lengths; the firmware could not load the instruction asked for.
bool FrameCarriesInstruction(int length) { return length == 4 || length == 8; }

// Bytes a read really brought, as a count that can index the caller's buffer.
size_t Received(int got, size_t asked)
{
    return got > 0 ? std::min(static_cast<size_t>(got), asked) : 0;
}

}  // namespace

CKorselUsbJTAG::CKorselUsbJTAG(std::unique_ptr<usb::CUsbInterface> usb, const std::string& name,
                               const std::string& frequency, uint8_t serialIndex, const AdapterContext& context)
    : CJTAG_With_IdCode<IDCODE_KORSEL>(context), m_usb(std::move(usb))
{
    m_name = name;
    CLogger& log = m_context.logger;
    const uint32_t hertz = ConfiguredFrequency(frequency, log);
    m_clockCode = ClockCode(hertz);
    m_configuredCode = m_clockCode;
    m_configuredHertz = hertz;
    m_askedHertz = hertz;
    LogClock(log, m_name, hertz, ClockOf(m_clockCode), true);
    // The scan reports a refused device only when verbose: each reason the
    // device cannot be served is said here at the normal level.
    if (!m_usb)
        throw std::logic_error("CKorselUsbJTAG needs a USB interface");

    std::string probeFailure;
    try {
        m_usb->Open();
        m_opened = true;

        if (serialIndex != 0) {
            char serial[256] = {};
            const usb::CEndPoint record{usb::ENDPOINT_STRING, serialIndex};
            m_usb->Read(record, serial, sizeof serial);
            m_serialNumber.assign(serial, strnlen(serial, sizeof serial));
        }

        // Replies left over from an earlier user would be taken for ours.
        DrainReplies();

        m_usb->Close();
        m_opened = false;
        m_usb->Open();
        m_opened = true;

        unsigned char reply[1024];
        int received = 0;
        try {
            received = BulkWriteRead(kVersionQuery.data(), kVersionQuery.size(), reply,
                                     sizeof reply);
        } catch (const std::exception&) {
            received = -1;
        }
        if (received < 2)
            throw std::runtime_error("error getting USB JTAG adapter version");
        // Both bytes are unsigned: 0x80 and up must not borrow from the high byte.
        m_versionNumber = reply[1] * 256 + reply[0];
        char text[16];
        std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(m_versionNumber));
        m_versionString = text;
        if (m_versionNumber == kVersionWithSysRstLow)
            m_sysRst = false;
    } catch (const std::exception& e) {
        log.LogVerb("Exception occured in %s: %s. Proceed anyway.\n", kConstructorSignature, e.what());
        probeFailure = e.what();
    } catch (...) {
        log.LogVerb("Unknown exception in %s. Proceed anyway.\n", kConstructorSignature);
        probeFailure = "unknown error";
    }

    log.LogVerb("USB adapter version: %#x\n%s", static_cast<unsigned>(m_versionNumber),
                m_versionNumber < kOldestSupportedVersion ? "WARNING: this version is not supported.\n" : "");
    m_opened = false;
    try {
        m_usb->Close();
    } catch (const std::exception& e) {
        log.Log("%s: skipped: %s\n", Printable(name).c_str(), Printable(e.what()).c_str());
        throw;
    }
    // Listed all the same: opening it later tries the device again.
    if (!probeFailure.empty())
        log.Log("%s: could not be probed: %s; listed with its firmware version unknown\n",
                Printable(name).c_str(), Printable(probeFailure).c_str());
    else if (m_versionNumber < kOldestSupportedVersion)
        log.Log("%s: firmware version 0x%x is not supported (0x%x or later is); listed all the same\n",
                Printable(name).c_str(), static_cast<unsigned>(m_versionNumber),
                static_cast<unsigned>(kOldestSupportedVersion));
}

CKorselUsbJTAG::~CKorselUsbJTAG() = default;

void CKorselUsbJTAG::Open()
{
    m_usb->Open();
    m_opened = true;
    // A clock a client set lasts for its session: the next one starts at
    // the configured clock again.
    if (m_clockCode != m_configuredCode) {
        const unsigned char clock = static_cast<unsigned char>(m_configuredCode);
        m_usb->Write(m_controlEndPoint, &clock, 1);
        m_clockCode = m_configuredCode;
    }
    m_askedHertz = m_configuredHertz;
}

void CKorselUsbJTAG::SetFrequency(unsigned int hertz)
{
    // The firmware takes its clock choice on the control endpoint at any
    // time: the fastest of its three clocks not above the one asked for
    // (12 MHz for anything slower), clamped and said as every adapter does.
    const uint16_t code = ClockCode(hertz);
    const unsigned char clock = static_cast<unsigned char>(code);
    m_usb->Write(m_controlEndPoint, &clock, 1);
    m_clockCode = code;
    m_askedHertz = hertz;
    LogClock(m_context.logger, m_name, hertz, ClockOf(code));
}

void CKorselUsbJTAG::RunTest(unsigned int count)
{
    // The firmware has no command that clocks the TAP in Run-Test/Idle; it
    // leaves the TAP there after every scan. What a client needs of idle
    // clocks (a flash cell programming, a fuse blowing) is their time: the
    // wait they take at the adapter's clock, or at the clock the client last
    // asked for when that is slower (the count was reckoned at it, and a
    // wait too long harms nothing where one too short would). A client that
    // leaves stops the wait.
    if (count == 0)
        return;
    const uint64_t hertz = std::min<uint64_t>(ClockOf(m_clockCode), std::max<uint32_t>(m_askedHertz, 1));
    const auto wait = std::chrono::nanoseconds(count * UINT64_C(1000000000) / hertz);
    const auto end = std::chrono::steady_clock::now() + wait;
    for (auto now = std::chrono::steady_clock::now(); now < end; now = std::chrono::steady_clock::now()) {
        CheckStillWanted("RunTest");
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(end - now, kRunTestCheck));
    }
}

void CKorselUsbJTAG::Close()
{
    // Cleared first: an unplugged device fails to close but is closed for us.
    m_opened = false;
    m_usb->Close();
}

void CKorselUsbJTAG::ResetAdapter()
{
    // The adapter starts again at its configured clock, as after opening.
    m_clockCode = m_configuredCode;
    m_askedHertz = m_configuredHertz;
    m_context.logger.LogVerb("ResetAdapter(%d)\n", m_clockCode);
    const unsigned char clock = static_cast<unsigned char>(m_clockCode);
    m_usb->Write(m_controlEndPoint, &clock, 1);
    usleep(2000);
    const unsigned char reset = CONTROL_ADAPTER_RESET;
    m_usb->Write(m_controlEndPoint, &reset, 1);
    usleep(2000);
    m_context.logger.LogVerb("ADAPTER_ACTIVE_RESET\n");
    const unsigned char release = CONTROL_ADAPTER_RELEASE;
    m_usb->Write(m_controlEndPoint, &release, 1);
    m_context.logger.LogVerb("ADAPTER_DEACTIVE_RESET\n");
}

void CKorselUsbJTAG::DrainReplies()
{
    try {
        unsigned char stale[32];
        for (unsigned i = 0; i < kMaxDrainReads; ++i)
            if (m_usb->ReadWithTimeout(m_replyEndPoint, stale, sizeof stale, kDrainTimeoutMs) <= 0)
                break;
    } catch (const std::runtime_error&) {
        // A read that fails (usually its time-out) ends the draining.
    }
}

void CKorselUsbJTAG::SendLines()
{
    const CommandFrame frame = LineFrame(LineLevels());
    unsigned char reply[kReplyRoom];  // the firmware's answer carries nothing we use
    // The lines are set whatever the answer; an answer of another size only
    // must not be left behind for the next command to read.
    if (BulkWriteRead(frame.data(), frame.size(), reply, sizeof reply) != kLineReplySize)
        DrainReplies();
}

void CKorselUsbJTAG::SetTRST(bool level)
{
    if (level == m_trst)
        return;
    const bool released = !m_trst && level;
    m_trst = level;
    // Releasing TRST leaves the TAP reset, holding the identification instruction.
    if (released)
        m_lastInstruction = kIdCodeInstruction;
    SendLines();
}

void CKorselUsbJTAG::SetSYS_RST(bool level)
{
    if (level == m_sysRst)
        return;
    m_sysRst = level;
    SendLines();
}

unsigned int CKorselUsbJTAG::ShiftIR(unsigned int value, int length, TapState end)
{
    CheckIRLength(length);
    if (!FrameCarriesInstruction(length))
        throw std::logic_error(m_name + ": an instruction scan of " + std::to_string(length) +
                               " bits cannot be sent: this adapter's frames carry instructions of 4 or 8 bits "
                               "only");
    CheckIdleEnd(TapState::SHIFT_IR, end);
    const std::vector<uint8_t> frame = IRScanFrame(value, length, LineLevels());
    unsigned char reply[8] = {};
    const int received = BulkWriteRead(frame.data(), static_cast<unsigned>(frame.size()), reply, sizeof reply);
    if (received != 2) {
        DrainReplies();
        throw std::runtime_error("Usb ShiftIR failed, res = " + std::to_string(received));
    }
    m_lastInstruction = value;
    // Reply byte 0 holds the first 8 bits captured; a 4-bit register's own
    // are its low nibble (the rest is the nibble sent first coming back).
    return length == 4 ? reply[0] & 0x0F : reply[0];
}

void CKorselUsbJTAG::ShiftDR(const unsigned char* in, unsigned char* out, int length, TapState end)
{
    if (length < 0)
        throw std::logic_error("Invalid bit length of register");
    if (length != 0)
        CheckIdleEnd(TapState::SHIFT_DR, end);
    // A scan without bits has no buffers to read or fill: nothing is sent.
    if (length == 0)
        return;
    const size_t outSize = static_cast<size_t>(length + 7) / 8;

    if (m_lastInstruction == kIdCodeInstruction) {
        const CommandFrame frame = IdentificationFrame();
        unsigned char idcode[kReplyRoom] = {};
        const int received = BulkWriteRead(frame.data(), frame.size(), idcode, sizeof idcode);
        CheckReplySize("identification read", received, 4);
        std::copy(idcode, idcode + std::min<size_t>(4, outSize), out);
        return;
    }

    const std::vector<uint8_t> frame = DRScanFrame(in, outSize, length, LineLevels());
    if (IsLineFrame(frame.data(), frame.size())) {
        throw std::logic_error("Data scan of " + std::to_string(length) +
                               " bits with first byte 0x4D cannot be sent: the adapter takes it for its "
                               "line frame (34 to 41 bits need a first byte other than 0x4D)");
    }
    const size_t expected = DRReplySize(length);
    // Up to 8 bits the frame carries no data bytes and the firmware answers
    // nothing, whatever bit 6 says: there is no reply to wait for.
    if (!DRScanReturnsData(in[0]) || expected == 0) {
        BulkWrite(frame.data(), static_cast<unsigned>(frame.size()));
        return;
    }
    unsigned char reply[kReplyRoom] = {};
    const int received = BulkWriteRead(frame.data(), static_cast<unsigned>(frame.size()), reply, sizeof reply);
    CheckReplySize("data scan", received, expected);
    RealignDRReply(reply, expected, out, outSize);
}

void CKorselUsbJTAG::CheckReplySize(const char* what, int received, size_t expected)
{
    if (received >= 0 && static_cast<size_t>(received) == expected)
        return;
    // Whatever else the device still holds would be read as the answer to
    // the next command.
    DrainReplies();
    throw std::runtime_error(std::string("Usb ") + what + " failed: " + std::to_string(received) +
                             " reply bytes, expected " + std::to_string(expected));
}

void CKorselUsbJTAG::ReadMemBlk(unsigned int address, void* buffer, unsigned int size)
{
    ReadBlocks(address, buffer, size, m_wordsPerBlock, m_blocksPerTransfer);
}

void CKorselUsbJTAG::WriteMemBlk(unsigned int address, const void* data, unsigned int size)
{
    WriteBlocks(address, data, size, m_wordsPerBlock, m_blocksPerTransfer);
}

// The firmware moves whole 32-bit words at word addresses. A transfer that
// starts or ends inside a word reads that word through the adapter's own
// read frames and uses (or, for a write, merges and writes back) only the
// bytes asked for. Such a read-modify-write is not atomic against the target
// changing the same word meanwhile; memory a debugger writes is at rest.
void CKorselUsbJTAG::ReadBlocks(uint32_t address, void* buffer, unsigned int size,
                                  uint32_t wordsPerBlock, uint32_t blocksPerTransfer)
{
    m_context.logger.LogVerb("ReadMemBlk(0x%08x,%d)\n", address, static_cast<int>(size));
    unsigned char* out = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    const unsigned head = address % 4;
    if (size > 0 && (head != 0 || size < 4)) {
        unsigned char word[4];
        ReadWords(address - head, word, 1, wordsPerBlock, blocksPerTransfer);
        done = std::min<size_t>(4 - head, size);
        std::memcpy(out, word + head, done);
    }
    const uint64_t words = (size - done) / 4;
    ReadWords(address + static_cast<uint32_t>(done), out + done, words, wordsPerBlock, blocksPerTransfer);
    done += static_cast<size_t>(words * 4);
    if (done < size) {
        unsigned char word[4];
        ReadWords(address + static_cast<uint32_t>(done), word, 1, wordsPerBlock, blocksPerTransfer);
        std::memcpy(out + done, word, size - done);
    }
}

void CKorselUsbJTAG::WriteBlocks(uint32_t address, const void* data, unsigned int size,
                                   uint32_t wordsPerBlock, uint32_t blocksPerTransfer)
{
    m_context.logger.LogVerb("WriteMemBlk(0x%08x,%d)\n", address, static_cast<int>(size));
    const unsigned char* in = static_cast<const unsigned char*>(data);
    size_t done = 0;
    const unsigned head = address % 4;
    if (size > 0 && (head != 0 || size < 4)) {
        unsigned char word[4];
        ReadWords(address - head, word, 1, wordsPerBlock, blocksPerTransfer);
        done = std::min<size_t>(4 - head, size);
        std::memcpy(word + head, in, done);
        WriteWords(address - head, word, 1, wordsPerBlock, blocksPerTransfer);
    }
    const uint64_t words = (size - done) / 4;
    WriteWords(address + static_cast<uint32_t>(done), in + done, words, wordsPerBlock, blocksPerTransfer);
    done += static_cast<size_t>(words * 4);
    if (done < size) {
        unsigned char word[4];
        const uint32_t tail = address + static_cast<uint32_t>(done);
        ReadWords(tail, word, 1, wordsPerBlock, blocksPerTransfer);
        std::memcpy(word, in + done, size - done);
        WriteWords(tail, word, 1, wordsPerBlock, blocksPerTransfer);
    }
}

void CKorselUsbJTAG::ReadWords(uint32_t address, unsigned char* out, uint64_t remaining, uint32_t wordsPerBlock,
                               uint32_t blocksPerTransfer)
{
    std::vector<unsigned char> receive(kReceiveArea);
    unsigned attempts = 0;
    for (uint64_t transfers = 0; remaining > 0; ++transfers) {
        // A read of megabytes stops when nobody waits for it.
        if (transfers > 0 && transfers % kTransfersPerCheck == 0)
            CheckStillWanted("ReadMemBlk");
        const std::vector<Block> blocks =
            PlanTransfer(address, remaining, wordsPerBlock, blocksPerTransfer);
        const uint64_t words = TransferWords(blocks);
        const std::vector<uint8_t> frames = ReadTransferFrames(blocks, LineLevels());
        BulkWrite(frames.data(), static_cast<unsigned>(frames.size()));

        size_t received = 0;
        for (size_t i = 0; i < blocks.size(); ++i) {
            const size_t room = static_cast<size_t>(std::min<uint64_t>(4 * words, kReceiveArea - received));
            const int got = BulkRead(receive.data() + received, static_cast<unsigned>(room));
            received += Received(got, room);
        }

        // A reply of another size than asked for: whatever of it the device
        // still holds must not be taken for the answer to the next transfer.
        // (Nothing at all is no reply to drain.)
        if (received != 0 && received != 4 * words)
            DrainReplies();
        const uint64_t stored = std::min<uint64_t>(received / 4, words);
        if (stored == 0) {
            // The transfer is sent again, but not forever: a device that keeps
            // answering nothing (or less than a word) fails the read after
            // kReadAttempts sends.
            if (++attempts >= kReadAttempts) {
                char message[80];
                std::snprintf(message, sizeof message,
                              "USB JTAG adapter returned no data for the read at 0x%08x", address);
                throw std::runtime_error(message);
            }
            continue;
        }
        attempts = 0;
        std::memcpy(out, receive.data(), static_cast<size_t>(stored) * 4);  // words arrive little-endian
        out += stored * 4;
        address += static_cast<uint32_t>(stored * 4);
        remaining -= stored;
    }
}

void CKorselUsbJTAG::WriteWords(uint32_t address, const unsigned char* in, uint64_t remaining,
                                uint32_t wordsPerBlock, uint32_t blocksPerTransfer)
{
    for (uint64_t transfers = 0; remaining > 0; ++transfers) {
        if (transfers > 0 && transfers % kTransfersPerCheck == 0)
            CheckStillWanted("WriteMemBlk");
        const std::vector<Block> blocks =
            PlanTransfer(address, remaining, wordsPerBlock, blocksPerTransfer);
        const uint64_t words = TransferWords(blocks);
        const std::vector<uint8_t> frames = WriteTransferFrames(blocks, in, LineLevels());
        BulkWrite(frames.data(), static_cast<unsigned>(frames.size()));
        in += words * 4;
        address += static_cast<uint32_t>(words * 4);
        remaining -= words;
    }
}

int CKorselUsbJTAG::BulkWrite(const void* data, unsigned int size)
{
    if (size == 0)
        return 0;
    return m_usb->Write(m_commandEndPoint, data, size);
}

int CKorselUsbJTAG::BulkRead(void* data, unsigned int size)
{
    if (size == 0)
        return 0;
    return m_usb->Read(m_replyEndPoint, data, size);
}

int CKorselUsbJTAG::BulkWriteRead(const void* out, unsigned int outSize, void* in, unsigned int inSize)
{
    if (outSize == 0)
        return 0;
    BulkWrite(out, outSize);
    return BulkRead(in, inSize);
}

usb::Kind UsbKind()
{
    return {"ezusb", nullptr,
            [](struct usb_device* device, const CUsbJTAGDescription& entry, const std::string& name,
               const AdapterContext& context) -> std::shared_ptr<CJTAG> {
                return std::make_shared<CKorselUsbJTAG>(
                    std::unique_ptr<usb::CUsbInterface>(new usb::CUsbInterface(device, context.logger)), name,
                    entry.frequency, device->descriptor.iSerialNumber, context);
            }};
}

}  // namespace ezusb
