// Network JTAG back-end: drives a simulator peer over one blocking TCP
// connection. The peers (the RTL model and the DSP cluster model) greet with
// two lines, the second naming the protocol ("protocol RTL_JTAGdemo-0.1" or
// "protocol Standalone_DSP_Cluster-0.1"), and then answer every CR LF
// terminated command with LF terminated lines; see Protocol.h for
// the command and reply formats. The DSP cluster model also has single-word
// memory commands (read_word32, write_word32), used for 4-byte accesses.
#include "JTAG/backends/network/Peer.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "JTAG/backends/network/Protocol.h"
#include "base/ByteOrder.h"
#include "base/Printable.h"
#include "config/Description.h"
#include "log/Logger.h"

namespace network {

namespace {

std::runtime_error SocketError(const char* what, int error)
{
    return std::runtime_error(what + std::to_string(error));
}

std::runtime_error ProtocolError() { return std::runtime_error("Protocol error"); }

// The peer moves whole 32-bit words at word addresses.
void CheckWordAligned(unsigned int address, unsigned int size)
{
    char text[128];
    if (address % 4 != 0)
        std::snprintf(text, sizeof text,
                      "Address not aligned: 0x%08x; memory blocks need an address that is a multiple of 4", address);
    else if (size % 4 != 0)
        std::snprintf(text, sizeof text,
                      "Size not aligned: %u bytes; memory blocks need a size that is a multiple of 4", size);
    else
        return;
    throw std::runtime_error(text);
}

// A multi-line reply whose line `index` (of the lines before its closing
// one) cannot be what `command` answers: the peer's text is the message.
CLineSocket::LineCheck Expect(const char* command, size_t lines, bool (*fits)(const std::string&))
{
    return [command, lines, fits](size_t index, const std::string& line) {
        if (index < lines && !fits(line))
            throw std::runtime_error(std::string(command) + ": " + line);
    };
}

bool NoError(const std::string& line) { return !network::IsErrorLine(line); }

}  // namespace

CNetworkJTAG::CNetworkJTAG(const std::string& address, unsigned short port, const std::string& name,
                           const AdapterContext& context, NetworkTiming timing)
    : CNonAsyncJTAG(context), m_serverAddress(address), m_port(port), m_timing(timing)
{
    m_name = name;
    // Probe: only a peer that completes the handshake becomes an adapter.
    Open();
    Close();
}

CNetworkJTAG::~CNetworkJTAG() {}

void CNetworkJTAG::AddAdapters(std::vector<std::shared_ptr<CJTAG>>& adapters, const AdapterContext& context)
{
    // A copy: the entries must not change under us while peers are probed.
    const std::vector<CNetworkJTAGDescription> entries = context.description.GetJTAGs().networkJTAGs;
    for (const CNetworkJTAGDescription& entry : entries) {
        // A peer a session is using is not probed: the probe would wait for a
        // peer that serves one connection at a time, or send it resets. The
        // holder keeps that session's adapter in the list as it is.
        if (context.InUse(entry.name))
            continue;
        try {
            adapters.push_back(std::make_shared<CNetworkJTAG>(entry.addr, entry.port, entry.name, context));
        } catch (const std::exception& e) {
            context.logger.LogError("Exception in CNetworkJTAG::AddAdapters: %s\n", Printable(e.what()).c_str());
            // The line above names no peer; users without -v need to know which
            // one is missing from the list and where it was looked for.
            context.logger.Log("Network peer '%s' at %s:%d skipped: %s\n", Printable(entry.name).c_str(),
                                Printable(entry.addr).c_str(), static_cast<int>(entry.port),
                                Printable(e.what()).c_str());
        }
    }
}

void CNetworkJTAG::Open()
{
    if (IsOpened())
        return;
    // The peer gets its pause after our last close here, when we connect
    // again, rather than in Close(): a probe (open and close) then costs a
    // renumerate no pause at all, and a close returns at once.
    if (m_closedAt)
        std::this_thread::sleep_until(*m_closedAt + m_timing.closePause);
    try {
        m_socket.Connect(m_serverAddress, m_port, m_timing.connect,
                         {kKeepAliveIdleSeconds, kKeepAliveIntervalSeconds, kKeepAliveProbes});

        // A listener that accepts but never greets, or greets or answers the
        // resets a byte at a time, must not hold the session (or the
        // enumeration) for ever.
        const Clock::time_point now = Clock::now();
        m_handshakeEnd = now + m_timing.handshake;
        const Clock::time_point deadline = std::min(now + m_timing.greeting, *m_handshakeEnd);
        std::vector<std::string> lines;
        ReadLines(lines, 2, &deadline);
        const std::string protocol = network::ProtocolName(lines[1]);
        m_versionString = protocol;
        m_versionNumber = network::PeerKindOf(protocol, m_versionNumber);

        Exchange(network::ResetCommand());
        Exchange(network::ResetCommand());
        m_handshakeEnd.reset();
    } catch (...) {
        // A failed Open leaves nothing behind: the socket is closed at once.
        m_handshakeEnd.reset();
        m_socket.Close();
        throw;
    }
    CNonAsyncJTAG::Open();
}

void CNetworkJTAG::Close()
{
    if (!IsOpened())
        return;
    CNonAsyncJTAG::Close();
    // The socket is released even when the shutdown fails (a peer that reset
    // the connection), so a failed Close never leaks it.
    const int error = m_socket.ShutdownAndClose();
    m_closedAt = Clock::now();
    if (error != 0)
        throw SocketError("Can't connect to server, error: ", error);
}

void CNetworkJTAG::Send(const std::string& command)
{
    if (!m_socket.IsOpen())
        throw std::runtime_error("The connection to the peer is closed");
    // Every reply is read whole before the next command goes out, so text
    // waiting now answers nothing that was asked: read as the next command's
    // answer it would shift every later result by one, each reported as OK.
    // The peer is out of step: the command fails and the connection closes.
    const std::string stray = m_socket.Unread(kStrayShown);
    if (!stray.empty()) {
        m_socket.ShutdownAndClose();
        m_closedAt = Clock::now();
        throw std::runtime_error("Protocol error: the peer sent text no command asked for: " +
                                 stray.substr(0, stray.find_first_of("\r\n")));
    }
    m_socket.Send(reinterpret_cast<const unsigned char*>(command.data()), command.size());
}

void CNetworkJTAG::ReadLines(std::vector<std::string>& lines, int n, const Clock::time_point* deadline,
                             const CLineSocket::LineCheck& check)
{
    lines.clear();
    if (n <= 0)
        return;
    const size_t limit = kMaxReplyText + kReplyLineAllowance * static_cast<size_t>(n);
    const Clock::time_point end = deadline ? *deadline : ReplyDeadline(kReplyLineAllowance * static_cast<size_t>(n));
    lines = network::SplitLines(m_socket.ReceiveLines(static_cast<size_t>(n), limit, &end, m_timing.reply, check));
}

CNetworkJTAG::Clock::time_point CNetworkJTAG::ReplyDeadline(size_t bytes) const
{
    const auto rate = std::max<size_t>(m_timing.minReplyRate, 1);
    // The silence limit for its start, as much again for the rest of it
    // (so a silent peer is told apart from a slow one), and its size.
    const Clock::time_point end =
        Clock::now() + 2 * m_timing.reply + std::chrono::milliseconds(bytes / rate * 1000 + bytes % rate * 1000 / rate);
    return m_handshakeEnd ? std::min(end, *m_handshakeEnd) : end;
}

bool CNetworkJTAG::ParseResult(const std::string& line, unsigned long long& value)
{
    return network::ParseResult(line, value);
}

std::string CNetworkJTAG::Exchange(std::string command, size_t expected)
{
    Send(command);
    std::string().swap(command);
    const Clock::time_point end = ReplyDeadline(kReplyLineAllowance + expected);
    std::string text = m_socket.ReceiveToLineEnd(kMaxReplyText + expected, &end, m_timing.reply, expected);
    // The reply ends with its one LF; the line is the text less the LF and
    // the character before it, cut in place (as SplitLines would cut it).
    unsigned long long value;
    if (network::CountLF(text.data(), text.size()) != 1)
        throw ProtocolError();
    text.resize(text.size() >= 2 ? text.size() - 2 : 0);
    if (!ParseResult(text, value))
        throw ProtocolError();
    return text;
}

void CNetworkJTAG::RunTest(unsigned int count)
{
    Exchange(network::RunCommand(count));
    if (!m_context.Savepoints())
        return;
    // The peer saves its state after the 1st, 11th, 21st ... run made with
    // savepoints on, counted over the life of this object.
    if (m_savepointCounter % 10 == 0) {
        Send(network::SaveCommand(m_savepointCounter));
        std::vector<std::string> lines;
        ReadLines(lines, 2, nullptr, Expect("save", 1, NoError));
    }
    ++m_savepointCounter;
}

void CNetworkJTAG::SetLine(const std::string& command)
{
    unsigned long long value;
    ParseResult(Exchange(command), value);
    if (value != 0)
        throw ProtocolError();
    Exchange(network::WaitCommand());
}

void CNetworkJTAG::SetTRST(bool level) { SetLine(network::SetTrstCommand(level)); }

void CNetworkJTAG::SetSYS_RST(bool level) { SetLine(network::SetNrstCommand(level)); }

// The peer protocol carries neither a length nor an end state: the peer
// fills its whole instruction register and ends every scan in Run-Test/Idle.
unsigned int CNetworkJTAG::ShiftIR(unsigned int value, int length, TapState end)
{
    CheckIRLength(length);
    CheckIdleEnd(TapState::SHIFT_IR, end);
    unsigned long long captured;
    // A reply without a value captures 0.
    ParseResult(Exchange(network::WrIRCommand(value)), captured);
    // The scan's bits, as every adapter answers: a peer's register may be
    // longer than the length asked for.
    return static_cast<unsigned int>(captured & (~0ull >> (64 - length)));
}

void CNetworkJTAG::ShiftDR(const unsigned char* in, unsigned char* out, int length, TapState end)
{
    if (length > 0)
        CheckIdleEnd(TapState::SHIFT_DR, end);
    const size_t bytes = (static_cast<size_t>(length) + 7) / 8;
    // "ok " and two hex digits a byte: the reply of a long scan is large.
    const std::string line = Exchange(network::WrDRCommand(in, length), bytes > 8 ? 2 * bytes + 64 : 0);
    if (length <= 64) {
        unsigned long long captured;
        ParseResult(line, captured);
        for (size_t i = 0; i < bytes; ++i)
            out[i] = static_cast<unsigned char>(captured >> (8 * i));
    } else {
        // Beyond 64 bits the reply is read from its hex text, not as a number.
        network::ParseResultBits(line, out, length);
    }
}

void CNetworkJTAG::ReadMemBlk(unsigned int address, void* buffer, unsigned int size)
{
    CheckWordAligned(address, size);
    m_context.logger.LogVerb("ReadMemBlk(0x%08x,%d)\n", address, static_cast<int>(size));
    // Nothing to read: no window, nothing sent.
    if (size == 0)
        return;
    const MemWindow window = network::WindowOf(address, size);
    unsigned char* out = static_cast<unsigned char*>(buffer);
    std::vector<std::string> lines;

    if (m_versionNumber == network::PEER_DSP && size == 4) {
        Send(network::ReadWord32Command(address));
        ReadLines(lines, 2, nullptr, Expect("read_word32", 1, network::IsWordLine));
        WriteLE32(out, network::DumpWord(lines[0], 0));
        return;
    }

    Send(network::DumpCommand(window));
    // The rows, then one more line that is not examined. Each row's words go
    // into the block as the row arrives: the reply text (ten times the
    // block's size) is never held, only the row in progress.
    const uint64_t first = (address - window.start) / 4;  // the block's first word in the window
    const uint64_t words = size / 4;
    const Clock::time_point end = ReplyDeadline(kDumpRowText * (static_cast<size_t>(window.rows) + 1));
    m_socket.ReceiveEachLine(static_cast<size_t>(window.rows) + 1, kMaxDumpRow, &end, m_timing.reply,
                             [&](size_t row, const std::string& line) {
                                 if (row >= window.rows)
                                     return;
                                 if (!network::IsDumpRow(line))
                                     throw std::runtime_error("dump: " + line);
                                 for (unsigned column = 0; column < 4; ++column) {
                                     const uint64_t k = 4 * static_cast<uint64_t>(row) + column;
                                     if (k >= first && k < first + words)
                                         WriteLE32(out + 4 * (k - first), network::DumpWord(line, column));
                                 }
                                 // A read of millions of rows stops when nobody waits for it.
                                 if ((row + 1) % kDumpRowsPerCheck == 0)
                                     CheckStillWanted("ReadMemBlk");
                             });
}

void CNetworkJTAG::WriteMemBlk(unsigned int address, const void* data, unsigned int size)
{
    CheckWordAligned(address, size);
    m_context.logger.LogVerb("WriteMemBlk(0x%08x,%d)\n", address, static_cast<int>(size));
    if (size == 0)
        return;
    const unsigned char* in = static_cast<const unsigned char*>(data);

    if (m_versionNumber == network::PEER_DSP && size == 4) {
        Exchange(network::WriteWord32Command(ReadLE32(in), address));
        return;
    }

    const MemWindow window = network::WindowOf(address, size);
    const uint64_t end = static_cast<uint64_t>(address) + size;
    std::vector<std::string> entries;
    entries.reserve(window.rows);
    for (uint32_t r = 0; r < window.rows; ++r) {
        const uint32_t rowAddress = window.start + 16 * r;
        uint32_t words[4] = {0, 0, 0, 0};
        // write_mem writes whole rows: a row the block covers only in part is
        // read back first so its other words keep their contents.
        const bool partial = (r == 0 && address % 16 != 0) || (r + 1 == window.rows && end % 16 != 0);
        if (partial) {
            unsigned char row[16];
            CNetworkJTAG::ReadMemBlk(rowAddress, row, 16);
            for (int j = 0; j < 4; ++j)
                words[j] = ReadLE32(row + 4 * j);
        }
        for (int j = 0; j < 4; ++j) {
            const uint64_t wordAddress = static_cast<uint64_t>(rowAddress) + 4 * j;
            if (wordAddress >= address && wordAddress < end)
                words[j] = ReadLE32(in + (wordAddress - address));
        }
        entries.push_back(network::WriteMemEntry(rowAddress, words));
    }
    // Built whole, after every read-back, and sent in one piece.
    Exchange(network::WriteMemCommand(entries));
}

}  // namespace network
