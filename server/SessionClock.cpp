#include "server/SessionClock.h"

#include <algorithm>

#include "server/SessionLog.h"

void CSessionClock::Watch(Phase phase, Clock::time_point now)
{
    m_phase = phase;
    if (phase == Phase::Writing) {
        m_drained = false;
        m_replyOpen = true;
        m_progressAt = now;
        m_mark = m_taken = 0;
    } else {
        m_since = now;
    }
}

void CSessionClock::Taken(uint64_t taken, uint64_t queued, Clock::time_point now)
{
    if (!m_replyOpen)
        return;
    m_taken = std::max(m_taken, taken);
    if (m_taken >= m_mark + kProgress) {
        m_mark = m_taken;
        m_progressAt = now;
    }
    if (queued == 0 && m_phase != Phase::Writing) {
        // The client has it all, or its own buffers have the rest.
        m_replyOpen = false;
        m_drained = true;
        m_drainedAt = now;
    }
}

CSessionClock::Clock::duration CSessionClock::Period(std::chrono::milliseconds idle,
                                                     std::chrono::milliseconds reply)
{
    const auto limit = std::min(idle, reply);
    return std::max<Clock::duration>(limit / 8, std::chrono::milliseconds(1));
}

CSessionClock::Verdict CSessionClock::Check(Clock::time_point now, std::chrono::milliseconds idle,
                                            std::chrono::milliseconds reply, CSessionLog& log)
{
    if (m_phase == Phase::Ended)
        return Verdict::Stop;
    // While a command runs (None) nothing is judged: the client waits for
    // us then.
    if (m_replyOpen && m_phase != Phase::None) {
        if (now - m_progressAt < reply)
            return Verdict::Again;
        log.ReplyExpired(reply, m_taken - m_mark);
    } else if (m_phase == Phase::Reading &&
               now - (m_drained ? std::max(m_since, m_drainedAt + reply) : m_since) >= idle) {
        log.IdleExpired();
    } else {
        return Verdict::Again;
    }
    m_phase = Phase::None;
    m_replyOpen = false;
    return Verdict::Expired;
}
