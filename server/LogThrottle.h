// CLogThrottle: at most one log line of a kind per interval, with the count
// of those held back, so that a flood of the same event (connections refused
// one after the other) costs a line a second, not a line an event.
#pragma once

#include <chrono>

class CLogThrottle {
public:
    using Clock = std::chrono::steady_clock;

    explicit CLogThrottle(std::chrono::milliseconds interval) : m_interval(interval) {}

    // Whether an event at `now` is logged; when it is, `held` is how many
    // were held back since the last one logged.
    bool Allow(Clock::time_point now, unsigned& held)
    {
        if (m_logged && now - m_last < m_interval) {
            ++m_held;
            return false;
        }
        m_logged = true;
        m_last = now;
        held = m_held;
        m_held = 0;
        return true;
    }
    bool Allow(unsigned& held) { return Allow(Clock::now(), held); }

    // The count held back since the last line, which the caller now reports;
    // 0 when there is none.
    unsigned TakeHeld()
    {
        const unsigned held = m_held;
        m_held = 0;
        return held;
    }

private:
    std::chrono::milliseconds m_interval;
    bool m_logged = false;  // m_last holds a real time only once a line was logged
    Clock::time_point m_last;
    unsigned m_held = 0;
};
