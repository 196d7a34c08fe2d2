// Xilinx Virtual Cable 1.0 (Xilinx UG908, and the reference server Xilinx
// published with it): what an XVC client sends and what it gets back,
// without any I/O.
//
// A client sends ASCII command names ended by ':' and binary arguments,
// little-endian:
//   getinfo:                       -> "xvcServer_v1.0:<largest vector in bytes>\n"
//   settck: <u32 period in ns>     -> <u32 period actually set>
//   shift: <u32 n> <TMS> <TDI>     -> <TDO>, each vector (n + 7) / 8 bytes,
//                                     bit 0 of byte 0 first
// Clients differ in how they read the getinfo number: Xilinx's reference
// server and openFPGALoader take it as TMS and TDI together, others as one
// vector. CXvcParser takes vectors up to the number in full, so both fit.
// openFPGALoader and Vivado's hw_server split one scan over several shift:
// calls that stay in Shift-DR.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrad::bridge {

struct XvcAction {
    enum class Kind { GetInfo, SetTck, Shift, Error };
    Kind kind = Kind::Error;
    uint32_t period = 0;        // SetTck: nanoseconds
    uint32_t bits = 0;          // Shift: number of TCK cycles
    std::vector<uint8_t> tms;   // Shift: (bits + 7) / 8 bytes each
    std::vector<uint8_t> tdi;
    std::string error;          // Error: what was wrong with the input
};

// Bytes in, actions out. Input may arrive in any pieces; an action is given
// once its last byte has arrived. After an Error action the stream cannot
// be trusted, so nothing more is parsed.
class CXvcParser {
public:
    // `maxVectorBytes` bounds each of a shift's TMS and TDI vectors (and so
    // what one shift can make the parser hold).
    explicit CXvcParser(uint32_t maxVectorBytes);

    void Feed(const uint8_t* data, size_t size, std::vector<XvcAction>& out);
    bool Failed() const { return m_failed; }
    // True when a command has begun but not all of it has arrived.
    bool Partial() const { return m_stage != Stage::Name || !m_name.empty(); }

private:
    enum class Stage { Name, Period, Count, Vectors };

    void Fail(const std::string& why, std::vector<XvcAction>& out);
    void NameByte(uint8_t byte, std::vector<XvcAction>& out);

    uint32_t m_max;
    Stage m_stage = Stage::Name;
    std::string m_name;
    uint8_t m_word[4] = {};
    size_t m_wordFill = 0;
    XvcAction m_shift;
    size_t m_vectorFill = 0;  // bytes of TMS then TDI received
    bool m_failed = false;
};

// The getinfo: answer.
std::string XvcInfoReply(uint32_t maxVectorBytes);
// The settck: answer: the period, little-endian.
std::array<uint8_t, 4> XvcPeriodReply(uint32_t period);

// The JTAG clock for an XVC period and the period a clock gives back, both
// rounded to the nearest: 100 ns is 10 MHz, 3 ns is 333333333 Hz.
uint32_t XvcPeriodToHertz(uint32_t periodNs);
uint32_t XvcHertzToPeriod(uint32_t hertz);

}  // namespace kestrad::bridge
