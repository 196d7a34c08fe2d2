// A SEGGER J-Link probe over a sim/tap target.
//
// Device: vendor 0x1366, product 0x0101 (both settable), bcdDevice 0x0100,
// full speed: one configuration, interface 0 (vendor class) with bulk IN
// 0x81 and bulk OUT 0x02 of 64 bytes. Strings: 1 "SEGGER", 2 "J-Link",
// 3 the serial number (iSerialNumber 0 when the device has none).
//
// Commands, as the J-Link USB protocol gives them (first byte, arguments;
// multi-byte values little-endian):
//   01            version: reply u16 length 0x70, then 0x70 bytes of text
//                 holding "J-Link", NUL-padded (two transfers)
//   E8            capabilities: reply u32 (get hardware version, read
//                 configuration, speed info, select interface: bits 1, 4, 9, 17)
//   F2            read configuration: reply 256 bytes (all 0xFF, as erased)
//   08 n          target power off (0) / on (1); no reply
//   C7 n          select interface 0 JTAG / 1 SWD: reply u32, the interface
//                 selected before; n = 0xFF replies the available ones (3),
//                 0xFE the current one
//   05 u16        speed in kHz; no reply
//   DE / DF       TRST low / high; no reply
//   DC / DD       system reset low / high; no reply (only recorded: the
//                 target has no reset pin)
//   CF 00 u16 n, TMS[m], TDI[m]   EMU_CMD_HW_JTAG3, m = (n + 7) / 8: n
//                 clocks into the chain, TMS and TDI bit 0 of byte 0 first;
//                 reply the m TDO bytes (bit k = TDO sampled at clock k),
//                 then a status byte 0, as two transfers
//   D5 ...        EMU_CMD_HW_JTAG_WRITE: the same without a reply
//
// How this firmware reads what the public description leaves open:
// - Commands form a byte stream: one OUT transfer may hold several, and a
//   long command may span transfers. An unknown command byte loses the
//   stream: the bytes held are dropped and noted in the trace.
// - A reply whose length is a multiple of 64 ends with a zero-length packet
//   (term=zlp, the default) or with one extra byte 0xA5 (term=byte): which
//   firmware does which is not documented, so both are available. Neither
//   follows a reply of 0x2000 or 0x8000 bytes, which fills the probe's
//   transfer buffer and ends the transfer by its size. A reply of no bytes
//   is one zero-length packet.
// - Replies queue up; a read takes at most the requested bytes of the
//   oldest reply, the rest stays for the next read. With more than 64 KiB
//   queued the probe takes no more commands (the host's write times out).
#include "sim/usb/JlinkModel.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace simusb {
namespace {

constexpr uint32_t kCapabilities = (1u << 1) | (1u << 4) | (1u << 9) | (1u << 17);
constexpr size_t kVersionLength = 0x70;
constexpr size_t kConfigLength = 256;
const char kVersionText[] = "J-Link V9 compiled Dec  8 2026 (kestrad simulation)";

std::vector<uint8_t> Le32(uint32_t v)
{
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

}  // namespace

CJlinkModel::CJlinkModel(const CDeviceEntry& entry)
{
    CheckKeys(entry, {"serial", "chain", "vid", "pid", "term"});
    auto field = [&](const char* key) -> const std::string* {
        auto it = entry.fields.find(key);
        return it == entry.fields.end() ? nullptr : &it->second;
    };
    m_Info.bcdUSB = 0x0200;
    m_Info.vendor = kVendor;
    m_Info.product = kProduct;
    if (auto v = field("vid"))
        m_Info.vendor = static_cast<uint16_t>(ParseNumber("vid", *v, 0xFFFF));
    if (auto v = field("pid"))
        m_Info.product = static_cast<uint16_t>(ParseNumber("pid", *v, 0xFFFF));
    m_Info.bcdDevice = 0x0100;
    m_Info.manufacturer = "SEGGER";
    m_Info.productName = "J-Link";
    if (auto v = field("serial"))
        m_Info.serial = CheckSerial(*v);
    if (auto v = field("term")) {
        if (*v == "zlp")
            m_Term = Terminator::ZeroLengthPacket;
        else if (*v == "byte")
            m_Term = Terminator::ExtraByte;
        else
            throw std::invalid_argument("field term: '" + *v + "' is neither zlp nor byte");
    }
    CInterfaceInfo intf;
    intf.endpoints = {{kInEp, 2, kPacketSize, 0}, {kOutEp, 2, kPacketSize, 0}};
    m_Info.interfaces.push_back(intf);

    m_Target = MakeTarget(entry);
}

void CJlinkModel::Attach()
{
    m_Input.clear();
    m_Replies.clear();
    m_ReplyOffset = 0;
    m_SpeedKHz = 4000;
    m_Interface = 0;
    m_Power = false;
    m_Srst = true;
    m_JtagCommands = 0;
    m_JtagClocks = 0;
    m_Target->chain.SetTrst(true);  // a fresh probe drives no reset
}

int CJlinkModel::BulkWrite(uint8_t ep, const uint8_t* data, size_t size)
{
    if (ep != kOutEp)
        return -EPIPE;
    if (Queued() > kReplyLimit)
        return kNotReady;
    m_Input.insert(m_Input.end(), data, data + size);
    for (;;) {
        const size_t length = CommandLength();
        if (length == SIZE_MAX) {
            Note("jlink: unknown command 0x%02x; %zu command bytes dropped", m_Input[0], m_Input.size());
            m_Input.clear();
            break;
        }
        if (length == 0)
            break;
        Execute(m_Input.data(), length);
        m_Input.erase(m_Input.begin(), m_Input.begin() + static_cast<std::ptrdiff_t>(length));
    }
    return static_cast<int>(size);
}

size_t CJlinkModel::CommandLength() const
{
    if (m_Input.empty())
        return 0;
    size_t length;
    switch (m_Input[0]) {
    case 0x01:
    case 0xE8:
    case 0xF2:
    case 0xDC:
    case 0xDD:
    case 0xDE:
    case 0xDF:
        length = 1;
        break;
    case 0x08:
    case 0xC7:
        length = 2;
        break;
    case 0x05:
        length = 3;
        break;
    case 0xCF:
    case 0xD5: {
        if (m_Input.size() < 4)
            return 0;
        const size_t bits = size_t(m_Input[2]) | size_t(m_Input[3]) << 8;
        length = 4 + 2 * ((bits + 7) / 8);
        break;
    }
    default:
        return SIZE_MAX;
    }
    return m_Input.size() >= length ? length : 0;
}

void CJlinkModel::Execute(const uint8_t* command, size_t)
{
    switch (command[0]) {
    case 0x01: {
        std::vector<uint8_t> text(kVersionLength, 0);
        std::memcpy(text.data(), kVersionText, sizeof kVersionText - 1);
        Reply({uint8_t(kVersionLength), uint8_t(kVersionLength >> 8)});
        Reply(std::move(text));
        return;
    }
    case 0xE8:
        Reply(Le32(kCapabilities));
        return;
    case 0xF2:
        Reply(std::vector<uint8_t>(kConfigLength, 0xFF));
        return;
    case 0x08:
        m_Power = command[1] != 0;
        return;
    case 0xC7: {
        const uint8_t n = command[1];
        if (n == 0xFF) {
            Reply(Le32(3));
        } else if (n == 0xFE) {
            Reply(Le32(m_Interface));
        } else {
            Reply(Le32(m_Interface));
            if (n <= 1)
                m_Interface = n;
            else
                Note("jlink: interface %u does not exist; JTAG stays selected", n);
        }
        return;
    }
    case 0x05:
        m_SpeedKHz = unsigned(command[1]) | unsigned(command[2]) << 8;
        return;
    case 0xDC:
    case 0xDD:
        m_Srst = command[0] == 0xDD;
        return;
    case 0xDE:
    case 0xDF:
        m_Target->chain.SetTrst(command[0] == 0xDF);
        return;
    case 0xCF:
    case 0xD5:
        Jtag(command, command[0] == 0xCF);
        return;
    }
}

void CJlinkModel::Jtag(const uint8_t* command, bool readBack)
{
    const size_t bits = size_t(command[2]) | size_t(command[3]) << 8;
    const size_t m = (bits + 7) / 8;
    const uint8_t* tms = command + 4;
    const uint8_t* tdi = tms + m;
    std::vector<uint8_t> tdo(m, 0);
    for (size_t k = 0; k < bits; ++k) {
        const bool out = m_Target->chain.Clock((tms[k / 8] >> (k % 8)) & 1, (tdi[k / 8] >> (k % 8)) & 1);
        if (out)
            tdo[k / 8] |= uint8_t(1u << (k % 8));
    }
    ++m_JtagCommands;
    m_JtagClocks += bits;
    if (!readBack)
        return;
    Reply(std::move(tdo));
    Reply({0x00});  // status: success
}

void CJlinkModel::Reply(std::vector<uint8_t> bytes)
{
    const size_t size = bytes.size();
    m_Replies.push_back(std::move(bytes));
    if (size == 0 || size % kPacketSize != 0 || size == 0x2000 || size == 0x8000)
        return;
    if (m_Term == Terminator::ZeroLengthPacket)
        m_Replies.emplace_back();
    else
        m_Replies.push_back({kExtraByte});
}

int CJlinkModel::BulkRead(uint8_t ep, uint8_t* data, size_t size)
{
    if (ep != kInEp)
        return -EPIPE;
    if (m_Replies.empty())
        return kNotReady;
    const std::vector<uint8_t>& front = m_Replies.front();
    const size_t n = std::min(size, front.size() - m_ReplyOffset);
    if (n)
        std::memcpy(data, front.data() + m_ReplyOffset, n);
    m_ReplyOffset += n;
    if (m_ReplyOffset == front.size()) {
        m_Replies.pop_front();
        m_ReplyOffset = 0;
    }
    return static_cast<int>(n);
}

size_t CJlinkModel::Queued() const
{
    size_t n = 0;
    for (const auto& r : m_Replies)
        n += r.size();
    return n - m_ReplyOffset;
}

}  // namespace simusb
