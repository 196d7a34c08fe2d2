#include "server/SessionLog.h"

#include <exception>

#include "base/Printable.h"
#include "log/Logger.h"

void CSessionLog::Trace(const char* signature)
{
    m_log.LogVerb("Session:%d: %s\n", m_id, signature);
}

void CSessionLog::Exception()
{
    std::string what = "unknown exception";
    try {
        throw;
    } catch (const std::exception& e) {
        what = e.what();
    } catch (...) {
    }
    m_log.LogError("Session:%d: Exception occured: %s\n", m_id, Printable(what).c_str());
}

bool CRepeatedErrors::Admit(const std::string& text, Clock::time_point now, unsigned& repeats)
{
    repeats = 0;
    if (text == m_last) {
        if (m_repeats++ == 0)
            m_since = now;
        else if (now - m_since >= kRecount) {
            repeats = m_repeats;
            m_repeats = 0;
        }
        return false;
    }
    repeats = TakeRepeats();
    m_last = text;
    return true;
}

unsigned CRepeatedErrors::TakeRepeats()
{
    const unsigned repeats = m_repeats;
    m_repeats = 0;
    return repeats;
}

void CSessionLog::ReplyLength(uint32_t length)
{
    if (m_quietReply) {
        m_quietReply = false;
        return;
    }
    m_log.Log("Session:%d: Reply body length: %d\n", m_id, static_cast<int>(length));
}

void CSessionLog::BodyLength(uint32_t length)
{
    m_log.LogVerb("Session:%d: Command body length: %d\n", m_id, static_cast<int>(length));
}

void CSessionLog::WriteError(const std::error_code& error)
{
    m_log.LogError("Session:%d: Error %d: %s.\n", m_id, error.value(), error.message().c_str());
}

void CSessionLog::ReadError(const std::error_code& error)
{
    m_log.LogError("Session:%d: Error: %s\n", m_id, error.message().c_str());
}

void CSessionLog::IdleExpired()
{
    m_log.LogError("Session:%d: Timeout expired.\n", m_id);
}

void CSessionLog::ReplyExpired(std::chrono::milliseconds limit, uint64_t taken)
{
    if (taken == 0)
        m_log.LogError("Session:%d: Timeout expired: the client took no reply bytes for %d ms.\n", m_id,
                       static_cast<int>(limit.count()));
    else
        m_log.LogError("Session:%d: Timeout expired: the client took only %llu reply bytes in %d ms.\n", m_id,
                       static_cast<unsigned long long>(taken), static_cast<int>(limit.count()));
}

void CSessionLog::Ended()
{
    m_log.Log("Session:%d: Session ended.\n", m_id);
}
