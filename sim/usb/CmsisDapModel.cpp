// A CMSIS-DAP probe over a sim/tap target.
//
// Device: bcdDevice 0x0100, strings 1 "ARM", 2 "DAPLink CMSIS-DAP", 3 the
// serial number, 4 "CMSIS-DAP v1", 5 "CMSIS-DAP v2".
//
// Commands, as Arm's CMSIS-DAP documentation gives them (first byte the
// command id, the response repeats it; multi-byte values little-endian):
//   00 id         DAP_Info: [00, len, info]; strings with their NUL (01
//                 vendor, 02 product, 03 serial, 04 protocol version
//                 "2.1.0", 09 firmware version), F0 capabilities (BYTE),
//                 FE packet count (BYTE), FF packet size (SHORT); any other
//                 id: len 0
//   01 type st    DAP_HostStatus: [01, 00]
//   02 port       DAP_Connect: 0 default (SWD when the probe has it), 1
//                 SWD, 2 JTAG: [02, port], or [02, 00] for a mode the probe
//                 lacks
//   03            DAP_Disconnect: [03, 00]
//   09 u16        DAP_Delay: [09, 00]
//   10 v s u32    DAP_SWJ_Pins: drives the selected pins (bit 5 nTRST, the
//                 chain's TRST; bit 7 nRESET, recorded; TMS and TDI levels
//                 kept) and answers [10, levels]
//   11 u32        DAP_SWJ_Clock: [11, 00]; 0 Hz: [11, FF]
//   12 n bits     DAP_SWJ_Sequence: n clocks (0 = 256) with TMS from the
//                 bits, TDI high: [12, 00]
//   14 n seq...   DAP_JTAG_Sequence: n sequences of 1 to 64 clocks (info
//                 byte: bits 0-5 clocks, 0 = 64; bit 6 TMS; bit 7 capture),
//                 each with its TDI bytes: [14, 00, TDO bytes of the
//                 capturing sequences]; [14, FF] outside JTAG mode
//   15 n irlen... DAP_JTAG_Configure: [15, 00]
//   anything else [FF]
//
// How this firmware reads what the description leaves open:
// - A request longer than the packet size is not run: it is answered
//   [id, FF] and noted in the trace, as is a request that ends inside its
//   own fields. (Real firmware would take the excess bytes for another
//   command.)
// - The probe holds at most its packet count of responses the host has not
//   read; a further command waits (the host's write times out meanwhile).
// - On the HID interface every report is 64 bytes: the command at its
//   start, the response padded with zeros.
#include "sim/usb/CmsisDapModel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace simusb {
namespace {

constexpr uint8_t kOk = 0x00, kError = 0xFF;
const char kVendorName[] = "ARM";
const char kProductName[] = "DAPLink CMSIS-DAP";
const char kProtocolVersion[] = "2.1.0";
const char kFirmwareVersion[] = "0257 (kestrad simulation)";

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

std::vector<uint8_t> Text(const std::string& s)
{
    // [0x00, length with the NUL, the text, NUL]
    std::vector<uint8_t> out(s.size() + 3, 0);
    out[1] = static_cast<uint8_t>(s.size() + 1);
    std::memcpy(out.data() + 2, s.data(), s.size());
    return out;
}

}  // namespace

CCmsisDapModel::CCmsisDapModel(const CDeviceEntry& entry)
{
    CheckKeys(entry, {"serial", "chain", "vid", "pid", "packet", "packets", "caps", "version"});
    auto field = [&](const char* key) -> const std::string* {
        auto it = entry.fields.find(key);
        return it == entry.fields.end() ? nullptr : &it->second;
    };
    m_Info.vendor = kVendor;
    m_Info.product = kProduct;
    if (auto v = field("vid"))
        m_Info.vendor = static_cast<uint16_t>(ParseNumber("vid", *v, 0xFFFF));
    if (auto v = field("pid"))
        m_Info.product = static_cast<uint16_t>(ParseNumber("pid", *v, 0xFFFF));
    if (auto v = field("serial"))
        m_Info.serial = CheckSerial(*v);
    if (auto v = field("packet")) {
        m_PacketSize = ParseNumber("packet", *v, 32768);
        if (m_PacketSize < 64)
            throw std::invalid_argument("field packet: " + *v + " is smaller than 64");
    }
    if (auto v = field("packets")) {
        m_PacketCount = ParseNumber("packets", *v, 255);
        if (m_PacketCount < 1)
            throw std::invalid_argument("field packets: the probe holds at least one packet");
    }
    if (auto v = field("caps"))
        m_Capabilities = static_cast<uint8_t>(ParseNumber("caps", *v, 0xFF));
    if (auto v = field("version")) {
        if (*v != "1" && *v != "2")
            throw std::invalid_argument("field version: '" + *v + "' is neither 1 nor 2");
        m_V2 = *v == "2";
    }
    m_Info.bcdDevice = 0x0100;
    m_Info.manufacturer = kVendorName;
    m_Info.productName = kProductName;
    m_Info.strings = {{4, "CMSIS-DAP v1"}, {5, "CMSIS-DAP v2"}};
    CInterfaceInfo hid;
    hid.interfaceClass = 0x03;
    hid.subClass = 0x00;
    hid.protocol = 0x00;
    hid.stringIndex = 4;
    hid.endpoints = {{kHidIn, 3, kReportSize, 1}, {kHidOut, 3, kReportSize, 1}};
    m_Info.interfaces.push_back(hid);
    if (m_V2) {
        CInterfaceInfo bulk;
        bulk.interfaceClass = 0xFF;
        bulk.subClass = 0x00;
        bulk.protocol = 0x00;
        bulk.stringIndex = 5;
        const uint16_t packet = static_cast<uint16_t>(std::min(m_PacketSize, 512u));
        bulk.endpoints = {{kBulkOut, 2, packet, 0}, {kBulkIn, 2, packet, 0}};
        m_Info.interfaces.push_back(bulk);
    }
    m_Target = MakeTarget(entry);
}

void CCmsisDapModel::Attach()
{
    m_BulkReplies.clear();
    m_HidReplies.clear();
    m_Port = 0;
    m_ClockHz = 1000000;
    m_nReset = true;
    m_Tms = true;
    m_Tdi = true;
    m_Fault = Fault::None;
    m_Sequences = 0;
    m_SequenceClocks = 0;
    m_LargestRequest = 0;
    m_Target->chain.SetTrst(true);
}

int CCmsisDapModel::BulkWrite(uint8_t ep, const uint8_t* data, size_t size)
{
    const bool hid = ep == kHidOut;
    if (!hid && !(m_V2 && ep == kBulkOut))
        return -EPIPE;
    std::deque<std::vector<uint8_t>>& replies = hid ? m_HidReplies : m_BulkReplies;
    if (replies.size() >= m_PacketCount)
        return kNotReady;  // the probe's packet buffers are full
    if (size == 0)
        return 0;
    const size_t limit = hid ? kReportSize : m_PacketSize;
    std::vector<uint8_t> reply;
    if (size > limit) {
        Note("cmsis-dap: a %zu-byte command is longer than the %zu-byte packet", size, limit);
        reply = {data[0], kError};
    } else {
        m_LargestRequest = std::max(m_LargestRequest, size);
        reply = Execute(data, size);
    }
    if (hid)
        reply.resize(kReportSize, 0);
    replies.push_back(std::move(reply));
    return static_cast<int>(size);
}

int CCmsisDapModel::BulkRead(uint8_t ep, uint8_t* data, size_t size)
{
    std::deque<std::vector<uint8_t>>* replies = nullptr;
    if (ep == kHidIn)
        replies = &m_HidReplies;
    else if (m_V2 && ep == kBulkIn)
        replies = &m_BulkReplies;
    else
        return -EPIPE;
    if (replies->empty())
        return kNotReady;
    // One response is one transfer; what the host has no room for is lost.
    const std::vector<uint8_t>& front = replies->front();
    const size_t n = std::min(size, front.size());
    std::memcpy(data, front.data(), n);
    replies->pop_front();
    return static_cast<int>(n);
}

std::vector<uint8_t> CCmsisDapModel::Execute(const uint8_t* request, size_t size)
{
    const uint8_t id = request[0];
    // The bytes a command needs beyond its id; a shorter one is not run.
    size_t need = 0;
    switch (id) {
    case 0x00: case 0x02: need = 1; break;
    case 0x01: case 0x09: need = 2; break;
    case 0x10: need = 6; break;
    case 0x11: need = 4; break;
    case 0x12: case 0x14: case 0x15: need = 1; break;
    default: break;
    }
    if (size < 1 + need) {
        Note("cmsis-dap: command 0x%02x of %zu bytes ends inside its fields", id, size);
        return {id, kError};
    }
    switch (id) {
    case 0x00:
        return Info(request[1]);
    case 0x01:
        return {0x01, kOk};
    case 0x02: {
        uint8_t port = request[1];
        if (port == 0)
            port = (m_Capabilities & 0x01) ? 1 : 2;
        const bool has = (port == 1 && (m_Capabilities & 0x01)) || (port == 2 && (m_Capabilities & 0x02));
        m_Port = has ? port : 0;
        return {0x02, m_Port};
    }
    case 0x03:
        m_Port = 0;
        return {0x03, kOk};
    case 0x09:
        return {0x09, kOk};
    case 0x10:
        return SwjPins(request);
    case 0x11: {
        const uint32_t hz = Le32(request + 1);
        if (hz == 0)
            return {0x11, kError};
        m_ClockHz = hz;
        return {0x11, kOk};
    }
    case 0x12: {
        const size_t bits = request[1] == 0 ? 256 : request[1];
        if (size < 2 + (bits + 7) / 8) {
            Note("cmsis-dap: DAP_SWJ_Sequence of %zu bits has %zu bytes", bits, size);
            return {0x12, kError};
        }
        for (size_t k = 0; k < bits; ++k)
            m_Target->chain.Clock((request[2 + k / 8] >> (k % 8)) & 1, true);
        return {0x12, kOk};
    }
    case 0x14:
        return JtagSequence(request, size);
    case 0x15:
        return {0x15, kOk};
    default:
        return {0xFF};
    }
}

std::vector<uint8_t> CCmsisDapModel::Info(uint8_t id) const
{
    switch (id) {
    case 0x01: return Text(kVendorName);
    case 0x02: return Text(kProductName);
    case 0x03: return m_Info.serial.empty() ? std::vector<uint8_t>{0x00, 0x00} : Text(m_Info.serial);
    case 0x04: return Text(kProtocolVersion);
    case 0x09: return Text(kFirmwareVersion);
    case 0xF0: return {0x00, 0x01, m_Capabilities};
    case 0xFE: return {0x00, 0x01, static_cast<uint8_t>(m_PacketCount)};
    case 0xFF: return {0x00, 0x02, static_cast<uint8_t>(m_PacketSize), static_cast<uint8_t>(m_PacketSize >> 8)};
    default: return {0x00, 0x00};
    }
}

std::vector<uint8_t> CCmsisDapModel::SwjPins(const uint8_t* request)
{
    const uint8_t value = request[1];
    const uint8_t select = request[2];
    if (select & 0x20)
        m_Target->chain.SetTrst((value & 0x20) != 0);
    if (select & 0x80)
        m_nReset = (value & 0x80) != 0;
    if (select & 0x02)
        m_Tms = (value & 0x02) != 0;
    if (select & 0x04)
        m_Tdi = (value & 0x04) != 0;
    const uint8_t levels = static_cast<uint8_t>((m_Tms ? 0x02 : 0) | (m_Tdi ? 0x04 : 0) |
                                                (m_Target->chain.Trst() ? 0x20 : 0) | (m_nReset ? 0x80 : 0));
    return {0x10, levels};
}

std::vector<uint8_t> CCmsisDapModel::JtagSequence(const uint8_t* request, size_t size)
{
    if (m_Port != 2)
        return {0x14, kError};
    // Check the whole request before clocking anything.
    const unsigned count = request[1];
    size_t at = 2;
    for (unsigned s = 0; s < count; ++s) {
        if (at >= size) {
            Note("cmsis-dap: DAP_JTAG_Sequence ends inside sequence %u of %u", s, count);
            return {0x14, kError};
        }
        const unsigned clocks = (request[at] & 0x3F) == 0 ? 64 : (request[at] & 0x3F);
        at += 1 + (clocks + 7) / 8;
    }
    if (at > size) {
        Note("cmsis-dap: DAP_JTAG_Sequence of %zu bytes lacks TDI bytes", size);
        return {0x14, kError};
    }
    if (at < size)
        Note("cmsis-dap: DAP_JTAG_Sequence carries %zu bytes after its sequences", size - at);
    const Fault fault = m_Fault;
    m_Fault = Fault::None;
    if (fault == Fault::DapError)
        return {0x14, kError};
    std::vector<uint8_t> reply = {0x14, kOk};
    at = 2;
    for (unsigned s = 0; s < count; ++s) {
        const uint8_t info = request[at++];
        const unsigned clocks = (info & 0x3F) == 0 ? 64 : (info & 0x3F);
        const bool tms = (info & 0x40) != 0;
        const bool capture = (info & 0x80) != 0;
        const size_t first = reply.size();
        if (capture)
            reply.resize(first + (clocks + 7) / 8, 0);
        for (unsigned k = 0; k < clocks; ++k) {
            const bool tdi = (request[at + k / 8] >> (k % 8)) & 1;
            const bool tdo = m_Target->chain.Clock(tms, tdi);
            if (capture && tdo)
                reply[first + k / 8] = static_cast<uint8_t>(reply[first + k / 8] | (1u << (k % 8)));
            m_Tdi = tdi;
        }
        m_Tms = tms;
        at += (clocks + 7) / 8;
        m_SequenceClocks += clocks;
    }
    ++m_Sequences;
    if (fault == Fault::Short)
        reply.resize(2);
    return reply;
}

}  // namespace simusb
