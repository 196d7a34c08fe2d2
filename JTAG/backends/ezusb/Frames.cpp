// Frame builders of the maker's EZ-USB JTAG adapter (see Frames.h for
// the frame layouts' summary).
#include "JTAG/backends/ezusb/Frames.h"

#include "base/ByteOrder.h"

#include <algorithm>
#include <stdexcept>

namespace ezusb {

namespace {

// Largest data scan the header's length code can describe: the command byte,
// the unsent bit 8 and 32 data bits.
constexpr int kMaxDRScanLength = 32 + 9;

uint8_t ByteAt(const uint8_t* in, size_t inSize, size_t index)
{
    return index < inSize ? in[index] : 0;
}

}  // namespace

unsigned GetLengthByBitsLen(int bits)
{
    if (bits <= 0)
        return 1;
    if (bits <= 8)
        return 3;
    if (bits <= 12)
        return 2;
    if (bits <= 16)
        return 1;
    if (bits <= 32)
        return 0;
    throw std::logic_error("Invalid bit length of register");
}

uint8_t LineBits(const Lines& lines)
{
    return static_cast<uint8_t>((lines.trst ? 0x08 : 0) | (lines.sysRst ? 0x04 : 0));
}

CommandFrame MakeCommandFrame(uint8_t direction, uint8_t operation, uint32_t argument,
                              const Lines& lines)
{
    CommandFrame frame{static_cast<uint8_t>(0x40 | LineBits(lines) | (direction & 0x03)), operation};
    WriteLE32(frame.data() + 2, argument);
    return frame;
}

CommandFrame AddrWriteBlk(uint32_t address, const Lines& lines)
{
    return MakeCommandFrame(DIR_WRITE, OP_BLOCK_ADDRESS, address, lines);
}

CommandFrame AddrReadBlk(uint32_t address, const Lines& lines)
{
    return MakeCommandFrame(DIR_READ, OP_BLOCK_ADDRESS, address, lines);
}

CommandFrame ValWriteBlk(uint32_t value, const Lines& lines)
{
    return MakeCommandFrame(DIR_WRITE, OP_WRITE_WORD, value, lines);
}

CommandFrame ValWriteBlkEnd(uint32_t value, const Lines& lines)
{
    return MakeCommandFrame(DIR_LAST, OP_WRITE_WORD, value, lines);
}

CommandFrame ValReadBlk(const Lines& lines)
{
    return MakeCommandFrame(DIR_READ, OP_READ_WORD, 0, lines);
}

CommandFrame ValReadBlkEnd(const Lines& lines)
{
    return MakeCommandFrame(DIR_LAST, OP_READ_WORD, 0, lines);
}

CommandFrame LineFrame(const Lines& lines)
{
    return MakeCommandFrame(DIR_LINES, OP_SET_LINES, 0, lines);
}

CommandFrame IdentificationFrame()
{
    return CommandFrame{0x4F, OP_READ_ID, 0, 0, 0, 0};
}

std::vector<uint8_t> IRScanFrame(uint32_t value, int length, const Lines& lines)
{
    uint8_t valueByte = static_cast<uint8_t>(value);
    if (length == 4) {
        // The firmware shifts whole bytes: a 4-bit register gets its nibble twice.
        valueByte = static_cast<uint8_t>((value & 0x0F) | ((value & 0x0F) << 4));
        length = 8;
    }
    if (length < 0)
        throw std::logic_error("Invalid bit length of register");
    const unsigned code = GetLengthByBitsLen(length);  // refuses more than 32 bits before sizing
    std::vector<uint8_t> frame(static_cast<size_t>(length / 8 + 1), 0);
    frame[0] = static_cast<uint8_t>(0x80 | (code << 4) | LineBits(lines));
    if (frame.size() > 1)
        frame[1] = valueByte;
    return frame;
}

int DRScanLength(int length)
{
    return length == 9 ? 25 : length;
}

std::vector<uint8_t> DRScanFrame(const uint8_t* in, size_t inSize, int length, const Lines& lines)
{
    if (length < 0 || length > kMaxDRScanLength)
        throw std::logic_error("Invalid bit length of register");
    if (length == 9) {
        // The command byte alone: the 16 data bits sent with it are zero,
        // whatever the caller's second byte holds beyond bit 8.
        inSize = std::min<size_t>(inSize, 1);
        length = DRScanLength(length);
    }
    const size_t n = static_cast<size_t>((length + 6) / 8);
    std::vector<uint8_t> frame(n + 1, 0);
    frame[0] = static_cast<uint8_t>(0x40 | (GetLengthByBitsLen(length - 9) << 4) | LineBits(lines));
    if (frame.size() > 1)
        frame[1] = ByteAt(in, inSize, 0);
    // Stream bits 9 on, one byte per frame byte; bit 8 is not sent.
    const int dataBytes = length >= 2 ? (length - 2) / 8 : 0;
    for (int i = 0; i < dataBytes && static_cast<size_t>(i) + 2 < frame.size(); ++i) {
        const size_t k = static_cast<size_t>(i);
        frame[k + 2] = static_cast<uint8_t>((ByteAt(in, inSize, k + 1) >> 1) |
                                            (ByteAt(in, inSize, k + 2) << 7));
    }
    return frame;
}

bool IsLineFrame(const uint8_t* frame, size_t size)
{
    // Header 0100 TS00: a command frame without direction; only the line
    // bits may differ.
    return size == 6 && (frame[0] & 0xF3) == 0x40 && frame[1] == OP_SET_LINES;
}

size_t DRReplySize(int length)
{
    length = DRScanLength(length);
    const int n = (length + 6) / 8;
    return n > 1 ? static_cast<size_t>(n - 1) : 0;
}

void RealignDRReply(const uint8_t* reply, size_t received, uint8_t* out, size_t outSize)
{
    if (outSize < 2)
        return;
    const size_t count = std::min(received, outSize - 1);
    std::copy(reply, reply + count, out + 1);
    uint8_t carry = 0;
    for (size_t i = 1; i < outSize; ++i) {
        const uint8_t before = out[i];
        out[i] = static_cast<uint8_t>((before << 1) | carry);
        carry = static_cast<uint8_t>(before >> 7);
    }
}

std::vector<Block> PlanTransfer(uint32_t address, uint64_t words, uint32_t wordsPerBlock,
                                uint32_t blocksPerTransfer)
{
    if (wordsPerBlock == 0 || blocksPerTransfer == 0)
        throw std::logic_error("Invalid memory transfer layout: 0 words per block or blocks per transfer");
    std::vector<Block> blocks;
    while (words > 0 && blocks.size() < blocksPerTransfer) {
        const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(words, wordsPerBlock));
        blocks.push_back(Block{address, count});
        address += 4u * count;  // target addresses wrap at 32 bits
        words -= count;
    }
    return blocks;
}

uint64_t TransferWords(const std::vector<Block>& blocks)
{
    uint64_t words = 0;
    for (const Block& block : blocks)
        words += block.words;
    return words;
}

namespace {

void Append(std::vector<uint8_t>& out, const CommandFrame& frame)
{
    out.insert(out.end(), frame.begin(), frame.end());
}

}  // namespace

std::vector<uint8_t> ReadTransferFrames(const std::vector<Block>& blocks, const Lines& lines)
{
    std::vector<uint8_t> frames;
    frames.reserve((TransferWords(blocks) + blocks.size()) * sizeof(CommandFrame));
    for (const Block& block : blocks) {
        Append(frames, AddrReadBlk(block.address, lines));
        for (uint32_t i = 0; i < block.words; ++i)
            Append(frames, i + 1 < block.words ? ValReadBlk(lines) : ValReadBlkEnd(lines));
    }
    return frames;
}

std::vector<uint8_t> WriteTransferFrames(const std::vector<Block>& blocks, const uint8_t* data,
                                         const Lines& lines)
{
    std::vector<uint8_t> frames;
    frames.reserve((TransferWords(blocks) + blocks.size()) * sizeof(CommandFrame));
    for (const Block& block : blocks) {
        Append(frames, AddrWriteBlk(block.address, lines));
        for (uint32_t i = 0; i < block.words; ++i, data += 4) {
            const uint32_t word = ReadLE32(data);
            Append(frames, i + 1 < block.words ? ValWriteBlk(word, lines) : ValWriteBlkEnd(word, lines));
        }
    }
    return frames;
}

}  // namespace ezusb
