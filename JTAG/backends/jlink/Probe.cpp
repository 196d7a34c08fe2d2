// SEGGER J-Link probes (see Probe.h for the device and its endpoints).
// Commands and replies follow the J-Link USB protocol as SEGGER's RM08001
// describes it; Commands.h builds and parses them.
#include "JTAG/backends/jlink/Probe.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "JTAG/core/Frequency.h"
#include "base/Printable.h"
#include "config/Description.h"
#include "log/Logger.h"

namespace jlink {

namespace {

std::string Hex2(uint8_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", value);
    return text;
}

void CheckDataLength(int bits)
{
    if (bits < 0)
        throw std::logic_error("Invalid bit length of register " + std::to_string(bits));
}

}  // namespace

CJlinkJTAG::CJlinkJTAG(std::unique_ptr<usb::CUsbInterface> usb, const std::string& name,
                       const std::string& frequency, const AdapterContext& context, uint8_t serialIndex)
    : CJTAG(context), m_usb(std::move(usb)), m_buffer(kCommandBufferSize)
{
    if (!m_usb)
        throw std::logic_error("CJlinkJTAG needs a USB interface");

    bool haveIn = false;
    bool haveOut = false;
    for (unsigned int address : m_usb->GetEndPoints()) {
        if ((address & 0x80) && !haveIn) {
            m_in.address = static_cast<uint8_t>(address);
            haveIn = true;
        } else if (!(address & 0x80) && !haveOut) {
            m_out.address = static_cast<uint8_t>(address);
            haveOut = true;
        }
    }
    if (!haveIn || !haveOut) {
        // The probe cannot be driven without both pipes; say so at the normal
        // level, since the scan reports refused devices only when verbose.
        const std::string message =
            "J-Link " + name + " has no bulk " + (haveIn ? "OUT" : "IN") + " endpoint; the device is skipped.";
        m_context.logger.Log("%s\n", message.c_str());
        throw std::runtime_error(message);
    }

    m_name = name;

    // The scan reports a refused device only when verbose: say here, at the
    // normal level, which step of the probe failed.
    const uint32_t hertz = ConfiguredFrequency(frequency, m_context.logger);
    m_speed = SpeedFromHertz(hertz);
    LogClock(m_context.logger, m_name, hertz, 1000u * m_speed, true);
    try {
        m_usb->Open();
        m_opened = true;

        if (serialIndex != 0) {
            char serial[256] = {};
            m_usb->Read(usb::CEndPoint{usb::ENDPOINT_STRING, serialIndex}, serial, sizeof serial - 1);
            m_serialNumber = serial;
        }

        m_adapterType = GetAdapterType();

        std::vector<uint8_t> config(kConfigSize);
        SendByte(EMU_CMD_READ_CONFIG);
        ReadResultOfExecutedCommand(config.data(), static_cast<uint32_t>(config.size()));  // not used

        const uint8_t powerOff[2] = {EMU_CMD_SET_KS_POWER, 0x00};
        ExecuteCommand(powerOff, sizeof powerOff);
        SelectJtagInterface();
        SetJtagSpeed(m_speed);

        m_usb->Close();
        m_opened = false;
    } catch (const std::exception& e) {
        m_context.logger.Log("%s: skipped: %s\n", Printable(name).c_str(), Printable(e.what()).c_str());
        if (m_opened) {
            m_opened = false;
            try {
                m_usb->Close();
            } catch (const std::exception&) {
                // The probe's own failure is the one worth reporting.
            }
        }
        throw;
    }
}

CJlinkJTAG::~CJlinkJTAG() = default;

bool CJlinkJTAG::IsJlink(unsigned short vendor, unsigned short product)
{
    return vendor == 0x1366 && product == 0x0101;
}

void CJlinkJTAG::Open()
{
    m_usb->Open();
    m_opened = true;
}

void CJlinkJTAG::Close()
{
    // A command left pending by the last user must not reach the next one.
    DropPending();
    m_opened = false;
    m_usb->Close();
}

void CJlinkJTAG::ResetAdapter()
{
    DropPending();
    SelectJtagInterface();
    SetJtagSpeed(m_speed);
}

void CJlinkJTAG::ReadMemBlk(unsigned int, void*, unsigned int)
{
    throw std::runtime_error("Bulk io operations aren't supported for J-Link adapters.");
}

void CJlinkJTAG::WriteMemBlk(unsigned int, const void*, unsigned int)
{
    throw std::runtime_error("Bulk io operations aren't supported for J-Link adapters.");
}

// ---------------------------------------------------------------------------
// Moving bytes.

void CJlinkJTAG::ExecuteCommand(const uint8_t* command, uint32_t size)
{
    if (size == 0)
        return;
    try {
        const int sent = m_usb->Write(m_out, command, size);
        if (sent != static_cast<int>(size))
            throw std::runtime_error("the probe took " + std::to_string(sent) + " bytes");
    } catch (const std::exception& e) {
        m_context.logger.LogError("Failed to execute the command 0x%02x : %s\n", command[0], e.what());
        // As for reads: the transport's text alone may be stale.
        throw std::runtime_error("J-Link " + m_name + ": sending " + std::to_string(size) + " bytes of command " +
                                 Hex2(command[0]) + " failed: " + e.what());
    }
}

void CJlinkJTAG::ReadResultOfExecutedCommand(uint8_t* buffer, uint32_t size)
{
    uint32_t received = 0;
    unsigned int empty = 0;
    try {
        while (received < size) {
            const int got = m_usb->Read(m_in, buffer + received, size - received);
            if (got > 0) {
                received += std::min<uint32_t>(static_cast<uint32_t>(got), size - received);
                empty = 0;
            } else if (++empty >= kMaxEmptyReads) {
                // An empty packet may end a transfer, but a probe that keeps
                // sending nothing is not waited for forever.
                throw std::runtime_error("the probe sent empty packets only");
            }
        }
        if (ReplyHasTrailingByte(m_adapterType, size)) {
            // One read: the probe sends either an empty packet or one byte.
            uint8_t trailing = 0;
            m_usb->Read(m_in, &trailing, 1);
        }
    } catch (const std::exception& e) {
        // The transport's text alone may be stale (libusb-0.1 keeps its last
        // message after a time-out), so say what was being read.
        throw std::runtime_error("J-Link " + m_name + ": reading a reply of " + std::to_string(size) +
                                 " bytes failed after " + std::to_string(received) + " bytes: " + e.what());
    }
}

void CJlinkJTAG::SendByte(uint8_t command)
{
    ExecuteCommand(&command, 1);
}

int CJlinkJTAG::GetAdapterType()
{
    SendByte(EMU_CMD_VERSION);
    uint8_t length[2] = {};
    ReadResultOfExecutedCommand(length, sizeof length);
    std::vector<uint8_t> text(static_cast<size_t>(length[0]) | static_cast<size_t>(length[1]) << 8);
    ReadResultOfExecutedCommand(text.data(), static_cast<uint32_t>(text.size()));
    return AdapterTypeFromVersion(text.data(), text.size());
}

void CJlinkJTAG::SetJtagSpeed(unsigned short kHz)
{
    const std::array<uint8_t, 3> command = SpeedCommand(kHz);
    ExecuteCommand(command.data(), static_cast<uint32_t>(command.size()));
}

void CJlinkJTAG::SelectJtagInterface()
{
    const uint8_t command[2] = {EMU_CMD_HW_SELECT_IF, 0x00};
    ExecuteCommand(command, sizeof command);
    uint8_t reply[kSelectInterfaceReplySize];
    ReadResultOfExecutedCommand(reply, sizeof reply);  // the interface selected before; not used
}

// ---------------------------------------------------------------------------
// The queue: one pending command, built step by step.

void CJlinkJTAG::Begin(EmuCmdHwJtag::CmdType type)
{
    m_pending.reset(new EmuCmdHwJtag(m_tapState, m_buffer.data(), static_cast<unsigned int>(m_buffer.size()), type));
}

void CJlinkJTAG::Flush(std::vector<unsigned char>& results, unsigned char* sequenceTdo)
{
    if (!m_pending)
        return;
    // Taken out first: whatever happens, this command is never sent again,
    // and after a failure neither its scans nor earlier results survive.
    std::unique_ptr<EmuCmdHwJtag> command = std::move(m_pending);
    std::vector<Slice> slices;
    slices.swap(m_slices);
    m_tapState = command->State();
    try {
        ExecuteCommand(command->data(), command->Size());
        if (command->Type() == EmuCmdHwJtag::READ_BACK) {
            const uint32_t tdoBytes = (command->Clocks() + 7) / 8;
            // The command has been sent: its buffer now takes the TDO bits.
            ReadResultOfExecutedCommand(m_buffer.data(), tdoBytes);
            uint8_t status = 0;
            ReadResultOfExecutedCommand(&status, 1);
            if (status != 0)
                throw std::runtime_error("Shift operation failed.");
            for (const Slice& slice : slices) {
                // The reply covers every clock of the command, this scan's too.
                if (static_cast<size_t>(tdoBytes) * 8 < static_cast<size_t>(slice.offset) + slice.bits)
                    throw std::runtime_error("J-Link reply is shorter than the scans it answers");
                if (slice.sequence) {
                    if (!sequenceTdo)
                        throw std::logic_error("J-Link raw sequence flushed without its TDO buffer");
                    for (uint32_t k = 0; k < slice.bits; ++k) {
                        const uint32_t from = slice.offset + k;
                        const uint64_t to = slice.into + k;
                        if ((m_buffer[from / 8] >> (from % 8)) & 1)
                            sequenceTdo[to / 8] |= static_cast<unsigned char>(1u << (to % 8));
                    }
                    continue;
                }
                const std::vector<unsigned char> bits =
                    ReadScanChainShiftedData(m_buffer.data(), slice.offset, static_cast<int>(slice.bits));
                results.insert(results.end(), bits.begin(), bits.end());
            }
        }
    } catch (...) {
        results.clear();
        m_results.clear();
        throw;
    }
}

void CJlinkJTAG::Append(std::vector<unsigned char>& results, const std::function<void(EmuCmdHwJtag&)>& step)
{
    try {
        step(*m_pending);
        return;
    } catch (const limit_exceeded&) {
        if (m_pending->Clocks() == 0)
            throw;
    }
    const EmuCmdHwJtag::CmdType type = m_pending->Type();
    Flush(results);
    Begin(type);
    step(*m_pending);
}

void CJlinkJTAG::AppendScan(ShiftType type, const uint8_t* data, int bits, TapState end, bool readBack,
                            std::vector<unsigned char>& results)
{
    const TapState shift = type == INSTRUCTION_SCAN ? TapState::SHIFT_IR : TapState::SHIFT_DR;
    Append(results, [&](EmuCmdHwJtag& command) { command.Move(shift); });
    Append(results, [&](EmuCmdHwJtag& command) {
        const uint32_t offset = command.Clocks();
        command.AppendScan(data, static_cast<unsigned int>(bits));
        if (readBack)
            m_slices.push_back({offset, static_cast<uint32_t>(bits), false, 0});
    });
    Append(results, [&](EmuCmdHwJtag& command) { command.Move(end); });
}

void CJlinkJTAG::DropPending()
{
    m_pending.reset();  // never sent: the TAP did not move
    m_slices.clear();
    m_results.clear();
}

void CJlinkJTAG::DiscardResults()
{
    DropPending();
}

std::vector<unsigned char> CJlinkJTAG::ReadScanChainShiftedData(const uint8_t* tdo, uint32_t bitOffset, int bits)
{
    if (!tdo)
        throw std::runtime_error(
            "Invalid pointer argument in "
            "std::vector<unsigned char> CJlinkJTAG::ReadScanChainShiftedData(uint8_t*, uint32_t, int)");
    if (bits <= 0)
        return {};
    const uint32_t count = static_cast<uint32_t>(bits);
    return ExtractBits(tdo, (static_cast<size_t>(bitOffset) + count + 7) / 8, bitOffset, count);
}

void CJlinkJTAG::AsyncShift(ShiftType type, const uint8_t* data, int bits, TapState end, bool writeOnly)
{
    CheckDataLength(bits);
    // A scan without bits shifts nothing and delivers nothing, as on the other
    // back-ends (a 0-bit scan could not leave the Shift state anyway).
    if (bits == 0)
        return;
    if (!data)
        throw std::logic_error("J-Link scan of " + std::to_string(bits) + " bits without data");
    const EmuCmdHwJtag::CmdType wanted = writeOnly ? EmuCmdHwJtag::WRITE_ONLY : EmuCmdHwJtag::READ_BACK;
    try {
        if (m_pending && m_pending->Type() != wanted)
            Flush(m_results);
        if (!m_pending)
            Begin(wanted);
        AppendScan(type, data, bits, end, !writeOnly, m_results);
    } catch (...) {
        // A half-queued scan would desynchronise the TAP from what we track:
        // the batch is dropped; the session reports the failure.
        DropPending();
        throw;
    }
}

std::vector<unsigned char> CJlinkJTAG::ScanAlone(ShiftType type, const uint8_t* data, int bits, TapState end)
{
    std::vector<unsigned char> own;
    try {
        Flush(m_results);
        Begin(EmuCmdHwJtag::READ_BACK);
        AppendScan(type, data, bits, end, true, own);
        Flush(own);
    } catch (...) {
        DropPending();
        throw;
    }
    return own;
}

void CJlinkJTAG::AsyncShiftIR(unsigned int value, int length, TapState end)
{
    CheckIRLength(length);
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    AsyncShift(INSTRUCTION_SCAN, bytes, length, end, false);
}

void CJlinkJTAG::AsyncShiftDR(const unsigned char* in, int length, TapState end)
{
    AsyncShift(DATA_SCAN, in, length, end, false);
}

void CJlinkJTAG::AsyncWriteDR(const unsigned char* in, int length, TapState end)
{
    AsyncShift(DATA_SCAN, in, length, end, true);
}

void CJlinkJTAG::Wait(std::vector<unsigned char>& out)
{
    Flush(m_results);
    out.swap(m_results);
    m_results.clear();
}

unsigned int CJlinkJTAG::ShiftIR(unsigned int value, int length, TapState end)
{
    CheckIRLength(length);
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    const std::vector<unsigned char> own = ScanAlone(INSTRUCTION_SCAN, bytes, length, end);
    unsigned int captured = 0;
    for (size_t i = 0; i < own.size() && i < 4; ++i)
        captured |= static_cast<unsigned int>(own[i]) << (8 * i);
    return captured;
}

void CJlinkJTAG::ShiftDR(const unsigned char* in, unsigned char* out, int length, TapState end)
{
    CheckDataLength(length);
    if (length == 0)
        return;
    if (!in)
        throw std::logic_error("J-Link scan of " + std::to_string(length) + " bits without data");
    const std::vector<unsigned char> own = ScanAlone(DATA_SCAN, in, length, end);
    std::copy(own.begin(), own.end(), out);
}

// ---------------------------------------------------------------------------
// Commands that use the buffer or the probe directly. Each first sends a
// pending command, so that nothing queued before it is overwritten or
// reordered (its results stay for the next Wait).

void CJlinkJTAG::RunTest(unsigned int count)
{
    Flush(m_results);
    // No clocks, no command: an empty JTAG command would carry a TMS and a
    // TDI byte for 0 clocks, two bytes more than the probe reads for it,
    // which it would take for the start of another command.
    if (count == 0)
        return;
    // The other clocks stay in Run-Test/Idle: TMS and TDI 0. Counts beyond
    // one command's 65535 clocks go out in several commands.
    static const uint8_t zeros[kCommandBufferSize / 8] = {};
    try {
        Begin(EmuCmdHwJtag::WRITE_ONLY);
        m_pending->Move(TapState::RUN_TEST_IDLE);
        unsigned int remaining = count - 1;
        while (remaining > 0) {
            const unsigned int room = kMaxClocks - m_pending->Clocks();
            if (room == 0) {
                // 2^32 clocks are 65537 probe commands: stop if the client left.
                CheckStillWanted("RunTest");
                Flush(m_results);
                Begin(EmuCmdHwJtag::WRITE_ONLY);
                continue;
            }
            const unsigned int clocks = std::min(remaining, room);
            m_pending->AppendData(zeros, zeros, clocks);
            remaining -= clocks;
        }
        Flush(m_results);
    } catch (...) {
        m_pending.reset();  // never sent: the TAP did not move
        throw;
    }
}

void CJlinkJTAG::ClockSequence(const unsigned char* tms, const unsigned char* tdi, unsigned char* tdo,
                               unsigned int bits)
{
    if (bits == 0) {
        Flush(m_results);
        return;
    }
    if (!tms || !tdi || !tdo)
        throw std::logic_error("J-Link raw sequence of " + std::to_string(bits) + " bits without its vectors");
    std::fill(tdo, tdo + (static_cast<size_t>(bits) + 7) / 8, 0);
    try {
        if (m_pending && m_pending->Type() != EmuCmdHwJtag::READ_BACK)
            Flush(m_results);
        if (!m_pending)
            Begin(EmuCmdHwJtag::READ_BACK);
        uint64_t done = 0;
        while (done < bits) {
            const unsigned int room = m_pending->Room();
            if (room == 0) {
                // 2^32 clocks are 65537 probe commands: stop if the client left.
                CheckStillWanted("ClockSequence");
                Flush(m_results, tdo);
                Begin(EmuCmdHwJtag::READ_BACK);
                continue;
            }
            const unsigned int clocks = static_cast<unsigned int>(std::min<uint64_t>(room, bits - done));
            const uint32_t offset = m_pending->Clocks();
            m_pending->AppendRaw(tms, tdi, done, clocks);
            m_slices.push_back({offset, clocks, true, done});
            done += clocks;
        }
        // The TAP follows the TMS bits whether or not the reply arrives
        // (Flush takes the command's end state before sending it).
        Flush(m_results, tdo);
    } catch (...) {
        DropPending();
        throw;
    }
}

void CJlinkJTAG::SetFrequency(unsigned int hertz)
{
    Flush(m_results);
    const uint16_t kHz = SpeedFromHertz(hertz);
    SetJtagSpeed(kHz);
    LogClock(m_context.logger, m_name, hertz, 1000u * kHz);
}

void CJlinkJTAG::SetTRST(bool level)
{
    Flush(m_results);
    SendByte(level ? EMU_CMD_HW_TRST1 : EMU_CMD_HW_TRST0);
    // Released for the first time (or again after being driven low): the
    // TAPs sit in Test-Logic-Reset; idle clocks bring them to Run-Test/Idle,
    // which every route there reaches from Test-Logic-Reset as well.
    if (level && !m_trstReleased)
        RunTest(100);
    m_trstReleased = level;
    m_trst = level;
}

void CJlinkJTAG::SetSYS_RST(bool level)
{
    Flush(m_results);
    SendByte(level ? EMU_CMD_HW_RESET1 : EMU_CMD_HW_RESET0);
    m_sysRst = level;
}

usb::Kind UsbKind()
{
    return {"jlink", &CJlinkJTAG::IsJlink,
            [](struct usb_device* device, const CUsbJTAGDescription& entry, const std::string& name,
               const AdapterContext& context) -> std::shared_ptr<CJTAG> {
                return std::make_shared<CJlinkJTAG>(
                    std::unique_ptr<usb::CUsbInterface>(new usb::CUsbInterface(device, context.logger)), name,
                    entry.frequency, context, device->descriptor.iSerialNumber);
            }};
}

}  // namespace jlink
