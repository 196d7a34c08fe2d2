// CBufferBudget: how many bytes of command bodies and reply blocks all
// sessions together may hold at once, and how they share them. Each session
// draws through its own CBudgetAccount: it takes bytes before it fills a
// buffer (a body piece as the client's bytes for it are due, a reply block
// as it is made) and gives them back when the buffer goes. A request that
// does not fit is refused with an error reply instead of driving the process
// out of memory.
//
// Sharing: a session holding at most kSmall bytes (scans, small reads, the
// first pieces of a body) only needs room in the budget. Beyond that it is a
// large holder, and may hold at most an equal share: the limit divided by
// the number of large holders plus one, and only while one more such share
// stays free. So a few clients that send large bodies (or never finish them)
// can neither take the whole budget nor starve a newcomer: small requests
// always find room, and a newcomer finds at least a share. A refusal costs
// the command, never the session or its adapter.
#pragma once

#include <cstddef>
#include <mutex>
#include <stdexcept>
#include <string>

// A command refused before it reached the adapter (for the budget, or for
// what it asks): answered with an error reply; unlike an adapter's failure it
// leaves the session's adapter open.
class CRequestRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class CBufferBudget {
public:
    static constexpr size_t kDefaultLimit = size_t(256) << 20;
    // What a session may hold without counting as a large holder.
    static constexpr size_t kSmall = size_t(1) << 20;

    explicit CBufferBudget(size_t limit = kDefaultLimit) : m_limit(limit) {}
    CBufferBudget(const CBufferBudget&) = delete;
    CBufferBudget& operator=(const CBufferBudget&) = delete;

    size_t Limit() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_limit;
    }
    void SetLimit(size_t limit)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_limit = limit;
    }
    size_t Used() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_used;
    }
    // Sessions holding more than kSmall bytes.
    size_t LargeHolders() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_large;
    }

private:
    friend class CBudgetAccount;

    // What a refused take saw, for the text of its error reply.
    struct Refusal {
        size_t limit = 0, used = 0;
        size_t share = 0;  // 0: the budget was full; else the share exceeded
        size_t large = 0;  // large holders, counting the session refused
    };

    // Takes n bytes for a session that holds `held`; false (nothing taken)
    // when they do not fit, with what was seen in `refusal`.
    bool Take(size_t& held, size_t n, Refusal& refusal)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        refusal = Refusal{m_limit, m_used, 0, 0};
        if (n > m_limit || m_used > m_limit - n)
            return false;
        const size_t after = held + n;
        if (after > kSmall) {
            const size_t large = m_large + (held > kSmall ? 0 : 1);
            const size_t share = m_limit / (large + 1);
            if (after > share || m_used + n > m_limit - share) {
                refusal.share = share;
                refusal.large = large;
                return false;
            }
            if (held <= kSmall)
                ++m_large;
        }
        held = after;
        m_used += n;
        return true;
    }

    void Give(size_t& held, size_t n)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (held > kSmall && held - n <= kSmall)
            --m_large;
        held -= n;
        m_used -= n;
    }

    mutable std::mutex m_mutex;
    size_t m_limit;
    size_t m_used = 0;
    size_t m_large = 0;
};

// One session's part of the budget.
class CBudgetAccount {
public:
    explicit CBudgetAccount(CBufferBudget& budget) : m_budget(budget) {}
    // Whatever is still held goes back.
    ~CBudgetAccount() { Give(m_held); }
    CBudgetAccount(const CBudgetAccount&) = delete;
    CBudgetAccount& operator=(const CBudgetAccount&) = delete;

    // Takes n bytes when they fit (see CBufferBudget); false when not.
    bool Take(size_t n) { return m_budget.Take(m_held, n, m_refusal); }
    void Give(size_t n)
    {
        if (n != 0)
            m_budget.Give(m_held, n);
    }
    size_t Held() const { return m_held; }

    // The text of the error reply for a request of n bytes (`what`, e.g.
    // "CMD_READ_BLK: reply") that the last Take refused.
    std::string Refusal(const std::string& what, size_t n) const
    {
        std::string text = what + " of " + std::to_string(n) + " bytes does not fit in the server's buffer budget of " +
                           std::to_string(m_refusal.limit) + " bytes (" + std::to_string(m_refusal.used) + " in use";
        if (m_refusal.share != 0)
            text += "; a session may hold " + std::to_string(m_refusal.share) + " of them while " +
                    std::to_string(m_refusal.large) + (m_refusal.large == 1 ? " session holds" : " sessions hold") +
                    " more than " + std::to_string(CBufferBudget::kSmall) + " bytes";
        return text + ")";
    }

private:
    CBufferBudget& m_budget;
    size_t m_held = 0;
    CBufferBudget::Refusal m_refusal;
};
