#include "client/bridge/BitbangProtocol.h"

#include <algorithm>
#include <cstdio>

namespace kestrad::bridge {

// Sample indices are 32-bit, so a sequence stays well below 2^31 clocks.
CBitbangParser::CBitbangParser(uint32_t maxSequenceBits)
    : m_max(std::min<uint32_t>(std::max<uint32_t>(maxSequenceBits, 1), 1u << 28))
{
}

void CBitbangParser::Cut(std::vector<BitbangStep>& out)
{
    if (m_current.bits == 0 && m_current.samples.empty())
        return;
    m_current.kind = BitbangStep::Kind::Sequence;
    out.push_back(std::move(m_current));
    m_current = BitbangStep();
}

void CBitbangParser::Flush(std::vector<BitbangStep>& out)
{
    if (!m_done)
        Cut(out);
}

void CBitbangParser::Stop(BitbangStep step, std::vector<BitbangStep>& out)
{
    Cut(out);
    out.push_back(std::move(step));
    m_done = true;
}

void CBitbangParser::Edge(bool tms, bool tdi, std::vector<BitbangStep>& out)
{
    if (m_current.bits == m_max)
        Cut(out);
    const uint32_t k = m_current.bits++;
    if (k % 8 == 0) {
        m_current.tms.push_back(0);
        m_current.tdi.push_back(0);
    }
    const uint8_t bit = static_cast<uint8_t>(1u << (k % 8));
    if (tms)
        m_current.tms.back() |= bit;
    if (tdi)
        m_current.tdi.back() |= bit;
    // The 'R's sent while TCK was low read this edge's bit.
    for (; m_waiting; --m_waiting)
        m_current.samples.push_back(static_cast<int32_t>(k));
}

void CBitbangParser::Feed(const uint8_t* data, size_t size, std::vector<BitbangStep>& out)
{
    for (size_t i = 0; i < size && !m_done; ++i) {
        const uint8_t c = data[i];
        if (c >= '0' && c <= '7') {
            const unsigned v = c - '0';
            const bool tck = (v & 4) != 0;
            if (tck && !m_tck)
                Edge((v & 2) != 0, (v & 1) != 0, out);
            m_tck = tck;
            continue;
        }
        switch (c) {
        case 'R':
            // Answers are bounded like clocks, so no run of 'R' makes the
            // parser hold more than a full sequence's worth of them.
            if (!m_tck) {
                if (m_waiting == m_max) {
                    BitbangStep step;
                    step.kind = BitbangStep::Kind::Error;
                    step.error = "more than " + std::to_string(m_max) +
                                 " 'R' wait for one clock edge";
                    Stop(std::move(step), out);
                    break;
                }
                ++m_waiting;
            } else {
                if (m_current.samples.size() >= m_max)
                    Cut(out);
                m_current.samples.push_back(static_cast<int32_t>(m_current.bits) - 1);
            }
            break;
        case 'r':
        case 's':
        case 't':
        case 'u': {
            Cut(out);
            BitbangStep step;
            step.kind = BitbangStep::Kind::Reset;
            step.trst = ((c - 'r') & 2) != 0;
            step.srst = ((c - 'r') & 1) != 0;
            out.push_back(std::move(step));
            break;
        }
        case 'Z':
        case 'z': {
            const uint32_t us = c == 'Z' ? 1000 : 1;
            if (m_current.bits == 0 && m_current.samples.empty() && !out.empty() &&
                out.back().kind == BitbangStep::Kind::Sleep && out.back().microseconds < 1000000000u) {
                out.back().microseconds += us;
                break;
            }
            Cut(out);
            BitbangStep step;
            step.kind = BitbangStep::Kind::Sleep;
            step.microseconds = us;
            out.push_back(std::move(step));
            break;
        }
        case 'B':
        case 'b':
        case ' ':
        case '\t':
        case '\r':
        case '\n':
            break;
        case 'Q': {
            BitbangStep step;
            step.kind = BitbangStep::Kind::Quit;
            Stop(std::move(step), out);
            break;
        }
        default: {
            BitbangStep step;
            step.kind = BitbangStep::Kind::Error;
            char text[96];
            if (c == 'O' || c == 'o' || c == 'c' || (c >= 'd' && c <= 'g'))
                std::snprintf(text, sizeof text,
                              "SWD command '%c': this bridge serves JTAG only", static_cast<char>(c));
            else if (c >= 0x20 && c < 0x7F)
                std::snprintf(text, sizeof text, "unknown remote_bitbang command '%c'",
                              static_cast<char>(c));
            else
                std::snprintf(text, sizeof text, "unknown remote_bitbang command byte 0x%02x", c);
            step.error = text;
            Stop(std::move(step), out);
            break;
        }
        }
    }
}

}  // namespace kestrad::bridge
