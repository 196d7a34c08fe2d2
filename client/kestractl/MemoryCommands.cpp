// kestractl's memory commands: read and write, in chunks, with progress and
// SIGINT between chunks.
#include "client/kestractl/CommandParts.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include <unistd.h>

using kestrad::client::CClient;

namespace kestractl {

namespace {

void CheckRange(uint32_t address, uint64_t size)
{
    if (size > 0 && static_cast<uint64_t>(address) + size - 1 > 0xFFFFFFFFull)
        throw UsageError(std::to_string(size) + " bytes at " + Hex32(address) +
                         " run past the end of the 32-bit address space");
}

uint32_t ChunkSize(const Settings& settings)
{
    // At least one byte, at most what one command or reply may carry.
    uint64_t chunk = settings.chunkSize;
    if (chunk == 0)
        chunk = 1;
    return static_cast<uint32_t>(std::min<uint64_t>(chunk, 16u * 1024u * 1024u));
}

// Reads bigger than this are not dumped on a terminal unless asked for:
// a mistyped size should not scroll megabytes past.
constexpr uint64_t kTerminalLimit = 64 * 1024;

// The hex dump in rows of 16 bytes, whatever the chunk size: bytes that do
// not fill a row wait for the next chunk.
class CDumpRows {
public:
    explicit CDumpRows(uint32_t address) : m_address(address) {}
    std::string Add(const std::vector<uint8_t>& data)
    {
        m_pending.insert(m_pending.end(), data.begin(), data.end());
        const size_t whole = m_pending.size() / 16 * 16;
        std::string text = HexDump(m_address, m_pending.data(), whole);
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(whole));
        m_address += static_cast<uint32_t>(whole);
        return text;
    }
    std::string Rest()
    {
        std::string text = HexDump(m_address, m_pending.data(), m_pending.size());
        m_pending.clear();
        return text;
    }

private:
    uint32_t m_address;
    std::vector<uint8_t> m_pending;
};

}  // namespace

Json RunRead(CSession& session, const Step& s)
{
    CClient& c = session.Client();
    const Settings& settings = session.Config();
    CheckRange(s.address, s.size);
    const uint32_t chunk = ChunkSize(settings);
    const bool toStdout = s.file == "-";
    if (toStdout && settings.json)
        throw UsageError("-o - writes the bytes to stdout, which --json needs for its "
                         "result; write them to a file with -o FILE");
    if (::isatty(STDOUT_FILENO) && !s.force && (toStdout || (s.file.empty() && s.size > kTerminalLimit)))
        throw UsageError(std::to_string(s.size) + " bytes " +
                         (toStdout ? "of binary data" : "as a hex dump") +
                         " to a terminal; write them to a file with -o FILE (or pipe them), "
                         "or pass --force");
    std::ofstream file;
    if (!s.file.empty() && !toStdout) {
        file.open(s.file, std::ios::binary | std::ios::trunc);
        if (!file)
            throw LocalError("cannot create '" + s.file + "': " + std::strerror(errno));
    }
    const bool toFile = !s.file.empty();
    CDumpRows rows(s.address);
    std::string hex;        // --json without a file: the bytes as hex
    std::string dump;       // text without a file: the hex dump
    CProgress progress("read", s.size, settings.progress && s.size > chunk);
    uint64_t done = 0;
    while (done < s.size) {
        if (g_interrupted) {
            progress.Done();
            throw Interrupted("interrupted after " + std::to_string(done) + " of " +
                              std::to_string(s.size) + " bytes" +
                              (toFile ? "; '" + s.file + "' holds the bytes read so far" : ""));
        }
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(chunk, s.size - done));
        const uint32_t at = static_cast<uint32_t>(s.address + done);
        std::vector<uint8_t> data = c.ReadBlock(at, n);
        if (toStdout) {
            if (std::fwrite(data.data(), 1, data.size(), stdout) != data.size())
                throw LocalError(std::string("cannot write the bytes to stdout: ") +
                                 std::strerror(errno));
        } else if (toFile) {
            file.write(reinterpret_cast<const char*>(data.data()), data.size());
            if (!file)
                throw LocalError("cannot write '" + s.file + "': " + std::strerror(errno));
        } else if (settings.json) {
            hex += BytesToHex(data.data(), data.size());
        } else {
            // Streamed: a large dump should not wait for the whole transfer.
            std::string text = rows.Add(data);
            progress.Done();
            std::fwrite(text.data(), 1, text.size(), stdout);
        }
        done += n;
        progress.Update(done);
    }
    progress.Done();
    if (!toFile && !settings.json) {
        const std::string text = rows.Rest();
        std::fwrite(text.data(), 1, text.size(), stdout);
    }
    if (toStdout && std::fflush(stdout) != 0)
        throw LocalError(std::string("cannot write the bytes to stdout: ") + std::strerror(errno));
    if (toFile && !toStdout) {
        file.close();
        if (!file)
            throw LocalError("cannot write '" + s.file + "': " + std::strerror(errno));
    }
    Json out;
    out["adapter"] = s.adapter;
    out["address"] = Hex32(s.address);
    out["size"] = s.size;
    if (toFile)
        out["file"] = s.file;
    else if (settings.json)
        out["data"] = hex;
    return out;
}

namespace {

// write -f -: stdin has no size to check up front, so it is written chunk by
// chunk as it comes, the address range checked before each chunk.
Json WriteFromStdin(CClient& c, const Step& s, uint32_t chunk)
{
    std::vector<uint8_t> buffer(chunk);
    uint64_t done = 0;
    for (;;) {
        if (g_interrupted)
            throw Interrupted("interrupted after writing " + std::to_string(done) + " bytes");
        const size_t n = std::fread(buffer.data(), 1, buffer.size(), stdin);
        if (n > 0) {
            CheckRange(s.address, done + n);
            c.WriteBlock(static_cast<uint32_t>(s.address + done), buffer.data(),
                         static_cast<uint32_t>(n));
            done += n;
        }
        if (n < buffer.size()) {
            if (std::ferror(stdin))
                throw LocalError(std::string("cannot read stdin: ") + std::strerror(errno));
            if (std::feof(stdin))
                break;
        }
    }
    if (done == 0)
        throw LocalError("write: stdin held no bytes to write");
    Json out;
    out["adapter"] = s.adapter;
    out["address"] = Hex32(s.address);
    out["size"] = done;
    out["file"] = "-";
    return out;
}

}  // namespace

Json RunWrite(CSession& session, const Step& s)
{
    CClient& c = session.Client();
    const Settings& settings = session.Config();
    const uint32_t chunk = ChunkSize(settings);
    uint64_t total = 0;
    std::ifstream file;
    std::vector<uint8_t> bytes;
    if (s.file == "-") {
        if (::isatty(STDIN_FILENO))
            throw UsageError("-f - reads binary data from stdin, which is a terminal; "
                             "redirect or pipe a file into it");
        return WriteFromStdin(c, s, chunk);
    }
    if (!s.file.empty()) {
        file.open(s.file, std::ios::binary | std::ios::ate);
        if (!file)
            throw LocalError("cannot open '" + s.file + "': " + std::strerror(errno));
        total = static_cast<uint64_t>(file.tellg());
        file.seekg(0);
    } else {
        bytes = HexToBytes(JoinWords(s.words));
        total = bytes.size();
    }
    CheckRange(s.address, total);
    CProgress progress("write", total, settings.progress && total > chunk);
    uint64_t done = 0;
    std::vector<uint8_t> buffer;
    while (done < total) {
        if (g_interrupted) {
            progress.Done();
            throw Interrupted("interrupted after writing " + std::to_string(done) + " of " +
                              std::to_string(total) + " bytes");
        }
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(chunk, total - done));
        const uint8_t* data;
        if (!s.file.empty()) {
            buffer.resize(n);
            file.read(reinterpret_cast<char*>(buffer.data()), n);
            if (file.gcount() != static_cast<std::streamsize>(n))
                throw LocalError("cannot read '" + s.file + "': file changed while writing");
            data = buffer.data();
        } else {
            data = bytes.data() + done;
        }
        c.WriteBlock(static_cast<uint32_t>(s.address + done), data, n);
        done += n;
        progress.Update(done);
    }
    progress.Done();
    Json out;
    out["adapter"] = s.adapter;
    out["address"] = Hex32(s.address);
    out["size"] = total;
    if (!s.file.empty())
        out["file"] = s.file;
    return out;
}

void ReadOptions(CLI::App& sub, Step& st)
{
    AddAdapterArgument(sub, st);
    sub.add_option("ADDRESS", st.address, "32-bit target address")->required()->check(Word32());
    // Sizes take K/M/G suffixes (powers of 1024).
    sub.add_option("SIZE", st.size, "bytes to read (K, M suffixes: 1024, 1024^2)")
        ->required()
        ->transform(CLI::AsSizeValue(false));
    sub.add_option("-o,--output", st.file, "write the bytes to this file ('-' for stdout)");
    sub.add_flag("--force", st.force,
                 "dump more than 64 KiB, or binary data, to a terminal all the same");
}

void WriteOptions(CLI::App& sub, Step& st)
{
    AddAdapterArgument(sub, st);
    sub.add_option("ADDRESS", st.address, "32-bit target address")->required()->check(Word32());
    auto* bytes = sub.add_option("HEXBYTES", st.words, "bytes in order, e.g. 'de ad be ef' "
                                                       "or deadbeef");
    auto* file = sub.add_option("-f,--file", st.file, "binary file to write ('-' for stdin)");
    bytes->excludes(file);
}

void CheckWrite(const Step& s)
{
    if (s.file.empty() == s.words.empty())
        throw UsageError("give either HEXBYTES or --file");
    if (s.file.empty())
        HexToBytes(JoinWords(s.words));
}

}  // namespace kestractl
