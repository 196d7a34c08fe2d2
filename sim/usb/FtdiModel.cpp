// FT2232H boards over a sim/tap target (see FtdiModel.h).
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

CFtdiModel::CFtdiModel(Board board, const CDeviceEntry& entry)
    : m_Board(board), m_Target(MakeTarget(entry)), m_Engine(m_Target->chain)
{
    CheckKeys(entry, {"serial", "chain", "bcd"});
    if (board == Board::Flyswatter2) {
        m_Info.vendor = 0x0403;
        m_Info.product = 0x6010;
        m_Info.manufacturer = "TinCanTools";
        m_Info.productName = "Flyswatter2";
    } else {
        m_Info.vendor = 0x15BA;
        m_Info.product = 0x002A;
        m_Info.manufacturer = "Olimex";
        m_Info.productName = "Olimex OpenOCD JTAG ARM-USB-TINY-H";
    }
    m_Info.bcdDevice = 0x0700;
    auto bcd = entry.fields.find("bcd");
    if (bcd != entry.fields.end())
        m_Info.bcdDevice = static_cast<uint16_t>(ParseNumber("bcd", bcd->second, 0xFFFF));
    auto serial = entry.fields.find("serial");
    if (serial != entry.fields.end())
        m_Info.serial = CheckSerial(serial->second);
    CInterfaceInfo a, b;
    a.stringIndex = 2;
    b.stringIndex = 2;
    a.endpoints = {{kInA, 2, kPacket, 0}, {kOutA, 2, kPacket, 0}};
    b.endpoints = {{kInB, 2, kPacket, 0}, {kOutB, 2, kPacket, 0}};
    m_Info.interfaces = {a, b};
    m_Engine.onGpio = [this] { UpdateLines(); };
}

const char* CFtdiModel::Kind() const { return m_Board == Board::Flyswatter2 ? "flyswatter2" : "tiny-h"; }

void CFtdiModel::Attach()
{
    m_Mpsse = false;
    m_Latency = 16;
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
    bool trst, srst;
    if (m_Board == Board::Flyswatter2) {
        const uint8_t v = m_Engine.LowValue(), d = m_Engine.LowDirection();
        trst = (d & 0x10) && !(v & 0x10);
        srst = (d & 0x20) && !(v & 0x20);
    } else {
        const uint8_t v = m_Engine.HighValue(), d = m_Engine.HighDirection();
        trst = (d & 0x01) && !(v & 0x01);
        srst = (d & 0x02) && (v & 0x02);
    }
    if (trst != m_TrstAsserted || srst != m_SrstAsserted)
        Note("%s: TRST %s, system reset %s", Kind(), trst ? "asserted" : "released",
             srst ? "asserted" : "released");
    m_TrstAsserted = trst;
    m_SrstAsserted = srst;
    m_Target->chain.SetTrst(!trst);
}

int CFtdiModel::Control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                        uint16_t size)
{
    // Channel A is index 1 (0 from hosts that name no channel), B is 2.
    const bool channelA = (index & 0xFF) <= 1;
    if (requestType == 0x40) {
        switch (request) {
        case 0x00:  // reset (0), purge RX (1), purge TX (2)
            if (channelA && (value == 0 || value == 1)) {
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
            if (channelA)
                m_Latency = value & 0xFF;
            return 0;
        case 0x0B:  // bit mode: value = mode << 8 | mask
            if (channelA) {
                const bool mpsse = (value >> 8) == 0x02;
                if (mpsse && !m_Mpsse)
                    m_Engine.Reset();
                m_Mpsse = mpsse;
                UpdateLines();
            }
            return 0;
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
            if (size < 1)
                return -EPIPE;
            data[0] = static_cast<uint8_t>(m_Latency);
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
    if (ep == kOutB)
        return static_cast<int>(size);  // channel B is an idle serial port here
    if (ep != kOutA)
        return -EPIPE;
    if (m_Queue.size() - m_QueueHead > kQueueLimit)
        return kNotReady;  // the chip holds back commands until the host reads
    if (!m_Mpsse) {
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
    if (ep != kInA && ep != kInB)
        return -EPIPE;
    const size_t available = ep == kInA ? m_Queue.size() - m_QueueHead : 0;
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
