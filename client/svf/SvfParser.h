// Serial Vector Format (SVF, revision E) statements, parsed from text.
//
// CSvfParser is pure and streaming: feed it text in pieces of any size and it
// hands each complete statement to a sink as soon as its ';' arrives. It
// never holds more than one statement, and a statement's memory is bounded
// by the scan length it declares (itself bounded by Limits), so a file of any
// size parses in bounded memory. That memory is reused from statement to
// statement: steady parsing allocates nothing. SvfParser.cpp reads the text,
// SvfStatement.cpp makes each statement of its words. Comments ('!' and '//' to the end of the
// line) and line breaks inside statements are handled; SVF is not case
// sensitive.
//
// Hex values are written most significant digit first and are stored bit 0
// first, (length + 7) / 8 bytes, the wire's bit-stream convention. A value may
// have any number of digits (an odd count is fine: "SIR 4 TDI (f)") as long
// as no set bit lies at or above its length.
//
// Errors throw CSvfError with the line and column (1-based) of the offending
// character or word.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrad::svf {

class CSvfError : public std::invalid_argument {
public:
    CSvfError(uint64_t line, uint64_t column, const std::string& message);
    uint64_t Line() const { return m_line; }
    uint64_t Column() const { return m_column; }
    // The message without the "line L, column C: " prefix.
    const std::string& Message() const { return m_message; }

private:
    uint64_t m_line;
    uint64_t m_column;
    std::string m_message;
};

// The sixteen TAP controller states, by their SVF names.
enum class SvfState {
    Reset, Idle,
    DrSelect, DrCapture, DrShift, DrExit1, DrPause, DrExit2, DrUpdate,
    IrSelect, IrCapture, IrShift, IrExit1, IrPause, IrExit2, IrUpdate,
};
const char* SvfStateName(SvfState state);
// RESET, IDLE, DRPAUSE and IRPAUSE.
bool IsStable(SvfState state);

// A bit vector: `length` bits in (length + 7) / 8 bytes, bit 0 first.
struct SvfBits {
    uint32_t length = 0;
    std::vector<uint8_t> bytes;
    bool operator==(const SvfBits& o) const { return length == o.length && bytes == o.bytes; }
};

struct SvfStatement {
    enum class Kind {
        SIR, SDR, HIR, TIR, HDR, TDR,  // scans and their headers/trailers
        ENDIR, ENDDR, RUNTEST, STATE, TRST, FREQUENCY,
        PIO, PIOMAP,                   // recognised; no JTAG scan can carry them
    };
    enum class Clock { TCK, SCK };
    enum class Trst { On, Off, Z, Absent };

    Kind kind = Kind::SIR;
    uint64_t line = 0, column = 0;  // of the statement's first word
    uint64_t index = 0;             // 1 for the first statement of the text

    // Scans, headers and trailers.
    uint32_t length = 0;
    std::optional<SvfBits> tdi, tdo, mask, smask;

    // ENDIR/ENDDR: one state. STATE: the path, the last one being the target.
    std::vector<SvfState> states;

    // RUNTEST [run_state] [run_count TCK|SCK] [min_time SEC [MAXIMUM max_time SEC]]
    //         [ENDSTATE end_state]
    std::optional<SvfState> runState, endState;
    std::optional<uint64_t> runCount;
    Clock runClock = Clock::TCK;
    std::optional<double> minTime, maxTime;

    Trst trst = Trst::Off;
    std::optional<double> hertz;  // FREQUENCY without a value: empty
};
const char* SvfKindName(SvfStatement::Kind kind);

class CSvfParser {
public:
    struct Limits {
        // Longest scan, header or trailer, in bits. The default is what one
        // batch body can carry.
        uint32_t maxScanBits = (64u * 1024u * 1024u - 64u) * 8u;
        // Longest word (keyword, number, state name).
        size_t maxWord = 64;
        // Most words and values in one statement (RUNTEST has the most: 10).
        size_t maxItems = 32;
    };
    using Sink = std::function<void(SvfStatement&&)>;

    CSvfParser();
    explicit CSvfParser(Limits limits);

    // Parses `size` more bytes; calls `sink` for each statement completed.
    void Feed(const char* data, size_t size, const Sink& sink);
    // The end of the text: throws if a statement is left unterminated.
    void Finish();

    uint64_t Statements() const { return m_index; }

private:
    // The fields of a scan that take a value.
    enum class Field : uint8_t { None, TDI, TDO, MASK, SMASK };
    static Field FieldNamed(const std::string& word);
    struct Item {
        bool isValue = false;
        Field field = Field::None;
        std::string word;  // upper case
        SvfBits value;
        uint64_t line = 0, column = 0;
    };
    enum class Mode { Normal, Comment, Value };

    // Each takes characters from [p, end) while they are of its mode and
    // returns where it stopped.
    const char* TakeNormal(const char* p, const char* end, const Sink& sink);
    const char* TakeValue(const char* p, const char* end);
    const char* TakeComment(const char* p, const char* end);
    uint64_t ColumnOf(const char* p) const { return m_offset + (p - m_chunk) - m_lineStart + 1; }
    void NewLine(const char* p);
    void AppendWord(const char* from, const char* to);
    void EndWord();
    Item& NextItem();
    void StartValue(const char* at);
    void EndValue();
    void EndStatement(const Sink& sink);
    void Build(SvfStatement& st);
    void Recycle(SvfStatement& st);
    std::vector<uint8_t> SpareBytes();
    [[noreturn]] void FailAt(const char* at, const std::string& message) const;
    [[noreturn]] void FailAt(const Item& item, const std::string& message) const;

    Limits m_limits;
    Mode m_mode = Mode::Normal;
    // Position: the chunk being fed and its offset in the text, the line
    // number and the offset at which that line starts.
    const char* m_chunk = nullptr;
    uint64_t m_offset = 0;
    uint64_t m_line = 1, m_lineStart = 0;
    bool m_slash = false;  // a '/' that may start "//"
    uint64_t m_slashLine = 0, m_slashColumn = 0;
    bool m_inWord = false;  // a word is being read into m_items[m_used]
    // The statement's words and values: the first m_used of m_items. Items,
    // the statement and the spare byte vectors keep their memory from one
    // statement to the next, so that steady parsing allocates nothing.
    std::vector<Item> m_items;
    size_t m_used = 0;
    SvfStatement::Kind m_kind = SvfStatement::Kind::SIR;
    std::optional<uint32_t> m_length;  // a scan's length, once its second word is read
    SvfStatement m_statement;
    std::vector<std::vector<uint8_t>> m_spare;
    // The value being read: its significant digits (leading zeros dropped),
    // one per byte, at most as many as its statement's length allows.
    std::vector<uint8_t> m_digits;
    uint32_t m_valueBits = 0;
    uint64_t m_valueLine = 0, m_valueColumn = 0;
    uint64_t m_index = 0;
};

// Bits as one hex number, most significant digit first, (length + 3) / 4
// digits: "0x1f".
std::string SvfHex(const std::vector<uint8_t>& bits, uint32_t length);

}  // namespace kestrad::svf
