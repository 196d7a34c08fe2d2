#include "server/SessionCore.h"

CSessionCore::CSessionCore(CJTAGHolder& holder, CLogger& log, unsigned int id, CBufferBudget& budget)
    : m_id(id),
      m_budget(budget),
      m_commands(holder, log, id, &m_budget),
      m_log(log, id),
      m_in(m_budget),
      m_out(m_budget)
{
}

void CSessionCore::Finish()
{
    m_in.ReleaseBody();
    m_out.Release();
    m_commands.End();
}

CSessionCommands::Result CSessionCore::Run()
{
    m_log.BodyLength(m_header.length);
    m_clock.Set(CSessionClock::Phase::None);
    CSessionCommands::Result result = m_commands.Execute(m_header.code, m_in.Body(), m_header.length);
    m_in.ReleaseBody();
    m_out.Hold(result.budget);
    if (result.quiet)
        m_log.QuietReply();
    return result;
}

std::shared_ptr<CReplyPacketHdr> CSessionCore::Refusal(const std::string& message)
{
    if (!m_commands.LogError(message))
        m_log.QuietReply();
    return CSessionCommands::ErrorReply(message);
}
