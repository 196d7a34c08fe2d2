// The command interpreter of kestrad-sim, a network JTAG peer standing in for
// the RTL simulation model ("RTL_JTAGdemo-0.1") and the stand-alone DSP
// cluster model ("Standalone_DSP_Cluster-0.1").
//
// The peer speaks a line protocol over TCP: a two-line greeting whose second
// line is "protocol " and the protocol name, then one command line (ending
// CR LF or LF) per request, answered by one or more reply lines.  A result
// line begins "ok"; from its sixth character on it may carry a value as
// hexadecimal ("ok 0x1f").  Any line not beginning "ok" is a failure.
//
// This class does no I/O: it takes one line and returns the reply lines
// (without line ends), over a simulated TAP chain (sim/tap) and a target
// memory that outlives connections.
#pragma once

#include "sim/tap/SimTap.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace simpeer {

constexpr const char* kRtlProtocol = "RTL_JTAGdemo-0.1";
constexpr const char* kDspProtocol = "Standalone_DSP_Cluster-0.1";

// Limits on what one command may make the peer allocate or do.
constexpr size_t kMaxLineLength = 1 << 20;        // bytes of one command line
constexpr uint64_t kMaxDumpBytes = 16ull << 20;   // bytes of one "dump"
constexpr uint64_t kMaxScanBits = 8ull << 20;     // bits of one "wrDR"

class CPeerLineHandler {
public:
    // Throws std::invalid_argument for a bad chain.
    CPeerLineHandler(std::vector<simtap::TapConfig> chain, simtap::Memory& memory,
                     std::string protocol = kRtlProtocol);

    const std::string& Protocol() const { return m_Protocol; }
    std::vector<std::string> Greeting() const;

    // A new connection: a fresh TAP chain in Test-Logic-Reset, both reset
    // lines released.  The memory keeps its contents.
    void StartConnection();

    // One command line, without its line end (a trailing CR is ignored).
    std::vector<std::string> HandleLine(const std::string& line);

    const simtap::Chain& Chain() const { return *m_Chain; }
    bool SystemResetLevel() const { return m_Nrst; }
    const std::string& LastSavepoint() const { return m_LastSavepoint; }

    // The command word of a line ("" for a blank line).
    static std::string CommandName(const std::string& line);

private:
    using Args = std::vector<std::string>;
    using Reply = std::vector<std::string>;

    Reply Reset(const Args& a);
    Reply Run(const Args& a);
    Reply SetLine(const Args& a, bool trst);
    Reply Wait(const Args& a);
    Reply WriteIR(const Args& a);
    Reply WriteDR(const Args& a);
    Reply Dump(const Args& a);
    Reply ReadWord32(const Args& a);
    Reply WriteMem(const std::string& rest);
    Reply WriteWord32(const std::string& rest);
    Reply Save(const Args& a);
    bool WordCommandsAllowed() const;

    std::vector<simtap::TapConfig> m_Configs;
    std::unique_ptr<simtap::Chain> m_Chain;
    simtap::Memory& m_Memory;
    std::string m_Protocol;
    bool m_Nrst = true;
    std::string m_LastSavepoint;
};

// Number parsers shared with the command line; all reject empty text, signs,
// stray characters and overflow.
bool ParseHex32(const std::string& text, uint32_t& value);   // optional 0x prefix
bool ParseHex64(const std::string& text, uint64_t& value);   // optional 0x prefix
bool ParseDecimal(const std::string& text, uint64_t max, uint64_t& value);
// Any number of hex digits (optional 0x) into bytes, least significant first.
bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& bytes);
// The low `bits` bits of `bytes` as "0x" + lower-case hex without leading zeros.
std::string FormatHexBits(const std::vector<uint8_t>& bytes, size_t bits);

}  // namespace simpeer
