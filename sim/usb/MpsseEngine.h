// The MPSSE of an FTDI FT2232H channel, simulated over a sim/tap chain.
//
// Written from FTDI AN_108 ("Command Processor for MPSSE and MCU Host Bus
// Emulation Modes"). Opcode bits below 0x80: b0 write on the falling edge,
// b1 bits rather than bytes, b2 read on the falling edge, b3 LSB first,
// b4 write TDI, b5 read TDO, b6 write TMS. Byte commands take a 16-bit
// little-endian length (count - 1), bit commands one byte (count - 1, 1..8
// bits), TMS commands one byte (1..7 clocks) and a data byte whose bit 7 is
// held on TDI for all its clocks. Reads in bit mode land in the top bits of
// the returned byte (LSB first: first bit at bit 8 - n, last at bit 7).
// 0x80/0x82 set the low/high GPIO byte (value, direction), 0x81/0x83 read
// them; 0x84/0x85 loop-back on/off, 0x86 the clock divisor, 0x87 send
// immediate, 0x8A/0x8B divide-by-5 off/on, 0x8C/0x8D three-phase clocking
// on/off, 0x8E/0x8F clocks without data, 0x96/0x97 adaptive clocking on/off.
// Any other opcode is answered with 0xFA followed by the opcode.
//
// The engine sees one clock as one rising TCK edge of the chain: the chain
// samples TMS and TDI and its TDO is what the read commands capture (the
// edge bits b0 and b2 make no difference at this level). The low GPIO byte
// holds TCK (bit 0), TDI (1), TDO (2) and TMS (3): the chain sees TCK only
// while bit 0 is an output, and TDI and TMS read high while their pins are
// inputs. Between commands TMS and TDI keep their last level.
#pragma once

#include "sim/tap/SimTap.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace simusb {

class CMpsseEngine {
public:
    explicit CMpsseEngine(simtap::Chain& chain);

    // Runs every complete command of `data`, after any incomplete one kept
    // from the call before; appends what the chip sends back to `out`. An
    // incomplete command at the end is kept for the next call.
    void Feed(const uint8_t* data, size_t size, std::vector<uint8_t>& out);
    // Power-up state: GPIO pins inputs, nothing kept, loop-back off.
    void Reset();

    uint8_t LowValue() const { return m_LowValue; }
    uint8_t LowDirection() const { return m_LowDir; }
    uint8_t HighValue() const { return m_HighValue; }
    uint8_t HighDirection() const { return m_HighDir; }
    uint16_t Divisor() const { return m_Divisor; }
    bool DivideBy5() const { return m_Div5; }
    bool Adaptive() const { return m_Adaptive; }
    bool Loopback() const { return m_Loopback; }
    size_t Kept() const { return m_Kept.size(); }

    // Called after every 0x80 or 0x82 command.
    std::function<void()> onGpio;

private:
    // Bytes the command at `p` needs in all, or 0 when `have` bytes are not
    // enough to tell yet.
    size_t CommandSize(const uint8_t* p, size_t have) const;
    void Run(const uint8_t* p, std::vector<uint8_t>& out);
    bool Clock(bool tms, bool tdi);

    simtap::Chain& m_Chain;
    std::vector<uint8_t> m_Kept;
    uint8_t m_LowValue = 0, m_LowDir = 0, m_HighValue = 0, m_HighDir = 0;
    uint16_t m_Divisor = 0;
    bool m_Div5 = true;
    bool m_Adaptive = false;
    bool m_Loopback = false;
    bool m_Tms = true;
    bool m_Tdi = false;
};

}  // namespace simusb
