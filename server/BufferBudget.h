// CBufferBudget: how many bytes of command bodies and reply blocks all
// sessions together may hold at once. A session takes bytes before it
// allocates a large buffer and gives them back when the buffer goes; a
// request that does not fit is refused with an error reply instead of
// driving the process out of memory.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

class CBufferBudget {
public:
    static constexpr size_t kDefaultLimit = size_t(256) << 20;

    explicit CBufferBudget(size_t limit = kDefaultLimit) : m_limit(limit) {}
    CBufferBudget(const CBufferBudget&) = delete;
    CBufferBudget& operator=(const CBufferBudget&) = delete;

    // Takes n bytes when they fit; false (nothing taken) when they do not.
    bool Take(size_t n)
    {
        size_t used = m_used.load();
        do {
            if (n > m_limit.load() || used > m_limit.load() - n)
                return false;
        } while (!m_used.compare_exchange_weak(used, used + n));
        return true;
    }
    void Give(size_t n) { m_used -= n; }

    size_t Limit() const { return m_limit; }
    void SetLimit(size_t limit) { m_limit = limit; }
    size_t Used() const { return m_used; }

    // The text of the error reply for a request of n bytes that did not fit.
    std::string Refusal(const std::string& what, size_t n) const
    {
        return what + " of " + std::to_string(n) + " bytes does not fit in the server's buffer budget of " +
               std::to_string(Limit()) + " bytes (" + std::to_string(Used()) + " in use)";
    }

private:
    std::atomic<size_t> m_limit;
    std::atomic<size_t> m_used{0};
};
