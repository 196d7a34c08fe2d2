// OpenOCD's remote_bitbang protocol (OpenOCD's doc/manual/jtag/drivers/
// remote_bitbang.txt and src/jtag/drivers/remote_bitbang.c), without any
// I/O: the client's bytes become raw JTAG sequences and the other actions
// a bridge carries out in order.
//
// One ASCII byte per action:
//   '0'..'7'  set TCK (4), TMS (2) and TDI (1); a rising TCK edge clocks a
//             bit with the TMS and TDI of the byte that raised it
//   'R'       sample TDO, answered with '0' or '1'
//   'r'..'u'  reset lines: 'r' + 2 * TRST + SRST, 1 meaning asserted
//   'B' 'b'   LED on and off (nothing to do)
//   'Z' 'z'   sleep 1 ms, 1 us (OpenOCD's "use_remote_sleep")
//   'Q'       the client quits
// SWD ('O' 'o' 'c' 'd'..'g') is not served; whitespace is skipped, so the
// protocol can be typed by hand; any other byte is an error.
//
// TDO is sampled on the rising edge and changes on the falling one, so an
// 'R' sent while TCK is low reads the bit of the next rising edge, and one
// sent while TCK is high the bit of the edge that raised it. OpenOCD 0.11
// and later queue up to about 255 'R' and send each bit's rising edge before
// they wait for the answers; the answers therefore come from the sequence
// that clocks those edges. A client that waits for an answer before it
// sends the edge (OpenOCD 0.10 and older) cannot be served this way:
// WaitingSamples() shows it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrad::bridge {

struct BitbangStep {
    enum class Kind { Sequence, Reset, Sleep, Quit, Error };
    Kind kind = Kind::Sequence;

    // Sequence: `bits` clocks, TMS and TDI (bits + 7) / 8 bytes each.
    uint32_t bits = 0;
    std::vector<uint8_t> tms, tdi;
    // The 'R' answers this sequence gives, in order: the index of the edge
    // whose TDO bit answers, or -1 for the last edge clocked before this
    // sequence (an 'R' with TCK high after a sequence was cut).
    std::vector<int32_t> samples;

    bool trst = false, srst = false;  // Reset: true = asserted
    uint32_t microseconds = 0;        // Sleep
    std::string error;                // Error
};

class CBitbangParser {
public:
    // A sequence is cut before it grows past `maxSequenceBits` clocks.
    explicit CBitbangParser(uint32_t maxSequenceBits = 1u << 20);

    // Parses bytes; steps that are complete are appended to `out`. The
    // sequence being collected is kept until Flush, until a step of another
    // kind follows it, or until it is full. After an Error step (or Quit)
    // nothing more is parsed.
    void Feed(const uint8_t* data, size_t size, std::vector<BitbangStep>& out);
    // The input went quiet: the sequence being collected is appended when it
    // has clocks or answers. Samples waiting for their edge stay behind.
    void Flush(std::vector<BitbangStep>& out);

    // 'R's that wait for a rising edge that has not arrived.
    size_t WaitingSamples() const { return m_waiting; }
    // Clocks collected and not yet given out.
    uint32_t CollectedBits() const { return m_current.bits; }
    bool Done() const { return m_done; }

private:
    void Edge(bool tms, bool tdi, std::vector<BitbangStep>& out);
    void Cut(std::vector<BitbangStep>& out);
    void Stop(BitbangStep step, std::vector<BitbangStep>& out);

    uint32_t m_max;
    BitbangStep m_current;
    bool m_tck = false;
    size_t m_waiting = 0;
    bool m_done = false;
};

}  // namespace kestrad::bridge
