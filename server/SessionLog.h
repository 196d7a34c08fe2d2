// CSessionLog: the lines a session writes to the server's log, each with
// the session's number in front.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <system_error>

class CLogger;

// A session's error lines, with one that repeats the last logged only
// counted: a client that sends the same bad command a million times costs a
// line and a count, not a million lines. The count is logged before the next
// different error, when the session ends, and every kRecount while the
// repeats go on.
class CRepeatedErrors {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kRecount{10};

    // Whether `text` is logged; false when it repeats the last one and is
    // counted. `repeats` receives the count to report first (0 for none).
    bool Admit(const std::string& text, Clock::time_point now, unsigned& repeats);
    // The repeats not reported yet.
    unsigned TakeRepeats();

private:
    std::string m_last;
    unsigned m_repeats = 0;
    Clock::time_point m_since;  // when the repeats now counted began; set with the first
};

class CSessionLog {
public:
    CSessionLog(CLogger& log, unsigned int id) : m_log(log), m_id(id) {}

    // Verbose: the handler the cycle is in.
    void Trace(const char* signature);
    // The exception being handled (called from a catch block); its text is
    // escaped.
    void Exception();
    void ReplyLength(uint32_t length);
    // The next reply answers an error whose line was held back as a repeat:
    // its length line is held back too.
    void QuietReply() { m_quietReply = true; }
    void BodyLength(uint32_t length);
    void WriteError(const std::error_code& error);
    void ReadError(const std::error_code& error);
    void IdleExpired();
    // The client took `taken` bytes (fewer than the 64 KiB asked) of a reply
    // within `limit`.
    void ReplyExpired(std::chrono::milliseconds limit, uint64_t taken);
    void Ended();

private:
    CLogger& m_log;
    unsigned int m_id;
    bool m_quietReply = false;
};
