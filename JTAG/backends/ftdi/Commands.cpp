// MPSSE command building (see Commands.h). Opcodes and length fields follow
// FTDI AN_108: lengths are the count minus one, 16-bit ones little-endian.
#include "JTAG/backends/ftdi/Commands.h"

#include <algorithm>
#include <cassert>
#include <mutex>
#include <stdexcept>
#include <string>

namespace ftdi {

// ---------------------------------------------------------------- TMS paths

const TmsTable& BuildTmsSequences()
{
    static TmsTable table;
    static std::once_flag once;
    std::call_once(once, [] {
        // Rows: from state; columns: to state, in kStableStates order. TMS bits are
        // clocked bit 0 first.
        static const TmsPath paths[kTapStates][kTapStates] = {
            // Test-Logic-Reset
            {{0x7F, 7}, {0x00, 7}, {0x1B, 7}, {0x16, 7}, {0x17, 7}, {0x0A, 7}},
            // Run-Test/Idle
            {{0x7F, 7}, {0x00, 7}, {0x03, 4}, {0x0B, 5}, {0x01, 3}, {0x05, 4}},
            // Shift-IR
            {{0x7F, 7}, {0x03, 4}, {0x0F, 6}, {0x01, 2}, {0x07, 5}, {0x17, 6}},
            // Pause-IR
            {{0x7F, 7}, {0x03, 3}, {0x01, 2}, {0x00, 1}, {0x07, 5}, {0x17, 6}},
            // Shift-DR
            {{0x7F, 7}, {0x03, 3}, {0x0F, 6}, {0x2F, 7}, {0x07, 5}, {0x01, 2}},
            // Pause-DR
            {{0x7F, 7}, {0x03, 3}, {0x0F, 6}, {0x2F, 7}, {0x01, 2}, {0x00, 1}},
        };
        for (unsigned from = 0; from < kTapStates; ++from)
            for (unsigned to = 0; to < kTapStates; ++to)
                table[{kStableStates[from], kStableStates[to]}] = paths[from][to];
    });
    return table;
}

TmsPath GetTmsPath(TapState from, TapState to)
{
    const TmsTable& table = BuildTmsSequences();
    const auto it = table.find({from, to});
    if (it == table.end())
        throw std::logic_error("no TMS path from TAP state " + std::to_string(static_cast<int>(from)) + " to " +
                               std::to_string(static_cast<int>(to)));
    return it->second;
}

// ---------------------------------------------------------------- CommandBuffer

CommandBuffer::CommandBuffer(unsigned int capacity, FlushFunction flush)
    : m_flush(std::move(flush)), m_capacity(capacity)
{
}

void CommandBuffer::Write(const unsigned char* data, unsigned int size)
{
    if (m_pending.size() + size > m_capacity)
        Flush();
    m_pending.insert(m_pending.end(), data, data + size);
}

void CommandBuffer::Flush()
{
    if (m_pending.empty())
        return;
    std::vector<unsigned char> bytes;
    bytes.swap(m_pending);
    m_flush(bytes.data(), static_cast<unsigned int>(bytes.size()));
}

// ---------------------------------------------------------------- CommandBuilder

CommandBuilder::CommandBuilder(CommandBuffer& buffer, TapState state) : m_buffer(buffer), m_state(state) {}

void CommandBuilder::Reset()
{
    const unsigned char command[] = {MPSSE_TMS_OUT, 0x06, 0xFF};
    m_buffer.Write(command, sizeof command);
    m_state = TapState::TEST_LOGIC_RESET;
}

void CommandBuilder::Move(Mpsse opcode, TapState target, unsigned char lastBit)
{
    assert(lastBit <= 1 && "lastBit <= 1");
    const TmsPath path = GetTmsPath(m_state, target);
    const unsigned char command[] = {opcode, static_cast<unsigned char>(path.second - 1),
                                     static_cast<unsigned char>(path.first | ((lastBit & 1) << 7))};
    m_buffer.Write(command, sizeof command);
    m_state = target;
}

void CommandBuilder::RunTest(unsigned int count)
{
    if (m_state != TapState::RUN_TEST_IDLE)
        Move(TapState::RUN_TEST_IDLE);
    for (unsigned int i = 0; i < count / 7; ++i)
        Move(MPSSE_TMS_OUT, TapState::RUN_TEST_IDLE, 0);
    if (count % 7 != 0) {
        const unsigned char command[] = {MPSSE_TMS_OUT, static_cast<unsigned char>(count % 7 - 1), 0x00};
        m_buffer.Write(command, sizeof command);
    }
}

// A byte command carries at most 65536 bytes (its length field is 16 bits);
// longer scans get several byte commands back to back. The chip clocks them
// without a gap and sends one byte back per byte clocked either way, so the
// read-back layout does not change.
static constexpr unsigned int kMaxByteCommand = 0x10000;

static void AppendByteCommands(std::vector<unsigned char>& commands, ScanDirection direction,
                               const unsigned char* data, unsigned int count)
{
    commands.reserve(commands.size() + count + 3 * (count / kMaxByteCommand + 1) + 3);
    for (unsigned int done = 0; done < count;) {
        const unsigned int n = std::min(count - done, kMaxByteCommand);
        commands.push_back(direction == SCAN_IO ? MPSSE_BYTES_IO : MPSSE_BYTES_OUT);
        commands.push_back(static_cast<unsigned char>((n - 1) & 0xFF));
        commands.push_back(static_cast<unsigned char>((n - 1) >> 8));
        commands.insert(commands.end(), data + done, data + done + n);
        done += n;
    }
}

void CommandBuilder::ShiftBytes(ScanDirection direction, const unsigned char* data, unsigned int count)
{
    if (m_state != TapState::SHIFT_DR && m_state != TapState::SHIFT_IR)
        throw std::logic_error("bytes are shifted in Shift-DR or Shift-IR only");
    std::vector<unsigned char> commands;
    AppendByteCommands(commands, direction, data, count);
    if (!commands.empty())
        m_buffer.Write(commands.data(), static_cast<unsigned int>(commands.size()));
}

void CommandBuilder::WriteScanCommand(ScanDirection direction, const unsigned char* data, unsigned int bits)
{
    if (bits == 0)
        throw std::logic_error("a scan needs at least one bit");
    const unsigned int bytes = (bits - 1) / 8 + 1;  // (bits + 7) / 8 without overflow
    const unsigned int whole = bytes - 1;
    std::vector<unsigned char> commands;
    AppendByteCommands(commands, direction, data, whole);
    const unsigned int remaining = bits - 8 * whole - 1;
    if (remaining != 0) {
        commands.push_back(direction == SCAN_IO ? MPSSE_BITS_IO : MPSSE_BITS_OUT);
        commands.push_back(static_cast<unsigned char>(remaining - 1));
        commands.push_back(data[bytes - 1]);
    }
    if (!commands.empty())
        m_buffer.Write(commands.data(), static_cast<unsigned int>(commands.size()));
}

void CommandBuilder::Scan(const ScanContext& context, const unsigned char* data, unsigned int bits)
{
    if (bits == 0)
        throw std::logic_error("a scan needs at least one bit");
    if (m_state != context.shiftState)
        Move(context.shiftState);
    WriteScanCommand(context.direction, data, bits);
    const unsigned int bytes = (bits - 1) / 8 + 1;
    const unsigned char lastBit = (data[bytes - 1] >> ((bits - 1) % 8)) & 1;
    Move(context.direction == SCAN_IO ? MPSSE_TMS_IO : MPSSE_TMS_OUT, context.exitState, lastBit);
}

unsigned int CommandBuilder::ScanDrIO(const unsigned char* data, unsigned int bits)
{
    Scan({TapState::SHIFT_DR, TapState::PAUSE_DR, SCAN_IO}, data, bits);
    return ReadBackSize(bits);
}

unsigned int CommandBuilder::ScanDrOut(const unsigned char* data, unsigned int bits)
{
    Scan({TapState::SHIFT_DR, TapState::PAUSE_DR, SCAN_OUT}, data, bits);
    return 0;
}

unsigned int CommandBuilder::ScanIrOut(const unsigned char* data, unsigned int bits)
{
    Scan({TapState::SHIFT_IR, TapState::PAUSE_IR, SCAN_OUT}, data, bits);
    return 0;
}

// ---------------------------------------------------------------- read-back

unsigned int ReadBackSize(unsigned int bits)
{
    const unsigned int bytes = (bits - 1) / 8 + 1;
    return (bits - 1) % 8 != 0 ? bytes + 1 : bytes;
}

std::vector<unsigned char> ReadScanChain(const std::vector<unsigned char>& rawData, int bits)
{
    if (bits <= 0)
        throw std::invalid_argument("ReadScanChain: no bits to rebuild (" + std::to_string(bits) + ")");
    const unsigned int n = static_cast<unsigned int>(bits);
    const size_t bytes = (n - 1) / 8 + 1;
    if (rawData.size() < ReadBackSize(n))
        throw std::invalid_argument("ReadScanChain: " + std::to_string(rawData.size()) + " bytes read back for " +
                                    std::to_string(bits) + " bits, " + std::to_string(ReadBackSize(n)) +
                                    " expected");
    std::vector<unsigned char> finalData(bytes, 0);
    std::copy(rawData.begin(), rawData.begin() + static_cast<std::ptrdiff_t>(bytes - 1), finalData.begin());
    const unsigned int r = n - 8 * static_cast<unsigned int>(bytes - 1);
    if (r > 1) {
        // The bit command's r - 1 bits sit in the top of rawData[bytes - 1];
        // the exit move's first clock brought the last bit, in bit 6.
        const unsigned int last = (rawData[bytes] >> 6) & 1;
        finalData[bytes - 1] = static_cast<unsigned char>(((last << 7) | (rawData[bytes - 1] >> 1)) >> (8 - r));
    } else {
        finalData[bytes - 1] = (rawData[bytes - 1] >> 6) & 1;
    }
    return finalData;
}

// ---------------------------------------------------------------- clock and lines

std::vector<unsigned char> SpeedCommand(bool highSpeed, unsigned int hertz)
{
    const unsigned int base = highSpeed ? 30000000u : 6000000u;
    // divisor = base / hertz - 1, kept inside 0..0xFFFF: 0 Hz would divide by
    // zero, and a clock above base would go negative.
    unsigned int divisor = 0xFFFF;
    if (hertz != 0) {
        const unsigned int quotient = base / hertz;
        divisor = quotient == 0 ? 0 : std::min(quotient - 1, 0xFFFFu);
    }
    return {MPSSE_DIVISOR, static_cast<unsigned char>(divisor & 0xFF), static_cast<unsigned char>(divisor >> 8)};
}

namespace olimex {
unsigned char LineValue(unsigned char value, int assertTrst, int assertSrst)
{
    value = assertTrst ? (value & ~kTrst) : (value | kTrst);
    value = assertSrst ? (value | kSrst) : (value & ~kSrst);
    return value;
}
}  // namespace olimex

namespace flyswatter2 {
unsigned char LineValue(unsigned char value, int assertTrst, int assertSrst)
{
    value = assertTrst ? (value & ~kTrst) : (value | kTrst);
    value = assertSrst ? (value & ~kSrst) : (value | kSrst);
    return value;
}
}  // namespace flyswatter2

}  // namespace ftdi
