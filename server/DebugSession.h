// CDebugSession: one client connection.
//
// The cycle is: write a reply (the greeting first), read an 8-byte command
// header, read its body, execute it, reply, and again. At most one read or
// write is outstanding, and every handler runs on the session's strand, so the
// 10-second timer that watches the reads never races a completing read. A
// session ends on a read or write error, on CMD_DISCONNECT, or when the timer
// closes the stream; its destructor closes the adapter it holds.
#pragma once

#include <asio.hpp>
#include <asio/deadline_timer.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <algorithm>
#include <cstring>
#include <istream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <thread>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "JTAG/JTAG.h"
#include "JTAG/JTAGHolder.h"
#include "JTAG/KorselJTAG.h"
#include "log/Logger.h"
#include "wire/AsyncBatch.h"
#include "server/LocalTransport.h"
#include "wire/Packets.h"

template <typename Protocol>
class CJTAGServerImpl;

namespace session_detail {

// A read-only streambuf over received bytes, so names are read exactly as a
// stream read up to NUL with a limit would, and never past the body.
class MemBuf : public std::streambuf {
public:
    MemBuf(const unsigned char* data, size_t size)
    {
        char* p = reinterpret_cast<char*>(const_cast<unsigned char*>(data));
        setg(p, p, p + size);
    }
    size_t Consumed() const { return static_cast<size_t>(gptr() - eback()); }
};

}  // namespace session_detail

template <typename Protocol>
class CDebugSession : public std::enable_shared_from_this<CDebugSession<Protocol>> {
public:
    using Stream = typename Protocol::socket;

    static constexpr size_t kReplyChunk = 65536;
    static constexpr size_t kResultCapacity = 9216;
    static constexpr long kIdleSeconds = 10;
    // Names are read up to their NUL, at most 254 characters.
    static constexpr std::streamsize kNameLimit = 255;

    CDebugSession(std::shared_ptr<asio::io_context> service, CJTAGServerImpl<Protocol>& server,
                  unsigned int id)
        : m_server(server),
          m_service(service),
          m_strand(asio::make_strand(*service)),
          m_socket(*service),
          m_timer(*service),
          m_id(id)
    {
        m_results.reserve(kResultCapacity);
    }

    ~CDebugSession()
    {
        CLogger& log = m_server.Logger();
        ReleaseAdapter([&](const char* what) {
            log.LogError("Session:%d: Exception occured: %s\n", m_id, what);
        });
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
            Reply(ErrorReply(message));
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
        m_timer.expires_from_now(boost::posix_time::seconds(kIdleSeconds));
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

    unsigned char* Body() { return reinterpret_cast<unsigned char*>(m_command.get()) + 8; }
    uint32_t BodyLength() const { return m_command->length; }

    static std::shared_ptr<CReplyPacketHdr> ErrorReply(const std::string& message)
    {
        CReplyError fixed;
        return AppendBody(fixed, message.data(), message.size());
    }

    // Reads a 32-bit field, refusing a body too short for it.
    uint32_t Word(size_t offset, const char* command)
    {
        if (static_cast<size_t>(BodyLength()) < offset + 4)
            throw std::runtime_error(std::string(command) + ": body of " +
                                     std::to_string(BodyLength()) + " bytes is too short (needs " +
                                     std::to_string(offset + 4) + ")");
        return ReadLE32(Body() + offset);
    }

    // The one-word commands: checks the adapter, reads the word at offset 0
    // and logs it as `format` does.
    uint32_t AdapterWord(const char* command, const char* format)
    {
        Adapter();
        const uint32_t word = Word(0, command);
        m_server.Logger().Log(format, m_id, static_cast<int>(word));
        return word;
    }

    // The adapter a command drives. An adapter that was closed after an error
    // stays held but may since have been opened by another session; driving
    // it from here would mix two clients' scans, so it must be opened again.
    CJTAG& Adapter()
    {
        if (!m_adapter)
            throw std::runtime_error("no jtag associated with debug session");
        if (!m_adapterOpen)
            throw std::runtime_error(m_adapter->GetName() + " is not opened");
        return *m_adapter;
    }

    // Closes the held adapter (when this session opened it) and lets it go.
    template <typename OnError>
    void ReleaseAdapter(OnError onError)
    {
        if (!m_adapter)
            return;
        CloseHeld(onError);
        m_adapter.reset();
    }

    template <typename OnError>
    void CloseHeld(OnError onError)
    {
        if (!m_adapter || !m_adapterOpen)
            return;
        m_adapterOpen = false;
        try {
            std::lock_guard<std::mutex> lock(m_server.Holder().Mutex());
            m_adapter->Close();
        } catch (const std::exception& e) {
            onError(e.what());
        }
    }

    std::string ReadName(session_detail::MemBuf& buf)
    {
        std::istream in(&buf);
        char name[kNameLimit] = {};
        in.getline(name, kNameLimit, '\0');
        return std::string(name);
    }

    std::shared_ptr<CReplyPacketHdr> Renumerate()
    {
        m_server.Logger().Log("Session:%d: CMD_RENUMERATE\n", m_id);
        CJTAGHolder& holder = m_server.Holder();
        std::lock_guard<std::mutex> lock(holder.Mutex());
        holder.Renumerate();
        std::vector<unsigned char> records;
        for (const auto& adapter : holder) {
            std::string serial;
            // Only the maker's own adapter reports its serial number.
            CJTAG& a = *adapter;
            if (typeid(a) == typeid(CKorselUsbJTAG))
                serial = static_cast<CKorselUsbJTAG&>(a).GetSerialNumberString();
            records.push_back(serial.empty() ? 2 : 3);
            records.push_back(0);
            for (const std::string* s : {&adapter->GetName(), &adapter->GetChipName()})
                records.insert(records.end(), s->c_str(), s->c_str() + s->size() + 1);
            if (!serial.empty())
                records.insert(records.end(), serial.c_str(), serial.c_str() + serial.size() + 1);
        }
        return AppendBody(CReplyRenumerate(), records.data(), records.size());
    }

    void OpenAdapter()
    {
        CLogger& log = m_server.Logger();
        ReleaseAdapter([&](const char* what) { throw std::runtime_error(what); });
        session_detail::MemBuf buf(Body(), BodyLength());
        const std::string name = ReadName(buf);
        log.Log("Session:%d: CMD_OPEN: %s\n", m_id, name.c_str());

        CJTAGHolder& holder = m_server.Holder();
        std::lock_guard<std::mutex> lock(holder.Mutex());
        auto it = std::find_if(holder.begin(), holder.end(),
                               [&](const std::shared_ptr<CJTAG>& a) { return a->IsNamed(name); });
        if (it == holder.end())
            throw std::runtime_error("no such device: " + name);
        if ((*it)->IsOpened())
            throw std::runtime_error(name + " is already opened");
        m_adapter = *it;
        m_adapter->Open();
        m_adapterOpen = true;
    }

    void UpdateName()
    {
        session_detail::MemBuf buf(Body(), BodyLength());
        const std::string name = ReadName(buf);
        const std::string chip = ReadName(buf);
        m_server.Logger().Log("Session:%d: CMD_UPDATE_NAME: %s %s\n", m_id, name.c_str(),
                              chip.c_str());
        CJTAGHolder& holder = m_server.Holder();
        std::lock_guard<std::mutex> lock(holder.Mutex());
        auto it = std::find_if(holder.begin(), holder.end(),
                               [&](const std::shared_ptr<CJTAG>& a) { return a->IsNamed(name); });
        if (it == holder.end())
            throw std::runtime_error("no such device: " + name);
        (*it)->SetChipName(chip);
    }

    std::shared_ptr<CReplyPacketHdr> ShiftDR()
    {
        CJTAG& adapter = Adapter();
        const int32_t length = static_cast<int32_t>(Word(0, "CMD_SHIFT_DR"));
        const uint32_t end = Word(4, "CMD_SHIFT_DR");
        if (length < 0)
            throw std::runtime_error("CMD_SHIFT_DR: negative scan length " + std::to_string(length));
        // The body limit bounds the scan: its data must have arrived.
        const size_t bytes = (static_cast<size_t>(length) + 7) / 8;
        if (BodyLength() - 8 < bytes)
            throw std::runtime_error("CMD_SHIFT_DR: body of " + std::to_string(BodyLength()) +
                                     " bytes is too short for a scan of " +
                                     std::to_string(length) + " bits");
        m_server.Logger().Log("Session:%d: CMD_SHIFT_DR: %d\n", m_id, length);
        std::vector<unsigned char> out(bytes, 0);
        adapter.ShiftDR(Body() + 8, out.data(), length, static_cast<TapStateMachine::State>(end));
        return AppendBody(CReplyShiftDr(), out.data(), out.size());
    }

    std::shared_ptr<CReplyPacketHdr> ReadBlk()
    {
        CJTAG& adapter = Adapter();
        const uint32_t address = Word(0, "CMD_READ_BLK");
        const uint32_t size = Word(4, "CMD_READ_BLK");
        if (size > MAX_READ_BLOCK)
            throw std::runtime_error("CMD_READ_BLK: size of " + std::to_string(size) +
                                     " bytes exceeds the limit of " +
                                     std::to_string(MAX_READ_BLOCK) + " bytes");
        m_server.Logger().Log("Session:%d: CMD_READ_BLK: %d\n", m_id, static_cast<int>(size));
        // The reply block is made zero-filled at its final size and the
        // adapter reads straight into it.
        auto reply = MakePacketBlock<CReplyReadBlk>(sizeof(CReplyPacketHdr) + size, true);
        reply->status = REPLY_OK;
        reply->length = size;
        adapter.ReadMemBlk(address, reinterpret_cast<unsigned char*>(reply.get()) + sizeof(CReplyPacketHdr),
                           size);
        return reply;
    }

    std::shared_ptr<CReplyAsyncOperations> ProcessAsyncOperations();

    void ExecuteCommand()
    {
        Trace(__PRETTY_FUNCTION__);
        CLogger& log = m_server.Logger();
        log.LogVerb("Session:%d: Command body length: %d\n", m_id, static_cast<int>(BodyLength()));
        std::shared_ptr<CReplyPacketHdr> reply = std::make_shared<CReplyOk>();
        try {
            switch (m_command->code) {
            case CMD_RENUMERATE:
                reply = Renumerate();
                break;
            case CMD_OPEN:
                OpenAdapter();
                break;
            case CMD_CLOSE:
                log.Log("Session:%d: CMD_CLOSE\n", m_id);
                ReleaseAdapter([&](const char* what) { throw std::runtime_error(what); });
                break;
            case CMD_TRST:
                Adapter().SetTRST(AdapterWord("CMD_TRST", "Session:%d: CMD_TRST: %d\n") != 0);
                std::this_thread::sleep_for(std::chrono::microseconds(100000));
                break;
            case CMD_SYS_RST:
                Adapter().SetSYS_RST(AdapterWord("CMD_SYS_RST", "Session:%d: CMD_SYS_RST: %d\n") != 0);
                break;
            case CMD_SHIFT_IR: {
                CJTAG& adapter = Adapter();
                const uint32_t value = Word(0, "CMD_SHIFT_IR");
                const int32_t length = static_cast<int32_t>(Word(4, "CMD_SHIFT_IR"));
                const uint32_t end = Word(8, "CMD_SHIFT_IR");
                log.Log("Session:%d: CMD_SHIFT_IR: %d %d\n", m_id, static_cast<int>(value), length);
                reply = std::make_shared<CReplyShiftIr>(
                    adapter.ShiftIR(value, length, static_cast<TapStateMachine::State>(end)));
                break;
            }
            case CMD_SHIFT_DR:
                reply = ShiftDR();
                break;
            case CMD_RUN_TEST:
                Adapter().RunTest(AdapterWord("CMD_RUN_TEST", "Session:%d: CMD_RUN_TEST: %d\n"));
                break;
            case CMD_UPDATE_NAME:
                UpdateName();
                break;
            case CMD_WRITE_BLK: {
                CJTAG& adapter = Adapter();
                const uint32_t address = Word(0, "CMD_WRITE_BLK");
                log.Log("Session:%d: CMD_WRITE_BLK: %d\n", m_id, static_cast<int>(BodyLength()));
                adapter.WriteMemBlk(address, Body() + 4, BodyLength() - 4);
                break;
            }
            case CMD_READ_BLK:
                reply = ReadBlk();
                break;
            case CMD_KEEPALIVE:
                log.LogVerb("Session:%d: Keepalive received.\n", m_id);
                reply.reset();
                break;
            case CMD_DISCONNECT:
                log.Log("Session:%d: CMD_DISCONNECT\n", m_id);
                m_server.SessionEnded(this->shared_from_this());
                return;
            case CMD_RESET:
                log.Log("Session:%d: CMD_RESET\n", m_id);
                if (m_adapter)
                    Adapter().ResetAdapter();
                break;
            case CMD_ASYNC_OPERATIONS:
                Adapter();
                reply = ProcessAsyncOperations();
                break;
            case CMD_JTAG_FREQUENCY:
                Adapter().SetFrequency(
                    AdapterWord("CMD_JTAG_FREQUENCY", "Session:%d: CMD_JTAG_FREQUENCY: %dHz\n"));
                break;
            default:
                throw std::runtime_error("unknown command");
            }
        } catch (const std::exception& e) {
            log.LogError("Session:%d: Exception occured: %s\n", m_id, e.what());
            CloseHeld([&](const char* what) {
                log.LogError("Session:%d: Can't close JTAG adapter. Reason: %s\n", m_id, what);
            });
            reply = ErrorReply(e.what());
        }
        Reply(reply);
    }

    CJTAGServerImpl<Protocol>& m_server;
    std::shared_ptr<CJTAG> m_adapter;
    // Whether this session opened m_adapter and has not closed it since.
    bool m_adapterOpen = false;
    std::shared_ptr<asio::io_context> m_service;
    asio::strand<asio::io_context::executor_type> m_strand;
    Stream m_socket;
    CCmdPacketHdr m_header{};
    std::shared_ptr<CCmdPacketHdr> m_command;
    std::shared_ptr<CReplyPacketHdr> m_reply;
    asio::deadline_timer m_timer;
    unsigned int m_id;
    std::vector<unsigned char> m_results;
    bool m_timerArmed = false;
    uint64_t m_discard = 0;
    std::vector<unsigned char> m_scratch;
};

template <typename Protocol>
std::shared_ptr<CReplyAsyncOperations> CDebugSession<Protocol>::ProcessAsyncOperations()
{
    CLogger& log = m_server.Logger();
    CJTAG& adapter = Adapter();
    m_results.clear();
    const uint32_t total = BodyLength();
    log.Log("Session:%d: CMD_ASYNC_OPERATIONS: %d bytes\n", m_id, static_cast<int>(total));

    try {
        ForEachAsyncOperation(Body(), total, [&](const CAsyncOperation& op) {
            const auto end = static_cast<TapStateMachine::State>(op.end);
            switch (op.code) {
            case ASYNC_CMD_SHIFT_DR:
                log.Log("Session:%d: ASYNC_CMD_SHIFT_DR: iLen %x\n", m_id, static_cast<unsigned>(op.length));
                adapter.AsyncShiftDR(op.data, op.length, end);
                break;
            case ASYNC_CMD_WRITE_DR:
                log.Log("Session:%d: ASYNC_CMD_WRITE_DR: iLen %x\n", m_id, static_cast<unsigned>(op.length));
                adapter.AsyncWriteDR(op.data, op.length, end);
                break;
            default:
                log.Log("Session: %d: ASYNC_CMD_SHIFT_IR: Reg %x Len %x\n", m_id, op.value,
                        static_cast<unsigned>(op.length));
                adapter.AsyncShiftIR(op.value, op.length, end);
                break;
            }
        });
        adapter.Wait(m_results);
    } catch (...) {
        // Scans queued before the failure must not lead the next batch.
        adapter.DiscardResults();
        throw;
    }
    return AppendBody(CReplyAsyncOperations(), m_results.data(), m_results.size());
}
