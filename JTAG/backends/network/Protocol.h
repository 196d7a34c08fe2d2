// The text protocol of network JTAG peers, without any I/O.
//
// A peer is a simulator process (an RTL model of a chip, or a stand-alone DSP
// cluster model) that takes one command per CR LF terminated line and answers
// with LF terminated lines. Result lines start with "ok"; from their sixth
// character on they may carry a hexadecimal value. Memory is dumped in rows of
// four 32-bit words, each word 8 hex digits plus one separator character.
//
// Everything here is a pure function over strings so that the parsers, which
// read text from another process, can be unit-tested and fuzzed on their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace network {

// Peer kinds, as announced by the protocol name of the greeting.
enum PeerKind : int {
    PEER_RTL = 1,  // "RTL_JTAGdemo-0.1"
    PEER_DSP = 2,  // "Standalone_DSP_Cluster-0.1": has read_word32/write_word32
};

// Protocol name announced in the second greeting line: the text after
// "protocol ". A line without that marker is taken whole.
std::string ProtocolName(const std::string& greetingLine);

// Version number for a protocol name, or `current` when the name is unknown.
int PeerKindOf(const std::string& protocolName, int current);

// Result line: true when it begins with "ok". Characters 3 to 5 are not
// examined; a line longer than 5 characters carries a value from its sixth
// character on (blanks skipped, optional 0x, hex digits up to the first other
// character; no digits gives 0, more than 64 bits saturates like strtoull).
// `value` is 0 whenever the line carries no value.
bool ParseResult(const std::string& line, unsigned long long& value);

// The value of a result line as a bit stream of `length` bits, for data scans
// longer than 64 bits: fills (length + 7) / 8 bytes of `out`, least significant
// byte first; digits beyond them are dropped, missing ones read as 0. Returns
// false when the line does not begin with "ok".
bool ParseResultBits(const std::string& line, unsigned char* out, int length);

// Lines of multi-line replies, to tell at once a line that cannot belong to
// the awaited reply (an error message instead of data):
// a dump row starts with 8 hex digits (its first word);
bool IsDumpRow(const std::string& line);
// a word line (read_word32) starts with a hex digit and is no error line;
bool IsWordLine(const std::string& line);
// an error line starts with "error" (any letter case).
bool IsErrorLine(const std::string& line);

// Splits accumulated reply text: every LF ends a line and the one character
// before the LF (the CR) is dropped; text after the last LF is discarded.
std::vector<std::string> SplitLines(const std::string& text);

// Number of LF bytes in [data, data + size).
size_t CountLF(const char* data, size_t size);

// Command lines, each terminated by CR LF.
std::string ResetCommand();
std::string RunCommand(unsigned int count);
std::string SaveCommand(uint32_t counter);
std::string SetTrstCommand(bool level);
std::string SetNrstCommand(bool level);
std::string WaitCommand();
std::string WrIRCommand(uint32_t value);
// "wrDR 0x<value> <length>": up to 64 bits the value is the little-endian
// number of the first (length + 7) / 8 bytes, low `length` bits kept; longer
// scans send all their bits as one hexadecimal value the same way.
std::string WrDRCommand(const unsigned char* in, int length);
std::string ReadWord32Command(uint32_t address);
std::string WriteWord32Command(uint32_t word, uint32_t address);

// The 16-byte rows that cover [address, address + size); size > 0.
struct MemWindow {
    uint32_t start;  // first row, 16-aligned
    uint32_t rows;
};
// Throws std::runtime_error when the block runs past the 32-bit address space.
MemWindow WindowOf(uint32_t address, uint32_t size);
std::string DumpCommand(const MemWindow& window);

// One "write_mem" entry: the four words in address order and " //" + the
// row's address, all as 8 lower-case hex digits.
std::string WriteMemEntry(uint32_t rowAddress, const uint32_t words[4]);
// "write_mem " + entries joined by "," + CR LF.
std::string WriteMemCommand(const std::vector<std::string>& entries);

// Word `column` (0..3) of a dump row: characters 9 * column to 9 * column + 8.
// A row that ends before the column fails with std::out_of_range; a field
// without a hex number, or one above 32 bits, fails with std::runtime_error /
// std::out_of_range. Never reads outside the row.
uint32_t DumpWord(const std::string& row, unsigned int column);

}  // namespace network
