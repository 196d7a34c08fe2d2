// The maker's EZ-USB JTAG adapter, simulated over a sim/tap target.
//
// Device: vendor 0x0547, product 0x1002 (both settable), bcdDevice 0x0100,
// one configuration, interface 0 (vendor class) with three bulk endpoints of
// 512 bytes: 0x02 OUT command frames, 0x04 OUT control bytes, 0x86 IN
// replies. String descriptors: 1 manufacturer, 2 product, 3 the serial
// number (iSerialNumber 0 when the device has none).
//
// Frames on 0x02, as the adapter's public description gives them:
//   B0 FF                 version query; reply: the version, 16 bits little-endian
//   10LL TS00 value...    instruction scan (LL register length code, T TRST,
//                         S system reset); reply 2 bytes, byte 0 = captured bits 0..7
//   01LL TS00 cmd data... data scan: cmd = stream bits 0..7, data = stream bits 9 on
//   0100 TSdd op arg32    command frames (dd direction): 0x0B block address,
//                         0x0C write word, 0x4C read word, 0x4D reset lines
//   4F 03 00 00 00 00     identification
// Control bytes on 0x04: 1/2/3 clock 12/24/48 MHz, 4/5 assert/release the
// adapter's own reset.
//
// How this firmware reads what the frames leave open:
// - Every frame but the version query and the fixed identification frame
//   applies its TRST and system reset bits first (TRST low holds the chain
//   in Test-Logic-Reset; a scan then reads all ones, TDO being undriven).
//   The system reset level is only recorded: the target has no reset pin.
// - B0 FF, exactly these 2 bytes, is always the version query, although it
//   reads like an 8-bit instruction scan with both lines low.
// - Instruction scans clock a fixed length per code: 3 -> 8 bits, 2 -> 12,
//   1 -> 16, 0 -> 32, from Run-Test/Idle back to Run-Test/Idle. The value
//   comes from the frame's bytes after the header, missing bytes are zero;
//   a header-only frame (IR lengths 1-3 and 5-7) shifts all ones (BYPASS).
//   8 clocks are why a 4-bit value is sent doubled: a 4-bit IR keeps the
//   last 4 bits. Reply byte 0 = captured bits 0..7, byte 1 = bits 8..15
//   (0 for an 8-bit scan).
// - A data scan frame of S bytes carries S-2 data bytes. The firmware clocks
//   the command byte, one 0 bit for stream bit 8, then D data bits, where D
//   is the data bits present capped by the code's range (code 3: 8, code 2:
//   12, code 1: 16, code 0: 32): 17, 21, 25, 33 or 41 bits in all. A frame
//   with no data bytes clocks the 8 command bits only. When bit 6 of the
//   command byte is set it replies S-2 bytes: the bits captured from stream
//   bit 9 on, bit 0 first (bits past D are 0); no reply without data bytes.
// - A 6-byte frame with header 01 00 TS 00 and operation 0x4D is the line
//   frame, never a data scan: a 34..41-bit data scan whose command byte is
//   0x4D cannot be told from it. Its 32-byte reply echoes the header and the
//   operation code in bytes 0 and 1; the rest is zero.
// - Command frames may come many to a transfer. 0x0B with direction 1 or 2
//   opens a write or read block at the argument address; 0x0C/0x4C move 4
//   bytes on; direction 3 ends the block. The 4-byte little-endian words of
//   a read block form one IN transfer, sent when the block ends, when a new
//   block starts, or at the end of the OUT transfer, whichever comes first.
// - The identification frame scans 32 data bits (zeros in) and replies the
//   captured bits little-endian: the first TAP's IDCODE when the chain holds
//   the IDCODE instruction, as after TRST.
// - While the adapter's own reset is asserted, frames are dropped; asserting
//   it empties the reply queue and closes any open block.
// - Replies queue up; a read returns at most the requested bytes of the
//   oldest reply, the rest stays for the next read. With more than 64 KiB
//   queued the firmware stops taking frames (the host's write times out).
// - Anything else malformed is dropped without a reply, noted in the trace.
#include "sim/usb/EzUsbModel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace simusb {
namespace {

// Bits clocked per register length code (the top of the code's range).
constexpr unsigned kCodeBits[4] = {32, 16, 12, 8};

uint32_t Le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void AppendLe32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void SetBit(std::vector<uint8_t>& v, size_t k, bool b)
{
    if (b)
        v[k / 8] |= static_cast<uint8_t>(1u << (k % 8));
}

}  // namespace

CEzUsbModel::CEzUsbModel(const CDeviceEntry& entry)
{
    CheckKeys(entry, {"serial", "chain", "mem", "ver", "vid", "pid"});
    auto field = [&](const char* key) -> const std::string* {
        auto it = entry.fields.find(key);
        return it == entry.fields.end() ? nullptr : &it->second;
    };
    m_Version = kDefaultVersion;
    if (auto v = field("ver"))
        m_Version = static_cast<uint16_t>(ParseNumber("ver", *v, 0xFFFF));

    m_Info.vendor = kVendor;
    m_Info.product = kProduct;
    if (auto v = field("vid"))
        m_Info.vendor = static_cast<uint16_t>(ParseNumber("vid", *v, 0xFFFF));
    if (auto v = field("pid"))
        m_Info.product = static_cast<uint16_t>(ParseNumber("pid", *v, 0xFFFF));
    m_Info.bcdDevice = 0x0100;
    m_Info.manufacturer = "kestrad simulation";
    m_Info.productName = "EZ-USB JTAG adapter";
    if (auto v = field("serial"))
        m_Info.serial = CheckSerial(*v);
    CInterfaceInfo intf;
    intf.endpoints = {{kCommandEp, 2, 512, 0}, {kControlEp, 2, 512, 0}, {kReplyEp, 2, 512, 0}};
    m_Info.interfaces.push_back(intf);

    m_Target = MakeTarget(entry);
}

void CEzUsbModel::Attach()
{
    m_Replies.clear();
    m_ReplyOffset = 0;
    m_ClockCode = 1;
    m_AdapterReset = false;
    m_Srst = true;
    m_Block = 0;
    m_BlockReply.clear();
    m_Target->chain.SetTrst(true);  // a fresh firmware drives no reset
}

int CEzUsbModel::BulkWrite(uint8_t ep, const uint8_t* data, size_t size)
{
    if (ep == kControlEp) {
        for (size_t i = 0; i < size; ++i) {
            const uint8_t b = data[i];
            if (b >= 1 && b <= 3) {
                m_ClockCode = b;
            } else if (b == 4) {
                m_AdapterReset = true;
                m_Replies.clear();
                m_ReplyOffset = 0;
                m_Block = 0;
                m_BlockReply.clear();
            } else if (b == 5) {
                m_AdapterReset = false;
            } else {
                Note("ezusb: unknown control byte 0x%02x ignored", b);
            }
        }
        return static_cast<int>(size);
    }
    if (ep != kCommandEp)
        return -EPIPE;
    if (Queued() > kReplyLimit)
        return kNotReady;  // the IN FIFO is full: the firmware takes nothing more
    if (m_AdapterReset) {
        Note("ezusb: %zu bytes of frames dropped while the adapter is held in reset", size);
        return static_cast<int>(size);
    }
    CommandTransfer(data, size);
    return static_cast<int>(size);
}

int CEzUsbModel::BulkRead(uint8_t ep, uint8_t* data, size_t size)
{
    if (ep != kReplyEp)
        return -EPIPE;
    if (m_Replies.empty())
        return kNotReady;
    const std::vector<uint8_t>& front = m_Replies.front();
    const size_t n = std::min(size, front.size() - m_ReplyOffset);
    std::memcpy(data, front.data() + m_ReplyOffset, n);
    m_ReplyOffset += n;
    if (m_ReplyOffset == front.size()) {
        m_Replies.pop_front();
        m_ReplyOffset = 0;
    }
    return static_cast<int>(n);
}

void CEzUsbModel::CommandTransfer(const uint8_t* data, size_t size)
{
    if (size == 0)
        return;
    if (size == 2 && data[0] == 0xB0 && data[1] == 0xFF) {
        Reply({static_cast<uint8_t>(m_Version & 0xFF), static_cast<uint8_t>(m_Version >> 8)});
        return;
    }
    const uint8_t h = data[0];
    const unsigned kind = h >> 6;
    if (kind == 2) {
        InstructionScan(data, size);
        return;
    }
    if (kind != 1) {
        Note("ezusb: frame header 0x%02x (%zu bytes) is no frame of this adapter; dropped", h, size);
        return;
    }
    const bool commandStream =
        (h & 0x30) == 0 && size % 6 == 0 && ((h & 3) != 0 || (size >= 2 && data[1] == 0x4D));
    if (commandStream) {
        for (size_t off = 0; off < size; off += 6)
            CommandFrame(data + off);
        // The firmware sends what it has read when the host's frames run out.
        if (m_Block == 2)
            FlushBlock();
        return;
    }
    if ((h & 3) != 0) {
        Note("ezusb: command frames of %zu bytes (not a multiple of 6) dropped", size);
        return;
    }
    DataScan(data, size);
}

void CEzUsbModel::ApplyLines(uint8_t header)
{
    const bool trst = (header & 0x08) != 0;
    m_Srst = (header & 0x04) != 0;
    if (m_Target->chain.Trst() != trst)
        m_Target->chain.SetTrst(trst);
}

void CEzUsbModel::InstructionScan(const uint8_t* frame, size_t size)
{
    const uint8_t h = frame[0];
    if ((h & 3) != 0 || size > 5) {
        Note("ezusb: instruction scan frame with header 0x%02x and %zu bytes dropped", h, size);
        return;
    }
    ApplyLines(h);
    const unsigned bits = kCodeBits[(h >> 4) & 3];
    uint8_t in[4] = {0, 0, 0, 0};
    if (size == 1)
        std::memset(in, 0xFF, sizeof in);
    else
        std::memcpy(in, frame + 1, size - 1);
    uint8_t captured[4] = {0, 0, 0, 0};
    m_Target->chain.ScanInto(true, in, bits, simtap::TapState::RunTestIdle, captured);
    Reply({captured[0], bits > 8 ? captured[1] : uint8_t(0)});
}

void CEzUsbModel::DataScan(const uint8_t* frame, size_t size)
{
    const uint8_t h = frame[0];
    if (size < 2 || size > 6) {
        Note("ezusb: data scan frame of %zu bytes dropped", size);
        return;
    }
    ApplyLines(h);
    const uint8_t command = frame[1];
    const size_t dataBytes = size - 2;
    const size_t dataBits = std::min<size_t>(8 * dataBytes, kCodeBits[(h >> 4) & 3]);
    const size_t total = dataBytes == 0 ? 8 : 9 + dataBits;

    // At most 9 + 32 bits: both streams fit in 8 bytes, kept on the stack.
    uint8_t in[8] = {};
    uint8_t captured[8] = {};
    in[0] = command;  // stream bit 8 stays 0
    for (size_t j = 0; j < dataBits; ++j)
        if ((frame[2 + j / 8] >> (j % 8)) & 1)
            in[(9 + j) / 8] |= static_cast<uint8_t>(1u << ((9 + j) % 8));
    m_Target->chain.ScanInto(false, in, total, simtap::TapState::RunTestIdle, captured);

    if ((command & 0x40) == 0 || dataBytes == 0)
        return;
    std::vector<uint8_t> reply(dataBytes, 0);
    for (size_t j = 0; j < dataBits; ++j)
        SetBit(reply, j, (captured[(9 + j) / 8] >> ((9 + j) % 8)) & 1);
    Reply(std::move(reply));
}

void CEzUsbModel::CommandFrame(const uint8_t* f)
{
    const uint8_t h = f[0];
    const uint8_t op = f[1];
    const unsigned dir = h & 3;
    const uint32_t arg = Le32(f + 2);
    if ((h & 0xF0) != 0x40) {
        Note("ezusb: command frame header 0x%02x dropped", h);
        return;
    }
    if (h == 0x4F && op == 0x03) {
        FlushBlock();
        const std::vector<uint8_t> id = m_Target->chain.ScanDR(nullptr, 32, simtap::TapState::RunTestIdle);
        Reply(id);
        return;
    }
    ApplyLines(h);
    switch (op) {
    case 0x4D: {
        std::vector<uint8_t> reply(32, 0);
        reply[0] = h;
        reply[1] = op;
        Reply(std::move(reply));
        return;
    }
    case 0x0B:
        if (dir != 1 && dir != 2)
            break;
        FlushBlock();
        m_Block = static_cast<int>(dir);
        m_Address = arg;
        return;
    case 0x0C:
        if (m_Block != 1 || (dir != 1 && dir != 3))
            break;
        m_Target->memory.Write32(m_Address, arg);
        m_Address += 4;
        if (dir == 3)
            m_Block = 0;
        return;
    case 0x4C:
        if (m_Block != 2 || (dir != 2 && dir != 3))
            break;
        AppendLe32(m_BlockReply, m_Target->memory.Read32(m_Address));
        m_Address += 4;
        if (dir == 3) {
            FlushBlock();
            m_Block = 0;
        }
        return;
    default:
        break;
    }
    Note("ezusb: command frame %02x %02x (direction %u, block state %d) dropped", h, op, dir, m_Block);
}

void CEzUsbModel::FlushBlock()
{
    if (!m_BlockReply.empty())
        Reply(std::move(m_BlockReply));
    m_BlockReply.clear();
}

void CEzUsbModel::Reply(std::vector<uint8_t> bytes)
{
    if (!bytes.empty())
        m_Replies.push_back(std::move(bytes));
}

size_t CEzUsbModel::Queued() const
{
    size_t n = 0;
    for (const auto& r : m_Replies)
        n += r.size();
    return n - m_ReplyOffset + m_BlockReply.size();
}

}  // namespace simusb
