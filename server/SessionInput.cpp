#include "server/SessionInput.h"

#include <algorithm>
#include <cstring>

CSessionInput::Room CSessionInput::InputRoom()
{
    if (m_input.empty())
        m_input.resize(kInput);
    if (m_inBegin == m_inEnd) {
        m_inBegin = m_inEnd = 0;
    } else if (m_inBegin > 0) {
        std::memmove(m_input.data(), m_input.data() + m_inBegin, Buffered());
        m_inEnd -= m_inBegin;
        m_inBegin = 0;
    }
    return Room{m_input.data() + m_inEnd, m_input.size() - m_inEnd};
}

size_t CSessionInput::TakeBuffered(unsigned char* to, size_t size)
{
    const size_t n = std::min(size, Buffered());
    if (to && n)
        std::memcpy(to, m_input.data() + m_inBegin, n);
    m_inBegin += n;
    return n;
}

bool CSessionInput::TakeWholeBody(size_t length)
{
    if (Buffered() < length) {
        m_bodyData = nullptr;
        return false;
    }
    m_bodyData = m_input.data() + m_inBegin;
    m_inBegin += length;
    return true;
}

// Each piece is taken from the budget when its bytes are due: the first of
// 64 KiB, then 1 MiB at a time. The block grows by doubling (up to the
// body's length) rather than being reserved whole at the start, so what the
// client announced costs nothing it has not begun to send.
CSessionInput::Piece CSessionInput::NextBodyPiece(uint64_t length)
{
    for (;;) {
        const size_t have = m_body.size();
        const size_t chunk = std::min<size_t>(length - have, have == 0 ? kFirstBodyChunk : kBodyChunk);
        if (chunk == 0)
            return Piece{Step::Complete, Room{nullptr, 0}};
        if (!m_budget.Take(chunk))
            return Piece{Step::Refused, Room{nullptr, 0}};
        m_bodyBudget += chunk;
        if (m_body.capacity() < have + chunk)
            m_body.reserve(std::min<size_t>(length, std::max(have + chunk, 2 * m_body.capacity())));
        m_body.resize(have + chunk);
        const size_t buffered = TakeBuffered(m_body.data() + have, chunk);
        if (buffered != chunk)
            return Piece{Step::Read, Room{m_body.data() + have + buffered, chunk - buffered}};
    }
}

void CSessionInput::ReleaseBody()
{
    m_bodyData = nullptr;
    if (m_body.capacity() > kBodyChunk)
        std::vector<unsigned char>().swap(m_body);
    else
        m_body.clear();
    m_budget.Give(m_bodyBudget);
    m_bodyBudget = 0;
}

bool CSessionInput::DiscardBuffered()
{
    m_discard -= TakeBuffered(nullptr, m_discard);
    return m_discard == 0;
}

CSessionInput::Room CSessionInput::DiscardRoom()
{
    if (m_scratch.size() < kScratch)
        m_scratch.resize(kScratch);
    return Room{m_scratch.data(), std::min<size_t>(m_discard, m_scratch.size())};
}

bool CSessionInput::TakeHeader(CCmdPacketHdr& header, std::string& refusal)
{
    TakeBuffered(reinterpret_cast<unsigned char*>(&header), sizeof header);
    if (header.length <= MAX_COMMAND_BODY)
        return true;
    m_discard = header.length;
    refusal = "command " + std::to_string(header.code) + ": body of " + std::to_string(header.length) +
              " bytes exceeds the limit of " + std::to_string(MAX_COMMAND_BODY) + " bytes";
    return false;
}

std::string CSessionInput::RefuseBody(const CCmdPacketHdr& header)
{
    // The text first: it tells how much of the budget is in use.
    const std::string message =
        m_budget.Refusal("command " + std::to_string(header.code) + ": body", header.length);
    m_discard = header.length - m_body.size();
    ReleaseBody();
    return message;
}
