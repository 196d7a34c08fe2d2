// ftdi::ScanQueue: the scans of one open FTDI board. It batches them into a
// 256-byte command buffer and defers reading TDO until Wait, so a batch of
// scans costs a few USB transfers rather than one per scan. CFtdiJTAG keeps
// one while the adapter is open.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "JTAG/backends/ftdi/Channel.h"
#include "JTAG/backends/ftdi/Commands.h"

struct usb_device;

namespace ftdi {

class ScanQueue {
public:
    // Opens the channel of the board `device` is (Boards.h) at `hertz`.
    // Throws std::runtime_error for a device that is no board of the table
    // and for any step of opening its channel.
    static std::unique_ptr<ScanQueue> Open(struct usb_device* device, unsigned int hertz,
                                           unsigned int initialInstruction);

    // Pulses TRST and clocks the TAP into Run-Test/Idle.
    ScanQueue(std::unique_ptr<Channel> channel, unsigned int initialInstruction);
    virtual ~ScanQueue();

    ScanQueue(const ScanQueue&) = delete;
    ScanQueue& operator=(const ScanQueue&) = delete;

    virtual unsigned int ShiftIR(unsigned int value, int length, TapState end);
    virtual void ShiftDR(const unsigned char* in, unsigned char* out, int length, TapState end);
    virtual void AsyncShiftIR(unsigned int value, int length, TapState end);
    virtual void AsyncShiftDR(const unsigned char* in, int length, TapState end);
    virtual void AsyncWriteDR(const unsigned char* in, int length, TapState end);
    virtual void SetFrequency(unsigned int hertz);
    // Appends the results of the queued scans, in queue order.
    virtual void Wait(std::vector<unsigned char>& results);
    virtual void Reset(bool assertTrst, bool assertSrst);

    void ExecuteCommands(const std::function<void(CommandBuilder&)>& commands);
    void RunTest(unsigned int count);
    // Forgets the queued scans of a batch that failed part-way.
    void Discard();

private:
    using ByteIterator = std::vector<unsigned char>::const_iterator;
    // Consumes its raw bytes from [position, end), appends its result bytes
    // and returns the number of raw bytes consumed.
    using ResultHandler = std::function<unsigned int(ByteIterator position, ByteIterator end,
                                                     std::vector<unsigned char>& results)>;

    // The command buffer's flush: writes the bytes, then reads back what the
    // scans written so far owe.
    void FlushBuffer(const unsigned char* data, unsigned int size);

    std::unique_ptr<Channel> m_channel;
    unsigned int m_lastInstruction;
    TapState m_state = TapState::TEST_LOGIC_RESET;
    CommandBuffer m_buffer;
    bool m_trstAsserted = false;
    std::vector<unsigned char> m_raw;
    std::deque<ResultHandler> m_handlers;
    unsigned int m_expected = 0;
    bool m_pending = false;
};

}  // namespace ftdi
