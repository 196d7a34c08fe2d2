// Scans of an open FTDI board (see ScanQueue.h).
#include "JTAG/backends/ftdi/ScanQueue.h"

#include <usb.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

namespace ftdi {

std::unique_ptr<ScanQueue> ScanQueue::Open(struct usb_device* device, const Board& board, unsigned int hertz)
{
    std::unique_ptr<Channel> channel(new Channel(device, board.wiring, hertz));
    return std::unique_ptr<ScanQueue>(new ScanQueue(std::move(channel)));
}

ScanQueue::ScanQueue(std::unique_ptr<Channel> channel)
    : m_channel(std::move(channel)),
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
    m_state = builder.Tracked();
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

namespace {

// A scan ends in its register's Exit1 state when that is the end state asked
// for (one exit clock), else in its pause state (two), from where the route
// table leads on to the end state.
CommandBuilder::ScanContext ContextFor(TapState shift, TapState end, ScanDirection direction)
{
    const TapState exit1 = TapStateMachine::ExitOf(shift);
    const TapState pause = shift == TapState::SHIFT_DR ? TapState::PAUSE_DR : TapState::PAUSE_IR;
    return {shift, end == exit1 ? exit1 : pause, direction};
}

}  // namespace

void ScanQueue::QueueReadBack(unsigned int readBack, int length, TapState exitState)
{
    const unsigned int exitClocks = ExitClocks(exitState);
    m_handlers.push_back([readBack, length, exitClocks](ByteIterator position, ByteIterator end,
                                                        std::vector<unsigned char>& results) {
        if (end - position < static_cast<std::ptrdiff_t>(readBack))
            throw std::runtime_error("FTDI read-back is missing bytes of a " + std::to_string(length) + "-bit scan");
        const std::vector<unsigned char> raw(position, position + readBack);
        const std::vector<unsigned char> captured = ReadScanChain(raw, length, exitClocks);
        results.insert(results.end(), captured.begin(), captured.end());
        return readBack;
    });
}

void ScanQueue::AsyncShiftIR(unsigned int value, int length, TapState end)
{
    TapStateMachine::CheckScanEnd(TapState::SHIFT_IR, end);
    m_pending = true;
    CommandBuilder builder(m_buffer, m_state);
    const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                    static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    // TDO is read during the shift: the result is what this scan captured.
    const CommandBuilder::ScanContext context = ContextFor(TapState::SHIFT_IR, end, SCAN_IO);
    const unsigned int readBack = builder.Scan(context, bytes, static_cast<unsigned int>(length));
    if (end != builder.CurrentState())
        builder.Move(end);
    m_state = builder.Tracked();
    QueueReadBack(readBack, length, context.exitState);
    m_expected += readBack;
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
    TapStateMachine::CheckScanEnd(TapState::SHIFT_DR, end);
    m_pending = true;
    CommandBuilder builder(m_buffer, m_state);
    const unsigned int bits = static_cast<unsigned int>(length);
    // The parts before the last read back one byte per byte, as the single
    // byte command would: the scan's read-back layout stays the same.
    unsigned int sent = 0;
    while ((bits - 1) / 8 - sent > kReadBackPart) {
        if (builder.Tracked() != TapController::State::ShiftDR)
            builder.Move(TapState::SHIFT_DR);
        builder.ShiftBytes(SCAN_IO, in + sent, kReadBackPart);
        m_state = builder.Tracked();
        m_expected += kReadBackPart;
        m_buffer.Flush();
        sent += kReadBackPart;
    }
    const CommandBuilder::ScanContext context = ContextFor(TapState::SHIFT_DR, end, SCAN_IO);
    const unsigned int readBack = sent + builder.Scan(context, in + sent, bits - 8 * sent);
    if (end != builder.CurrentState())
        builder.Move(end);
    m_state = builder.Tracked();
    QueueReadBack(readBack, length, context.exitState);
    m_expected += readBack - sent;  // the parts were read by their flushes
}

void ScanQueue::AsyncWriteDR(const unsigned char* in, int length, TapState end)
{
    TapStateMachine::CheckScanEnd(TapState::SHIFT_DR, end);
    m_pending = true;
    CommandBuilder builder(m_buffer, m_state);
    builder.Scan(ContextFor(TapState::SHIFT_DR, end, SCAN_OUT), in, static_cast<unsigned int>(length));
    if (end != builder.CurrentState())
        builder.Move(end);
    m_state = builder.Tracked();
}

void ScanQueue::Wait(std::vector<unsigned char>& results)
{
    if (!m_held.empty()) {
        results.insert(results.end(), m_held.begin(), m_held.end());
        m_held.clear();
    }
    Collect(results);
}

void ScanQueue::HoldQueued()
{
    if (!m_pending)
        return;
    std::vector<unsigned char> earlier;
    Collect(earlier);
    m_held.insert(m_held.end(), earlier.begin(), earlier.end());
}

void ScanQueue::Collect(std::vector<unsigned char>& results)
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
    m_held.clear();
    m_expected = 0;
    m_pending = false;
}

void ScanQueue::ResetEngine(unsigned int hertz)
{
    Discard();
    m_channel->ResetEngine(hertz);
}

unsigned int ScanQueue::ShiftIR(unsigned int value, int length, TapState end)
{
    // Queued scans go first; their results stay for the next Wait, and this
    // scan's alone are returned.
    HoldQueued();
    AsyncShiftIR(value, length, end);
    std::vector<unsigned char> results;
    Collect(results);
    unsigned int captured = 0;
    for (size_t i = 0; i < results.size() && i < 4; ++i)
        captured |= static_cast<unsigned int>(results[i]) << (8 * i);
    return captured;
}

void ScanQueue::ShiftDR(const unsigned char* in, unsigned char* out, int length, TapState end)
{
    HoldQueued();
    AsyncShiftDR(in, length, end);
    std::vector<unsigned char> results;
    Collect(results);
    std::copy(results.begin(), results.end(), out);
}

void ScanQueue::Reset(bool assertTrst, bool assertSrst)
{
    m_channel->Reset(assertTrst, assertSrst);
    // A board without a TRST line resets the TAP with TMS instead, so that
    // TRST means the same on every board.
    if (assertTrst && !m_channel->HasTrst())
        ExecuteCommands([](CommandBuilder& builder) { builder.Reset(); });
    if (m_trstAsserted && !assertTrst) {
        // Released from TRST, the TAP sits in Test-Logic-Reset.
        m_state = TapController::State::TestLogicReset;
        ExecuteCommands([](CommandBuilder& builder) { builder.RunTest(100); });
    }
    m_trstAsserted = assertTrst;
}

void ScanQueue::ClockSequence(const unsigned char* tms, const unsigned char* tdi, unsigned char* tdo,
                              unsigned int bits, const std::function<void()>& between)
{
    HoldQueued();
    m_buffer.Flush();  // moves and idle clocks built before, sent in order
    std::fill(tdo, tdo + (static_cast<size_t>(bits) + 7) / 8, 0);
    uint64_t done = 0;
    while (done < bits) {
        if (done != 0)
            between();
        const RawCommands part = EncodeRawSequence(tms, tdi, done, bits - done, kReadBackPart);
        // The TAP follows the TMS bits whether or not TDO arrives.
        for (uint64_t k = done; k < done + part.clocks; ++k)
            m_state = TapController::Next(m_state, (tms[k / 8] >> (k % 8)) & 1);
        m_pending = true;
        try {
            m_buffer.Write(part.commands.data(), static_cast<unsigned int>(part.commands.size()));
            m_expected += part.readBack;
            m_buffer.Flush();
            DecodeRawSequence(part.pieces, m_raw.data(), m_raw.size(), tdo, done);
        } catch (...) {
            m_raw.clear();
            m_expected = 0;
            m_pending = false;
            throw;
        }
        m_raw.clear();
        m_pending = false;
        done += part.clocks;
    }
}

void ScanQueue::RunTest(unsigned int count)
{
    ExecuteCommands([count](CommandBuilder& builder) { builder.RunTest(count); });
}

unsigned int ScanQueue::SetFrequency(unsigned int hertz)
{
    m_channel->SetSpeed(hertz);
    return SpeedUsed(m_channel->IsHighSpeed(), hertz);
}

}  // namespace ftdi
