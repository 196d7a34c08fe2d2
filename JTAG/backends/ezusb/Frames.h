// Frame builders of the maker's EZ-USB JTAG adapter, without any I/O.
//
// The adapter's firmware runs the TAP sequences itself. It takes fixed 6-byte
// command frames (memory blocks, reset lines, identification) and variable
// scan frames on bulk OUT endpoint 2, answers on bulk IN endpoint 6 and takes
// single control bytes (clock choice, adapter reset) on bulk OUT endpoint 4.
// Everything here only turns arguments into those bytes and replies back into
// scan results, so it is tested byte for byte without a device.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ezusb {

// The two reset line levels every frame header carries (true: released).
struct Lines {
    bool trst = true;
    bool sysRst = true;
};

using CommandFrame = std::array<uint8_t, 6>;

// Header direction field of a command frame (bits 1..0).
enum Direction : uint8_t {
    DIR_LINES = 0,
    DIR_WRITE = 1,
    DIR_READ = 2,
    DIR_LAST = 3,  // last word of a block
};

// Operation codes of the command frames.
enum Operation : uint8_t {
    OP_READ_ID = 0x03,
    OP_BLOCK_ADDRESS = 0x0B,
    OP_WRITE_WORD = 0x0C,
    OP_READ_WORD = 0x4C,
    OP_SET_LINES = 0x4D,
};

// Control endpoint bytes: 1..3 choose 12, 24, 48 MHz, then the adapter reset.
enum ControlByte : uint8_t {
    CONTROL_ADAPTER_RESET = 4,
    CONTROL_ADAPTER_RELEASE = 5,
};

// The instruction a TAP holds after TRST is released; after it the adapter
// answers data scans with the identification code.
constexpr uint32_t kIdCodeInstruction = 3;

// Register length code of the scan frame headers (bits 5..4). Lengths of 0
// or less give 1; more than 32 bits throws std::logic_error.
unsigned GetLengthByBitsLen(int bits);

// Bits 3 and 2 of every header.
uint8_t LineBits(const Lines& lines);

CommandFrame MakeCommandFrame(uint8_t direction, uint8_t operation, uint32_t argument,
                              const Lines& lines);
CommandFrame AddrWriteBlk(uint32_t address, const Lines& lines);
CommandFrame AddrReadBlk(uint32_t address, const Lines& lines);
CommandFrame ValWriteBlk(uint32_t value, const Lines& lines);
CommandFrame ValWriteBlkEnd(uint32_t value, const Lines& lines);
CommandFrame ValReadBlk(const Lines& lines);
CommandFrame ValReadBlkEnd(const Lines& lines);
CommandFrame LineFrame(const Lines& lines);
// 0x4F 0x03 0 0 0 0: the header is fixed, the line bits are not taken.
CommandFrame IdentificationFrame();

// The version query written right after opening the device.
constexpr std::array<uint8_t, 2> kVersionQuery = {0xB0, 0xFF};

// Instruction scan of `length` bits (1..32, checked by the caller). A 4-bit
// scan is sent as 8 bits with the nibble in both halves; the frame is
// length / 8 + 1 bytes: header, low byte of the value, zeros.
std::vector<uint8_t> IRScanFrame(uint32_t value, int length, const Lines& lines);

// Bit length the adapter really shifts for a data scan: a 9-bit scan (the
// command byte alone) goes out as 25 bits with 16 zero data bits.
int DRScanLength(int length);

// Data scan frame of `length` bits (0..41) from `in`, which holds inSize
// bytes; bytes past inSize count as zero, so a short buffer is never read
// beyond its end. Bits 0..7 go as the command byte, bit 8 is not sent, bits 9
// on follow; a 9-bit scan is sent as DRScanLength(9) bits. Throws
// std::logic_error "Invalid bit length of register" for negative lengths and
// lengths over 41.
std::vector<uint8_t> DRScanFrame(const uint8_t* in, size_t inSize, int length, const Lines& lines);

// Whether these bytes are the line frame (0x4D with direction 0). A data scan
// of 34 to 41 bits whose first byte is 0x4D comes out as exactly these six
// bytes, and the firmware cannot tell them apart.
bool IsLineFrame(const uint8_t* frame, size_t size);

// Whether the adapter answers a data scan: bit 6 of its command byte.
inline bool DRScanReturnsData(uint8_t commandByte) { return (commandByte & 0x40) != 0; }

// Reply bytes a data scan of `length` bits brings: (length + 6) / 8 - 1 for
// the length sent, never negative.
size_t DRReplySize(int length);

// Places a data scan reply at stream bit 9 on: the received bytes go to
// out[1..] and are shifted left by one bit across out[1..outSize-1]. out[0]
// and bytes past outSize are never written; outSize is the caller's
// (length + 7) / 8.
void RealignDRReply(const uint8_t* reply, size_t received, uint8_t* out, size_t outSize);

// One block of a memory transfer: a start address and its word count.
struct Block {
    uint32_t address;
    uint32_t words;
};

// The blocks of the next transfer: up to blocksPerTransfer blocks of up to
// wordsPerBlock consecutive words, starting at `address`, covering at most
// `words` words. Both limits must be at least 1 (std::logic_error otherwise).
std::vector<Block> PlanTransfer(uint32_t address, uint64_t words, uint32_t wordsPerBlock,
                                uint32_t blocksPerTransfer);
uint64_t TransferWords(const std::vector<Block>& blocks);

// All read frames of a transfer: per block the address frame, a read frame
// per word and the last one marked as the end of the block.
std::vector<uint8_t> ReadTransferFrames(const std::vector<Block>& blocks, const Lines& lines);

// All write frames of a transfer; `data` holds the transfer's words as
// little-endian bytes, 4 per word, in block order.
std::vector<uint8_t> WriteTransferFrames(const std::vector<Block>& blocks, const uint8_t* data,
                                         const Lines& lines);

}  // namespace ezusb
