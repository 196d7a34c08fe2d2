// kestractl's memory commands: read and write, in chunks, with progress and
// SIGINT between chunks.
#include "client/kestractl/CommandParts.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

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

}  // namespace

Json RunRead(CSession& session, const Step& s)
{
    CClient& c = session.Client();
    const Settings& settings = session.Config();
    CheckRange(s.address, s.size);
    const uint32_t chunk = ChunkSize(settings);
    std::ofstream file;
    if (!s.file.empty()) {
        file.open(s.file, std::ios::binary | std::ios::trunc);
        if (!file)
            throw LocalError("cannot create '" + s.file + "': " + std::strerror(errno));
    }
    const bool toFile = !s.file.empty();
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
        if (toFile) {
            file.write(reinterpret_cast<const char*>(data.data()), data.size());
            if (!file)
                throw LocalError("cannot write '" + s.file + "': " + std::strerror(errno));
        } else if (settings.json) {
            hex += BytesToHex(data.data(), data.size());
        } else {
            // Streamed: a large dump should not wait for the whole transfer.
            std::string text = HexDump(at, data.data(), data.size());
            progress.Done();
            std::fwrite(text.data(), 1, text.size(), stdout);
        }
        done += n;
        progress.Update(done);
    }
    progress.Done();
    if (toFile) {
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

Json RunWrite(CSession& session, const Step& s)
{
    CClient& c = session.Client();
    const Settings& settings = session.Config();
    const uint32_t chunk = ChunkSize(settings);
    uint64_t total = 0;
    std::ifstream file;
    std::vector<uint8_t> bytes;
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
    sub.add_option("ADDRESS", st.address, "32-bit target address")->required();
    // Sizes take K/M/G suffixes (powers of 1024).
    sub.add_option("SIZE", st.size, "bytes to read (K, M suffixes: 1024, 1024^2)")
        ->required()
        ->transform(CLI::AsSizeValue(false));
    sub.add_option("-o,--output", st.file, "write the bytes to this file");
}

void WriteOptions(CLI::App& sub, Step& st)
{
    AddAdapterArgument(sub, st);
    sub.add_option("ADDRESS", st.address, "32-bit target address")->required();
    auto* bytes = sub.add_option("HEXBYTES", st.words, "bytes in order, e.g. 'de ad be ef' "
                                                       "or deadbeef");
    auto* file = sub.add_option("-f,--file", st.file, "binary file to write");
    bytes->excludes(file);
}

void CheckWrite(const Step& s)
{
    if (s.file.empty() == s.words.empty())
        throw UsageError("write: give either HEXBYTES or --file");
    if (s.file.empty())
        HexToBytes(JoinWords(s.words));
}

}  // namespace kestractl
