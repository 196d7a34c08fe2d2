// Scans of an open FTDI board (see ScanQueue.h).
#include "JTAG/backends/ftdi/ScanQueue.h"

#include <usb.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "JTAG/backends/ftdi/Boards.h"

namespace ftdi {

std::unique_ptr<ScanQueue> ScanQueue::Open(struct usb_device* device, unsigned int hertz,
                                           unsigned int initialInstruction)
{
    const uint16_t vendor = device->descriptor.idVendor;
    const uint16_t product = device->descriptor.idProduct;
    const BoardConstructor construct = GetBoardConstructor(vendor, product);
    if (!construct)
        throw std::runtime_error(std::string("unsupported adapter type") + " (PID " + std::to_string(product) +
                                 ", VID " + std::to_string(vendor) + ")");
    std::unique_ptr<Channel> board = construct(device, hertz);
    return std::unique_ptr<ScanQueue>(new ScanQueue(std::move(board), initialInstruction));
}

ScanQueue::ScanQueue(std::unique_ptr<Channel> channel, unsigned int initialInstruction)
    : m_channel(std::move(channel)),
      m_lastInstruction(initialInstruction),
      m_buffer(256, [this](const unsigned char* data, unsigned int size) { FlushBuffer(data, size); })
{
    // A TRST pulse straight through the GPIO lines, then seven TMS-high
    // clocks and 100 idle clocks: the TAP ends in Run-Test/Idle.
    m_channel->Reset(1, 0);
    m_channel->Reset(0, 0);
    ExecuteCommands([](CommandBuilder& builder) {
        builder.Reset();
        builder.RunTest(100);
    });
}

// Writes nothing: the channel's destructor closes the device.
ScanQueue::~ScanQueue() = default;

void ScanQueue::ExecuteCommands(const std::function<void(CommandBuilder&)>& commands)
{
    CommandBuilder builder(m_buffer, m_state);
    commands(builder);
    m_state = builder.CurrentState();
    m_buffer.Flush();
}

void ScanQueue::FlushBuffer(const unsigned char* data, unsigned int size)
{
    m_channel->Write(data, size);
    if (m_pending && m_expected != 0) {
        const size_t at = m_raw.size();
        m_raw.resize(at + m_expected);
        try {
            m_channel->Read(m_raw.data() + at, static_cast<int>(m_expected));
        } catch (...) {
            m_raw.resize(at);
            throw;
        }
        m_expected = 0;
    }
}

void ScanQueue::AsyncShiftIR(unsigned int value, int length, TapState end)
{
    m_pending = true;
    CommandBuilder builder(m_buffer, m_state);
    const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                    static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    builder.ScanIrOut(bytes, static_cast<unsigned int>(length));
    if (end != builder.CurrentState())
        builder.Move(end);
    m_state = builder.CurrentState();

    // The instruction register is not read back: the result is the value the
    // previous scan shifted in.
    const unsigned int previous = m_lastInstruction;
    m_lastInstruction = value;
    const size_t resultBytes = std::min<size_t>((static_cast<unsigned int>(length) + 7) / 8, 4);
    m_handlers.push_back([previous, resultBytes](ByteIterator, ByteIterator, std::vector<unsigned char>& results) {
        for (size_t i = 0; i < resultBytes; ++i)
            results.push_back(static_cast<unsigned char>(previous >> (8 * i)));
        return 0u;
    });
}

// The chip holds only a few KiB of TDO data for the host and stops taking
// commands while it is full, so a flush must not make it send much more than
// that before its bytes are read: a long scan goes out in parts of this many
// bytes, each written and read back by a flush of its own.
constexpr unsigned int kReadBackPart = 2048;

void ScanQueue::AsyncShiftDR(const unsigned char* in, int length, TapState end)
{
    if (length <= 0)
        throw std::logic_error("Invalid data register length " + std::to_string(length));
    m_pending = true;
    CommandBuilder builder(m_buffer, m_state);
    const unsigned int bits = static_cast<unsigned int>(length);
    // The parts before the last read back one byte per byte, as the single
    // byte command would: the scan's read-back layout stays the same.
    unsigned int sent = 0;
    while ((bits - 1) / 8 - sent > kReadBackPart) {
        if (builder.CurrentState() != TapState::SHIFT_DR)
            builder.Move(TapState::SHIFT_DR);
        builder.ShiftBytes(SCAN_IO, in + sent, kReadBackPart);
        m_state = builder.CurrentState();
        m_expected += kReadBackPart;
        m_buffer.Flush();
        sent += kReadBackPart;
    }
    const unsigned int readBack = sent + builder.ScanDrIO(in + sent, bits - 8 * sent);
    if (end != builder.CurrentState())
        builder.Move(end);
    m_state = builder.CurrentState();
    m_handlers.push_back(
        [readBack, length](ByteIterator position, ByteIterator end, std::vector<unsigned char>& results) {
            if (end - position < static_cast<std::ptrdiff_t>(readBack))
                throw std::runtime_error("FTDI read-back is missing bytes of a " + std::to_string(length) +
                                         "-bit scan");
            const std::vector<unsigned char> raw(position, position + readBack);
            const std::vector<unsigned char> captured = ReadScanChain(raw, length);
            results.insert(results.end(), captured.begin(), captured.end());
            return readBack;
        });
    m_expected += readBack - sent;  // the parts were read by their flushes
}

void ScanQueue::AsyncWriteDR(const unsigned char* in, int length, TapState end)
{
    m_pending = true;
    CommandBuilder builder(m_buffer, m_state);
    builder.ScanDrOut(in, static_cast<unsigned int>(length));
    if (end != builder.CurrentState())
        builder.Move(end);
    m_state = builder.CurrentState();
}

void ScanQueue::Wait(std::vector<unsigned char>& results)
{
    if (!m_pending)
        return;
    m_buffer.Flush();
    size_t consumed = 0;
    while (!m_handlers.empty()) {
        const ByteIterator position = m_raw.cbegin() + static_cast<std::ptrdiff_t>(consumed);
        consumed += m_handlers.front()(position, m_raw.cend(), results);
        m_handlers.pop_front();
    }
    m_pending = false;
    m_raw.clear();
}

void ScanQueue::Discard()
{
    // Commands already built still go to the chip, so the TAP state kept
    // here stays true; the bytes they bring back are dropped with the queue.
    try {
        m_buffer.Flush();
    } catch (const std::exception&) {
        // The chip is in an unknown state now; the session closes the adapter.
    }
    m_handlers.clear();
    m_raw.clear();
    m_expected = 0;
    m_pending = false;
}

unsigned int ScanQueue::ShiftIR(unsigned int value, int length, TapState end)
{
    AsyncShiftIR(value, length, end);
    std::vector<unsigned char> results;
    Wait(results);
    unsigned int captured = 0;
    for (size_t i = 0; i < results.size() && i < 4; ++i)
        captured |= static_cast<unsigned int>(results[i]) << (8 * i);
    return captured;
}

void ScanQueue::ShiftDR(const unsigned char* in, unsigned char* out, int length, TapState end)
{
    AsyncShiftDR(in, length, end);
    std::vector<unsigned char> results;
    Wait(results);
    std::copy(results.begin(), results.end(), out);
}

void ScanQueue::Reset(bool assertTrst, bool assertSrst)
{
    m_channel->Reset(assertTrst, assertSrst);
    if (m_trstAsserted && !assertTrst) {
        // Released from TRST, the TAP sits in Test-Logic-Reset.
        m_state = TapState::TEST_LOGIC_RESET;
        ExecuteCommands([](CommandBuilder& builder) { builder.RunTest(100); });
    }
    m_trstAsserted = assertTrst;
}

void ScanQueue::RunTest(unsigned int count)
{
    ExecuteCommands([count](CommandBuilder& builder) { builder.RunTest(count); });
}

void ScanQueue::SetFrequency(unsigned int hertz)
{
    const unsigned int base = m_channel->IsHighSpeed() ? 30000000u : 6000000u;
    if (hertz == 0 || hertz > base)
        throw std::logic_error("JTAG frequency " + std::to_string(hertz) + " Hz is outside 1.." +
                               std::to_string(base) + " Hz of this FTDI chip");
    m_channel->SetSpeed(hertz);
}

}  // namespace ftdi
