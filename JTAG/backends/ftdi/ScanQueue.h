// ftdi::ScanQueue: the scans of one open FTDI board. It batches them into a
// 256-byte command buffer and defers reading TDO until Wait, so a batch of
// scans costs a few USB transfers rather than one per scan. IR and DR scans
// alike read TDO while they shift, so every scan returns what it captured.
// CFtdiJTAG keeps one while the adapter is open.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "JTAG/backends/ftdi/Boards.h"
#include "JTAG/backends/ftdi/Channel.h"
#include "JTAG/backends/ftdi/Commands.h"

struct usb_device;

namespace ftdi {

class ScanQueue {
public:
    // Opens the board's channel of `device` at `hertz`. Throws
    // std::runtime_error for any step of opening it.
    static std::unique_ptr<ScanQueue> Open(struct usb_device* device, const Board& board, unsigned int hertz);

    // Pulses TRST and clocks the TAP into Run-Test/Idle.
    explicit ScanQueue(std::unique_ptr<Channel> channel);
    virtual ~ScanQueue();

    ScanQueue(const ScanQueue&) = delete;
    ScanQueue& operator=(const ScanQueue&) = delete;

    // Synchronous scans: what is queued goes first, its results kept for
    // the next Wait; they return their own captured bits only.
    virtual unsigned int ShiftIR(unsigned int value, int length, TapState end);
    virtual void ShiftDR(const unsigned char* in, unsigned char* out, int length, TapState end);
    virtual void AsyncShiftIR(unsigned int value, int length, TapState end);
    virtual void AsyncShiftDR(const unsigned char* in, int length, TapState end);
    virtual void AsyncWriteDR(const unsigned char* in, int length, TapState end);
    // Sets the divisor nearest below `hertz` (clamped to the chip's range);
    // returns the clock it gives.
    virtual unsigned int SetFrequency(unsigned int hertz);
    // Appends the results of the queued scans, in queue order.
    virtual void Wait(std::vector<unsigned char>& results);
    virtual void Reset(bool assertTrst, bool assertSrst);
    // CJTAG::ClockSequence: what is queued goes first (its results are kept
    // for the next Wait); then the sequence in parts whose read-back the
    // chip can hold, `between` called before every part but the first.
    void ClockSequence(const unsigned char* tms, const unsigned char* tdi, unsigned char* tdo, unsigned int bits,
                       const std::function<void()>& between);

    void ExecuteCommands(const std::function<void(CommandBuilder&)>& commands);
    void RunTest(unsigned int count);
    // Forgets the queued scans of a batch that failed part-way.
    void Discard();
    // Drops the queued scans and sets the chip's engine up again at `hertz`
    // (Channel::ResetEngine); the TAP is not moved.
    void ResetEngine(unsigned int hertz);

private:
    using ByteIterator = std::vector<unsigned char>::const_iterator;
    // Consumes its raw bytes from [position, end), appends its result bytes
    // and returns the number of raw bytes consumed.
    using ResultHandler = std::function<unsigned int(ByteIterator position, ByteIterator end,
                                                     std::vector<unsigned char>& results)>;

    // The command buffer's flush: writes the bytes, then reads back what the
    // scans written so far owe.
    void FlushBuffer(const unsigned char* data, unsigned int size);
    // Sends the queued scans and reads their results; Wait without what a
    // raw sequence or synchronous scan held back.
    void Collect(std::vector<unsigned char>& results);
    // Sends the queued scans ahead of a synchronous operation, keeping their
    // results for the next Wait.
    void HoldQueued();
    // A handler that turns a scan's `readBack` raw bytes into its result.
    void QueueReadBack(unsigned int readBack, int length, TapState exitState);

    std::unique_ptr<Channel> m_channel;
    TapController::State m_state = TapController::State::TestLogicReset;
    CommandBuffer m_buffer;
    bool m_trstAsserted = false;
    std::vector<unsigned char> m_raw;
    std::deque<ResultHandler> m_handlers;
    unsigned int m_expected = 0;
    bool m_pending = false;
    // Results of scans a raw sequence sent ahead of itself, for the next Wait.
    std::vector<unsigned char> m_held;
};

}  // namespace ftdi
