// CSessionInput: what a session has read from its client and not yet used.
//
// Reads go into a small input buffer, so a header and the body that came
// with it (and whatever the client sent after) are taken in one read. A body
// that came whole with its header is used where it lies; a longer one is
// read into its own block in pieces, each taken from the session's share of
// the server's CBufferBudget and made room for only when its bytes are due,
// so a client that announces a large body costs budget and memory only for
// the bytes it actually sends (at most one piece ahead of them).
//
// No I/O here: CDebugSession reads into the room this class names and tells
// it how many bytes arrived.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "server/BufferBudget.h"
#include "wire/Packets.h"

class CSessionInput {
public:
    // A body is read in pieces: the first of 64 KiB, then of 1 MiB.
    static constexpr size_t kFirstBodyChunk = 64u << 10;
    static constexpr size_t kBodyChunk = 1u << 20;
    // Input buffer: a header and a small body arrive in one read.
    static constexpr size_t kInput = 4096;
    // Dropped bytes are read into a scratch block of at most this size.
    static constexpr size_t kScratch = 65536;

    explicit CSessionInput(CBudgetAccount& budget) : m_budget(budget) {}
    CSessionInput(const CSessionInput&) = delete;
    CSessionInput& operator=(const CSessionInput&) = delete;

    // A place to read into.
    struct Room {
        unsigned char* data;
        size_t size;
    };

    // Bytes read ahead into the input buffer and not yet used.
    size_t Buffered() const { return m_inEnd - m_inBegin; }

    // Moves what is buffered to the front of the input buffer and returns the
    // room after it; Filled(n) then counts the n bytes read there.
    Room InputRoom();
    void Filled(size_t n) { m_inEnd += n; }

    // Takes up to `size` bytes from the input buffer into `to` (or drops
    // them when `to` is null); returns how many it took.
    size_t TakeBuffered(unsigned char* to, size_t size);

    // When a body of `length` bytes is all buffered, takes it where it lies
    // (Body() then points there) and returns true.
    bool TakeWholeBody(size_t length);

    // The next piece of a body of `length` bytes: Complete when all of it
    // is there, Refused when the budget has no room for it (nothing is
    // taken), or Read with the room the client's bytes still have to fill.
    // Pieces found whole in the input buffer are taken on the way.
    enum class Step { Complete, Refused, Read };
    struct Piece {
        Step step;
        Room room;
    };
    Piece NextBodyPiece(uint64_t length);

    // The body to execute: the one taken in place, else the read block.
    const unsigned char* Body() const { return m_bodyData ? m_bodyData : m_body.data(); }
    // Forgets the body and gives a large block back at once, so an idle
    // session holds little; gives its bytes back to the budget.
    void ReleaseBody();

    // Whether bytes of a refused body are still to be read and dropped, so
    // the next header is read where the client expects it.
    bool Discarding() const { return m_discard != 0; }
    // Drops what of them is buffered; true when none are left.
    bool DiscardBuffered();
    // Where to read the next dropped bytes; Discarded(room.size) after.
    Room DiscardRoom();
    void Discarded(size_t n) { m_discard -= n; }

    // Takes the 8-byte header from the input buffer. A body announced
    // larger than MAX_COMMAND_BODY is never allocated: the text of the error
    // reply goes to `refusal`, the body is to be dropped, and it returns
    // false.
    bool TakeHeader(CCmdPacketHdr& header, std::string& refusal);
    // The budget had no room for the next piece of the header's body: gives
    // the body back, marks the rest of it to be dropped and returns the text
    // of the error reply (the command is refused, the session goes on).
    std::string RefuseBody(const CCmdPacketHdr& header);

private:
    CBudgetAccount& m_budget;
    // Bytes read ahead: m_input[m_inBegin, m_inEnd) are not used yet. A body
    // that came whole with its header is executed from there (m_bodyData).
    std::vector<unsigned char> m_input;
    size_t m_inBegin = 0;
    size_t m_inEnd = 0;
    const unsigned char* m_bodyData = nullptr;
    std::vector<unsigned char> m_body;
    size_t m_bodyBudget = 0;  // taken from the budget for m_body
    uint64_t m_discard = 0;
    std::vector<unsigned char> m_scratch;
};
