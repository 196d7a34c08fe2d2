// ftdi::Channel: one channel of an FTDI chip in MPSSE mode, reached through
// libftdi 0.x, wired as its board says.
//
// The channel's low GPIO byte holds TCK, TDI, TDO and TMS (pins 0..3); a
// board wires its TRST and system reset lines, if any, to other GPIO pins
// of the low or high byte (ResetLines in Commands.h, filled from the board's
// description in the configuration, Boards.h). The command bytes come from
// Commands.h; this part only moves them through libftdi.
#pragma once

#include <ftdi.h>

#include <string>

#include "JTAG/backends/ftdi/Commands.h"

struct usb_device;

namespace ftdi {

// Throws std::runtime_error with `message` when a libftdi result is negative.
void CheckCall(int result, const std::string& message);

// How a board wires its channel: which channel runs JTAG (0 = A .. 3 = D),
// the GPIO pins' levels and directions after set-up (16 bits, the low byte
// first) and its reset lines.
struct Wiring {
    unsigned channel = 0;
    uint16_t value = 0x0008;
    uint16_t direction = 0x000B;
    ResetLines lines;
};

class Channel {
public:
    // Opens and configures the channel (MPSSE, 2 ms latency, loop-back off,
    // buffers purged), then sets the board's GPIO pins and the clock.
    // Throws std::runtime_error naming the step that failed.
    Channel(struct usb_device* device, const Wiring& wiring, unsigned int hertz);
    virtual ~Channel();

    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    void SetLatency(unsigned char milliseconds);
    void Write(const unsigned char* data, unsigned int size);
    // Reads exactly `size` bytes, trying at most 2000 times.
    void Read(unsigned char* data, int size);
    void SetSpeed(unsigned int hertz);
    // The engine set up again as after opening: buffers purged, the master
    // clock, loop-back and adaptive clocking set, the clock `hertz`. The GPIO
    // lines (the boards' resets) keep their levels.
    void ResetEngine(unsigned int hertz);
    // Drives the board's reset lines; non-zero arguments assert them. Only
    // the GPIO bytes that hold a line are written; a board without lines
    // writes nothing.
    void Reset(int assertTrst, int assertSrst);
    // Whether the board has a TRST line (without one, a TAP reset takes TMS).
    bool HasTrst() const { return m_wiring.lines.trst != 0; }

    bool IsHighSpeed() const;

    static constexpr int kReadTries = 2000;

private:
    void Close();

    struct ftdi_context* m_context = nullptr;
    Wiring m_wiring;
};

}  // namespace ftdi
