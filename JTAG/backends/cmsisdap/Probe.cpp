// CMSIS-DAP probes (see Probe.h for the device and its endpoints). Commands
// and responses follow Arm's CMSIS-DAP documentation; Commands.h builds and
// parses them.
#include "JTAG/backends/cmsisdap/Probe.h"

#include <usb.h>

#include <algorithm>
#include <stdexcept>

#include "JTAG/core/Frequency.h"
#include "JTAG/usb/Strings.h"
#include "base/Printable.h"
#include "config/Description.h"
#include "log/Logger.h"

namespace cmsisdap {

namespace {

constexpr uint8_t kHidClass = 0x03;
constexpr uint8_t kVendorClass = 0xFF;
constexpr unsigned int kReplyTimeoutMs = 1000;
// Clocks of a long idle run or raw sequence sent as one exchange: well
// under a megabyte of packets, a quarter of a second at 1 MHz.
constexpr uint64_t kClocksPerExchange = 1u << 18;
// Room for any DAP_Info answer before the packet size is known.
constexpr size_t kInfoReplyRoom = 1024;

bool NamesDap(const std::string& text) { return text.find("CMSIS-DAP") != std::string::npos; }

void CheckDataLength(int bits)
{
    if (bits < 0)
        throw std::logic_error("Invalid bit length of register " + std::to_string(bits));
}

// The interfaces that may be CMSIS-DAP ones, with their strings read.
std::vector<std::pair<usb::Interface, std::string>> Candidates(struct usb_device* device)
{
    std::vector<usb::Interface> interfaces;
    for (const usb::Interface& iface : usb::Interfaces(device))
        if ((iface.interfaceClass == kVendorClass || iface.interfaceClass == kHidClass) && iface.stringIndex != 0)
            interfaces.push_back(iface);
    std::vector<uint8_t> indexes;
    for (const usb::Interface& iface : interfaces)
        indexes.push_back(iface.stringIndex);
    const std::vector<std::string> strings = usb::ReadStrings(device, indexes);
    std::vector<std::pair<usb::Interface, std::string>> out;
    for (size_t i = 0; i < interfaces.size(); ++i)
        out.push_back({interfaces[i], strings[i]});
    return out;
}

}  // namespace

DapInterface FindDapInterface(struct usb_device* device)
{
    bool hid = false;
    bool vendorWithoutPipes = false;
    for (const auto& [iface, text] : Candidates(device)) {
        if (!NamesDap(text))
            continue;
        if (iface.interfaceClass == kHidClass) {
            hid = true;
            continue;
        }
        DapInterface dap;
        dap.number = iface.number;
        for (const usb::Endpoint& endpoint : iface.endpoints) {
            if (endpoint.type != USB_ENDPOINT_TYPE_BULK)
                continue;
            // The first pair; a third endpoint (SWO trace) follows them.
            if ((endpoint.address & 0x80) && dap.in == 0)
                dap.in = endpoint.address;
            else if (!(endpoint.address & 0x80) && dap.out == 0)
                dap.out = endpoint.address;
        }
        if (dap.in != 0 && dap.out != 0)
            return dap;
        vendorWithoutPipes = true;
    }
    if (vendorWithoutPipes)
        throw std::runtime_error("its CMSIS-DAP interface lacks a bulk IN or OUT endpoint");
    if (hid)
        throw std::runtime_error(
            "it is a CMSIS-DAP v1 (HID) probe: serving it would take the interface from the kernel's usbhid "
            "driver, which libusb-0.1 cannot give back until the probe is replugged; a firmware with CMSIS-DAP v2 "
            "is served");
    throw std::runtime_error("no interface string holds \"CMSIS-DAP\"");
}

bool HasDapInterface(struct usb_device* device)
{
    for (const usb::Interface& iface : usb::Interfaces(device))
        if ((iface.interfaceClass == kVendorClass || iface.interfaceClass == kHidClass) && iface.stringIndex != 0) {
            for (const auto& candidate : Candidates(device))
                if (NamesDap(candidate.second))
                    return true;
            return false;
        }
    return false;
}

// ---------------------------------------------------------------------------

CCmsisDapJTAG::CCmsisDapJTAG(std::unique_ptr<usb::CUsbInterface> usb, const DapInterface& dap,
                             const std::string& name, const std::string& frequency, const std::string& usbSerial,
                             const AdapterContext& context)
    : CJTAG(context),
      m_usb(std::move(usb)),
      m_configuredHertz(ConfiguredFrequency(frequency, context.logger)),
      m_hertz(m_configuredHertz),
      m_reply(kInfoReplyRoom)
{
    if (!m_usb)
        throw std::logic_error("CCmsisDapJTAG needs a USB interface");
    m_name = name;
    m_in.address = dap.in;
    m_out.address = dap.out;
    // The probe takes any clock and runs at its nearest: the one asked is
    // the one given.
    LogClock(m_context.logger, m_name, m_hertz, m_hertz, true);
    try {
        m_usb->Open();
        const auto info = [this](uint8_t id) {
            const size_t size = Transact(InfoRequest(id));
            return std::vector<uint8_t>(m_reply.begin(), m_reply.begin() + static_cast<std::ptrdiff_t>(size));
        };
        const auto text = [&info](uint8_t id) {
            const std::vector<uint8_t> reply = info(id);
            return InfoString(reply.data(), reply.size());
        };
        const auto number = [&info](uint8_t id, uint32_t missing) {
            const std::vector<uint8_t> reply = info(id);
            return InfoNumber(reply.data(), reply.size(), missing);
        };
        m_info.capabilities = static_cast<uint8_t>(number(INFO_CAPABILITIES, 0));
        m_info.packetSize = number(INFO_PACKET_SIZE, 0);
        m_info.packetCount = std::max<unsigned>(1, number(INFO_PACKET_COUNT, 1));
        m_info.vendor = text(INFO_VENDOR);
        m_info.product = text(INFO_PRODUCT);
        m_info.serial = text(INFO_SERIAL);
        m_info.protocolVersion = text(INFO_PROTOCOL_VERSION);
        // Firmware before protocol 2.1 does not know this identifier.
        try {
            m_info.firmwareVersion = text(INFO_FIRMWARE_VERSION);
        } catch (const reply_error&) {
        }
        m_usb->Close();

        if (!(m_info.capabilities & CAPABILITY_JTAG))
            throw std::runtime_error("the probe has no JTAG (capabilities 0x" +
                                     std::string(1, "0123456789abcdef"[m_info.capabilities >> 4]) +
                                     "0123456789abcdef"[m_info.capabilities & 15] + ")");
        if (m_info.packetSize < kMinPacketSize || m_info.packetSize > kMaxPacketSize)
            throw std::runtime_error("the probe's packet size " + std::to_string(m_info.packetSize) +
                                     " is outside the " + std::to_string(kMinPacketSize) + ".." +
                                     std::to_string(kMaxPacketSize) + " bytes of CMSIS-DAP");
    } catch (const std::exception& e) {
        // The scan reports a refused device only when verbose: say here, at
        // the normal level, why this probe is not served.
        m_context.logger.Log("%s: skipped: %s\n", Printable(name).c_str(), Printable(e.what()).c_str());
        try {
            m_usb->Close();
        } catch (const std::exception&) {
            // The probe's own failure is the one worth reporting.
        }
        throw;
    }
    m_reply.resize(std::max<size_t>(m_info.packetSize, kInfoReplyRoom));
    m_serialNumber = m_info.serial.empty() ? usbSerial : m_info.serial;
    m_versionString = !m_info.firmwareVersion.empty() ? m_info.firmwareVersion : m_info.protocolVersion;
    m_context.logger.LogVerb("%s: CMSIS-DAP probe \"%s\" \"%s\", serial \"%s\", version %s, %u packets of %u bytes\n",
                             Printable(name).c_str(), Printable(m_info.vendor).c_str(),
                             Printable(m_info.product).c_str(), Printable(m_serialNumber).c_str(),
                             Printable(m_versionString).c_str(), m_info.packetCount, m_info.packetSize);
}

CCmsisDapJTAG::~CCmsisDapJTAG() = default;

std::runtime_error CCmsisDapJTAG::Failure(const std::string& what) const
{
    return std::runtime_error("CMSIS-DAP " + m_name + ": " + what);
}

// ---------------------------------------------------------------------------
// Moving packets.

void CCmsisDapJTAG::Send(const std::vector<uint8_t>& request)
{
    try {
        const int sent = m_usb->Write(m_out, request.data(), static_cast<unsigned int>(request.size()));
        if (sent != static_cast<int>(request.size()))
            throw std::runtime_error("the probe took " + std::to_string(sent) + " of " +
                                     std::to_string(request.size()) + " bytes");
    } catch (const std::exception& e) {
        throw Failure("sending " + CommandName(request[0]) + " failed: " + e.what());
    }
}

size_t CCmsisDapJTAG::Receive(unsigned int timeoutMs)
{
    // One response is one transfer; the buffer holds a whole packet, so a
    // response never spills into the next read.
    const int got = m_usb->ReadWithTimeout(m_in, m_reply.data(), static_cast<unsigned int>(m_reply.size()), timeoutMs);
    return got > 0 ? static_cast<size_t>(got) : 0;
}

size_t CCmsisDapJTAG::Transact(const std::vector<uint8_t>& request)
{
    Send(request);
    try {
        return Receive(kReplyTimeoutMs);
    } catch (const std::exception& e) {
        throw Failure("reading the reply to " + CommandName(request[0]) + " failed: " + e.what());
    }
}

void CCmsisDapJTAG::Exchange(const std::vector<SequencePacket>& packets, BitStream& tdo)
{
    // A reply with an error does not lose the stream: the replies of the
    // packets already sent are read all the same, so the next command
    // gets its own reply, and the first error is reported.
    std::string failure;
    size_t sent = 0;
    size_t received = 0;
    const size_t window = m_info.packetCount;
    while (received < sent || (failure.empty() && sent < packets.size())) {
        while (failure.empty() && sent < packets.size() && sent - received < window) {
            Send(packets[sent].request);
            ++sent;
            ++m_sequencePackets;
        }
        const SequencePacket& packet = packets[received];
        // Slow clocks take their time: one millisecond per thousand clocks at
        // 1 MHz, twice over, on top of the ordinary limit.
        const uint64_t clockMs = packet.clocks * 2000 / std::max(m_hertz, 1u);
        const unsigned int timeoutMs =
            static_cast<unsigned int>(std::min<uint64_t>(kReplyTimeoutMs + clockMs, 60000));
        size_t size = 0;
        try {
            size = Receive(timeoutMs);
        } catch (const std::exception& e) {
            throw Failure("reading the reply to " + CommandName(DAP_JTAG_SEQUENCE) + " " +
                          std::to_string(received + 1) + " of " + std::to_string(packets.size()) +
                          " failed: " + e.what());
        }
        ++received;
        if (!failure.empty())
            continue;
        try {
            ParseSequenceReply(packet.request, m_reply.data(), size, tdo);
        } catch (const reply_error& e) {
            failure = e.what();
        }
    }
    if (!failure.empty())
        throw Failure(failure);
}

// ---------------------------------------------------------------------------
// Opening and closing.

void CCmsisDapJTAG::Connect()
{
    const size_t size = Transact(ConnectRequest(PORT_JTAG));
    uint8_t port = 0;
    try {
        port = ConnectedPort(m_reply.data(), size);
    } catch (const reply_error& e) {
        throw Failure(e.what());
    }
    if (port != PORT_JTAG)
        throw Failure("DAP_Connect in JTAG mode failed (the probe answered port " + std::to_string(port) + ")");
}

void CCmsisDapJTAG::SetClock(unsigned int hertz)
{
    const size_t size = Transact(ClockRequest(hertz));
    try {
        CheckStatus(DAP_SWJ_CLOCK, m_reply.data(), size);
    } catch (const reply_error& e) {
        throw Failure(e.what());
    }
}

void CCmsisDapJTAG::Open()
{
    DropPending();
    m_usb->Open();
    try {
        Connect();
        m_hertz = m_configuredHertz;
        SetClock(m_hertz);
        // Five clocks with TMS high: the TAP is in Test-Logic-Reset, as tracked.
        JtagBatch reset(TapController::State::TestLogicReset, m_info.packetSize);
        const uint8_t tms[1] = {0x1F};
        reset.Raw(tms, tms, 5);
        BitStream ignored;
        Exchange(reset.Packets(), ignored);
        m_state = TapController::State::TestLogicReset;
        m_trstReleased = false;
    } catch (...) {
        m_usb->Close();
        throw;
    }
    m_opened = true;
}

void CCmsisDapJTAG::Close()
{
    // A batch left pending by the last user must not reach the next one.
    DropPending();
    m_opened = false;
    try {
        const size_t size = Transact(DisconnectRequest());
        CheckStatus(DAP_DISCONNECT, m_reply.data(), size);
    } catch (const std::exception& e) {
        m_context.logger.LogVerb("%s\n", Printable(e.what()).c_str());
    }
    m_usb->Close();
}

void CCmsisDapJTAG::ResetAdapter()
{
    DropPending();
    Connect();
    m_hertz = m_configuredHertz;
    SetClock(m_hertz);
}

void CCmsisDapJTAG::ReadMemBlk(unsigned int, void*, unsigned int)
{
    throw std::runtime_error("Bulk io operations aren't supported for CMSIS-DAP adapters.");
}

void CCmsisDapJTAG::WriteMemBlk(unsigned int, const void*, unsigned int)
{
    throw std::runtime_error("Bulk io operations aren't supported for CMSIS-DAP adapters.");
}

// ---------------------------------------------------------------------------
// The queue: one pending batch, built scan by scan.

JtagBatch& CCmsisDapJTAG::Begin()
{
    if (!m_pending)
        m_pending.reset(new JtagBatch(m_state, m_info.packetSize));
    return *m_pending;
}

void CCmsisDapJTAG::DropPending()
{
    m_pending.reset();  // never sent: the TAP did not move
    m_slices.clear();
    m_results.clear();
}

void CCmsisDapJTAG::DiscardResults() { DropPending(); }

void CCmsisDapJTAG::Flush(std::vector<unsigned char>& results)
{
    if (!m_pending)
        return;
    // Taken out first: whatever happens, this batch is never sent again,
    // and after a failure neither its scans nor earlier results survive.
    std::unique_ptr<JtagBatch> batch = std::move(m_pending);
    std::vector<Slice> slices;
    slices.swap(m_slices);
    m_state = batch->GetState();
    try {
        BitStream tdo;
        Exchange(batch->Packets(), tdo);
        for (const Slice& slice : slices) {
            const std::vector<uint8_t> bits = tdo.Slice(slice.offset, slice.bits);
            results.insert(results.end(), bits.begin(), bits.end());
        }
    } catch (...) {
        results.clear();
        m_results.clear();
        throw;
    }
}

void CCmsisDapJTAG::QueueScan(bool instruction, const uint8_t* data, int bits, TapState end, bool readBack)
{
    try {
        JtagBatch& batch = Begin();
        batch.Move(instruction ? TapState::SHIFT_IR : TapState::SHIFT_DR);
        const uint64_t offset = batch.Scan(data, static_cast<uint64_t>(bits), readBack);
        if (readBack)
            m_slices.push_back({offset, static_cast<uint64_t>(bits)});
        batch.Move(end);
    } catch (...) {
        // A half-queued scan would leave the tracked TAP astray: the batch
        // is dropped; the session reports the failure.
        DropPending();
        throw;
    }
}

std::vector<unsigned char> CCmsisDapJTAG::ScanAlone(bool instruction, const uint8_t* data, int bits, TapState end)
{
    std::vector<unsigned char> own;
    try {
        Flush(m_results);
        QueueScan(instruction, data, bits, end, true);
        Flush(own);
    } catch (...) {
        DropPending();
        throw;
    }
    return own;
}

void CCmsisDapJTAG::AsyncShiftIR(unsigned int value, int length, TapState end)
{
    CheckIRLength(length);
    TapStateMachine::CheckScanEnd(TapState::SHIFT_IR, end);
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    QueueScan(true, bytes, length, end, true);
}

void CCmsisDapJTAG::AsyncShiftDR(const unsigned char* in, int length, TapState end)
{
    QueueData(in, length, end, true);
}

void CCmsisDapJTAG::AsyncWriteDR(const unsigned char* in, int length, TapState end)
{
    QueueData(in, length, end, false);
}

void CCmsisDapJTAG::QueueData(const unsigned char* in, int length, TapState end, bool readBack)
{
    CheckDataLength(length);
    TapStateMachine::CheckScanEnd(TapState::SHIFT_DR, end);
    // A scan without bits shifts nothing and delivers nothing.
    if (length == 0)
        return;
    if (!in)
        throw std::logic_error("CMSIS-DAP scan of " + std::to_string(length) + " bits without data");
    QueueScan(false, in, length, end, readBack);
}

void CCmsisDapJTAG::Wait(std::vector<unsigned char>& out)
{
    Flush(m_results);
    out.swap(m_results);
    m_results.clear();
}

unsigned int CCmsisDapJTAG::ShiftIR(unsigned int value, int length, TapState end)
{
    CheckIRLength(length);
    TapStateMachine::CheckScanEnd(TapState::SHIFT_IR, end);
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    const std::vector<unsigned char> own = ScanAlone(true, bytes, length, end);
    unsigned int captured = 0;
    for (size_t i = 0; i < own.size() && i < 4; ++i)
        captured |= static_cast<unsigned int>(own[i]) << (8 * i);
    return captured;
}

void CCmsisDapJTAG::ShiftDR(const unsigned char* in, unsigned char* out, int length, TapState end)
{
    CheckDataLength(length);
    TapStateMachine::CheckScanEnd(TapState::SHIFT_DR, end);
    if (length == 0)
        return;
    if (!in)
        throw std::logic_error("CMSIS-DAP scan of " + std::to_string(length) + " bits without data");
    const std::vector<unsigned char> own = ScanAlone(false, in, length, end);
    std::copy(own.begin(), own.end(), out);
}

// ---------------------------------------------------------------------------
// Commands that go to the probe at once. Each first sends what is pending,
// so that nothing queued before it is reordered (its results stay for the
// next Wait).

void CCmsisDapJTAG::RunTest(unsigned int count)
{
    Flush(m_results);
    if (count == 0)
        return;
    // 2^32 clocks are millions of packets: they go out a piece at a time,
    // each piece's packets built, sent and answered before the next is
    // built, and a client that has gone stops them between two pieces.
    try {
        uint64_t remaining = count - 1;
        JtagBatch& first = Begin();
        first.Move(TapState::RUN_TEST_IDLE);
        const uint64_t clocks = std::min<uint64_t>(remaining, kClocksPerExchange);
        first.Idle(clocks);
        remaining -= clocks;
        Flush(m_results);
        while (remaining > 0) {
            CheckStillWanted("RunTest");
            const uint64_t piece = std::min<uint64_t>(remaining, kClocksPerExchange);
            Begin().Idle(piece);
            remaining -= piece;
            Flush(m_results);
        }
    } catch (...) {
        DropPending();
        throw;
    }
}

void CCmsisDapJTAG::ClockSequence(const unsigned char* tms, const unsigned char* tdi, unsigned char* tdo,
                                  unsigned int bits)
{
    Flush(m_results);
    // In pieces as RunTest's, each a whole number of bytes of the vectors.
    static_assert(kClocksPerExchange % 8 == 0, "pieces start on a byte");
    for (uint64_t done = 0; done < bits; done += kClocksPerExchange) {
        if (done > 0)
            CheckStillWanted("ClockSequence");
        const uint64_t piece = std::min<uint64_t>(bits - done, kClocksPerExchange);
        JtagBatch batch(m_state, m_info.packetSize);
        batch.Raw(tms + done / 8, tdi + done / 8, piece);
        // The TAP follows the TMS bits whether or not the replies arrive.
        m_state = batch.GetState();
        BitStream captured;
        Exchange(batch.Packets(), captured);
        const std::vector<uint8_t> bytes = captured.Slice(0, piece);
        std::copy(bytes.begin(), bytes.end(), tdo + done / 8);
    }
}

void CCmsisDapJTAG::SetFrequency(unsigned int hertz)
{
    Flush(m_results);
    // 0 Hz is no clock at all (the probe answers DAP_ERROR): the slowest it
    // has is asked for instead, as other adapters run at their slowest.
    const unsigned int asked = std::max(hertz, 1u);
    SetClock(asked);
    m_hertz = asked;
    LogClock(m_context.logger, m_name, hertz, asked);
}

void CCmsisDapJTAG::DrivePins(uint8_t value, uint8_t select)
{
    Flush(m_results);
    const size_t size = Transact(PinsRequest(value, select, 0));
    // The response is the pins' levels read back; a probe without the pin
    // (many have no nTRST) answers all the same.
    try {
        PinsRead(m_reply.data(), size);
    } catch (const reply_error& e) {
        throw Failure(e.what());
    }
}

void CCmsisDapJTAG::SetTRST(bool level)
{
    DrivePins(level ? PIN_nTRST : 0, PIN_nTRST);
    m_trst = level;
    if (!level) {
        // Not every probe wires nTRST: five clocks with TMS high reset the
        // TAP all the same (harmless while TRST holds it).
        try {
            JtagBatch& batch = Begin();
            const uint8_t tms[1] = {0x1F};
            batch.Raw(tms, tms, 5);
            Flush(m_results);
        } catch (...) {
            DropPending();
            throw;
        }
        m_state = TapController::State::TestLogicReset;
    } else if (!m_trstReleased) {
        // Released for the first time (or again after being driven low):
        // idle clocks bring the TAPs to Run-Test/Idle, as on the J-Link.
        RunTest(100);
    }
    m_trstReleased = level;
}

void CCmsisDapJTAG::SetSYS_RST(bool level)
{
    DrivePins(level ? PIN_nRESET : 0, PIN_nRESET);
    m_sysRst = level;
}

// ---------------------------------------------------------------------------

namespace {

// The ids of the built-in configuration's cmsis-dap elements.
bool IsListedProbe(uint16_t vendor, uint16_t product)
{
    static const std::vector<std::pair<int, int>> ids = [] {
        CDescription builtin;
        builtin.LoadFromXML("");
        std::vector<std::pair<int, int>> out;
        for (const CUsbJTAGDescription& entry : builtin.GetJTAGs().usbJTAGs)
            if (entry.element == "cmsis-dap" && entry.hasIds)
                out.push_back({entry.idvendor, entry.idproduct});
        return out;
    }();
    return std::find(ids.begin(), ids.end(), std::pair<int, int>(vendor, product)) != ids.end();
}

}  // namespace

usb::Kind UsbKind()
{
    usb::Kind kind{"cmsis-dap", &IsListedProbe,
                   [](struct usb_device* device, const CUsbJTAGDescription& entry, const std::string& name,
                      const AdapterContext& context) -> std::shared_ptr<CJTAG> {
                       DapInterface dap;
                       std::string serial;
                       try {
                           dap = FindDapInterface(device);
                           serial = usb::ReadStrings(device, {device->descriptor.iSerialNumber})[0];
                       } catch (const std::exception& e) {
                           context.logger.Log("%s: skipped: %s\n", Printable(name).c_str(), Printable(e.what()).c_str());
                           throw;
                       }
                       // Its other interfaces may belong to kernel drivers
                       // (a serial port, a drive): the configuration stays.
                       usb::CUsbInterface::Claim claim;
                       claim.interfaceNumber = dap.number;
                       claim.setConfiguration = false;
                       return std::make_shared<CCmsisDapJTAG>(
                           std::unique_ptr<usb::CUsbInterface>(new usb::CUsbInterface(device, context.logger, claim)),
                           dap, name, entry.frequency, serial, context);
                   }};
    kind.recognises = [](struct usb_device* device, const AdapterContext&) { return HasDapInterface(device); };
    return kind;
}

}  // namespace cmsisdap
