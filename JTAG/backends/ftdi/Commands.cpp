// MPSSE command building (see Commands.h). Opcodes and length fields follow
// FTDI AN_108: lengths are the count minus one, 16-bit ones little-endian.
#include "JTAG/backends/ftdi/Commands.h"

#include <algorithm>
#include <cassert>
#include <stdexcept>
#include <string>

namespace ftdi {

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

CommandBuilder::CommandBuilder(CommandBuffer& buffer, TapState state)
    : m_buffer(buffer), m_state(TapController::FromWire(state))
{
}

CommandBuilder::CommandBuilder(CommandBuffer& buffer, TapController::State state) : m_buffer(buffer), m_state(state)
{
}

TapState CommandBuilder::CurrentState() const
{
    TapState wire = TapState::TEST_LOGIC_RESET;
    if (!TapController::ToWire(m_state, wire))
        throw std::logic_error(std::string("the TAP rests in ") + TapController::Name(m_state) +
                               ", which no scan ends in");
    return wire;
}

void CommandBuilder::Reset()
{
    const unsigned char command[] = {MPSSE_TMS_OUT, 0x06, 0xFF};
    m_buffer.Write(command, sizeof command);
    m_state = TapController::State::TestLogicReset;
}

void CommandBuilder::WriteRoute(Mpsse opcode, const TapStateMachine::Route& route, unsigned char lastBit)
{
    // The table's routes take one command; a route from where a raw
    // sequence left the TAP may take eight clocks.
    for (unsigned int done = 0; done < route.count;) {
        const unsigned int n = std::min(route.count - done, TapStateMachine::kMaxRouteClocks);
        const unsigned char tms = static_cast<unsigned char>((route.tms >> done) & ((1u << n) - 1));
        const unsigned char command[] = {opcode, static_cast<unsigned char>(n - 1),
                                         static_cast<unsigned char>(tms | ((lastBit & 1) << 7))};
        m_buffer.Write(command, sizeof command);
        done += n;
    }
}

void CommandBuilder::Move(Mpsse opcode, TapState target, unsigned char lastBit)
{
    assert(lastBit <= 1 && "lastBit <= 1");
    TapState current;
    const TapStateMachine::Route route = TapController::ToWire(m_state, current)
                                             ? TapStateMachine::RouteBetween(current, target)
                                             : TapController::RouteTo(m_state, TapController::FromWire(target));
    WriteRoute(opcode, route, lastBit);
    m_state = TapController::FromWire(target);
}

void CommandBuilder::RunTest(unsigned int count)
{
    if (m_state != TapController::State::RunTestIdle)
        Move(TapState::RUN_TEST_IDLE);
    // Seven clocks with TMS low per command, the most one TMS command holds.
    const unsigned char seven[] = {MPSSE_TMS_OUT, 0x06, 0x00};
    for (unsigned int i = 0; i < count / 7; ++i)
        m_buffer.Write(seven, sizeof seven);
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
    if (m_state != TapController::State::ShiftDR && m_state != TapController::State::ShiftIR)
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

unsigned int CommandBuilder::Scan(const ScanContext& context, const unsigned char* data, unsigned int bits)
{
    if (bits == 0)
        throw std::logic_error("a scan needs at least one bit");
    const bool toExit1 = context.exitState == TapStateMachine::ExitOf(context.shiftState);
    if (!toExit1)  // checked before anything is written
        TapStateMachine::RouteBetween(context.shiftState, context.exitState);
    if (m_state != TapController::FromWire(context.shiftState))
        Move(context.shiftState);
    WriteScanCommand(context.direction, data, bits);
    const unsigned int bytes = (bits - 1) / 8 + 1;
    const unsigned char lastBit = (data[bytes - 1] >> ((bits - 1) % 8)) & 1;
    const Mpsse opcode = context.direction == SCAN_IO ? MPSSE_TMS_IO : MPSSE_TMS_OUT;
    if (toExit1) {
        // One clock with TMS high: the last bit leaves the shift state. The
        // route table has no route into Exit1, as only a scan gets there.
        const unsigned char command[] = {opcode, 0x00, static_cast<unsigned char>(0x01 | (lastBit << 7))};
        m_buffer.Write(command, sizeof command);
        m_state = TapController::FromWire(context.exitState);
    } else {
        Move(opcode, context.exitState, lastBit);
    }
    return context.direction == SCAN_IO ? ReadBackSize(bits) : 0;
}

unsigned int CommandBuilder::ScanDrIO(const unsigned char* data, unsigned int bits)
{
    return Scan({TapState::SHIFT_DR, TapState::PAUSE_DR, SCAN_IO}, data, bits);
}

unsigned int CommandBuilder::ScanDrOut(const unsigned char* data, unsigned int bits)
{
    return Scan({TapState::SHIFT_DR, TapState::PAUSE_DR, SCAN_OUT}, data, bits);
}

unsigned int CommandBuilder::ScanIrIO(const unsigned char* data, unsigned int bits)
{
    return Scan({TapState::SHIFT_IR, TapState::PAUSE_IR, SCAN_IO}, data, bits);
}

// ---------------------------------------------------------------- raw sequences

namespace {

bool Bit(const unsigned char* stream, uint64_t k) { return (stream[k / 8] >> (k % 8)) & 1; }

}  // namespace

RawCommands EncodeRawSequence(const unsigned char* tms, const unsigned char* tdi, uint64_t first, uint64_t bits,
                              unsigned int maxReadBack)
{
    if (maxReadBack < 8)
        throw std::logic_error("a raw sequence needs room for 8 bytes read back");
    RawCommands out;
    const uint64_t end = first + bits;
    uint64_t k = first;
    bool tmsLow = false;  // the TMS pin, once a command of ours has set it
    while (k < end && out.readBack < maxReadBack) {
        const unsigned int room = maxReadBack - out.readBack;
        if (tmsLow && !Bit(tms, k)) {
            // A run of TMS-0 clocks as data: whole bytes, then up to 7 bits
            // in bit mode (which reads back one byte).
            uint64_t run = 1;
            while (k + run < end && !Bit(tms, k + run))
                ++run;
            const uint64_t bytes = std::min<uint64_t>(run / 8, room);
            for (uint64_t done = 0; done < bytes;) {
                const unsigned int n = static_cast<unsigned int>(std::min<uint64_t>(bytes - done, kMaxByteCommand));
                out.commands.push_back(MPSSE_BYTES_IO);
                out.commands.push_back(static_cast<unsigned char>((n - 1) & 0xFF));
                out.commands.push_back(static_cast<unsigned char>((n - 1) >> 8));
                for (unsigned int b = 0; b < n; ++b) {
                    unsigned char byte = 0;
                    for (unsigned int i = 0; i < 8; ++i)
                        byte = static_cast<unsigned char>(byte | (Bit(tdi, k + 8 * (done + b) + i) << i));
                    out.commands.push_back(byte);
                }
                out.pieces.push_back({8 * n, true});
                done += n;
            }
            k += 8 * bytes;
            out.clocks += 8 * bytes;
            out.readBack += static_cast<unsigned int>(bytes);
            const unsigned int rest = static_cast<unsigned int>(std::min<uint64_t>(run - 8 * bytes, 7));
            if (rest != 0 && out.readBack < maxReadBack) {
                unsigned char byte = 0;
                for (unsigned int i = 0; i < rest; ++i)
                    byte = static_cast<unsigned char>(byte | (Bit(tdi, k + i) << i));
                out.commands.insert(out.commands.end(),
                                    {MPSSE_BITS_IO, static_cast<unsigned char>(rest - 1), byte});
                out.pieces.push_back({rest, false});
                k += rest;
                out.clocks += rest;
                out.readBack += 1;
            }
            continue;
        }
        // A TMS command: clocks sharing this TDI level, up to seven; it ends
        // once a TMS-0 clock has set the pin low and the next is TMS 0 too,
        // where data clocking takes over.
        const bool level = Bit(tdi, k);
        unsigned int n = 0;
        unsigned char bitsOut = 0;
        while (n < TapStateMachine::kMaxRouteClocks && k + n < end && Bit(tdi, k + n) == level) {
            if (n > 0 && !Bit(tms, k + n - 1) && !Bit(tms, k + n))
                break;
            bitsOut = static_cast<unsigned char>(bitsOut | (Bit(tms, k + n) << n));
            ++n;
        }
        out.commands.insert(out.commands.end(), {MPSSE_TMS_IO, static_cast<unsigned char>(n - 1),
                                                 static_cast<unsigned char>(bitsOut | (level ? 0x80 : 0))});
        out.pieces.push_back({n, false});
        tmsLow = !Bit(tms, k + n - 1);
        k += n;
        out.clocks += n;
        out.readBack += 1;
    }
    return out;
}

void DecodeRawSequence(const std::vector<RawPiece>& pieces, const unsigned char* raw, size_t size,
                       unsigned char* tdo, uint64_t at)
{
    size_t offset = 0;
    for (const RawPiece& piece : pieces) {
        const size_t need = piece.wholeBytes ? piece.clocks / 8 : 1;
        if (size - offset < need)
            throw std::runtime_error("FTDI read-back is missing bytes of a raw sequence: " + std::to_string(size) +
                                     " bytes read back");
        for (uint32_t i = 0; i < piece.clocks; ++i) {
            const bool one = piece.wholeBytes ? (raw[offset + i / 8] >> (i % 8)) & 1
                                              : (raw[offset] >> (8 - piece.clocks + i)) & 1;
            if (one)
                tdo[(at + i) / 8] = static_cast<unsigned char>(tdo[(at + i) / 8] | (1u << ((at + i) % 8)));
        }
        offset += need;
        at += piece.clocks;
    }
}

// ---------------------------------------------------------------- read-back

unsigned int ReadBackSize(unsigned int bits)
{
    const unsigned int bytes = (bits - 1) / 8 + 1;
    return (bits - 1) % 8 != 0 ? bytes + 1 : bytes;
}

unsigned int ExitClocks(TapState exitState)
{
    return exitState == TapState::EXIT1_DR || exitState == TapState::EXIT1_IR ? 1 : 2;
}

std::vector<unsigned char> ReadScanChain(const std::vector<unsigned char>& rawData, int bits,
                                         unsigned int exitClocks)
{
    if (bits <= 0)
        throw std::invalid_argument("ReadScanChain: no bits to rebuild (" + std::to_string(bits) + ")");
    if (exitClocks < 1 || exitClocks > 7)
        throw std::invalid_argument("ReadScanChain: an exit move of " + std::to_string(exitClocks) + " clocks");
    const unsigned int n = static_cast<unsigned int>(bits);
    const size_t bytes = (n - 1) / 8 + 1;
    if (rawData.size() < ReadBackSize(n))
        throw std::invalid_argument("ReadScanChain: " + std::to_string(rawData.size()) + " bytes read back for " +
                                    std::to_string(bits) + " bits, " + std::to_string(ReadBackSize(n)) +
                                    " expected");
    // The exit move's first clock brought the last bit: its sample sits at
    // bit 8 - exitClocks of the move's byte.
    const unsigned int lastAt = 8 - exitClocks;
    std::vector<unsigned char> finalData(bytes, 0);
    std::copy(rawData.begin(), rawData.begin() + static_cast<std::ptrdiff_t>(bytes - 1), finalData.begin());
    const unsigned int r = n - 8 * static_cast<unsigned int>(bytes - 1);
    if (r > 1) {
        // The bit command's r - 1 bits sit in the top of rawData[bytes - 1].
        const unsigned int last = (rawData[bytes] >> lastAt) & 1;
        finalData[bytes - 1] = static_cast<unsigned char>(((last << 7) | (rawData[bytes - 1] >> 1)) >> (8 - r));
    } else {
        finalData[bytes - 1] = (rawData[bytes - 1] >> lastAt) & 1;
    }
    return finalData;
}

// ---------------------------------------------------------------- clock and lines

namespace {

unsigned int Divisor(unsigned int base, unsigned int hertz)
{
    // The smallest divisor whose clock, base / (divisor + 1), is not above
    // `hertz`, kept inside 0..0xFFFF: 0 Hz and clocks below the slowest get
    // the slowest, clocks above base the fastest.
    if (hertz == 0)
        return 0xFFFF;
    const uint64_t quotient = (static_cast<uint64_t>(base) + hertz - 1) / hertz;  // rounded up
    return static_cast<unsigned int>(std::min<uint64_t>(quotient - 1, 0xFFFF));
}

unsigned int Base(bool highSpeed) { return highSpeed ? 30000000u : 6000000u; }

}  // namespace

std::vector<unsigned char> SpeedCommand(bool highSpeed, unsigned int hertz)
{
    const unsigned int divisor = Divisor(Base(highSpeed), hertz);
    return {MPSSE_DIVISOR, static_cast<unsigned char>(divisor & 0xFF), static_cast<unsigned char>(divisor >> 8)};
}

uint16_t LineValue(uint16_t value, const ResetLines& lines, int assertTrst, int assertSrst)
{
    const auto drive = [&value](uint16_t mask, bool activeHigh, bool assert) {
        const bool high = assert ? activeHigh : !activeHigh;
        value = static_cast<uint16_t>(high ? (value | mask) : (value & ~mask));
    };
    drive(lines.trst, lines.trstActiveHigh, assertTrst != 0);
    drive(lines.srst, lines.srstActiveHigh, assertSrst != 0);
    return value;
}

std::vector<unsigned char> GpioCommands(uint16_t value, uint16_t direction, uint16_t only)
{
    std::vector<unsigned char> commands;
    if (only & 0x00FF)
        commands.insert(commands.end(), {MPSSE_SET_LOW, static_cast<unsigned char>(value & 0xFF),
                                         static_cast<unsigned char>(direction & 0xFF)});
    if (only & 0xFF00)
        commands.insert(commands.end(), {MPSSE_SET_HIGH, static_cast<unsigned char>(value >> 8),
                                         static_cast<unsigned char>(direction >> 8)});
    return commands;
}

unsigned int SpeedUsed(bool highSpeed, unsigned int hertz)
{
    return Base(highSpeed) / (Divisor(Base(highSpeed), hertz) + 1);
}

// The two boards' lines in the generic form, on the byte that holds them.
namespace olimex {
unsigned char LineValue(unsigned char value, int assertTrst, int assertSrst)
{
    const ResetLines lines{kTrst, false, kSrst, true};
    return static_cast<unsigned char>(ftdi::LineValue(value, lines, assertTrst, assertSrst));
}
}  // namespace olimex

namespace flyswatter2 {
unsigned char LineValue(unsigned char value, int assertTrst, int assertSrst)
{
    const ResetLines lines{kTrst, false, kSrst, false};
    return static_cast<unsigned char>(ftdi::LineValue(value, lines, assertTrst, assertSrst));
}
}  // namespace flyswatter2

}  // namespace ftdi
