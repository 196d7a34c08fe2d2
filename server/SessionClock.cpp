#include "server/SessionClock.h"

#include <algorithm>

#include "server/SessionLog.h"

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
    const auto waited = now - m_since;
    if (m_phase == Phase::Reading && waited >= idle) {
        log.IdleExpired();
    } else if (m_phase == Phase::Writing && waited >= reply) {
        log.ReplyExpired(reply);
    } else {
        return Verdict::Again;
    }
    m_phase = Phase::None;
    return Verdict::Expired;
}
