// CDebugSession: one client connection.
//
// The cycle is: write a reply (the greeting first), read an 8-byte command
// header, read its body, execute it, reply, and again. At most one read or
// write is outstanding. Each session has its own I/O context, run by its own
// thread, so its handlers run one after the other without a hop between
// threads, and a session blocked on a slow adapter holds up no other.
//
// Only the asio calls and their order are here; the rest is CSessionCore
// (server/SessionCore.h). A session ends on a read or write error, on
// CMD_DISCONNECT, when the check timer closes the stream, or when a handler
// throws (logged; it never reaches the worker thread).
#pragma once

#include <asio.hpp>
#include <asio/steady_timer.hpp>

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <cstdint>

#include <memory>
#include <string>

#include "server/LocalTransport.h"
#include "server/SessionCore.h"

template <typename Protocol>
class CJTAGServerImpl;

template <typename Protocol>
class CDebugSession : public CSessionCore, public std::enable_shared_from_this<CDebugSession<Protocol>> {
public:
    using Stream = typename Protocol::socket;

    CDebugSession(CJTAGServerImpl<Protocol>& server, unsigned int id)
        : CSessionCore(server.Holder(), server.Logger(), id, server.Budget()),
          m_server(server),
          m_context(1),
          m_socket(m_context),
          m_timer(m_context)
    {
        m_commands.SetStillWanted([this] { return ClientStillThere(); });
    }

    ~CDebugSession()
    {
        Finish();
        std::error_code ignored;
        m_socket.close(ignored);
        m_log.Ended();
    }

    Stream& Socket() { return m_socket; }
    unsigned int getIdSession() const { return m_id; }
    // Who the client is (an address, a uid), once the server counts the
    // session against that source's cap; empty before.
    const std::string& Source() const { return m_source; }
    void SetSource(std::string source) { m_source = std::move(source); }
    // The session's own I/O context; the thread the server starts for the
    // session runs it until the session has nothing left to do.
    asio::io_context& Context() { return m_context; }

    // Starts the cycle with the greeting, on the session's context; the
    // server calls it from its accepting thread before it starts the
    // session's thread.
    void Start(std::shared_ptr<CReplyPacketHdr> greeting)
    {
        asio::post(m_context, Guarded([this, greeting]() {
                       // Replies are first written without waiting.
                       m_socket.non_blocking(true);
                       StartTimer();
                       Reply(greeting);
                   }));
    }

    // Sends a reply and continues the cycle.
    void Reply(std::shared_ptr<CReplyPacketHdr> reply)
    {
        m_log.Trace(__PRETTY_FUNCTION__);
        if (!reply) {
            ReadCmdHdr();
            return;
        }
        m_log.ReplyLength(reply->length);
        m_out.Set(std::move(reply));
        m_replyWaited = false;
        HandleReply(asio::error_code(), 0);
    }

private:
    using Phase = CSessionClock::Phase;

    // A handler that cannot fail the worker thread: what it throws ends the
    // session with a log line. It holds the session weakly.
    template <typename F>
    auto Guarded(F&& f)
    {
        std::weak_ptr<CDebugSession> weak = this->weak_from_this();
        return [weak, f = std::forward<F>(f)](auto&&... args) mutable {
            try {
                f(std::forward<decltype(args)>(args)...);
            } catch (...) {
                if (auto self = weak.lock())
                    self->Abort();
            }
        };
    }

    void Abort()
    {
        m_log.Exception();
        std::error_code ignored;
        m_socket.close(ignored);
        Ended();
    }

    // Asked by the adapter between the pieces of a long command, which runs
    // on this session's thread: whether the client is still connected (it
    // has neither hung up nor reset the connection).
    bool ClientStillThere()
    {
        pollfd p{m_socket.native_handle(), POLLRDHUP, 0};
        if (::poll(&p, 1, 0) <= 0)
            return true;
        return (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) == 0;
    }

    // Once the check timer is stopped the context has no work left, and its
    // thread lets the session go.
    void Ended()
    {
        m_clock.Set(Phase::Ended);
        std::error_code ignored;
        m_timer.cancel(ignored);
        m_server.SessionEnded(this->shared_from_this());
    }

    void HandleReply(const asio::error_code& error, std::size_t sent)
    {
        m_log.Trace(__PRETTY_FUNCTION__);
        if (error) {
            m_log.WriteError(error);
            Ended();
            return;
        }
        // What the socket takes at once is written here, without a trip
        // through the I/O context; the rest waits for the socket.
        const asio::error_code failed =
            m_out.WriteNow(sent, [this](const unsigned char* data, size_t size, asio::error_code& ec) {
                return m_socket.write_some(asio::buffer(data, size), ec);
            });
        if (failed) {
            HandleReply(failed, sent);
            return;
        }
        m_replySent = sent;
        if (m_out.Left(sent) == 0) {
            // A large reply the system took whole may still sit in its
            // buffers (MiBs over TCP) for a slow client: watched all the same.
            if (!m_replyWaited && sent >= CSessionReply::kChunk)
                m_clock.Watch(Phase::Writing);
            m_out.Written();
            ReadCmdHdr();
            return;
        }
        // Straight from the reply block, in pieces of at most 64 KiB. The
        // clock watches the reply's progress from its first wait on.
        if (!m_replyWaited) {
            m_replyWaited = true;
            m_clock.Watch(Phase::Writing);
        }
        const CSessionReply::Piece piece = m_out.PieceAt(sent);
        auto self = this->shared_from_this();
        asio::async_write(m_socket, asio::buffer(piece.data, piece.size),
                          Guarded([self, sent](const asio::error_code& ec, std::size_t n) {
                              self->HandleReply(ec, sent + n);
                          }));
    }

    void ReadCmdHdr()
    {
        m_log.Trace(__PRETTY_FUNCTION__);
        if (m_in.Discarding()) {
            DiscardBody();
            return;
        }
        if (m_in.Buffered() >= sizeof m_header) {
            HandleReadCmdHdr(asio::error_code());
            return;
        }
        // Reads what has come, up to the room left; waits at most IdleTimeout().
        const CSessionInput::Room room = m_in.InputRoom();
        auto self = this->shared_from_this();
        m_clock.Watch(Phase::Reading);
        m_socket.async_read_some(asio::buffer(room.data, room.size),
                                 Guarded([self](const asio::error_code& ec, std::size_t n) {
                                     if (self->ReadFailed(ec))
                                         return;
                                     self->m_in.Filled(n);
                                     self->ReadCmdHdr();
                                 }));
    }

    void HandleReadCmdHdr(const asio::error_code& error)
    {
        m_log.Trace(__PRETTY_FUNCTION__);
        if (ReadFailed(error))
            return;
        // An oversized body is refused at once, then read and dropped.
        std::string refusal;
        if (!m_in.TakeHeader(m_header, refusal)) {
            Reply(Refusal(refusal));
            return;
        }
        ReadCmdBody();
    }

    // The 10-second limit covers the whole body, however many pieces.
    void ReadCmdBody()
    {
        m_log.Trace(__PRETTY_FUNCTION__);
        if (m_in.TakeWholeBody(m_header.length)) {
            ExecuteCommand();
            return;
        }
        m_clock.Watch(Phase::Reading);
        ReadBodyChunk();
    }

    void ReadBodyChunk()
    {
        const CSessionInput::Piece piece = m_in.NextBodyPiece(m_header.length);
        if (piece.step == CSessionInput::Step::Complete) {
            HandleReadCmdBody(asio::error_code(), m_header.length);
            return;
        }
        if (piece.step == CSessionInput::Step::Refused) {
            // The budget is spent: refused and dropped like an oversized body.
            Reply(Refusal(m_in.RefuseBody(m_header)));
            return;
        }
        auto self = this->shared_from_this();
        asio::async_read(m_socket, asio::buffer(piece.room.data, piece.room.size),
                         Guarded([self](const asio::error_code& ec, std::size_t n) {
                             if (ec)
                                 self->HandleReadCmdBody(ec, n);
                             else
                                 self->ReadBodyChunk();
                         }));
    }

    void HandleReadCmdBody(const asio::error_code& error, std::size_t /*bytes*/)
    {
        m_log.Trace(__PRETTY_FUNCTION__);
        if (ReadFailed(error))
            return;
        ExecuteCommand();
    }

    // A failed read (a time-out too: it closes the stream) ends the session.
    bool ReadFailed(const asio::error_code& error)
    {
        if (!error)
            return false;
        m_log.ReadError(error);
        Ended();
        return true;
    }

    // Reads and drops the body of a command that was refused.
    void DiscardBody()
    {
        if (m_in.DiscardBuffered()) {
            ReadCmdHdr();
            return;
        }
        const CSessionInput::Room room = m_in.DiscardRoom();
        auto self = this->shared_from_this();
        m_clock.Watch(Phase::Reading);
        asio::async_read(m_socket, asio::buffer(room.data, room.size),
                         Guarded([self, room](const asio::error_code& ec, std::size_t) {
                             if (self->ReadFailed(ec))
                                 return;
                             self->m_in.Discarded(room.size);
                             self->ReadCmdHdr();
                         }));
    }

    // The check timer runs for the whole session. Its wait holds no strong
    // reference: a pending wait must not keep an ended session alive.
    void StartTimer()
    {
        m_timer.expires_after(CSessionClock::Period(m_server.IdleTimeout(), m_server.ReplyTimeout()));
        std::weak_ptr<CDebugSession> weak = this->shared_from_this();
        m_timer.async_wait(Guarded([weak](const asio::error_code& ec) {
            if (ec == asio::error::operation_aborted)
                return;  // the session may already be gone
            if (auto self = weak.lock())
                self->HandleTimer();
        }));
    }

    void HandleTimer()
    {
        if (m_clock.ReplyOpen()) {
            // What the client has taken: what we handed to the system, less
            // what it still holds for the client.
            int queued = 0;
            if (::ioctl(m_socket.native_handle(), SIOCOUTQ, &queued) != 0 || queued < 0)
                queued = 0;
            const uint64_t held = static_cast<uint64_t>(queued);
            m_clock.Taken(m_replySent > held ? m_replySent - held : 0, held, CSessionClock::Clock::now());
        }
        const auto verdict = m_clock.Check(m_server.IdleTimeout(), m_server.ReplyTimeout(), m_log);
        if (verdict == CSessionClock::Verdict::Again)
            StartTimer();
        if (verdict != CSessionClock::Verdict::Expired)
            return;
        std::error_code ignored;
        m_socket.close(ignored);  // the outstanding operation completes with an error
    }

    void ExecuteCommand()
    {
        m_log.Trace(__PRETTY_FUNCTION__);
        const CSessionCommands::Result result = Run();
        if (result.disconnect)
            Ended();
        else
            Reply(result.reply);
    }

    CJTAGServerImpl<Protocol>& m_server;
    std::string m_source;
    // Bytes of the reply being written that were handed to the system, and
    // whether the reply has had to wait for the client yet.
    uint64_t m_replySent = 0;
    bool m_replyWaited = false;
    asio::io_context m_context;
    Stream m_socket;
    asio::steady_timer m_timer;
};
