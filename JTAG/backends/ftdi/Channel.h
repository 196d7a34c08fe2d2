// ftdi::Channel: channel A of an FTDI chip in MPSSE mode, reached through
// libftdi 0.x, and the two boards' wirings of it.
//
// Olimex ARM-USB-TINY-H (15BA:002A) and TinCanTools Flyswatter2 (0403:6010)
// both carry an FT2232H: channel A's low GPIO byte holds TCK, TDI, TDO and
// TMS (pins 0..3); the boards wire their TRST and system reset lines to other
// GPIO pins (Commands.h names the bits). The command bytes come from
// Commands.h; this part only moves them through libftdi. Boards.h says
// which board a device is.
#pragma once

#include <ftdi.h>

#include <string>

struct usb_device;

namespace ftdi {

// Throws std::runtime_error with `message` when a libftdi result is negative.
void CheckCall(int result, const std::string& message);

class Channel {
public:
    // Opens and configures channel A of the chip (MPSSE, 2 ms latency,
    // loop-back off, buffers purged). Throws std::runtime_error naming the
    // step that failed.
    explicit Channel(struct usb_device* device);
    virtual ~Channel();

    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    void SetLatency(unsigned char milliseconds);
    void Write(const unsigned char* data, unsigned int size);
    // Reads exactly `size` bytes, trying at most 2000 times.
    void Read(unsigned char* data, int size);
    void SetSpeed(unsigned int hertz);
    // Non-zero arguments assert the line.
    virtual void Reset(int assertTrst, int assertSrst) = 0;

    bool IsHighSpeed() const;

    static constexpr int kReadTries = 2000;

protected:
    struct ftdi_context* m_context = nullptr;

private:
    void Close();
};

class Olimex : public Channel {
public:
    Olimex(struct usb_device* device, unsigned int hertz);
    void Reset(int assertTrst, int assertSrst) override;

private:
    unsigned char m_value = 0;  // high GPIO byte
};

class Flyswatter2 : public Channel {
public:
    Flyswatter2(struct usb_device* device, unsigned int hertz);
    void Reset(int assertTrst, int assertSrst) override;

private:
    unsigned char m_value = 0;  // low GPIO byte
};

}  // namespace ftdi
