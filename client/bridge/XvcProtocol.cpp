#include "client/bridge/XvcProtocol.h"

#include <algorithm>
#include <cstdio>

namespace kestrad::bridge {

namespace {

// The longest name a client sends is "getinfo:"; anything longer without a
// colon is not XVC.
constexpr size_t kMaxName = 16;

uint32_t Le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// A client's bytes as a log can show them.
std::string Shown(const std::string& bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

}  // namespace

CXvcParser::CXvcParser(uint32_t maxVectorBytes) : m_max(maxVectorBytes) {}

void CXvcParser::Fail(const std::string& why, std::vector<XvcAction>& out)
{
    XvcAction action;
    action.kind = XvcAction::Kind::Error;
    action.error = why;
    out.push_back(std::move(action));
    m_failed = true;
}

void CXvcParser::NameByte(uint8_t byte, std::vector<XvcAction>& out)
{
    m_name += static_cast<char>(byte);
    if (byte != ':') {
        if (m_name.size() >= kMaxName)
            Fail("not an XVC command: '" + Shown(m_name) + "'...", out);
        return;
    }
    if (m_name == "getinfo:") {
        XvcAction action;
        action.kind = XvcAction::Kind::GetInfo;
        out.push_back(std::move(action));
    } else if (m_name == "settck:") {
        m_stage = Stage::Period;
    } else if (m_name == "shift:") {
        m_stage = Stage::Count;
    } else {
        Fail("unknown XVC command '" + Shown(m_name) + "'", out);
        return;
    }
    m_name.clear();
    m_wordFill = 0;
}

void CXvcParser::Feed(const uint8_t* data, size_t size, std::vector<XvcAction>& out)
{
    size_t pos = 0;
    while (pos < size && !m_failed) {
        switch (m_stage) {
        case Stage::Name:
            NameByte(data[pos++], out);
            break;
        case Stage::Period:
        case Stage::Count: {
            const size_t n = std::min(size - pos, sizeof m_word - m_wordFill);
            std::copy(data + pos, data + pos + n, m_word + m_wordFill);
            m_wordFill += n;
            pos += n;
            if (m_wordFill < sizeof m_word)
                break;
            const uint32_t word = Le32(m_word);
            if (m_stage == Stage::Period) {
                XvcAction action;
                action.kind = XvcAction::Kind::SetTck;
                action.period = word;
                out.push_back(std::move(action));
                m_stage = Stage::Name;
                break;
            }
            const size_t bytes = (static_cast<size_t>(word) + 7) / 8;
            if (bytes > m_max) {
                Fail("shift: of " + std::to_string(word) + " bits needs vectors of " +
                         std::to_string(bytes) + " bytes, more than the " + std::to_string(m_max) +
                         " getinfo: offers",
                     out);
                break;
            }
            m_shift = XvcAction();
            m_shift.kind = XvcAction::Kind::Shift;
            m_shift.bits = word;
            m_shift.tms.resize(bytes);
            m_shift.tdi.resize(bytes);
            m_vectorFill = 0;
            m_stage = Stage::Vectors;
            // A shift of 0 bits has no vectors: it is complete now.
            if (bytes == 0) {
                out.push_back(std::move(m_shift));
                m_shift = XvcAction();
                m_stage = Stage::Name;
            }
            break;
        }
        case Stage::Vectors: {
            const size_t bytes = m_shift.tms.size();
            while (pos < size && m_vectorFill < 2 * bytes) {
                const bool first = m_vectorFill < bytes;
                uint8_t* to = first ? m_shift.tms.data() + m_vectorFill
                                    : m_shift.tdi.data() + (m_vectorFill - bytes);
                const size_t room = first ? bytes - m_vectorFill : 2 * bytes - m_vectorFill;
                const size_t n = std::min(size - pos, room);
                std::copy(data + pos, data + pos + n, to);
                m_vectorFill += n;
                pos += n;
            }
            if (m_vectorFill == 2 * bytes) {
                out.push_back(std::move(m_shift));
                m_shift = XvcAction();
                m_stage = Stage::Name;
            }
            break;
        }
        }
    }
}

std::string XvcInfoReply(uint32_t maxVectorBytes)
{
    return "xvcServer_v1.0:" + std::to_string(maxVectorBytes) + "\n";
}

std::array<uint8_t, 4> XvcPeriodReply(uint32_t period)
{
    return {static_cast<uint8_t>(period), static_cast<uint8_t>(period >> 8),
            static_cast<uint8_t>(period >> 16), static_cast<uint8_t>(period >> 24)};
}

uint32_t XvcPeriodToHertz(uint32_t periodNs)
{
    if (periodNs == 0)
        return 0;
    return static_cast<uint32_t>((1000000000ull + periodNs / 2) / periodNs);
}

uint32_t XvcHertzToPeriod(uint32_t hertz)
{
    if (hertz == 0)
        return 0;
    const uint64_t period = (1000000000ull + hertz / 2) / hertz;
    return static_cast<uint32_t>(std::min<uint64_t>(period, 0xFFFFFFFFu));
}

}  // namespace kestrad::bridge
