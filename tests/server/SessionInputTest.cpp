// CSessionInput driven the way a session drives it, on bytes that arrive in
// reads of any size: every command comes out whole and in order, a refused
// body is dropped without losing the commands after it, a body costs budget
// only as its bytes come, and the budget is shared so that no client can
// starve another.
#include "server/SessionInput.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Packet(uint32_t code, const Bytes& body, uint32_t announced = 0xFFFFFFFFu)
{
    const CCmdPacketHdr h{code, announced == 0xFFFFFFFFu ? static_cast<uint32_t>(body.size()) : announced};
    Bytes out(reinterpret_cast<const unsigned char*>(&h), reinterpret_cast<const unsigned char*>(&h) + sizeof h);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes Pattern(size_t n, unsigned char seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<unsigned char>(seed + i * 7);
    return b;
}

// What the session saw: a command with its body, or a refusal.
struct Seen {
    uint32_t code;
    Bytes body;
    std::string refusal;
};

// The session's read cycle (CDebugSession) over a client whose bytes arrive
// in reads of at most `step` bytes; stops when the client has sent all it
// will (a stalled body stays held).
class Session {
public:
    Session(CBufferBudget& budget, size_t step) : m_account(budget), m_in(m_account), m_step(step) {}

    void Send(const Bytes& bytes) { m_wire.insert(m_wire.end(), bytes.begin(), bytes.end()); }

    // Runs until the bytes sent so far are used up.
    void Run()
    {
        for (;;) {
            if (!m_inBody) {
                if (m_in.Discarding()) {
                    if (m_in.DiscardBuffered())
                        continue;
                    const CSessionInput::Room room = m_in.DiscardRoom();
                    if (!Fill(room))
                        return;
                    m_in.Discarded(room.size);
                    continue;
                }
                if (m_in.Buffered() < sizeof(CCmdPacketHdr)) {
                    const CSessionInput::Room room = m_in.InputRoom();
                    const size_t n = std::min({room.size, m_step, m_wire.size()});
                    if (n == 0)
                        return;
                    Pull(room.data, n);
                    m_in.Filled(n);
                    continue;
                }
                std::string refusal;
                if (!m_in.TakeHeader(m_header, refusal)) {
                    seen.push_back({m_header.code, {}, refusal});
                    continue;
                }
                if (m_in.TakeWholeBody(m_header.length)) {
                    Execute();
                    continue;
                }
                m_inBody = true;
            }
            const CSessionInput::Piece piece = m_in.NextBodyPiece(m_header.length);
            if (piece.step == CSessionInput::Step::Complete) {
                Execute();
            } else if (piece.step == CSessionInput::Step::Refused) {
                m_inBody = false;
                seen.push_back({m_header.code, {}, m_in.RefuseBody(m_header)});
            } else if (!Fill(piece.room)) {
                return;
            }
        }
    }

    size_t Held() const { return m_account.Held(); }
    std::vector<Seen> seen;

private:
    // An async_read of the whole room. When the client has not sent all of
    // it, what came is taken and the read waits (the tests never resume it).
    bool Fill(const CSessionInput::Room& room)
    {
        const size_t n = std::min(room.size, m_wire.size());
        Pull(room.data, n);
        return n == room.size;
    }
    void Pull(unsigned char* to, size_t n)
    {
        std::copy_n(m_wire.begin(), n, to);
        m_wire.erase(m_wire.begin(), m_wire.begin() + static_cast<std::ptrdiff_t>(n));
    }
    void Execute()
    {
        m_inBody = false;
        seen.push_back({m_header.code, Bytes(m_in.Body(), m_in.Body() + m_header.length), {}});
        m_in.ReleaseBody();
    }

    CBudgetAccount m_account;
    CSessionInput m_in;
    size_t m_step;
    std::deque<unsigned char> m_wire;
    CCmdPacketHdr m_header{};
    bool m_inBody = false;
};

}  // namespace

// Commands sent back to back come out whole and in order whatever the size
// of the reads that bring them: small ones where they lie, long ones in
// pieces; a body refused for its size or for the budget is dropped to its
// last byte and the next command is read where it starts. Nothing stays
// taken from the budget afterwards.
TEST(SessionInput, CommandsComeOutWholeInOrderWhateverTheReads)
{
    const Bytes small = Pattern(3, 1), medium = Pattern(5000, 2), large = Pattern((3u << 20) + 17, 3);
    const Bytes oversized = Packet(11, Pattern(10, 4), MAX_COMMAND_BODY + 1);
    for (size_t step : {size_t(7), size_t(4096), size_t(100000), size_t(64) << 20}) {
        // A budget of 2 MiB: the 3 MiB body does not fit and is refused.
        CBufferBudget budget(2u << 20);
        Session session(budget, step);
        Bytes wire;
        for (const Bytes& p : {Packet(1, small), Packet(2, {}), Packet(3, medium), Packet(4, large),
                               Packet(5, medium)})
            wire.insert(wire.end(), p.begin(), p.end());
        session.Send(wire);
        session.Run();
        ASSERT_EQ(session.seen.size(), 5u) << step;
        EXPECT_EQ(session.seen[0].body, small);
        EXPECT_TRUE(session.seen[1].body.empty());
        EXPECT_EQ(session.seen[2].body, medium);
        EXPECT_EQ(session.seen[3].refusal.rfind("command 4: body of " + std::to_string(large.size()) +
                                                    " bytes does not fit in the server's buffer budget of 2097152 bytes",
                                                0),
                  0u)
            << session.seen[3].refusal;
        EXPECT_EQ(session.seen[4].code, 5u);
        EXPECT_EQ(session.seen[4].body, medium) << step;
        EXPECT_EQ(budget.Used(), 0u);

        // A header beyond the limit: refused at once, its body dropped as it
        // comes (here it never all comes).
        session.Send(oversized);
        session.Run();
        ASSERT_EQ(session.seen.size(), 6u);
        EXPECT_EQ(session.seen[5].refusal, "command 11: body of " + std::to_string(MAX_COMMAND_BODY + 1) +
                                               " bytes exceeds the limit of " + std::to_string(MAX_COMMAND_BODY) +
                                               " bytes");
        EXPECT_EQ(budget.Used(), 0u);
    }
}

// A client that announces the largest body and sends a little of it holds
// budget for what it sent, at most a piece (1 MiB) ahead; four of them
// cannot keep another session from its replies.
TEST(SessionInput, AnnouncedBodyCostsOnlyWhatArrives)
{
    CBufferBudget budget;
    std::vector<std::unique_ptr<Session>> idle;
    for (size_t sent : {size_t(0), size_t(10), size_t(64) << 10, size_t(3) << 20}) {
        idle.push_back(std::make_unique<Session>(budget, 65536));
        Bytes start = Packet(10, Pattern(sent, 5), MAX_COMMAND_BODY);
        idle.back()->Send(start);
        idle.back()->Run();
        EXPECT_TRUE(idle.back()->seen.empty());
        EXPECT_LE(idle.back()->Held(), sent + (1u << 20)) << sent;
        EXPECT_GE(idle.back()->Held(), sent) << sent;
    }
    EXPECT_LT(budget.Used(), 8u << 20);
    idle.clear();
    EXPECT_EQ(budget.Used(), 0u);
}

// How the budget is shared: small requests fit while there is room; one
// session may hold at most half of it; with N sessions holding large
// buffers, each may hold a (N+1)-th and one more such share stays free, so
// a newcomer still gets room even when the others never give theirs back.
TEST(SessionInput, BudgetIsSharedSoNoClientStarvesAnother)
{
    const size_t mib = 1u << 20;
    CBufferBudget budget(120 * mib);
    CBudgetAccount a(budget), b(budget), c(budget), d(budget), victim(budget);

    EXPECT_FALSE(a.Take(61 * mib));  // more than half, alone
    EXPECT_TRUE(a.Take(60 * mib));
    EXPECT_EQ(budget.LargeHolders(), 1u);
    // With two large holders a third each, and a third must stay free.
    EXPECT_FALSE(b.Take(21 * mib));
    EXPECT_TRUE(b.Take(20 * mib));
    // With three a quarter each, and a quarter free: 10 of the 40 left.
    EXPECT_FALSE(c.Take(11 * mib));
    EXPECT_EQ(c.Refusal("command 10: body", 11 * mib),
              "command 10: body of 11534336 bytes does not fit in the server's buffer budget of 125829120 bytes "
              "(83886080 in use; a session may hold 31457280 of them while 3 sessions hold more than 1048576 bytes)");
    EXPECT_TRUE(c.Take(10 * mib));
    // The holders hog what they have; small requests still fit, and small
    // holders shrink nobody's share; a fourth large one gets what is left
    // beyond a fifth.
    EXPECT_TRUE(victim.Take(4));
    EXPECT_TRUE(d.Take(mib));
    EXPECT_EQ(budget.LargeHolders(), 3u);
    EXPECT_FALSE(d.Take(6 * mib));
    EXPECT_TRUE(d.Take(5 * mib - 4));
    victim.Give(4);
    a.Give(60 * mib);
    EXPECT_EQ(budget.LargeHolders(), 3u);

    // When the budget itself is full, even small requests wait their turn.
    CBufferBudget tiny(mib);
    CBudgetAccount x(tiny), y(tiny);
    EXPECT_TRUE(x.Take(mib));
    EXPECT_FALSE(y.Take(1));
    EXPECT_EQ(y.Refusal("CMD_SHIFT_DR: reply", 1),
              "CMD_SHIFT_DR: reply of 1 bytes does not fit in the server's buffer budget of 1048576 bytes "
              "(1048576 in use)");
    x.Give(mib);
    EXPECT_TRUE(y.Take(1));
}
