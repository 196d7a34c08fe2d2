// CSessionInput on its own: the read-ahead buffer's compaction, bodies taken
// in place or in pieces, the budget, and dropped bytes.
#include "server/SessionInput.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

namespace {

// Copies `bytes` into the input room as if a read had brought them.
void Arrive(CSessionInput& in, const std::vector<unsigned char>& bytes)
{
    const CSessionInput::Room room = in.InputRoom();
    ASSERT_LE(bytes.size(), room.size);
    std::memcpy(room.data, bytes.data(), bytes.size());
    in.Filled(bytes.size());
}

CCmdPacketHdr Header(uint32_t code, uint32_t length)
{
    CCmdPacketHdr h{code, length};
    return h;
}

std::vector<unsigned char> Bytes(const void* p, size_t n)
{
    const unsigned char* b = static_cast<const unsigned char*>(p);
    return std::vector<unsigned char>(b, b + n);
}

}  // namespace

TEST(SessionInput, CompactsUnusedBytesToTheFrontBeforeTheNextRead)
{
    CBufferBudget budget;
    CSessionInput in(budget);
    EXPECT_EQ(in.InputRoom().size, CSessionInput::kInput);
    Arrive(in, {1, 2, 3, 4, 5, 6});
    unsigned char two[2];
    EXPECT_EQ(in.TakeBuffered(two, 2), 2u);
    EXPECT_EQ(two[0], 1);
    const CSessionInput::Room room = in.InputRoom();
    EXPECT_EQ(room.size, CSessionInput::kInput - 4);
    Arrive(in, {7, 8});
    unsigned char rest[10] = {};
    EXPECT_EQ(in.TakeBuffered(rest, sizeof rest), 6u);
    EXPECT_EQ(Bytes(rest, 6), (std::vector<unsigned char>{3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(in.Buffered(), 0u);
    EXPECT_EQ(in.InputRoom().size, CSessionInput::kInput);
}

TEST(SessionInput, BodyThatCameWithItsHeaderIsUsedInPlace)
{
    CBufferBudget budget;
    CSessionInput in(budget);
    const CCmdPacketHdr sent = Header(7, 3);
    std::vector<unsigned char> bytes = Bytes(&sent, sizeof sent);
    bytes.insert(bytes.end(), {0xA, 0xB, 0xC, 0xD});
    Arrive(in, bytes);
    CCmdPacketHdr h{};
    std::string refusal;
    ASSERT_TRUE(in.TakeHeader(h, refusal));
    EXPECT_EQ(h.code, 7u);
    ASSERT_TRUE(in.TakeWholeBody(h.length));
    EXPECT_EQ(Bytes(in.Body(), 3), (std::vector<unsigned char>{0xA, 0xB, 0xC}));
    EXPECT_EQ(in.Buffered(), 1u);  // the next command's first byte stays
    EXPECT_EQ(budget.Used(), 0u);
}

TEST(SessionInput, LongBodyIsReadInPiecesAndCountedAgainstTheBudget)
{
    CBufferBudget budget;
    CSessionInput in(budget);
    const uint32_t length = CSessionInput::kFirstBodyChunk + 3 * CSessionInput::kBodyChunk / 2;
    Arrive(in, {1, 2, 3});
    ASSERT_FALSE(in.TakeWholeBody(length));

    CSessionInput::Piece p = in.NextBodyPiece(length);
    ASSERT_EQ(p.step, CSessionInput::Step::Read);
    EXPECT_EQ(p.room.size, CSessionInput::kFirstBodyChunk - 3);  // the buffered bytes were taken
    EXPECT_EQ(budget.Used(), CSessionInput::kFirstBodyChunk);
    std::iota(p.room.data, p.room.data + p.room.size, 4);

    p = in.NextBodyPiece(length);
    ASSERT_EQ(p.step, CSessionInput::Step::Read);
    EXPECT_EQ(p.room.size, CSessionInput::kBodyChunk);
    EXPECT_EQ(budget.Used(), length);  // the rest in one step
    std::memset(p.room.data, 0, p.room.size);

    p = in.NextBodyPiece(length);
    ASSERT_EQ(p.step, CSessionInput::Step::Read);
    EXPECT_EQ(p.room.size, CSessionInput::kBodyChunk / 2);
    std::memset(p.room.data, 0, p.room.size);

    EXPECT_EQ(in.NextBodyPiece(length).step, CSessionInput::Step::Complete);
    EXPECT_EQ(Bytes(in.Body(), 5), (std::vector<unsigned char>{1, 2, 3, 4, 5}));
    in.ReleaseBody();
    EXPECT_EQ(budget.Used(), 0u);
}

TEST(SessionInput, RefusedBodyGivesItsBudgetBackAndDropsTheRest)
{
    CBufferBudget budget(CSessionInput::kFirstBodyChunk + 10);
    CSessionInput in(budget);
    const CCmdPacketHdr h = Header(9, CSessionInput::kFirstBodyChunk + 100);
    CSessionInput::Piece p = in.NextBodyPiece(h.length);
    ASSERT_EQ(p.step, CSessionInput::Step::Read);
    EXPECT_EQ(in.NextBodyPiece(h.length).step, CSessionInput::Step::Refused);
    const std::string message = in.RefuseBody(h);
    EXPECT_NE(message.find("command 9: body of " + std::to_string(h.length) + " bytes does not fit"),
              std::string::npos);
    EXPECT_EQ(budget.Used(), 0u);

    // 100 bytes remain to drop: 45 buffered, then 55 read into scratch.
    ASSERT_TRUE(in.Discarding());
    Arrive(in, std::vector<unsigned char>(45, 0xEE));
    EXPECT_FALSE(in.DiscardBuffered());
    EXPECT_EQ(in.Buffered(), 0u);
    const CSessionInput::Room scratch = in.DiscardRoom();
    EXPECT_EQ(scratch.size, 55u);
    in.Discarded(scratch.size);
    EXPECT_FALSE(in.Discarding());
}

TEST(SessionInput, OversizedHeaderIsRefusedWithoutAllocating)
{
    CBufferBudget budget;
    CSessionInput in(budget);
    const CCmdPacketHdr sent = Header(3, MAX_COMMAND_BODY + 1);
    std::vector<unsigned char> bytes = Bytes(&sent, sizeof sent);
    bytes.insert(bytes.end(), {1, 2});
    Arrive(in, bytes);
    CCmdPacketHdr h{};
    std::string refusal;
    ASSERT_FALSE(in.TakeHeader(h, refusal));
    EXPECT_EQ(refusal, "command 3: body of " + std::to_string(MAX_COMMAND_BODY + 1) +
                           " bytes exceeds the limit of " + std::to_string(MAX_COMMAND_BODY) + " bytes");
    EXPECT_FALSE(in.DiscardBuffered());  // the two buffered body bytes are dropped
    EXPECT_EQ(in.Buffered(), 0u);
    EXPECT_EQ(in.DiscardRoom().size, CSessionInput::kScratch);
    EXPECT_EQ(budget.Used(), 0u);
}
