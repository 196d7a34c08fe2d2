#include "server/SessionReply.h"

#include <asio/error.hpp>

#include <algorithm>

#include "server/SessionCommands.h"

CSessionReply::Piece CSessionReply::PieceAt(size_t sent) const
{
    const unsigned char* block = reinterpret_cast<const unsigned char*>(m_reply.get());
    return Piece{block + sent, std::min(Left(sent), kChunk)};
}

std::error_code CSessionReply::WriteNow(
    size_t& sent, const std::function<size_t(const unsigned char*, size_t, std::error_code&)>& write)
{
    while (Left(sent) > 0) {
        std::error_code ec;
        const Piece piece = PieceAt(sent);
        const size_t n = write(piece.data, piece.size, ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again)
            break;
        if (ec)
            return ec;
        sent += n;
    }
    return std::error_code();
}

void CSessionReply::Written()
{
    m_budget.Give(m_held);
    m_held = 0;
    if (Total() > CSessionCommands::kKeptBuffer)
        m_reply.reset();
}
