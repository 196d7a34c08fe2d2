// Wire packets of the client protocol, shared by the server and the client
// library.
//
// Every packet is one contiguous block equal to its wire image: an 8-byte
// header of two 32-bit little-endian words (code or status, body length) and
// the body. Reply structures are written straight from memory, so this header
// only builds on little-endian hosts.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "base/ByteOrder.h"

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the packet structures are wire images and need a little-endian host"
#endif

enum CommandCode : uint32_t {
    CMD_RENUMERATE = 1,
    CMD_OPEN = 2,
    CMD_CLOSE = 3,
    CMD_TRST = 4,
    CMD_SYS_RST = 5,
    CMD_SHIFT_IR = 6,
    CMD_SHIFT_DR = 7,
    CMD_RUN_TEST = 8,
    CMD_UPDATE_NAME = 9,
    CMD_WRITE_BLK = 10,
    CMD_READ_BLK = 11,
    CMD_KEEPALIVE = 12,
    CMD_DISCONNECT = 13,
    CMD_RESET = 14,
    CMD_ASYNC_OPERATIONS = 15,
    CMD_JTAG_FREQUENCY = 16,
    // Clocks a raw JTAG sequence: bit count, TMS bits, TDI bits; answers the
    // TDO bits (see RawSequenceBody). Servers before it answer "unknown
    // command", so a client can tell them apart.
    CMD_RAW_SEQUENCE = 17,
};

// Sub-commands of a CMD_ASYNC_OPERATIONS body.
enum AsyncCommandCode : uint32_t {
    ASYNC_CMD_SHIFT_IR = 6,
    ASYNC_CMD_SHIFT_DR = 7,
    ASYNC_CMD_WRITE_DR = 17,
};

enum ReplyStatus : uint32_t {
    REPLY_OK = 1,
    REPLY_ERROR = 3,
};

// The greeting's magic word.
constexpr uint32_t KESTRAD_VERSION_MAGIC = 0xFFDDEEABu;

// Limits the server puts on client-supplied sizes (the protocol has none).
// A body, a CMD_READ_BLK size and a CMD_SHIFT_DR scan each stay below these.
constexpr uint32_t MAX_COMMAND_BODY = 64u * 1024u * 1024u;
constexpr uint32_t MAX_READ_BLOCK = 64u * 1024u * 1024u;
constexpr int32_t MAX_SHIFT_DR_BITS = 0x7FFFFFF8;  // (length + 7) / 8 never overflows
// A CMD_RAW_SEQUENCE carries two bit vectors after its count, so the body
// limit bounds it at (64 MiB - 4) / 2 bytes of each: 268435440 bits.
constexpr uint32_t MAX_RAW_SEQUENCE_BITS = (MAX_COMMAND_BODY - 4) / 2 * 8;

// Bytes of a bit vector of `bits` bits.
constexpr size_t RawSequenceBytes(uint32_t bits) { return (static_cast<size_t>(bits) + 7) / 8; }

// The body of CMD_RAW_SEQUENCE: offset 0, 32 bits, the number of TCK cycles
// n; then (n + 7) / 8 bytes of TMS bits; then as many bytes of TDI bits
// (bit k of a vector drives cycle k). The reply body is (n + 7) / 8 bytes of
// TDO bits, bit k sampled at the rising edge of cycle k. A body with bytes
// beyond the two vectors is accepted (extra bytes are ignored, as in every
// command); a shorter one is refused.
struct RawSequenceBody {
    uint32_t bits = 0;
    const unsigned char* tms = nullptr;
    const unsigned char* tdi = nullptr;

    // Empty on success, otherwise why the body cannot be one (the message
    // names the command); never reads outside [body, body + length).
    static std::string Parse(const unsigned char* body, uint32_t length, RawSequenceBody& out)
    {
        if (length < 4)
            return "CMD_RAW_SEQUENCE: body of " + std::to_string(length) +
                   " bytes is too short (needs 4)";
        out.bits = ReadLE32(body);
        if (out.bits > MAX_RAW_SEQUENCE_BITS)
            return "CMD_RAW_SEQUENCE: sequence of " + std::to_string(out.bits) +
                   " bits exceeds the limit of " + std::to_string(MAX_RAW_SEQUENCE_BITS) + " bits";
        const size_t bytes = RawSequenceBytes(out.bits);
        if (length - 4 < 2 * bytes)
            return "CMD_RAW_SEQUENCE: body of " + std::to_string(length) +
                   " bytes is too short for a sequence of " + std::to_string(out.bits) +
                   " bits (needs " + std::to_string(4 + 2 * bytes) + ")";
        out.tms = body + 4;
        out.tdi = body + 4 + bytes;
        return std::string();
    }
};

#pragma pack(push, 1)

struct CCmdPacketHdr {
    uint32_t code;
    uint32_t length;
};

struct CReplyPacketHdr {
    uint32_t status;
    uint32_t length;
};

struct CReplyOk : CReplyPacketHdr {
    CReplyOk() : CReplyPacketHdr{REPLY_OK, 0} {}
};

struct CReplyError : CReplyPacketHdr {
    CReplyError() : CReplyPacketHdr{REPLY_ERROR, 0} {}
};

struct CReplyVersion : CReplyPacketHdr {
    CReplyVersion() : CReplyPacketHdr{REPLY_OK, 8} {}
    uint32_t magic = KESTRAD_VERSION_MAGIC;
    uint32_t reserved = 0;
};

struct CReplyShiftIr : CReplyPacketHdr {
    explicit CReplyShiftIr(uint32_t v = 0) : CReplyPacketHdr{REPLY_OK, 4}, value(v) {}
    uint32_t value;
};

struct CReplyShiftDr : CReplyPacketHdr {
    CReplyShiftDr() : CReplyPacketHdr{REPLY_OK, 0} {}
};

struct CReplyReadBlk : CReplyPacketHdr {
    CReplyReadBlk() : CReplyPacketHdr{REPLY_OK, 0} {}
};

struct CReplyRenumerate : CReplyPacketHdr {
    CReplyRenumerate() : CReplyPacketHdr{REPLY_OK, 0} {}
};

struct CReplyAsyncOperations : CReplyPacketHdr {
    CReplyAsyncOperations() : CReplyPacketHdr{REPLY_OK, 0} {}
};

struct CReplyRawSequence : CReplyPacketHdr {
    CReplyRawSequence() : CReplyPacketHdr{REPLY_OK, 0} {}
};

#pragma pack(pop)

static_assert(sizeof(CCmdPacketHdr) == 8, "command header is 8 bytes on the wire");
static_assert(sizeof(CReplyPacketHdr) == 8, "reply header is 8 bytes on the wire");
static_assert(sizeof(CReplyOk) == 8, "CReplyOk wire size");
static_assert(sizeof(CReplyError) == 8, "CReplyError fixed size");
static_assert(sizeof(CReplyVersion) == 16, "CReplyVersion wire size");
static_assert(sizeof(CReplyShiftIr) == 12, "CReplyShiftIr wire size");
static_assert(sizeof(CReplyShiftDr) == 8, "CReplyShiftDr fixed size");
static_assert(sizeof(CReplyReadBlk) == 8, "CReplyReadBlk fixed size");
static_assert(sizeof(CReplyRenumerate) == 8, "CReplyRenumerate fixed size");
static_assert(sizeof(CReplyAsyncOperations) == 8, "CReplyAsyncOperations fixed size");
static_assert(sizeof(CReplyRawSequence) == 8, "CReplyRawSequence fixed size");

// One byte block of `size` bytes holding a packet of type T (header first),
// released as a byte array; zero-filled on request.
template <typename T>
std::shared_ptr<T> MakePacketBlock(size_t size, bool zeroed = false)
{
    unsigned char* block = zeroed ? new unsigned char[size]() : new unsigned char[size];
    return std::shared_ptr<T>(reinterpret_cast<T*>(block),
                              [](T* p) { delete[] reinterpret_cast<unsigned char*>(p); });
}

// Builds a reply of type T whose body is T's fixed part followed by n bytes.
// The result owns one byte block of exactly 8 + fixed + n bytes.
template <typename T>
std::shared_ptr<T> AppendBody(const T& fixed, const void* data, size_t n)
{
    const size_t head = sizeof(CReplyPacketHdr) + fixed.length;
    auto packet = MakePacketBlock<T>(head + n);
    unsigned char* block = reinterpret_cast<unsigned char*>(packet.get());
    std::memcpy(block, &fixed, head);
    if (n)
        std::memcpy(block + head, data, n);
    const uint32_t length = static_cast<uint32_t>(fixed.length + n);
    std::memcpy(block + 4, &length, sizeof(length));
    return packet;
}
