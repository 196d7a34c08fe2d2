// CDebugSession: one client connection.
//
// The cycle is: write a reply (the greeting first), read an 8-byte command
// header, read its body, execute it, reply, and again. At most one read or
// write is outstanding, and every handler runs on the session's strand, so the
// idle timer that watches the reads (the server's IdleTimeout(), 10 seconds)
// never races a completing read. A session ends on a read or write error, on
// CMD_DISCONNECT, or when the timer closes the stream. A reply that the client
// does not take (no 64 KiB piece written within the server's ReplyTimeout())
// ends the session the same way, so a client that stops reading cannot hold
// its adapter forever. Its destructor closes the adapter it holds. An
// exception that leaves one of its handlers (an allocation that failed) ends
// the session the same way, with a log line: it never leaves the session
// hanging nor reaches the worker thread.
//
// A command body costs memory only as its bytes arrive (announcing one costs
// 64 KiB), and bodies and large replies are counted against the server's
// CBufferBudget.
//
// What a command does is not here: ExecuteCommand hands the body bytes to
// the session's CSessionCommands (server/SessionCommands.h) and writes the
// reply block it returns.
#pragma once

#include <asio.hpp>
#include <asio/deadline_timer.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "base/Printable.h"
#include "log/Logger.h"
#include "server/BufferBudget.h"
#include "server/LocalTransport.h"
#include "server/SessionCommands.h"
#include "wire/Packets.h"

template <typename Protocol>
class CJTAGServerImpl;

template <typename Protocol>
class CDebugSession : public std::enable_shared_from_this<CDebugSession<Protocol>> {
public:
    using Stream = typename Protocol::socket;

    static constexpr size_t kReplyChunk = 65536;
    // A body is read in pieces: the first of 64 KiB, then of 1 MiB.
    static constexpr size_t kFirstBodyChunk = 64u << 10;
    static constexpr size_t kBodyChunk = 1u << 20;

    CDebugSession(std::shared_ptr<asio::io_context> service, CJTAGServerImpl<Protocol>& server,
                  unsigned int id)
        : m_server(server),
          m_service(service),
          m_strand(asio::make_strand(*service)),
          m_socket(*service),
          m_timer(*service),
          m_id(id),
          m_commands(server.Holder(), server.Logger(), id, &server.Budget())
    {
    }

    ~CDebugSession()
    {
        CLogger& log = m_server.Logger();
        m_server.Budget().Give(m_bodyBudget + m_replyBudget);
        m_commands.End();
        std::error_code ignored;
        m_socket.close(ignored);
        log.Log("Session:%d: Session ended.\n", m_id);
        m_timer.cancel(ignored);
    }

    Stream& Socket() { return m_socket; }
    unsigned int getIdSession() const { return m_id; }

    // Sends a reply and continues the cycle. The server calls it once with the
    // greeting; it may do so from any thread, so the work moves to the strand.
    void Reply(std::shared_ptr<CReplyPacketHdr> reply)
    {
        if (!m_strand.running_in_this_thread()) {
            asio::dispatch(m_strand, Guarded([this, reply]() { Reply(reply); }));
            return;
        }
        Trace(__PRETTY_FUNCTION__);
        if (!reply) {
            ReadCmdHdr();
            return;
        }
        m_server.Logger().Log("Session:%d: Reply body length: %d\n", m_id,
                              static_cast<int>(reply->length));
        m_reply = std::move(reply);
        HandleReply(asio::error_code(), 0);
    }

private:
    void Trace(const char* signature)
    {
        m_server.Logger().LogVerb("Session:%d: %s\n", m_id, signature);
    }

    template <typename F>
    auto OnStrand(F&& f)
    {
        return asio::bind_executor(m_strand, Guarded(std::forward<F>(f)));
    }

    // A handler that cannot fail the worker thread: whatever it throws ends
    // this session (the client sees the connection close) with a log line.
    // It holds the session weakly; the handler itself keeps what it needs.
    template <typename F>
    auto Guarded(F&& f)
    {
        std::weak_ptr<CDebugSession> weak = this->weak_from_this();
        return [weak, f = std::forward<F>(f)](auto&&... args) mutable {
            try {
                f(std::forward<decltype(args)>(args)...);
            } catch (const std::exception& e) {
                if (auto self = weak.lock())
                    self->Abort(e.what());
            } catch (...) {
                if (auto self = weak.lock())
                    self->Abort("unknown exception");
            }
        };
    }

    void Abort(const char* what)
    {
        m_server.Logger().LogError("Session:%d: Exception occured: %s\n", m_id, Printable(what).c_str());
        CancelTimer();
        std::error_code ignored;
        m_socket.close(ignored);
        m_server.SessionEnded(this->shared_from_this());
    }

    void HandleReply(const asio::error_code& error, std::size_t sent)
    {
        Trace(__PRETTY_FUNCTION__);
        CancelTimer();
        if (error) {
            m_server.Logger().LogError("Session:%d: Error %d: %s.\n", m_id, error.value(),
                                       error.message().c_str());
            m_server.SessionEnded(this->shared_from_this());
            return;
        }
        const size_t total = static_cast<size_t>(m_reply->length) + sizeof(CReplyPacketHdr);
        const size_t remaining = total - sent;
        if (remaining == 0) {
            m_server.Budget().Give(m_replyBudget);
            m_replyBudget = 0;
            // A large reply is given back once written, not kept until the
            // next one replaces it.
            if (total > CSessionCommands::kKeptBuffer)
                m_reply.reset();
            ReadCmdHdr();
            return;
        }
        // Straight from the reply block, in chunks of at most 64 KiB.
        const size_t chunk = std::min(remaining, kReplyChunk);
        const unsigned char* block = reinterpret_cast<const unsigned char*>(m_reply.get());
        auto self = this->shared_from_this();
        StartTimer(m_server.ReplyTimeout(), true);
        asio::async_write(m_socket, asio::buffer(block + sent, chunk),
                          OnStrand([self, sent](const asio::error_code& ec, std::size_t n) {
                              self->HandleReply(ec, sent + n);
                          }));
    }

    void ReadCmdHdr()
    {
        Trace(__PRETTY_FUNCTION__);
        if (m_discard) {
            DiscardBody();
            return;
        }
        auto self = this->shared_from_this();
        asio::async_read(m_socket, asio::buffer(&m_header, sizeof m_header),
                         OnStrand([self](const asio::error_code& ec, std::size_t) {
                             self->HandleReadCmdHdr(ec);
                         }));
        StartTimer();
    }

    void HandleReadCmdHdr(const asio::error_code& error)
    {
        Trace(__PRETTY_FUNCTION__);
        if (ReadFailed(error))
            return;
        if (m_header.length > MAX_COMMAND_BODY) {
            // The announced block is never allocated. The client hears why at
            // once, and the body it may still send is read and dropped so the
            // next header is read where the client expects it.
            m_discard = m_header.length;
            const std::string message = "command " + std::to_string(m_header.code) + ": body of " +
                                        std::to_string(m_header.length) +
                                        " bytes exceeds the limit of " +
                                        std::to_string(MAX_COMMAND_BODY) + " bytes";
            m_server.Logger().LogError("Session:%d: Exception occured: %s\n", m_id, message.c_str());
            Reply(CSessionCommands::ErrorReply(message));
            return;
        }
        ReadCmdBody();
    }

    // The body arrives in pieces, each allocated (and counted against the
    // budget) only when it is due, so a client that announces a large body
    // costs memory only for the bytes it actually sends. The 10-second limit
    // covers the whole body.
    void ReadCmdBody()
    {
        Trace(__PRETTY_FUNCTION__);
        StartTimer();
        ReadBodyChunk();
    }

    // The first piece (64 KiB) is taken from the budget and allocated when
    // the body starts; once it has arrived, the rest of the body is taken
    // from the budget and room made for it in one step, so the body is never
    // copied to a larger block and the budget bounds what bodies hold. The
    // pages of that room are touched only as the pieces arrive.
    void ReadBodyChunk()
    {
        const size_t have = m_body.size();
        const size_t chunk = std::min<size_t>(m_header.length - have, have == 0 ? kFirstBodyChunk : kBodyChunk);
        auto self = this->shared_from_this();
        if (chunk == 0) {
            HandleReadCmdBody(asio::error_code(), have);
            return;
        }
        const size_t want = have == 0 ? chunk : m_header.length;
        if (want > m_bodyBudget) {
            if (!m_server.Budget().Take(want - m_bodyBudget)) {
                RefuseBody();
                return;
            }
            m_bodyBudget = want;
            m_body.reserve(want);
        }
        m_body.resize(have + chunk);
        asio::async_read(m_socket, asio::buffer(m_body.data() + have, chunk),
                         OnStrand([self](const asio::error_code& ec, std::size_t n) {
                             if (ec)
                                 self->HandleReadCmdBody(ec, n);
                             else
                                 self->ReadBodyChunk();
                         }));
    }

    // The budget is spent: the client hears so, and the rest of its body is
    // read and dropped like that of an oversized command.
    void RefuseBody()
    {
        CancelTimer();
        const std::string message =
            m_server.Budget().Refusal("command " + std::to_string(m_header.code) + ": body",
                                      m_header.length);
        m_discard = m_header.length - m_body.size();
        ReleaseBody();
        m_server.Logger().LogError("Session:%d: Exception occured: %s\n", m_id, message.c_str());
        Reply(CSessionCommands::ErrorReply(message));
    }

    // A large body is given back at once, so an idle session holds little.
    void ReleaseBody()
    {
        if (m_body.capacity() > kBodyChunk)
            std::vector<unsigned char>().swap(m_body);
        else
            m_body.clear();
        m_server.Budget().Give(m_bodyBudget);
        m_bodyBudget = 0;
    }

    void HandleReadCmdBody(const asio::error_code& error, std::size_t bytes)
    {
        (void)bytes;
        Trace(__PRETTY_FUNCTION__);
        if (ReadFailed(error))
            return;
        ExecuteCommand();
    }

    // Every read stops the idle timer when it completes; a failed read ends
    // the session (a time-out gets here too, through the closed stream).
    bool ReadFailed(const asio::error_code& error)
    {
        CancelTimer();
        if (!error)
            return false;
        m_server.Logger().LogError("Session:%d: Error: %s\n", m_id, error.message().c_str());
        m_server.SessionEnded(this->shared_from_this());
        return true;
    }

    // Reads and drops the body of a command that was refused for its size.
    void DiscardBody()
    {
        if (m_scratch.size() < kReplyChunk)
            m_scratch.resize(kReplyChunk);
        const size_t chunk = std::min<size_t>(m_discard, m_scratch.size());
        auto self = this->shared_from_this();
        asio::async_read(m_socket, asio::buffer(m_scratch.data(), chunk),
                         OnStrand([self, chunk](const asio::error_code& ec, std::size_t) {
                             if (self->ReadFailed(ec))
                                 return;
                             self->m_discard -= chunk;
                             self->ReadCmdHdr();
                         }));
        StartTimer();
    }

    // Reads wait at most the server's IdleTimeout() for the client; each
    // piece of a reply gets `limit` to be written.
    void StartTimer() { StartTimer(m_server.IdleTimeout(), false); }

    void StartTimer(std::chrono::milliseconds limit, bool writing)
    {
        m_timerArmed = true;
        m_timerWriting = writing;
        m_timer.expires_from_now(boost::posix_time::milliseconds(limit.count()));
        // The wait holds no strong reference: a pending wait must not keep an
        // ended session alive.
        std::weak_ptr<CDebugSession> weak = this->shared_from_this();
        m_timer.async_wait(OnStrand([weak](const asio::error_code& ec) {
            if (ec == asio::error::operation_aborted)
                return;  // the session may already be gone
            if (auto self = weak.lock())
                self->HandleTimer(ec);
        }));
    }

    void CancelTimer()
    {
        m_timerArmed = false;
        std::error_code ignored;
        m_timer.cancel(ignored);
    }

    void HandleTimer(const asio::error_code& error)
    {
        if (error == asio::error::operation_aborted)
            return;
        // The wait may have expired just as its read completed: by the time
        // this handler runs on the strand the read may be done (no wait armed)
        // or a new wait with a later deadline may be running. Only an armed,
        // expired wait closes the stream.
        if (!m_timerArmed || m_timer.expires_at() > asio::deadline_timer::traits_type::now())
            return;
        if (m_timerWriting)
            m_server.Logger().LogError("Session:%d: Timeout expired: the client took no reply bytes for %d ms.\n",
                                       m_id, static_cast<int>(m_server.ReplyTimeout().count()));
        else
            m_server.Logger().LogError("Session:%d: Timeout expired.\n", m_id);
        std::error_code ignored;
        m_socket.close(ignored);  // the outstanding read completes with an error
    }

    void ExecuteCommand()
    {
        Trace(__PRETTY_FUNCTION__);
        m_server.Logger().LogVerb("Session:%d: Command body length: %d\n", m_id,
                                  static_cast<int>(m_header.length));
        CSessionCommands::Result result = m_commands.Execute(m_header.code, m_body.data(), m_header.length);
        ReleaseBody();
        m_replyBudget = result.budget;
        if (result.disconnect) {
            m_server.SessionEnded(this->shared_from_this());
            return;
        }
        Reply(result.reply);
    }

    CJTAGServerImpl<Protocol>& m_server;
    std::shared_ptr<asio::io_context> m_service;
    asio::strand<asio::io_context::executor_type> m_strand;
    Stream m_socket;
    CCmdPacketHdr m_header{};
    std::vector<unsigned char> m_body;
    size_t m_bodyBudget = 0;   // taken from the server's budget for m_body
    size_t m_replyBudget = 0;  // taken for m_reply until it is written
    std::shared_ptr<CReplyPacketHdr> m_reply;
    asio::deadline_timer m_timer;
    unsigned int m_id;
    CSessionCommands m_commands;
    bool m_timerArmed = false;
    bool m_timerWriting = false;  // the armed wait watches a reply being written
    uint64_t m_discard = 0;
    std::vector<unsigned char> m_scratch;
};
