// CMSIS-DAP requests, responses and JTAG sequences (see Commands.h).
#include "JTAG/backends/cmsisdap/Commands.h"

#include <algorithm>
#include <cstdio>

namespace cmsisdap {

namespace {

void Le32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The start every parser checks: the command's id, and `need` bytes.
void CheckReply(uint8_t command, const uint8_t* reply, size_t size, size_t need)
{
    if (size == 0 || !reply)
        throw reply_error("the probe sent an empty reply to " + CommandName(command));
    if (reply[0] != command) {
        if (reply[0] == ID_DAP_INVALID)
            throw reply_error("the probe does not know " + CommandName(command) + " (it answered 0xff)");
        char text[16];
        std::snprintf(text, sizeof text, "0x%02x", reply[0]);
        throw reply_error("the reply to " + CommandName(command) + " starts with " + text);
    }
    if (size < need)
        throw reply_error("the reply to " + CommandName(command) + " is " + std::to_string(size) + " bytes, " +
                          std::to_string(need) + " expected");
}

}  // namespace

std::string CommandName(uint8_t command)
{
    const char* name = nullptr;
    switch (command) {
    case DAP_INFO: name = "DAP_Info"; break;
    case DAP_CONNECT: name = "DAP_Connect"; break;
    case DAP_DISCONNECT: name = "DAP_Disconnect"; break;
    case DAP_SWJ_PINS: name = "DAP_SWJ_Pins"; break;
    case DAP_SWJ_CLOCK: name = "DAP_SWJ_Clock"; break;
    case DAP_JTAG_SEQUENCE: name = "DAP_JTAG_Sequence"; break;
    default: name = "command"; break;
    }
    char text[48];
    std::snprintf(text, sizeof text, "%s (0x%02x)", name, command);
    return text;
}

std::vector<uint8_t> InfoRequest(uint8_t id) { return {DAP_INFO, id}; }

std::vector<uint8_t> ConnectRequest(uint8_t port) { return {DAP_CONNECT, port}; }

std::vector<uint8_t> DisconnectRequest() { return {DAP_DISCONNECT}; }

std::vector<uint8_t> ClockRequest(uint32_t hertz)
{
    std::vector<uint8_t> out = {DAP_SWJ_CLOCK};
    Le32(out, hertz);
    return out;
}

std::vector<uint8_t> PinsRequest(uint8_t value, uint8_t select, uint32_t waitUs)
{
    std::vector<uint8_t> out = {DAP_SWJ_PINS, value, select};
    Le32(out, waitUs);
    return out;
}

void CheckStatus(uint8_t command, const uint8_t* reply, size_t size)
{
    CheckReply(command, reply, size, 2);
    if (reply[1] != DAP_OK)
        throw reply_error(CommandName(command) + " failed: the probe answered " +
                          (reply[1] == DAP_ERROR ? std::string("DAP_ERROR") : "status " + std::to_string(reply[1])));
}

std::string InfoString(const uint8_t* reply, size_t size)
{
    CheckReply(DAP_INFO, reply, size, 2);
    const size_t length = reply[1];
    if (size < 2 + length)
        throw reply_error("the reply to " + CommandName(DAP_INFO) + " holds " + std::to_string(size - 2) +
                          " of the " + std::to_string(length) + " bytes it announces");
    const char* text = reinterpret_cast<const char*>(reply + 2);
    return std::string(text, std::find(text, text + length, '\0'));
}

uint32_t InfoNumber(const uint8_t* reply, size_t size, uint32_t missing)
{
    CheckReply(DAP_INFO, reply, size, 2);
    const size_t length = reply[1];
    if (length == 0)
        return missing;
    if (length != 1 && length != 2 && length != 4)
        throw reply_error("the reply to " + CommandName(DAP_INFO) + " gives a number of " + std::to_string(length) +
                          " bytes");
    if (size < 2 + length)
        throw reply_error("the reply to " + CommandName(DAP_INFO) + " holds " + std::to_string(size - 2) +
                          " of the " + std::to_string(length) + " bytes it announces");
    uint32_t value = 0;
    for (size_t i = 0; i < length; ++i)
        value |= static_cast<uint32_t>(reply[2 + i]) << (8 * i);
    return value;
}

uint8_t ConnectedPort(const uint8_t* reply, size_t size)
{
    CheckReply(DAP_CONNECT, reply, size, 2);
    return reply[1];
}

uint8_t PinsRead(const uint8_t* reply, size_t size)
{
    CheckReply(DAP_SWJ_PINS, reply, size, 2);
    return reply[1];
}

// ---------------------------------------------------------------------------
// Bit streams.

void BitStream::Append(bool bit)
{
    if (m_size % 8 == 0)
        m_bytes.push_back(0);
    if (bit)
        m_bytes.back() = static_cast<uint8_t>(m_bytes.back() | (1u << (m_size % 8)));
    ++m_size;
}

void BitStream::Append(const uint8_t* bits, uint64_t count)
{
    if (m_size % 8 == 0) {
        // Whole bytes at once, the usual case of a byte-aligned stream.
        const uint64_t whole = count / 8;
        m_bytes.insert(m_bytes.end(), bits, bits + whole);
        m_size += whole * 8;
        for (uint64_t k = whole * 8; k < count; ++k)
            Append(((bits[k / 8] >> (k % 8)) & 1) != 0);
        return;
    }
    for (uint64_t k = 0; k < count; ++k)
        Append(((bits[k / 8] >> (k % 8)) & 1) != 0);
}

std::vector<uint8_t> BitStream::Slice(uint64_t offset, uint64_t count) const
{
    if (offset > m_size || count > m_size - offset)
        throw std::out_of_range("TDO bits " + std::to_string(offset) + ".." + std::to_string(offset + count) +
                                " asked of a stream of " + std::to_string(m_size));
    std::vector<uint8_t> out((count + 7) / 8, 0);
    if (offset % 8 == 0) {
        std::copy(m_bytes.begin() + static_cast<std::ptrdiff_t>(offset / 8),
                  m_bytes.begin() + static_cast<std::ptrdiff_t>(offset / 8 + out.size()), out.begin());
        if (count % 8)
            out.back() = static_cast<uint8_t>(out.back() & ((1u << (count % 8)) - 1));
        return out;
    }
    for (uint64_t k = 0; k < count; ++k) {
        const uint64_t at = offset + k;
        if ((m_bytes[at / 8] >> (at % 8)) & 1)
            out[k / 8] = static_cast<uint8_t>(out[k / 8] | (1u << (k % 8)));
    }
    return out;
}

// ---------------------------------------------------------------------------
// DAP_JTAG_Sequence.

void ParseSequenceReply(const std::vector<uint8_t>& request, const uint8_t* reply, size_t size, BitStream& tdo)
{
    CheckStatus(DAP_JTAG_SEQUENCE, reply, size);
    if (request.size() < 2 || request[0] != DAP_JTAG_SEQUENCE)
        throw reply_error("not a " + CommandName(DAP_JTAG_SEQUENCE) + " request");
    // The request says which sequences capture and how many bits each.
    size_t at = 2;
    size_t from = 2;
    BitStream captured;
    for (unsigned s = 0; s < request[1]; ++s) {
        if (at >= request.size())
            throw reply_error(CommandName(DAP_JTAG_SEQUENCE) + " request ends inside sequence " + std::to_string(s));
        const uint8_t info = request[at++];
        const unsigned clocks = (info & 0x3F) == 0 ? 64 : (info & 0x3F);
        const size_t bytes = (clocks + 7) / 8;
        at += bytes;
        if (!(info & 0x80))
            continue;
        if (size < from + bytes)
            throw reply_error("the reply to " + CommandName(DAP_JTAG_SEQUENCE) + " is " + std::to_string(size) +
                              " bytes, " + std::to_string(from + bytes) + " or more expected");
        captured.Append(reply + from, clocks);
        from += bytes;
    }
    tdo.Append(captured.Bytes().data(), captured.Size());
}

JtagBatch::JtagBatch(State from, unsigned packetSize) : m_state(from), m_packetSize(packetSize)
{
    if (packetSize < kMinPacketSize || packetSize > kMaxPacketSize)
        throw std::logic_error("CMSIS-DAP packet size " + std::to_string(packetSize) + " is outside " +
                               std::to_string(kMinPacketSize) + ".." + std::to_string(kMaxPacketSize));
}

void JtagBatch::NewPacket()
{
    m_packets.push_back(SequencePacket{{DAP_JTAG_SEQUENCE, 0}, 2, 0});
    m_lastInfo = 0;
}

void JtagBatch::Clocks(bool tms, const uint8_t* tdi, uint64_t first, uint64_t count, bool capture)
{
    uint64_t done = 0;
    while (done < count) {
        if (m_packets.empty())
            NewPacket();
        SequencePacket* packet = &m_packets.back();
        const uint64_t left = count - done;
        unsigned clocks = 0;      // taken this round
        unsigned startBit = 0;    // in the sequence's TDI bits
        size_t tdiAt = 0;         // the sequence's first TDI byte in the request
        const size_t requestRoom = m_packetSize - packet->request.size();
        const size_t replyRoom = m_packetSize - packet->replySize;
        if (m_lastInfo != 0 && m_lastTms == tms && m_lastCapture == capture && m_lastClocks < 64) {
            // Extend the last sequence as far as its 64 clocks and the
            // packet's room (both ways) allow.
            const unsigned held = (m_lastClocks + 7) / 8;
            uint64_t limit = std::min<uint64_t>(64 - m_lastClocks, left);
            limit = std::min<uint64_t>(limit, (held + requestRoom) * 8 - m_lastClocks);
            if (capture)
                limit = std::min<uint64_t>(limit, (held + replyRoom) * 8 - m_lastClocks);
            clocks = static_cast<unsigned>(limit);
            startBit = m_lastClocks;
            tdiAt = m_lastInfo + 1;
        }
        if (clocks == 0) {
            // A sequence of its own, in a fresh packet when this one is full.
            const bool full = packet->request[1] == kMaxSequences || requestRoom < 2 || (capture && replyRoom < 1);
            if (full) {
                NewPacket();
                packet = &m_packets.back();
            }
            const size_t room = m_packetSize - packet->request.size();
            const size_t replyLeft = m_packetSize - packet->replySize;
            uint64_t limit = std::min<uint64_t>(64, left);
            limit = std::min<uint64_t>(limit, (room - 1) * 8);
            if (capture)
                limit = std::min<uint64_t>(limit, replyLeft * 8);
            clocks = static_cast<unsigned>(limit);
            m_lastInfo = packet->request.size();
            m_lastClocks = 0;
            startBit = 0;
            m_lastTms = tms;
            m_lastCapture = capture;
            packet->request.push_back(0);
            ++packet->request[1];
            tdiAt = m_lastInfo + 1;
        }
        // Room for the grown sequence's TDI bytes and TDO bytes.
        const unsigned total = m_lastClocks + clocks;
        const size_t oldBytes = (m_lastClocks + 7) / 8;
        const size_t newBytes = (total + 7) / 8;
        packet->request.resize(packet->request.size() + (newBytes - oldBytes), 0);
        if (capture) {
            packet->replySize += newBytes - oldBytes;
            m_captured += clocks;
        }
        if (tdi)
            for (unsigned k = 0; k < clocks; ++k) {
                const uint64_t bit = first + done + k;
                if ((tdi[bit / 8] >> (bit % 8)) & 1) {
                    const unsigned at = startBit + k;
                    packet->request[tdiAt + at / 8] = static_cast<uint8_t>(packet->request[tdiAt + at / 8] | (1u << (at % 8)));
                }
            }
        m_lastClocks = total;
        packet->request[m_lastInfo] =
            static_cast<uint8_t>((total & 0x3F) | (tms ? 0x40 : 0) | (capture ? 0x80 : 0));
        packet->clocks += clocks;
        done += clocks;
    }
}

void JtagBatch::Route(const TapStateMachine::Route& route)
{
    for (unsigned k = 0; k < route.count; ++k) {
        const bool tms = (route.tms >> k) & 1;
        Clocks(tms, nullptr, 0, 1, false);
        m_state = TapController::Next(m_state, tms);
    }
}

void JtagBatch::Move(TapState target)
{
    TapState current;
    if (TapController::ToWire(m_state, current)) {
        // As on the J-Link: a TAP resting in its target stays, but for the
        // two states whose route is a clock of their own.
        if (target == current && target != TapState::TEST_LOGIC_RESET && target != TapState::RUN_TEST_IDLE)
            return;
        if (TapStateMachine::HasRoute(current, target)) {
            Route(TapStateMachine::RouteBetween(current, target));
            return;
        }
    }
    // From where a raw sequence left the TAP (Select, Capture, Update,
    // Exit2), by the table's rule.
    Route(TapController::RouteTo(m_state, TapController::FromWire(target)));
}

uint64_t JtagBatch::Scan(const uint8_t* tdi, uint64_t bits, bool capture)
{
    if (m_state != State::ShiftDR && m_state != State::ShiftIR)
        throw std::logic_error(std::string("a scan starts in Shift-DR or Shift-IR, not in ") +
                               TapController::Name(m_state));
    const uint64_t offset = m_captured;
    if (bits == 0)
        return offset;
    Clocks(false, tdi, 0, bits - 1, capture);
    Clocks(true, tdi, bits - 1, 1, capture);
    m_state = TapController::Next(m_state, true);
    return offset;
}

void JtagBatch::Idle(uint64_t count)
{
    Clocks(false, nullptr, 0, count, false);
    // TMS 0 settles in a state that keeps it within a few clocks.
    for (uint64_t k = 0; k < std::min<uint64_t>(count, 16); ++k)
        m_state = TapController::Next(m_state, false);
}

uint64_t JtagBatch::Raw(const uint8_t* tms, const uint8_t* tdi, uint64_t bits)
{
    const uint64_t offset = m_captured;
    uint64_t k = 0;
    while (k < bits) {
        // A run of clocks with the same TMS level is one or more sequences.
        const bool level = (tms[k / 8] >> (k % 8)) & 1;
        uint64_t end = k + 1;
        while (end < bits && (((tms[end / 8] >> (end % 8)) & 1) != 0) == level)
            ++end;
        Clocks(level, tdi, k, end - k, true);
        for (; k < end; ++k)
            m_state = TapController::Next(m_state, level);
    }
    return offset;
}

}  // namespace cmsisdap
