// FTDI boards over a sim/tap target (see FtdiModel.h).
//
// Requests and packet framing follow what libftdi 0.x sends and expects of a
// real chip (its ftdi.c: SIO requests on the default pipe, two modem-status
// bytes per max-packet-size block of IN data); the MPSSE commands follow
// FTDI AN_108.
#include "sim/usb/FtdiModel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace simusb {

namespace {

// The two status bytes of an idle channel, as FTDI chips report them
// (modem status, then line status with the transmitter empty).
constexpr uint8_t kStatus0 = 0x32, kStatus1 = 0x60;

}  // namespace

namespace {

CFtdiModel::Line ParseLine(const std::string& key, const std::string& value)
{
    CFtdiModel::Line line;
    const size_t colon = value.find(':');
    line.mask = static_cast<uint16_t>(ParseNumber(key, value.substr(0, colon), 0xFFFF));
    if (colon != std::string::npos) {
        const std::string level = value.substr(colon + 1);
        if (level != "high" && level != "low")
            throw std::invalid_argument("field " + key + ": '" + level + "' is neither high nor low");
        line.activeHigh = level == "high";
    }
    return line;
}

}  // namespace

CFtdiModel::CFtdiModel(Board board, const CDeviceEntry& entry)
    : m_Board(board), m_Target(MakeTarget(entry)), m_Engine(m_Target->chain)
{
    const bool generic = board == Board::FT2232H || board == Board::FT232H;
    if (board == Board::FT2232H)
        CheckKeys(entry, {"serial", "chain", "bcd", "vid", "pid", "product", "trst", "srst", "channel"});
    else if (generic)
        CheckKeys(entry, {"serial", "chain", "bcd", "vid", "pid", "product", "trst", "srst"});
    else
        CheckKeys(entry, {"serial", "chain", "bcd", "vid", "pid", "product"});
    auto field = [&](const char* key) -> const std::string* {
        auto it = entry.fields.find(key);
        return it == entry.fields.end() ? nullptr : &it->second;
    };
    m_Info.bcdDevice = 0x0700;
    switch (board) {
    case Board::Flyswatter2:
        m_Info.vendor = 0x0403;
        m_Info.product = 0x6010;
        m_Info.manufacturer = "TinCanTools";
        m_Info.productName = "Flyswatter2";
        m_Trst = {0x0010, false};
        m_Srst = {0x0020, false};
        break;
    case Board::TinyH:
        m_Info.vendor = 0x15BA;
        m_Info.product = 0x002A;
        m_Info.manufacturer = "Olimex";
        m_Info.productName = "Olimex OpenOCD JTAG ARM-USB-TINY-H";
        m_Trst = {0x0100, false};
        m_Srst = {0x0200, true};
        break;
    case Board::FT2232H:
        m_Info.vendor = 0x0403;
        m_Info.product = 0x6010;
        m_Info.manufacturer = "FTDI";
        m_Info.productName = "Dual RS232-HS";
        break;
    case Board::FT232H:
        m_Info.vendor = 0x0403;
        m_Info.product = 0x6014;
        m_Info.manufacturer = "FTDI";
        m_Info.productName = "Single RS232-HS";
        m_Info.bcdDevice = 0x0900;
        m_Channels = 1;
        break;
    }
    if (auto v = field("bcd"))
        m_Info.bcdDevice = static_cast<uint16_t>(ParseNumber("bcd", *v, 0xFFFF));
    if (auto v = field("vid"))
        m_Info.vendor = static_cast<uint16_t>(ParseNumber("vid", *v, 0xFFFF));
    if (auto v = field("pid"))
        m_Info.product = static_cast<uint16_t>(ParseNumber("pid", *v, 0xFFFF));
    if (auto v = field("product"))
        m_Info.productName = *v;
    if (auto v = field("serial"))
        m_Info.serial = CheckSerial(*v);
    if (auto v = field("trst"))
        m_Trst = ParseLine("trst", *v);
    if (auto v = field("srst"))
        m_Srst = ParseLine("srst", *v);
    if (auto v = field("channel")) {
        if (*v != "a" && *v != "b")
            throw std::invalid_argument("field channel: '" + *v + "' is neither a nor b");
        m_Jtag = *v == "a" ? 0 : 1;
    }
    CInterfaceInfo a, b;
    a.stringIndex = 2;
    b.stringIndex = 2;
    a.endpoints = {{kInA, 2, kPacket, 0}, {kOutA, 2, kPacket, 0}};
    b.endpoints = {{kInB, 2, kPacket, 0}, {kOutB, 2, kPacket, 0}};
    m_Info.interfaces = {a};
    if (m_Channels == 2)
        m_Info.interfaces.push_back(b);
    m_Engine.onGpio = [this] { UpdateLines(); };
}

const char* CFtdiModel::Kind() const
{
    switch (m_Board) {
    case Board::Flyswatter2: return "flyswatter2";
    case Board::TinyH: return "tiny-h";
    case Board::FT2232H: return "ft2232h";
    case Board::FT232H: return "ft232h";
    }
    return "ftdi";
}

void CFtdiModel::Attach()
{
    m_Mpsse[0] = m_Mpsse[1] = false;
    m_Latency[0] = m_Latency[1] = 16;
    m_Queue.clear();
    m_QueueHead = 0;
    m_Engine.Reset();
    m_OutTransfers = 0;
    m_DataReads = 0;
    m_DropReplies = false;
    UpdateLines();  // every pin an input: nothing asserted
}

void CFtdiModel::UpdateLines()
{
    const uint16_t value = static_cast<uint16_t>(m_Engine.LowValue() | m_Engine.HighValue() << 8);
    const uint16_t direction = static_cast<uint16_t>(m_Engine.LowDirection() | m_Engine.HighDirection() << 8);
    const auto asserted = [&](const Line& line) {
        if (line.mask == 0 || (direction & line.mask) != line.mask)
            return false;
        return line.activeHigh ? (value & line.mask) == line.mask : (value & line.mask) == 0;
    };
    const bool trst = asserted(m_Trst);
    const bool srst = asserted(m_Srst);
    if (trst != m_TrstAsserted || srst != m_SrstAsserted)
        Note("%s: TRST %s, system reset %s", Kind(), trst ? "asserted" : "released",
             srst ? "asserted" : "released");
    m_TrstAsserted = trst;
    m_SrstAsserted = srst;
    m_Target->chain.SetTrst(!trst);
}

int CFtdiModel::ChannelOfIndex(uint16_t index) const
{
    // Channel A is index 1 (0 from hosts that name no channel), B is 2.
    const unsigned i = index & 0xFF;
    const unsigned channel = i <= 1 ? 0 : i - 1;
    return channel < m_Channels ? static_cast<int>(channel) : -1;
}

int CFtdiModel::ChannelOfEndpoint(uint8_t ep, bool in) const
{
    if (ep == (in ? kInA : kOutA))
        return 0;
    if (m_Channels == 2 && ep == (in ? kInB : kOutB))
        return 1;
    return -1;
}

int CFtdiModel::Control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                        uint16_t size)
{
    const int channel = ChannelOfIndex(index);
    const bool jtag = channel == static_cast<int>(m_Jtag);
    if (requestType == 0x40) {
        if (channel < 0)
            return -EPIPE;
        switch (request) {
        case 0x00:  // reset (0), purge RX (1), purge TX (2)
            if (jtag && (value == 0 || value == 1)) {
                m_Queue.clear();
                m_QueueHead = 0;
            }
            return 0;
        case 0x01:  // modem control
        case 0x02:  // flow control
        case 0x03:  // baud rate
        case 0x04:  // data characteristics
        case 0x06:  // event character
        case 0x07:  // error character
            return 0;
        case 0x09:  // latency timer
            m_Latency[channel] = value & 0xFF;
            return 0;
        case 0x0B: {  // bit mode: value = mode << 8 | mask
            const bool mpsse = (value >> 8) == 0x02;
            if (jtag) {
                if (mpsse && !m_Mpsse[channel])
                    m_Engine.Reset();
            }
            m_Mpsse[channel] = mpsse;
            if (jtag)
                UpdateLines();
            return 0;
        }
        default:
            return -EPIPE;
        }
    }
    if (requestType == 0xC0) {
        switch (request) {
        case 0x05:  // poll modem status
            if (size < 2)
                return -EPIPE;
            data[0] = kStatus0;
            data[1] = kStatus1;
            return 2;
        case 0x0A:  // get latency timer
            if (size < 1 || channel < 0)
                return -EPIPE;
            data[0] = static_cast<uint8_t>(m_Latency[channel]);
            return 1;
        default:
            return -EPIPE;
        }
    }
    return -EPIPE;
}

int CFtdiModel::BulkWrite(uint8_t ep, const uint8_t* data, size_t size)
{
    ++m_OutTransfers;
    const int channel = ChannelOfEndpoint(ep, false);
    if (channel < 0)
        return -EPIPE;
    if (channel != static_cast<int>(m_Jtag))
        return static_cast<int>(size);  // the other channel is an idle serial port here
    if (m_Queue.size() - m_QueueHead > kQueueLimit)
        return kNotReady;  // the chip holds back commands until the host reads
    if (!m_Mpsse[m_Jtag]) {
        Note("%s: %zu bytes written outside MPSSE mode dropped", Kind(), size);
        return static_cast<int>(size);
    }
    const size_t before = m_Queue.size();
    m_Engine.Feed(data, size, m_Queue);
    if (m_DropReplies)
        m_Queue.resize(before);
    return static_cast<int>(size);
}

int CFtdiModel::BulkRead(uint8_t ep, uint8_t* data, size_t size)
{
    const int channel = ChannelOfEndpoint(ep, true);
    if (channel < 0)
        return -EPIPE;
    const size_t available = channel == static_cast<int>(m_Jtag) ? m_Queue.size() - m_QueueHead : 0;
    size_t out = 0;
    size_t taken = 0;
    while (out + 2 <= size) {
        data[out] = kStatus0;
        data[out + 1] = kStatus1;
        const size_t n = std::min({kPacket - 2, available - taken, size - out - 2});
        if (n > 0)  // an empty queue may have no storage to copy from
            std::memcpy(data + out + 2, m_Queue.data() + m_QueueHead + taken, n);
        out += 2 + n;
        taken += n;
        if (n < kPacket - 2)
            break;  // a short packet ends the transfer
    }
    if (taken > 0) {
        ++m_DataReads;
        m_QueueHead += taken;
        if (m_QueueHead == m_Queue.size()) {
            m_Queue.clear();
            m_QueueHead = 0;
        }
    }
    return static_cast<int>(out);
}

}  // namespace simusb
