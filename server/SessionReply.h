// CSessionReply: the reply block a session is writing, and the bytes of the
// session's share of the server's CBufferBudget it holds until it is written. No I/O here:
// CDebugSession writes the pieces this class names.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <system_error>

#include "server/BufferBudget.h"
#include "wire/Packets.h"

class CSessionReply {
public:
    // A reply is written in pieces of at most 64 KiB.
    static constexpr size_t kChunk = 65536;

    explicit CSessionReply(CBudgetAccount& budget) : m_budget(budget) {}
    CSessionReply(const CSessionReply&) = delete;
    CSessionReply& operator=(const CSessionReply&) = delete;

    // The next reply; its header and body are one block.
    void Set(std::shared_ptr<CReplyPacketHdr> reply) { m_reply = std::move(reply); }
    // Bytes of the budget the next reply holds.
    void Hold(size_t budget) { m_held = budget; }

    // Bytes still to write once `sent` are written.
    size_t Left(size_t sent) const { return Total() - sent; }
    struct Piece {
        const unsigned char* data;
        size_t size;
    };
    // The piece to write after the first `sent` bytes.
    Piece PieceAt(size_t sent) const;
    // Writes what `write` takes without waiting, advancing `sent`; stops at
    // the end of the block or when `write` would block (not a failure), and
    // returns the error of a failed write.
    std::error_code WriteNow(size_t& sent,
                             const std::function<size_t(const unsigned char*, size_t, std::error_code&)>& write);
    // The whole block is written: gives its budget back, and a large block
    // goes at once rather than staying until the next reply replaces it.
    void Written();
    // Gives back what a reply not written in full still holds.
    void Release()
    {
        m_budget.Give(m_held);
        m_held = 0;
    }

private:
    size_t Total() const { return static_cast<size_t>(m_reply->length) + sizeof(CReplyPacketHdr); }

    CBudgetAccount& m_budget;
    std::shared_ptr<CReplyPacketHdr> m_reply;
    size_t m_held = 0;
};
