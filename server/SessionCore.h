// CSessionCore: the part of a client session that does no I/O. CDebugSession
// (server/DebugSession.h) derives from it and adds the socket, the timer and
// the order of the cycle; what it read, what it writes, how long it waits,
// what it logs and what a command does are here, in the units named below.
#pragma once

#include <memory>
#include <string>

#include "server/BufferBudget.h"
#include "server/SessionClock.h"
#include "server/SessionCommands.h"
#include "server/SessionInput.h"
#include "server/SessionLog.h"
#include "server/SessionReply.h"
#include "wire/Packets.h"

class CSessionCore {
protected:
    CSessionCore(CJTAGHolder& holder, CLogger& log, unsigned int id, CBufferBudget& budget);
    CSessionCore(const CSessionCore&) = delete;
    CSessionCore& operator=(const CSessionCore&) = delete;
    ~CSessionCore() = default;

    // The session is ending: gives back the buffers it holds and closes the
    // adapter it holds.
    void Finish();
    // Runs the command whose header and body were read, then gives the body
    // back; the reply keeps its share of the budget until it is written.
    CSessionCommands::Result Run();
    // A command refused before it ran (its body too large for the limit or
    // the budget): the error is logged and answered at once.
    std::shared_ptr<CReplyPacketHdr> Refusal(const std::string& message);

    unsigned int m_id;
    // First made, last gone: the parts below draw on it.
    CBudgetAccount m_budget;
    CCmdPacketHdr m_header{};
    CSessionCommands m_commands;
    CSessionLog m_log;
    CSessionInput m_in;   // what was read and not yet used
    CSessionReply m_out;  // the reply being written
    CSessionClock m_clock;
};
