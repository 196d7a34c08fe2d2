// CSessionCommands: what one session's commands do, apart from the socket
// cycle that carries them.
//
// CDebugSession reads a command packet and hands its code and body bytes
// here; Execute runs it against the adapter this session holds and returns
// the reply block to write. Nothing here touches a socket or a timer, so the
// commands are tested on byte vectors with a fake adapter.
//
// State: the adapter the session holds and whether this session has it open
// (a held adapter is closed after a failed command and may since have been
// opened by another session), and the result buffer that batches reuse.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/SessionLog.h"
#include "wire/Packets.h"

class CBudgetAccount;
class CJTAG;
class CJTAGHolder;
class CLogger;

class CSessionCommands {
public:
    static constexpr size_t kResultCapacity = 9216;
    // Buffers larger than this are given back when their command is done, so
    // an idle session holds kilobytes, not the size of its largest command.
    static constexpr size_t kKeptBuffer = 1u << 20;

    // What the session does after a command.
    struct Result {
        std::shared_ptr<CReplyPacketHdr> reply;  // empty: write nothing, read the next header
        bool disconnect = false;                 // CMD_DISCONNECT: end the session, no reply
        size_t budget = 0;  // bytes of the budget the reply holds; the session gives them back
        bool quiet = false;  // an error whose line was held back as a repeat of the last
    };

    // Large replies are counted against `budget` when there is one; a reply
    // that does not fit fails its command with an error that says so, and
    // leaves the adapter open.
    CSessionCommands(CJTAGHolder& holder, CLogger& log, unsigned int session,
                     CBudgetAccount* budget = nullptr);
    CSessionCommands(const CSessionCommands&) = delete;
    CSessionCommands& operator=(const CSessionCommands&) = delete;

    // Runs one command. A failing command is answered with an error reply
    // carrying its message, after the held adapter has been closed.
    Result Execute(uint32_t code, const unsigned char* body, uint32_t length);

    // The body of CMD_ASYNC_OPERATIONS: queues every scan on the held adapter,
    // waits once and answers the collected results. Failures leave by
    // exception, with the scans queued so far discarded.
    std::shared_ptr<CReplyAsyncOperations> ProcessAsyncOperations(const unsigned char* body,
                                                                  uint32_t length);

    // The session is ending: closes the held adapter (a failure is logged)
    // and lets it go.
    void End();

    static std::shared_ptr<CReplyPacketHdr> ErrorReply(const std::string& message);

    // How the adapter this session opens learns, during a long operation,
    // whether the client still waits (see CJTAG::SetStillWanted).
    void SetStillWanted(std::function<bool()> check) { m_stillWanted = std::move(check); }

    // Logs an error of this session ("Exception occured: ..."), unless it
    // repeats the last one (see CRepeatedErrors); false when held back.
    bool LogError(const std::string& text);

private:
    class Body;

    std::shared_ptr<CReplyPacketHdr> Dispatch(uint32_t code, const Body& body);
    CJTAG& Adapter();
    // Takes n bytes of the budget for the reply being built.
    void TakeBudget(const char* command, size_t n);
    uint32_t AdapterWord(const Body& body, const char* command, const char* format);
    std::shared_ptr<CReplyPacketHdr> Renumerate();
    void OpenAdapter(const Body& body);
    void UpdateName(const Body& body);
    std::shared_ptr<CReplyPacketHdr> ShiftIR(const Body& body);
    std::shared_ptr<CReplyPacketHdr> ShiftDR(const Body& body);
    std::shared_ptr<CReplyPacketHdr> ReadBlk(const Body& body);
    std::shared_ptr<CReplyPacketHdr> RawSequence(const Body& body);
    void WriteBlk(const Body& body);

    // Closes the held adapter when this session has it open; a failure goes
    // to onError with its message.
    template <typename OnError>
    void CloseHeld(OnError onError);
    // CloseHeld, then lets the adapter go.
    template <typename OnError>
    void ReleaseAdapter(OnError onError);

    CJTAGHolder& m_holder;
    CLogger& m_log;
    unsigned int m_id;
    CBudgetAccount* m_budget;
    size_t m_taken = 0;  // budget taken by the command running
    std::shared_ptr<CJTAG> m_adapter;
    bool m_adapterOpen = false;
    std::vector<unsigned char> m_results;
    CRepeatedErrors m_errors;
    std::function<bool()> m_stillWanted;
};
