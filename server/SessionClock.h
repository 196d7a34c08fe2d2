// CSessionClock: what a session's check timer watches, and when a limit has
// passed.
//
// Time limits are checked coarsely: a read notes when it started (no system
// call beyond reading the clock), and a timer that fires every eighth of the
// shorter limit asks Check() whether a read has waited longer than the idle
// limit for the client, or a reply has stopped moving. Commands themselves
// set no timer. No I/O here: CDebugSession runs the timer, tells the clock
// how much of a reply the client has taken, and closes the stream.
//
// A reply that has to wait for the client is judged by progress, not by the
// time one piece takes: the client must take kProgress bytes of it (64 KiB)
// within the reply limit, again and again, until the system holds none of it
// for the client any more. A slow but steady reader (an SSH tunnel at a few
// KiB/s) keeps its session however long the reply; one that stops reading
// loses it. Only then does the idle limit start, and one reply limit later:
// a client still busy reading a long reply (over TCP the last of it may sit
// in the client's own buffers, where we cannot see it) cannot send anything
// meanwhile.
#pragma once

#include <chrono>
#include <cstdint>

class CSessionLog;

class CSessionClock {
public:
    using Clock = std::chrono::steady_clock;

    // Bytes of a reply the client must take within each reply limit.
    static constexpr uint64_t kProgress = 65536;

    // A read waiting for the client, a reply waiting for the client to take
    // it, or nothing (a command running); Ended once the session left the
    // server.
    enum class Phase { None, Reading, Writing, Ended };

    // What the check timer does next: nothing (the session ended), wait
    // again, or close the stream because a limit has passed.
    enum class Verdict { Stop, Again, Expired };

    // Notes that `phase` starts at `now`. Writing starts watching a reply's
    // progress (from nothing taken); Reading starts the idle wait, which
    // counts once the reply before it has gone to the client.
    void Watch(Phase phase, Clock::time_point now);
    void Watch(Phase phase) { Watch(phase, Clock::now()); }
    // Notes a phase that no limit applies to (None: a command runs, so the
    // client has spoken; or Ended).
    void Set(Phase phase)
    {
        m_phase = phase;
        m_drained = false;
    }
    Phase Current() const { return m_phase; }

    // Whether a reply is being watched: its bytes are not all with the
    // client yet.
    bool ReplyOpen() const { return m_replyOpen; }
    // At `now` the client has taken `taken` bytes of the watched reply and
    // `queued` bytes sent to it are still in the system's buffers. Once
    // nothing is queued and nothing is left to write, the reply is the
    // client's and the idle wait starts.
    void Taken(uint64_t taken, uint64_t queued, Clock::time_point now);

    // The check timer's period: an eighth of the shorter limit, at least a
    // millisecond, so a read or reply ends at most that much after its
    // limit.
    static Clock::duration Period(std::chrono::milliseconds idle, std::chrono::milliseconds reply);

    // At `now`: Stop once the session ended; Expired when the watched read
    // has waited past the idle limit or the reply has not moved kProgress
    // bytes within the reply limit, which it logs, and then watches
    // nothing; else Again.
    Verdict Check(Clock::time_point now, std::chrono::milliseconds idle, std::chrono::milliseconds reply,
                  CSessionLog& log);
    Verdict Check(std::chrono::milliseconds idle, std::chrono::milliseconds reply, CSessionLog& log)
    {
        return Check(Clock::now(), idle, reply, log);
    }

private:
    Phase m_phase = Phase::None;
    Clock::time_point m_since;  // the read's start (or the reply's end)
    bool m_replyOpen = false;
    bool m_drained = false;          // a reply that waited has gone to the client ...
    Clock::time_point m_drainedAt;   // ... then
    Clock::time_point m_progressAt;  // when the reply last moved kProgress bytes
    uint64_t m_mark = 0;             // bytes taken then
    uint64_t m_taken = 0;
};
