// CSessionClock: what a session's check timer watches, and when a limit has
// passed.
//
// Time limits are checked coarsely: each read or reply piece notes when it
// started (no system call beyond reading the clock), and a timer that fires
// every eighth of the shorter limit asks Check() whether a read has waited
// longer than the idle limit for the client, or a reply piece longer than
// the reply limit. Commands themselves set no timer. No I/O here:
// CDebugSession runs the timer and closes the stream.
#pragma once

#include <chrono>

class CSessionLog;

class CSessionClock {
public:
    using Clock = std::chrono::steady_clock;

    // A read waiting for the client, a reply piece waiting to be taken, or
    // nothing (a command running); Ended once the session left the server.
    enum class Phase { None, Reading, Writing, Ended };

    // What the check timer does next: nothing (the session ended), wait
    // again, or close the stream because a limit has passed.
    enum class Verdict { Stop, Again, Expired };

    // Notes that `phase` starts at `now`.
    void Watch(Phase phase, Clock::time_point now)
    {
        m_phase = phase;
        m_since = now;
    }
    void Watch(Phase phase) { Watch(phase, Clock::now()); }
    // Notes a phase that no limit applies to (None or Ended).
    void Set(Phase phase) { m_phase = phase; }
    Phase Current() const { return m_phase; }

    // The check timer's period: an eighth of the shorter limit, at least a
    // millisecond, so a read or reply piece ends at most that much after its
    // limit.
    static Clock::duration Period(std::chrono::milliseconds idle, std::chrono::milliseconds reply);

    // At `now`: Stop once the session ended; Expired when the watched read
    // or reply piece has passed its limit, which it logs, and then watches
    // nothing; else Again.
    Verdict Check(Clock::time_point now, std::chrono::milliseconds idle, std::chrono::milliseconds reply,
                  CSessionLog& log);
    Verdict Check(std::chrono::milliseconds idle, std::chrono::milliseconds reply, CSessionLog& log)
    {
        return Check(Clock::now(), idle, reply, log);
    }

private:
    Phase m_phase = Phase::None;
    Clock::time_point m_since;
};
