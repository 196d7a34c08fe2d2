// CDebugSession: one client connection.
//
// The cycle is: write a reply (the greeting first), read an 8-byte command
// header, read its body, execute it, reply, and again. At most one read or
// write is outstanding. Each session has its own I/O context, run by its own
// thread (the server starts it once the client is accepted), so its handlers
// run one after the other on that thread without a hop between threads, and
// a session blocked on a slow adapter holds up no other.
//
// Reads go into a small input buffer, so a header and the body that came
// with it (and whatever the client sent after) are taken in one read.
//
// Time limits are checked coarsely: each read or reply piece notes when it
// started, and a timer that fires every eighth of the shorter limit closes
// the stream once a read has waited longer than the server's IdleTimeout()
// (10 seconds) for the client, or a 64 KiB reply piece longer than its
// ReplyTimeout(). Commands themselves set no timer. A session ends on a read
// or write error, on CMD_DISCONNECT, or when the check closes the stream, so
// a client that stops reading cannot hold its adapter forever. Its
// destructor closes the adapter it holds. An
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
#include <asio/steady_timer.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
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
    // Input buffer: a header and a small body arrive in one read.
    static constexpr size_t kInput = 4096;

    CDebugSession(CJTAGServerImpl<Protocol>& server, unsigned int id)
        : m_server(server),
          m_context(1),
          m_socket(m_context),
          m_timer(m_context),
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
    }

    Stream& Socket() { return m_socket; }
    unsigned int getIdSession() const { return m_id; }
    // The session's own I/O context; the thread the server starts for the
    // session runs it until the session has nothing left to do.
    asio::io_context& Context() { return m_context; }

    // Starts the cycle with the greeting, on the session's context; the
    // server calls it from its accepting thread before it starts the
    // session's thread.
    void Start(std::shared_ptr<CReplyPacketHdr> greeting)
    {
        asio::post(m_context, Guarded([this, greeting]() {
                       // Replies are first written without waiting (see
                       // HandleReply).
                       m_socket.non_blocking(true);
                       StartTimer();
                       Reply(greeting);
                   }));
    }

    // Sends a reply and continues the cycle.
    void Reply(std::shared_ptr<CReplyPacketHdr> reply)
    {
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
    auto Handler(F&& f)
    {
        return Guarded(std::forward<F>(f));
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
        std::error_code ignored;
        m_socket.close(ignored);
        Ended();
    }

    // The session leaves the server; once the check timer is stopped its
    // context has no work left and its thread lets it go.
    void Ended()
    {
        m_phase = Phase::Ended;
        std::error_code ignored;
        m_timer.cancel(ignored);
        m_server.SessionEnded(this->shared_from_this());
    }

    void HandleReply(const asio::error_code& error, std::size_t sent)
    {
        Trace(__PRETTY_FUNCTION__);
        if (error) {
            m_server.Logger().LogError("Session:%d: Error %d: %s.\n", m_id, error.value(),
                                       error.message().c_str());
            Ended();
            return;
        }
        const size_t total = static_cast<size_t>(m_reply->length) + sizeof(CReplyPacketHdr);
        // What the socket takes at once is written here, without a trip
        // through the I/O context; the rest waits for the socket.
        size_t remaining = total - sent;
        const unsigned char* block = reinterpret_cast<const unsigned char*>(m_reply.get());
        while (remaining > 0) {
            asio::error_code ec;
            const size_t n = m_socket.write_some(asio::buffer(block + sent, std::min(remaining, kReplyChunk)), ec);
            if (ec == asio::error::would_block || ec == asio::error::try_again)
                break;
            if (ec) {
                HandleReply(ec, sent);
                return;
            }
            sent += n;
            remaining -= n;
        }
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
        auto self = this->shared_from_this();
        Watch(Phase::Writing);
        asio::async_write(m_socket, asio::buffer(block + sent, chunk),
                          Handler([self, sent](const asio::error_code& ec, std::size_t n) {
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
        if (Buffered() >= sizeof m_header) {
            HandleReadCmdHdr(asio::error_code());
            return;
        }
        FillInput([](CDebugSession& self) { self.ReadCmdHdr(); });
    }

    // Bytes read ahead into the input buffer and not yet used.
    size_t Buffered() const { return m_inEnd - m_inBegin; }

    // Reads what the client has sent, up to the room in the input buffer,
    // then calls `next` again. The read waits at most IdleTimeout().
    template <typename Next>
    void FillInput(Next next)
    {
        if (m_input.empty())
            m_input.resize(kInput);
        if (m_inBegin == m_inEnd) {
            m_inBegin = m_inEnd = 0;
        } else if (m_inBegin > 0) {
            std::memmove(m_input.data(), m_input.data() + m_inBegin, Buffered());
            m_inEnd -= m_inBegin;
            m_inBegin = 0;
        }
        auto self = this->shared_from_this();
        Watch(Phase::Reading);
        m_socket.async_read_some(asio::buffer(m_input.data() + m_inEnd, m_input.size() - m_inEnd),
                                 Handler([self, next](const asio::error_code& ec, std::size_t n) {
                                     if (self->ReadFailed(ec))
                                         return;
                                     self->m_inEnd += n;
                                     next(*self);
                                 }));
    }

    // Takes up to `size` bytes from the input buffer into `to`; returns how
    // many it took.
    size_t TakeBuffered(unsigned char* to, size_t size)
    {
        const size_t n = std::min(size, Buffered());
        if (to && n)
            std::memcpy(to, m_input.data() + m_inBegin, n);
        m_inBegin += n;
        return n;
    }

    void HandleReadCmdHdr(const asio::error_code& error)
    {
        Trace(__PRETTY_FUNCTION__);
        if (ReadFailed(error))
            return;
        TakeBuffered(reinterpret_cast<unsigned char*>(&m_header), sizeof m_header);
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
    // covers the whole body. A body that came with its header is used where
    // it lies in the input buffer.
    void ReadCmdBody()
    {
        Trace(__PRETTY_FUNCTION__);
        if (Buffered() >= m_header.length) {
            m_bodyData = m_input.data() + m_inBegin;
            m_inBegin += m_header.length;
            ExecuteCommand();
            return;
        }
        m_bodyData = nullptr;
        Watch(Phase::Reading);
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
        const size_t buffered = TakeBuffered(m_body.data() + have, chunk);
        if (buffered == chunk) {
            ReadBodyChunk();
            return;
        }
        asio::async_read(m_socket, asio::buffer(m_body.data() + have + buffered, chunk - buffered),
                         Handler([self](const asio::error_code& ec, std::size_t n) {
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

    // A failed read ends the session (a time-out gets here too, through the
    // closed stream).
    bool ReadFailed(const asio::error_code& error)
    {
        if (!error)
            return false;
        m_server.Logger().LogError("Session:%d: Error: %s\n", m_id, error.message().c_str());
        Ended();
        return true;
    }

    // Reads and drops the body of a command that was refused for its size.
    void DiscardBody()
    {
        m_discard -= TakeBuffered(nullptr, m_discard);
        if (m_discard == 0) {
            ReadCmdHdr();
            return;
        }
        if (m_scratch.size() < kReplyChunk)
            m_scratch.resize(kReplyChunk);
        const size_t chunk = std::min<size_t>(m_discard, m_scratch.size());
        auto self = this->shared_from_this();
        Watch(Phase::Reading);
        asio::async_read(m_socket, asio::buffer(m_scratch.data(), chunk),
                         Handler([self, chunk](const asio::error_code& ec, std::size_t) {
                             if (self->ReadFailed(ec))
                                 return;
                             self->m_discard -= chunk;
                             self->ReadCmdHdr();
                         }));
    }

    // What the check timer watches: a read waiting for the client, a reply
    // piece waiting to be taken, or nothing (a command running).
    enum class Phase { None, Reading, Writing, Ended };

    using Clock = std::chrono::steady_clock;

    // Notes that a read or a reply piece starts now. No system call: the
    // check timer compares against this time.
    void Watch(Phase phase)
    {
        m_phase = phase;
        m_since = Clock::now();
    }

    // The check timer runs for the whole session, every eighth of the
    // shorter limit, so a read or reply piece ends at most that much after
    // its limit. Its wait holds no strong reference: a pending wait must not
    // keep an ended session alive.
    void StartTimer()
    {
        const auto limit = std::min(m_server.IdleTimeout(), m_server.ReplyTimeout());
        const auto period = std::max<Clock::duration>(limit / 8, std::chrono::milliseconds(1));
        m_timer.expires_after(period);
        std::weak_ptr<CDebugSession> weak = this->shared_from_this();
        m_timer.async_wait(Handler([weak](const asio::error_code& ec) {
            if (ec == asio::error::operation_aborted)
                return;  // the session may already be gone
            if (auto self = weak.lock())
                self->HandleTimer();
        }));
    }

    void HandleTimer()
    {
        if (m_phase == Phase::Ended)
            return;
        const auto waited = Clock::now() - m_since;
        if (m_phase == Phase::Reading && waited >= m_server.IdleTimeout()) {
            m_server.Logger().LogError("Session:%d: Timeout expired.\n", m_id);
        } else if (m_phase == Phase::Writing && waited >= m_server.ReplyTimeout()) {
            m_server.Logger().LogError("Session:%d: Timeout expired: the client took no reply bytes for %d ms.\n",
                                       m_id, static_cast<int>(m_server.ReplyTimeout().count()));
        } else {
            StartTimer();
            return;
        }
        m_phase = Phase::None;
        std::error_code ignored;
        m_socket.close(ignored);  // the outstanding operation completes with an error
    }

    void ExecuteCommand()
    {
        Trace(__PRETTY_FUNCTION__);
        m_server.Logger().LogVerb("Session:%d: Command body length: %d\n", m_id,
                                  static_cast<int>(m_header.length));
        m_phase = Phase::None;
        const unsigned char* body = m_bodyData ? m_bodyData : m_body.data();
        CSessionCommands::Result result = m_commands.Execute(m_header.code, body, m_header.length);
        m_bodyData = nullptr;
        ReleaseBody();
        m_replyBudget = result.budget;
        if (result.disconnect) {
            Ended();
            return;
        }
        Reply(result.reply);
    }

    CJTAGServerImpl<Protocol>& m_server;
    asio::io_context m_context;
    Stream m_socket;
    CCmdPacketHdr m_header{};
    std::vector<unsigned char> m_body;
    size_t m_bodyBudget = 0;   // taken from the server's budget for m_body
    size_t m_replyBudget = 0;  // taken for m_reply until it is written
    std::shared_ptr<CReplyPacketHdr> m_reply;
    asio::steady_timer m_timer;
    unsigned int m_id;
    CSessionCommands m_commands;
    Phase m_phase = Phase::None;
    Clock::time_point m_since;
    // Bytes read ahead: m_input[m_inBegin, m_inEnd) are not used yet. A body
    // that came whole with its header is executed from there (m_bodyData).
    std::vector<unsigned char> m_input;
    size_t m_inBegin = 0;
    size_t m_inEnd = 0;
    const unsigned char* m_bodyData = nullptr;
    uint64_t m_discard = 0;
    std::vector<unsigned char> m_scratch;
};
