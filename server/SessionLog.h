// CSessionLog: the lines a session writes to the server's log, each with
// the session's number in front.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <system_error>

class CLogger;

class CSessionLog {
public:
    CSessionLog(CLogger& log, unsigned int id) : m_log(log), m_id(id) {}

    // Verbose: the handler the cycle is in.
    void Trace(const char* signature);
    // The exception being handled (called from a catch block); its text is
    // escaped.
    void Exception();
    // A command refused before it ran, with the text the client hears.
    void Refused(const std::string& message);
    void ReplyLength(uint32_t length);
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
};
