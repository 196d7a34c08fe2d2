// The soak's model of a simulated chain: what each check must read back.
#include "tools/soak/Soak.h"

#include <cstdio>

namespace soak {

std::string Chain::Text() const
{
    std::string text;
    for (const Tap& tap : taps) {
        char item[32];
        if (tap.idcode)
            std::snprintf(item, sizeof item, "0x%08X:%u", tap.idcode, tap.irLength);
        else
            std::snprintf(item, sizeof item, "bypass:%u", tap.irLength);
        text += (text.empty() ? "" : "+") + std::string(item);
    }
    return text;
}

uint32_t Chain::IrLength() const
{
    uint32_t bits = 0;
    for (const Tap& tap : taps)
        bits += tap.irLength;
    return bits;
}

uint32_t Chain::IrCapture() const
{
    uint32_t value = 0, at = 0;
    for (const Tap& tap : taps) {
        value |= 1u << at;
        at += tap.irLength;
    }
    return value;
}

uint32_t Chain::IrAllBypass() const
{
    const uint32_t bits = IrLength();
    return bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1;
}

uint32_t Chain::IrSelectIdcode() const
{
    const uint32_t first = (1u << taps.front().irLength) - 1;
    return (IrAllBypass() & ~first) | 0x3u;
}

std::vector<uint8_t> Chain::IdcodeScan() const
{
    std::vector<uint8_t> out((IdcodeScanBits() + 7) / 8, 0);
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(taps.front().idcode >> (8 * i));
    return out;
}

std::vector<uint8_t> Chain::BypassScan(const std::vector<uint8_t>& in, uint32_t bits) const
{
    std::vector<uint8_t> out((bits + 7) / 8, 0);
    const size_t delay = taps.size();
    for (size_t k = delay; k < bits; ++k)
        if (Bit(in, k - delay))
            out[k / 8] |= static_cast<uint8_t>(1u << (k % 8));
    return out;
}

const char* KindName(Kind kind)
{
    switch (kind) {
    case Kind::Peer: return "kestrad-sim";
    case Kind::EzUsb: return "ezusb";
    case Kind::Jlink: return "jlink";
    case Kind::Flyswatter2: return "flyswatter2";
    case Kind::TinyH: return "tiny-h";
    }
    return "?";
}

void CNotes::Add(const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_notes.size() < 5)
        std::fprintf(stderr, "kestrad-soak: %s\n", text.c_str());
    if (m_notes.size() < 40)
        m_notes.push_back(text);
    else
        ++m_dropped;
}

std::vector<std::string> CNotes::Take()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> notes = m_notes;
    if (m_dropped)
        notes.push_back("... and " + std::to_string(m_dropped) + " more");
    return notes;
}

std::string Hex(const std::vector<uint8_t>& v, size_t max)
{
    std::string text;
    char byte[4];
    for (size_t i = 0; i < v.size() && i < max; ++i) {
        std::snprintf(byte, sizeof byte, "%02x", v[i]);
        text += byte;
    }
    if (v.size() > max)
        text += "...";
    return text;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace soak
