#include "server/SessionCommands.h"

#include <chrono>
#include <istream>
#include <mutex>
#include <stdexcept>
#include <streambuf>
#include <thread>

#include "JTAG/core/JTAG.h"
#include "JTAG/core/JTAGHolder.h"
#include "base/Printable.h"
#include "log/Logger.h"
#include "server/BufferBudget.h"
#include "wire/AsyncBatch.h"

namespace {

// Names are read up to their NUL, at most 254 characters.
constexpr std::streamsize kNameLimit = 255;

// A read-only streambuf over received bytes, so names are read exactly as a
// stream read up to NUL with a limit would, and never past the body.
class MemBuf : public std::streambuf {
public:
    MemBuf(const unsigned char* data, size_t size)
    {
        char* p = reinterpret_cast<char*>(const_cast<unsigned char*>(data));
        setg(p, p, p + size);
    }
};

std::string ReadName(MemBuf& buf)
{
    std::istream in(&buf);
    char name[kNameLimit] = {};
    in.getline(name, kNameLimit, '\0');
    return std::string(name);
}

}  // namespace

// The body bytes of the command being run, with checked word access.
class CSessionCommands::Body {
public:
    Body(const unsigned char* data, uint32_t length) : m_data(data), m_length(length) {}

    const unsigned char* Data() const { return m_data; }
    uint32_t Length() const { return m_length; }

    // The 32-bit field at offset, refusing a body too short for it.
    uint32_t Word(size_t offset, const char* command) const
    {
        if (static_cast<size_t>(m_length) < offset + 4)
            throw std::runtime_error(std::string(command) + ": body of " + std::to_string(m_length) +
                                     " bytes is too short (needs " + std::to_string(offset + 4) + ")");
        return ReadLE32(m_data + offset);
    }

private:
    const unsigned char* m_data;
    uint32_t m_length;
};

CSessionCommands::CSessionCommands(CJTAGHolder& holder, CLogger& log, unsigned int session,
                                   CBudgetAccount* budget)
    : m_holder(holder), m_log(log), m_id(session), m_budget(budget)
{
    m_results.reserve(kResultCapacity);
}

std::shared_ptr<CReplyPacketHdr> CSessionCommands::ErrorReply(const std::string& message)
{
    CReplyError fixed;
    return AppendBody(fixed, message.data(), message.size());
}

template <typename OnError>
void CSessionCommands::CloseHeld(OnError onError)
{
    if (!m_adapter || !m_adapterOpen)
        return;
    m_adapterOpen = false;
    // The check refers to this session; the next holder sets its own.
    m_adapter->SetStillWanted(nullptr);
    // The close runs without the holder's lock (a network adapter's takes a
    // while); the claim keeps the adapter from other sessions until it is
    // done.
    try {
        m_adapter->Close();
    } catch (const std::exception& e) {
        m_holder.Release(m_adapter);
        onError(e.what());
        return;
    }
    m_holder.Release(m_adapter);
}

template <typename OnError>
void CSessionCommands::ReleaseAdapter(OnError onError)
{
    if (!m_adapter)
        return;
    CloseHeld(onError);
    m_adapter.reset();
}

bool CSessionCommands::LogError(const std::string& text)
{
    unsigned repeats = 0;
    const bool logged = m_errors.Admit(text, CRepeatedErrors::Clock::now(), repeats);
    if (repeats != 0)
        m_log.LogError("Session:%d: The last error repeated %u more times.\n", m_id, repeats);
    if (logged)
        m_log.LogError("Session:%d: Exception occured: %s\n", m_id, Printable(text).c_str());
    return logged;
}

void CSessionCommands::End()
{
    if (const unsigned repeats = m_errors.TakeRepeats())
        m_log.LogError("Session:%d: The last error repeated %u more times.\n", m_id, repeats);
    ReleaseAdapter([&](const char* what) {
        m_log.LogError("Session:%d: Exception occured: %s\n", m_id, Printable(what).c_str());
    });
}

CSessionCommands::Result CSessionCommands::Execute(uint32_t code, const unsigned char* data,
                                                   uint32_t length)
{
    Result result;
    if (code == CMD_DISCONNECT) {
        m_log.Log("Session:%d: CMD_DISCONNECT\n", m_id);
        result.disconnect = true;
        return result;
    }
    m_taken = 0;
    try {
        result.reply = Dispatch(code, Body(data, length));
        result.budget = m_taken;
    } catch (const CRequestRefused& e) {
        // Not a fault of the adapter (memory other sessions hold, a name we
        // do not take): it stays open, and this session's.
        if (m_budget)
            m_budget->Give(m_taken);
        result.quiet = !LogError(e.what());
        result.reply = ErrorReply(e.what());
    } catch (const std::exception& e) {
        if (m_budget)
            m_budget->Give(m_taken);
        // Messages may quote a client's name or a peer's answer (escaped).
        result.quiet = !LogError(e.what());
        CloseHeld([&](const char* what) {
            m_log.LogError("Session:%d: Can't close JTAG adapter. Reason: %s\n", m_id,
                           Printable(what).c_str());
        });
        result.reply = ErrorReply(e.what());
    } catch (...) {
        // Not a failure of the command: the session ends, the budget stays whole.
        if (m_budget)
            m_budget->Give(m_taken);
        throw;
    }
    return result;
}

std::shared_ptr<CReplyPacketHdr> CSessionCommands::Dispatch(uint32_t code, const Body& body)
{
    switch (code) {
    case CMD_RENUMERATE:
        return Renumerate();
    case CMD_OPEN:
        OpenAdapter(body);
        break;
    case CMD_CLOSE:
        m_log.Log("Session:%d: CMD_CLOSE\n", m_id);
        ReleaseAdapter([&](const char* what) { throw std::runtime_error(what); });
        break;
    case CMD_TRST:
        Adapter().SetTRST(AdapterWord(body, "CMD_TRST", "Session:%d: CMD_TRST: %d\n") != 0);
        // The line settles before the client goes on.
        std::this_thread::sleep_for(std::chrono::microseconds(100000));
        break;
    case CMD_SYS_RST:
        Adapter().SetSYS_RST(AdapterWord(body, "CMD_SYS_RST", "Session:%d: CMD_SYS_RST: %d\n") != 0);
        break;
    case CMD_SHIFT_IR:
        return ShiftIR(body);
    case CMD_SHIFT_DR:
        return ShiftDR(body);
    case CMD_RUN_TEST:
        Adapter().RunTest(AdapterWord(body, "CMD_RUN_TEST", "Session:%d: CMD_RUN_TEST: %d\n"));
        break;
    case CMD_UPDATE_NAME:
        UpdateName(body);
        break;
    case CMD_WRITE_BLK:
        WriteBlk(body);
        break;
    case CMD_READ_BLK:
        return ReadBlk(body);
    case CMD_KEEPALIVE:
        m_log.LogVerb("Session:%d: Keepalive received.\n", m_id);
        return nullptr;
    case CMD_RESET:
        m_log.Log("Session:%d: CMD_RESET\n", m_id);
        if (m_adapter)
            Adapter().ResetAdapter();
        break;
    case CMD_ASYNC_OPERATIONS:
        Adapter();
        return ProcessAsyncOperations(body.Data(), body.Length());
    case CMD_JTAG_FREQUENCY:
        Adapter().SetFrequency(
            AdapterWord(body, "CMD_JTAG_FREQUENCY", "Session:%d: CMD_JTAG_FREQUENCY: %dHz\n"));
        break;
    case CMD_RAW_SEQUENCE:
        return RawSequence(body);
    default:
        throw std::runtime_error("unknown command");
    }
    // Replies are only read once made, so every session shares one OK.
    static const std::shared_ptr<CReplyPacketHdr> ok = std::make_shared<CReplyOk>();
    return ok;
}

// The adapter a command drives. An adapter that was closed after an error
// stays held but may since have been opened by another session; driving it
// from here would mix two clients' scans, so it must be opened again.
void CSessionCommands::TakeBudget(const char* command, size_t n)
{
    if (!m_budget)
        return;
    if (!m_budget->Take(n))
        throw CRequestRefused(m_budget->Refusal(std::string(command) + ": reply", n));
    m_taken += n;
}

CJTAG& CSessionCommands::Adapter()
{
    if (!m_adapter)
        throw std::runtime_error("no jtag associated with debug session");
    if (!m_adapterOpen)
        throw std::runtime_error(m_adapter->GetName() + " is not opened");
    return *m_adapter;
}

// The one-word commands: checks the adapter, reads the word at offset 0 and
// logs it as `format` does.
uint32_t CSessionCommands::AdapterWord(const Body& body, const char* command, const char* format)
{
    Adapter();
    const uint32_t word = body.Word(0, command);
    m_log.Log(format, m_id, static_cast<int>(word));
    return word;
}

std::shared_ptr<CReplyPacketHdr> CSessionCommands::Renumerate()
{
    m_log.Log("Session:%d: CMD_RENUMERATE\n", m_id);
    m_holder.Renumerate(m_stillWanted);
    std::lock_guard<std::mutex> lock(m_holder.Mutex());
    std::vector<unsigned char> records;
    for (const auto& adapter : m_holder) {
        // A third string for adapters that report a serial number (only the
        // maker's own adapter does).
        const std::string& serial = adapter->GetSerialNumberString();
        records.push_back(serial.empty() ? 2 : 3);
        records.push_back(0);
        for (const std::string* s : {&adapter->GetName(), &adapter->GetChipName()})
            records.insert(records.end(), s->c_str(), s->c_str() + s->size() + 1);
        if (!serial.empty())
            records.insert(records.end(), serial.c_str(), serial.c_str() + serial.size() + 1);
    }
    return AppendBody(CReplyRenumerate(), records.data(), records.size());
}

void CSessionCommands::OpenAdapter(const Body& body)
{
    ReleaseAdapter([&](const char* what) { throw std::runtime_error(what); });
    MemBuf buf(body.Data(), body.Length());
    const std::string name = ReadName(buf);
    m_log.Log("Session:%d: CMD_OPEN: %s\n", m_id, Printable(name).c_str());

    // Claimed under the holder's lock, opened outside it.
    m_adapter = m_holder.Claim(name, m_id);
    try {
        m_adapter->Open();
    } catch (...) {
        m_holder.Release(m_adapter);  // held, closed: anyone may open it
        throw;
    }
    m_adapterOpen = true;
    m_adapter->SetStillWanted(m_stillWanted);
}

void CSessionCommands::UpdateName(const Body& body)
{
    MemBuf buf(body.Data(), body.Length());
    const std::string name = ReadName(buf);
    const std::string chip = ReadName(buf);
    m_log.Log("Session:%d: CMD_UPDATE_NAME: %s %s\n", m_id, Printable(name).c_str(),
              Printable(chip).c_str());
    // Every client's list shows the name: it must not carry terminal
    // controls (an escape sequence, a line break forging a row). UTF-8 is
    // fine.
    if (!IsTerminalSafe(chip))
        throw CRequestRefused("CMD_UPDATE_NAME: chip name '" + TerminalSafe(chip) +
                              "' has control characters or is not UTF-8");
    m_holder.SetChipName(name, chip);
}

std::shared_ptr<CReplyPacketHdr> CSessionCommands::ShiftIR(const Body& body)
{
    CJTAG& adapter = Adapter();
    const uint32_t value = body.Word(0, "CMD_SHIFT_IR");
    const int32_t length = static_cast<int32_t>(body.Word(4, "CMD_SHIFT_IR"));
    const uint32_t end = body.Word(8, "CMD_SHIFT_IR");
    m_log.Log("Session:%d: CMD_SHIFT_IR: %d %d\n", m_id, static_cast<int>(value), length);
    return std::make_shared<CReplyShiftIr>(
        adapter.ShiftIR(value, length, static_cast<TapStateMachine::State>(end)));
}

std::shared_ptr<CReplyPacketHdr> CSessionCommands::ShiftDR(const Body& body)
{
    CJTAG& adapter = Adapter();
    const int32_t length = static_cast<int32_t>(body.Word(0, "CMD_SHIFT_DR"));
    const uint32_t end = body.Word(4, "CMD_SHIFT_DR");
    if (length < 0)
        throw std::runtime_error("CMD_SHIFT_DR: negative scan length " + std::to_string(length));
    // The body limit bounds the scan: its data must have arrived.
    const size_t bytes = (static_cast<size_t>(length) + 7) / 8;
    if (body.Length() - 8 < bytes)
        throw std::runtime_error("CMD_SHIFT_DR: body of " + std::to_string(body.Length()) +
                                 " bytes is too short for a scan of " + std::to_string(length) +
                                 " bits");
    m_log.Log("Session:%d: CMD_SHIFT_DR: %d\n", m_id, length);
    TakeBudget("CMD_SHIFT_DR", bytes);
    // The adapter captures straight into the zero-filled reply block.
    auto reply = MakePacketBlock<CReplyShiftDr>(sizeof(CReplyPacketHdr) + bytes, true);
    reply->status = REPLY_OK;
    reply->length = static_cast<uint32_t>(bytes);
    adapter.ShiftDR(body.Data() + 8, reinterpret_cast<unsigned char*>(reply.get()) + sizeof(CReplyPacketHdr),
                    length, static_cast<TapStateMachine::State>(end));
    return reply;
}

void CSessionCommands::WriteBlk(const Body& body)
{
    CJTAG& adapter = Adapter();
    const uint32_t address = body.Word(0, "CMD_WRITE_BLK");
    m_log.Log("Session:%d: CMD_WRITE_BLK: %d\n", m_id, static_cast<int>(body.Length()));
    adapter.WriteMemBlk(address, body.Data() + 4, body.Length() - 4);
}

std::shared_ptr<CReplyPacketHdr> CSessionCommands::ReadBlk(const Body& body)
{
    CJTAG& adapter = Adapter();
    const uint32_t address = body.Word(0, "CMD_READ_BLK");
    const uint32_t size = body.Word(4, "CMD_READ_BLK");
    if (size > MAX_READ_BLOCK)
        throw std::runtime_error("CMD_READ_BLK: size of " + std::to_string(size) +
                                 " bytes exceeds the limit of " + std::to_string(MAX_READ_BLOCK) +
                                 " bytes");
    m_log.Log("Session:%d: CMD_READ_BLK: %d\n", m_id, static_cast<int>(size));
    TakeBudget("CMD_READ_BLK", size);
    // The reply block is made zero-filled at its final size and the adapter
    // reads straight into it.
    auto reply = MakePacketBlock<CReplyReadBlk>(sizeof(CReplyPacketHdr) + size, true);
    reply->status = REPLY_OK;
    reply->length = size;
    adapter.ReadMemBlk(address, reinterpret_cast<unsigned char*>(reply.get()) + sizeof(CReplyPacketHdr),
                       size);
    return reply;
}

// Not a batch sub-command: sequences concatenate, so one CMD_RAW_SEQUENCE
// already carries any number of clocks up to the body limit, and a bridge
// has nothing to put beside it.
std::shared_ptr<CReplyPacketHdr> CSessionCommands::RawSequence(const Body& body)
{
    CJTAG& adapter = Adapter();
    RawSequenceBody sequence;
    const std::string refusal = RawSequenceBody::Parse(body.Data(), body.Length(), sequence);
    if (!refusal.empty())
        throw std::runtime_error(refusal);
    m_log.Log("Session:%d: CMD_RAW_SEQUENCE: %d\n", m_id, static_cast<int>(sequence.bits));
    const size_t bytes = RawSequenceBytes(sequence.bits);
    TakeBudget("CMD_RAW_SEQUENCE", bytes);
    auto reply = MakePacketBlock<CReplyRawSequence>(sizeof(CReplyPacketHdr) + bytes, true);
    reply->status = REPLY_OK;
    reply->length = static_cast<uint32_t>(bytes);
    adapter.ClockSequence(sequence.tms, sequence.tdi,
                          reinterpret_cast<unsigned char*>(reply.get()) + sizeof(CReplyPacketHdr),
                          sequence.bits);
    return reply;
}

std::shared_ptr<CReplyAsyncOperations> CSessionCommands::ProcessAsyncOperations(
    const unsigned char* body, uint32_t total)
{
    CJTAG& adapter = Adapter();
    m_results.clear();
    m_log.Log("Session:%d: CMD_ASYNC_OPERATIONS: %d bytes\n", m_id, static_cast<int>(total));

    try {
        ForEachAsyncOperation(body, total, [&](const CAsyncOperation& op) {
            const auto end = static_cast<TapStateMachine::State>(op.end);
            switch (op.code) {
            case ASYNC_CMD_SHIFT_DR:
                m_log.Log("Session:%d: ASYNC_CMD_SHIFT_DR: iLen %x\n", m_id,
                          static_cast<unsigned>(op.length));
                adapter.AsyncShiftDR(op.data, op.length, end);
                break;
            case ASYNC_CMD_WRITE_DR:
                m_log.Log("Session:%d: ASYNC_CMD_WRITE_DR: iLen %x\n", m_id,
                          static_cast<unsigned>(op.length));
                adapter.AsyncWriteDR(op.data, op.length, end);
                break;
            default:
                m_log.Log("Session: %d: ASYNC_CMD_SHIFT_IR: Reg %x Len %x\n", m_id, op.value,
                          static_cast<unsigned>(op.length));
                adapter.AsyncShiftIR(op.value, op.length, end);
                break;
            }
        });
        adapter.Wait(m_results);
        TakeBudget("CMD_ASYNC_OPERATIONS", m_results.size());
    } catch (...) {
        // Scans queued before the failure must not lead the next batch.
        adapter.DiscardResults();
        throw;
    }
    auto reply = AppendBody(CReplyAsyncOperations(), m_results.data(), m_results.size());
    // A large batch's results go back to the system; the usual ones keep
    // their room for the next batch.
    if (m_results.capacity() > kKeptBuffer)
        std::vector<unsigned char>().swap(m_results);
    return reply;
}
