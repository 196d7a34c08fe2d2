// CDebugSession: one client connection.
//
// The cycle is: write a reply (the greeting first), read an 8-byte command
// header, read its body, execute it, reply, and again. At most one read or
// write is outstanding, and every handler runs on the session's strand, so the
// idle timer that watches the reads (the server's IdleTimeout(), 10 seconds)
// never races a completing read. A session ends on a read or write error, on
// CMD_DISCONNECT, or when the timer closes the stream; its destructor closes
// the adapter it holds.
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

#include "log/Logger.h"
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

    CDebugSession(std::shared_ptr<asio::io_context> service, CJTAGServerImpl<Protocol>& server,
                  unsigned int id)
        : m_server(server),
          m_service(service),
          m_strand(asio::make_strand(*service)),
          m_socket(*service),
          m_timer(*service),
          m_id(id),
          m_commands(server.Holder(), server.Logger(), id)
    {
    }

    ~CDebugSession()
    {
        CLogger& log = m_server.Logger();
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
            auto self = this->shared_from_this();
            asio::dispatch(m_strand, [self, reply]() { self->Reply(reply); });
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
        return asio::bind_executor(m_strand, std::forward<F>(f));
    }

    void HandleReply(const asio::error_code& error, std::size_t sent)
    {
        Trace(__PRETTY_FUNCTION__);
        if (error) {
            m_server.Logger().LogError("Session:%d: Error %d: %s.\n", m_id, error.value(),
                                       error.message().c_str());
            m_server.SessionEnded(this->shared_from_this());
            return;
        }
        const size_t total = static_cast<size_t>(m_reply->length) + sizeof(CReplyPacketHdr);
        const size_t remaining = total - sent;
        if (remaining == 0) {
            ReadCmdHdr();
            return;
        }
        // Straight from the reply block, in chunks of at most 64 KiB.
        const size_t chunk = std::min(remaining, kReplyChunk);
        const unsigned char* block = reinterpret_cast<const unsigned char*>(m_reply.get());
        auto self = this->shared_from_this();
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
        const size_t size = static_cast<size_t>(m_header.length) + sizeof(CCmdPacketHdr);
        m_command = MakePacketBlock<CCmdPacketHdr>(size);
        m_command->code = m_header.code;
        m_command->length = m_header.length;
        ReadCmdBody();
    }

    void ReadCmdBody()
    {
        Trace(__PRETTY_FUNCTION__);
        StartTimer();
        auto self = this->shared_from_this();
        asio::async_read(m_socket, asio::buffer(Body(), m_command->length),
                         OnStrand([self](const asio::error_code& ec, std::size_t n) {
                             self->HandleReadCmdBody(ec, n);
                         }));
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

    void StartTimer()
    {
        m_timerArmed = true;
        m_timer.expires_from_now(boost::posix_time::milliseconds(m_server.IdleTimeout().count()));
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
        m_server.Logger().LogError("Session:%d: Timeout expired.\n", m_id);
        std::error_code ignored;
        m_socket.close(ignored);  // the outstanding read completes with an error
    }

    unsigned char* Body() { return reinterpret_cast<unsigned char*>(m_command.get()) + sizeof(CCmdPacketHdr); }

    void ExecuteCommand()
    {
        Trace(__PRETTY_FUNCTION__);
        m_server.Logger().LogVerb("Session:%d: Command body length: %d\n", m_id,
                                  static_cast<int>(m_command->length));
        CSessionCommands::Result result = m_commands.Execute(m_command->code, Body(), m_command->length);
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
    std::shared_ptr<CCmdPacketHdr> m_command;
    std::shared_ptr<CReplyPacketHdr> m_reply;
    asio::deadline_timer m_timer;
    unsigned int m_id;
    CSessionCommands m_commands;
    bool m_timerArmed = false;
    uint64_t m_discard = 0;
    std::vector<unsigned char> m_scratch;
};
