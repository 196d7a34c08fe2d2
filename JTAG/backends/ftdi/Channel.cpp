// A channel of an FTDI chip through libftdi 0.x (see Channel.h).
#include "JTAG/backends/ftdi/Channel.h"

#include <stdexcept>
#include <vector>

#include "JTAG/backends/ftdi/Commands.h"

namespace ftdi {

void CheckCall(int result, const std::string& message)
{
    if (result < 0)
        throw std::runtime_error(message);
}

namespace {

std::string ErrorText(struct ftdi_context* context)
{
    const char* text = context ? ftdi_get_error_string(context) : nullptr;
    return text ? text : "";
}

}  // namespace

Channel::Channel(struct usb_device* device, const Wiring& wiring, unsigned int hertz) : m_wiring(wiring)
{
    m_context = ftdi_new();
    if (!m_context)
        throw std::runtime_error("ftdi_new failed!");
    try {
        // ftdi_new has initialised the context already; initialising it a
        // second time would leak its read buffer, so its buffers go first.
        ftdi_deinit(m_context);
        CheckCall(ftdi_init(m_context), "ftdi_init failed");
        const char letter = static_cast<char>('A' + wiring.channel);
        CheckCall(ftdi_set_interface(m_context, static_cast<ftdi_interface>(INTERFACE_A + wiring.channel)),
                  std::string("unable to select FT2232 channel ") + letter);
        CheckCall(ftdi_usb_open_dev(m_context, device), "unable to open ftdi device");
        CheckCall(ftdi_usb_reset(m_context), "unable to Reset ftdi device");
        SetLatency(2);
        ftdi_set_bitmode(m_context, 0x0B, BITMODE_MPSSE);  // result not checked, as the chip's own tools do
        if (IsHighSpeed()) {
            const unsigned char div5Off = MPSSE_DIV5_OFF;
            Write(&div5Off, 1);
        }
        const unsigned char loopbackOff = MPSSE_LOOPBACK_OFF;
        Write(&loopbackOff, 1);
        CheckCall(ftdi_usb_purge_buffers(m_context), "ftdi_purge_buffers error");

        // The board: its GPIO pins, then the clock (divide-by-5 off and
        // adaptive clocking off on every chip, as the boards always had).
        const std::vector<unsigned char> gpio = GpioCommands(wiring.value, wiring.direction);
        Write(gpio.data(), 3);
        Write(gpio.data() + 3, 3);
        const unsigned char clock[] = {MPSSE_DIV5_OFF, MPSSE_ADAPTIVE_OFF};
        Write(&clock[0], 1);
        Write(&clock[1], 1);
        SetSpeed(hertz);
    } catch (...) {
        Close();
        ftdi_free(m_context);  // deinit and free
        throw;
    }
}

Channel::~Channel()
{
    Close();
    ftdi_deinit(m_context);
    ftdi_free(m_context);
}

void Channel::Close()
{
    // libftdi's close reaps its asynchronous transfers through the handle
    // before anything else: it must not run without an open device.
    if (m_context->usb_dev)
        ftdi_usb_close(m_context);
}

bool Channel::IsHighSpeed() const
{
    return m_context->type == TYPE_2232H || m_context->type == TYPE_4232H || m_context->type == TYPE_232H;
}

void Channel::SetLatency(unsigned char milliseconds)
{
    CheckCall(ftdi_set_latency_timer(m_context, milliseconds), "unable to set latency timer");
}

void Channel::Write(const unsigned char* data, unsigned int size)
{
    if (size == 0)
        return;
    if (size > 0x7FFFFFFFu)
        throw std::runtime_error("ftdi write error " + std::to_string(size) + " bytes is too large");
    // libftdi's buffer argument is not const but is only read.
    const int written = ftdi_write_data(m_context, const_cast<unsigned char*>(data), static_cast<int>(size));
    if (written < static_cast<int>(size))
        throw std::runtime_error("ftdi write error " + ErrorText(m_context));
}

void Channel::Read(unsigned char* data, int size)
{
    if (size <= 0)
        return;
    int got = 0;
    for (int attempt = 0; attempt < kReadTries && got < size; ++attempt) {
        const int result = ftdi_read_data(m_context, data + got, size - got);
        if (result < 0)
            throw std::runtime_error("ftdi read error " + ErrorText(m_context));
        got += result;
    }
    if (got < size)
        throw std::runtime_error("ftdi read error " + ErrorText(m_context));
}

void Channel::ResetEngine(unsigned int hertz)
{
    CheckCall(ftdi_usb_purge_buffers(m_context), "ftdi_purge_buffers error");
    std::vector<unsigned char> setup;
    if (IsHighSpeed())
        setup.push_back(MPSSE_DIV5_OFF);
    setup.insert(setup.end(), {MPSSE_LOOPBACK_OFF, MPSSE_ADAPTIVE_OFF});
    const std::vector<unsigned char> speed = SpeedCommand(IsHighSpeed(), hertz);
    setup.insert(setup.end(), speed.begin(), speed.end());
    Write(setup.data(), static_cast<unsigned int>(setup.size()));
}

void Channel::SetSpeed(unsigned int hertz)
{
    const std::vector<unsigned char> command = SpeedCommand(IsHighSpeed(), hertz);
    Write(command.data(), static_cast<unsigned int>(command.size()));
}

void Channel::Reset(int assertTrst, int assertSrst)
{
    const ResetLines& lines = m_wiring.lines;
    m_wiring.value = LineValue(m_wiring.value, lines, assertTrst, assertSrst);
    const std::vector<unsigned char> command =
        GpioCommands(m_wiring.value, m_wiring.direction, static_cast<uint16_t>(lines.trst | lines.srst));
    for (size_t at = 0; at < command.size(); at += 3)
        Write(command.data() + at, 3);
}

}  // namespace ftdi
