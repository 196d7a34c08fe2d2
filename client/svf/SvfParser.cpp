#include "client/svf/SvfParser.h"

#include "base/Hex.h"

#include <cmath>
#include <cstdlib>

namespace kestrad::svf {

namespace {

const char* const kStateNames[] = {
    "RESET",   "IDLE",    "DRSELECT", "DRCAPTURE", "DRSHIFT",  "DREXIT1", "DRPAUSE", "DREXIT2",
    "DRUPDATE", "IRSELECT", "IRCAPTURE", "IRSHIFT", "IREXIT1", "IRPAUSE", "IREXIT2", "IRUPDATE",
};

const char* const kKindNames[] = {"SIR",   "SDR",   "HIR",     "TIR",   "HDR",  "TDR", "ENDIR",
                                  "ENDDR", "RUNTEST", "STATE", "TRST", "FREQUENCY", "PIO",
                                  "PIOMAP"};

std::optional<SvfState> StateNamed(const std::string& word)
{
    for (size_t i = 0; i < sizeof kStateNames / sizeof kStateNames[0]; ++i)
        if (word == kStateNames[i])
            return static_cast<SvfState>(i);
    return std::nullopt;
}

std::optional<SvfStatement::Kind> KindNamed(const std::string& word)
{
    for (size_t i = 0; i < sizeof kKindNames / sizeof kKindNames[0]; ++i)
        if (word == kKindNames[i])
            return static_cast<SvfStatement::Kind>(i);
    return std::nullopt;
}

bool IsScanKind(SvfStatement::Kind k) { return k <= SvfStatement::Kind::TDR; }

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

using kestrad::HexValue;

// A decimal real as SVF writes it ("100", "1E6", "2.5e-3"); empty when the
// word is not one, or not finite, or negative.
std::optional<double> RealNumber(const std::string& word)
{
    if (word.empty() || !(std::isdigit(static_cast<unsigned char>(word[0])) || word[0] == '.' ||
                          word[0] == '+'))
        return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(word.c_str(), &end);
    if (end != word.c_str() + word.size() || !std::isfinite(v) || v < 0)
        return std::nullopt;
    return v;
}

}  // namespace

CSvfError::CSvfError(uint64_t line, uint64_t column, const std::string& message)
    : std::invalid_argument("line " + std::to_string(line) + ", column " + std::to_string(column) +
                            ": " + message),
      m_line(line), m_column(column), m_message(message)
{
}

const char* SvfStateName(SvfState state) { return kStateNames[static_cast<int>(state)]; }

bool IsStable(SvfState s)
{
    return s == SvfState::Reset || s == SvfState::Idle || s == SvfState::DrPause ||
           s == SvfState::IrPause;
}

const char* SvfKindName(SvfStatement::Kind kind) { return kKindNames[static_cast<int>(kind)]; }

std::string SvfHex(const std::vector<uint8_t>& bits, uint32_t length)
{
    static const char hex[] = "0123456789abcdef";
    const uint32_t digits = (length + 3) / 4;
    std::string out = "0x";
    out.reserve(digits + 2);
    for (uint32_t d = digits; d-- > 0;) {
        int nibble = 0;
        for (int k = 0; k < 4; ++k) {
            const uint64_t b = static_cast<uint64_t>(d) * 4 + k;
            if (b < length && b / 8 < bits.size() && ((bits[b / 8] >> (b % 8)) & 1))
                nibble |= 1 << k;
        }
        out += hex[nibble];
    }
    return out;
}

CSvfParser::CSvfParser() : CSvfParser(Limits{}) {}

CSvfParser::CSvfParser(Limits limits) : m_limits(limits) {}

void CSvfParser::Fail(const std::string& message) const { throw CSvfError(m_line, m_column, message); }

void CSvfParser::FailAt(const Item& item, const std::string& message) const
{
    throw CSvfError(item.line, item.column, message);
}

void CSvfParser::Feed(const char* data, size_t size, const Sink& sink)
{
    for (size_t i = 0; i < size; ++i)
        Char(data[i], sink);
}

void CSvfParser::Finish()
{
    if (m_mode == Mode::Value)
        throw CSvfError(m_valueLine, m_valueColumn, "value not closed with ')' at the end of the text");
    if (m_slash)
        throw CSvfError(m_slashLine, m_slashColumn, "stray '/' (comments start with '//' or '!')");
    EndWord();
    if (!m_items.empty())
        FailAt(m_items.front(), m_items.front().word + " statement not ended with ';'");
}

void CSvfParser::Char(char c, const Sink& sink)
{
    if (c == '\n') {
        ++m_line;
        m_column = 0;
    } else {
        ++m_column;
    }
    if (m_mode == Mode::Comment) {
        if (c == '\n')
            m_mode = Mode::Normal;
        return;
    }
    if (m_slash) {
        m_slash = false;
        if (c == '/') {
            EndWord();
            m_mode = Mode::Comment;
            return;
        }
        throw CSvfError(m_slashLine, m_slashColumn, "stray '/' (comments start with '//' or '!')");
    }
    if (m_mode == Mode::Value) {
        if (c == ')')
            EndValue();
        else if (!IsSpace(c))
            ValueDigit(c);
        return;
    }
    if (IsSpace(c)) {
        EndWord();
        return;
    }
    switch (c) {
    case '!':
        EndWord();
        m_mode = Mode::Comment;
        return;
    case '/':
        m_slash = true;
        m_slashLine = m_line;
        m_slashColumn = m_column;
        return;
    case ';':
        EndWord();
        EndStatement(sink);
        return;
    case '(':
        EndWord();
        StartValue();
        return;
    case ')':
        Fail("')' without '('");
    default:
        break;
    }
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
        Fail("unexpected character " + std::to_string(static_cast<unsigned char>(c)));
    if (m_word.empty()) {
        m_wordLine = m_line;
        m_wordColumn = m_column;
    }
    if (m_word.size() >= m_limits.maxWord)
        throw CSvfError(m_wordLine, m_wordColumn,
                        "word longer than " + std::to_string(m_limits.maxWord) + " characters");
    m_word += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

void CSvfParser::EndWord()
{
    if (m_word.empty())
        return;
    Item item;
    item.word = std::move(m_word);
    item.line = m_wordLine;
    item.column = m_wordColumn;
    m_word.clear();
    if (m_items.empty()) {
        const auto kind = KindNamed(item.word);
        if (!kind)
            FailAt(item, "unknown statement '" + item.word + "'");
        if (*kind == SvfStatement::Kind::PIO || *kind == SvfStatement::Kind::PIOMAP)
            FailAt(item, item.word + ": parallel vectors cannot be sent through a JTAG adapter");
    }
    if (m_items.size() >= m_limits.maxItems)
        FailAt(item, "too many words in one statement");
    m_items.push_back(std::move(item));
}

void CSvfParser::StartValue()
{
    // A value belongs to a field of a scan whose length is already known,
    // which bounds the value's size before any digit is stored.
    if (m_items.size() < 3 || m_items.back().isValue || !IsScanKind(*KindNamed(m_items[0].word)))
        Fail("a value in parentheses belongs after TDI, TDO, MASK or SMASK of a scan");
    const std::string& field = m_items.back().word;
    if (field != "TDI" && field != "TDO" && field != "MASK" && field != "SMASK")
        Fail("a value in parentheses belongs after TDI, TDO, MASK or SMASK, not after '" + field +
             "'");
    const std::string& len = m_items[1].word;
    char* end = nullptr;
    const unsigned long long n = std::strtoull(len.c_str(), &end, 10);
    if (m_items[1].isValue || len.empty() || !std::isdigit(static_cast<unsigned char>(len[0])) ||
        end != len.c_str() + len.size() || n > m_limits.maxScanBits)
        FailAt(m_items[1], "scan length '" + len + "' is not a number of bits up to " +
                               std::to_string(m_limits.maxScanBits));
    m_valueBits = static_cast<uint32_t>(n);
    m_digits.clear();
    m_valueLine = m_line;
    m_valueColumn = m_column;
    m_mode = Mode::Value;
}

void CSvfParser::ValueDigit(char c)
{
    const int v = HexValue(c);
    if (v < 0) {
        if (c == ';')
            Fail("value not closed with ')'");
        Fail("'" + std::string(1, c) + "' is not a hex digit");
    }
    if (v == 0 && m_digits.empty())
        return;  // leading zeros carry nothing
    m_digits += static_cast<char>(v);
    // The significant digits so far already need this many bits; more digits
    // only make it wider.
    const uint64_t need = (m_digits.size() - 1) * 4ull +
                          (m_digits[0] >= 8 ? 4 : m_digits[0] >= 4 ? 3 : m_digits[0] >= 2 ? 2 : 1);
    if (need > m_valueBits)
        throw CSvfError(m_valueLine, m_valueColumn,
                        "value wider than its length of " + std::to_string(m_valueBits) + " bits");
}

void CSvfParser::EndValue()
{
    Item item;
    item.isValue = true;
    item.line = m_valueLine;
    item.column = m_valueColumn;
    item.value.length = m_valueBits;
    item.value.bytes.assign((static_cast<size_t>(m_valueBits) + 7) / 8, 0);
    // The last digit holds bits 0..3.
    uint64_t bit = 0;
    for (auto it = m_digits.rbegin(); it != m_digits.rend(); ++it, bit += 4)
        for (int k = 0; k < 4; ++k)
            if ((*it >> k) & 1)
                item.value.bytes[(bit + k) / 8] |= static_cast<uint8_t>(1u << ((bit + k) % 8));
    m_digits.clear();
    m_digits.shrink_to_fit();
    m_mode = Mode::Normal;
    if (m_items.size() >= m_limits.maxItems)
        FailAt(item, "too many words in one statement");
    m_items.push_back(std::move(item));
}

void CSvfParser::EndStatement(const Sink& sink)
{
    if (m_items.empty())
        Fail("empty statement");
    SvfStatement st = Build();
    m_items.clear();
    sink(std::move(st));
}

SvfStatement CSvfParser::Build()
{
    using Kind = SvfStatement::Kind;
    const Item& head = m_items[0];
    SvfStatement st;
    st.kind = *KindNamed(head.word);
    st.line = head.line;
    st.column = head.column;
    st.index = ++m_index;
    const std::string name = head.word;
    size_t i = 1;
    auto more = [&] { return i < m_items.size(); };
    auto word = [&](size_t k) -> const std::string& {
        static const std::string none;
        return k < m_items.size() && !m_items[k].isValue ? m_items[k].word : none;
    };
    auto failHere = [&](const std::string& what) {
        if (more())
            FailAt(m_items[i], name + ": " + what);
        FailAt(head, name + ": " + what);
    };
    auto state = [&](const char* what) {
        const auto s = StateNamed(word(i));
        if (!s)
            failHere(std::string("expected ") + what + ", got '" +
                     (more() ? (m_items[i].isValue ? "(...)" : m_items[i].word) : "end of statement") +
                     "'");
        ++i;
        return *s;
    };

    if (IsScanKind(st.kind)) {
        if (!more() || m_items[1].isValue)
            failHere("a length in bits is required");
        const std::string& len = word(1);
        char* end = nullptr;
        const unsigned long long n = std::strtoull(len.c_str(), &end, 10);
        if (len.empty() || !std::isdigit(static_cast<unsigned char>(len[0])) ||
            end != len.c_str() + len.size() || n > m_limits.maxScanBits)
            failHere("length '" + len + "' is not a number of bits up to " +
                     std::to_string(m_limits.maxScanBits));
        st.length = static_cast<uint32_t>(n);
        ++i;
        while (more()) {
            const std::string field = word(i);
            std::optional<SvfBits>* slot = field == "TDI"   ? &st.tdi
                                           : field == "TDO"  ? &st.tdo
                                           : field == "MASK" ? &st.mask
                                           : field == "SMASK" ? &st.smask
                                                             : nullptr;
            if (!slot)
                failHere("expected TDI, TDO, MASK or SMASK");
            if (*slot)
                failHere(field + " given twice");
            ++i;
            if (!more() || !m_items[i].isValue)
                failHere(field + " needs a value in parentheses");
            *slot = std::move(m_items[i].value);
            ++i;
        }
        return st;
    }

    switch (st.kind) {
    case Kind::ENDIR:
    case Kind::ENDDR: {
        const SvfState s = state("a stable state (IDLE, RESET, DRPAUSE, IRPAUSE)");
        if (!IsStable(s))
            FailAt(m_items[i - 1], name + ": " + SvfStateName(s) + " is not a stable state");
        st.states.push_back(s);
        break;
    }
    case Kind::STATE:
        if (!more())
            failHere("a state is required");
        while (more())
            st.states.push_back(state("a TAP state"));
        if (!IsStable(st.states.back()))
            FailAt(m_items[i - 1], name + ": the path must end in a stable state");
        break;
    case Kind::TRST: {
        const std::string& w = word(i);
        if (w == "ON")
            st.trst = SvfStatement::Trst::On;
        else if (w == "OFF")
            st.trst = SvfStatement::Trst::Off;
        else if (w == "Z")
            st.trst = SvfStatement::Trst::Z;
        else if (w == "ABSENT")
            st.trst = SvfStatement::Trst::Absent;
        else
            failHere("expected ON, OFF, Z or ABSENT");
        ++i;
        break;
    }
    case Kind::FREQUENCY:
        if (!more())
            break;
        st.hertz = RealNumber(word(i));
        if (!st.hertz)
            failHere("expected a frequency in HZ");
        ++i;
        if (word(i) != "HZ")
            failHere("expected HZ after the frequency");
        ++i;
        break;
    case Kind::RUNTEST: {
        if (StateNamed(word(i))) {
            st.runState = state("a run state");
            if (!IsStable(*st.runState))
                FailAt(m_items[i - 1], name + ": the run state must be a stable state");
        }
        auto number = [&](const char* what) {
            const auto v = RealNumber(word(i));
            if (!v)
                failHere(std::string("expected ") + what);
            ++i;
            return *v;
        };
        if (RealNumber(word(i)) && (word(i + 1) == "TCK" || word(i + 1) == "SCK")) {
            const double count = number("a clock count");
            if (count != std::floor(count) || count > 1e18)
                FailAt(m_items[i - 1], name + ": the clock count must be a whole number");
            st.runCount = static_cast<uint64_t>(count);
            st.runClock = word(i) == "TCK" ? SvfStatement::Clock::TCK : SvfStatement::Clock::SCK;
            ++i;
        }
        if (RealNumber(word(i))) {
            st.minTime = number("a time in SEC");
            if (word(i) != "SEC")
                failHere("expected SEC after the time");
            ++i;
            if (word(i) == "MAXIMUM") {
                ++i;
                st.maxTime = number("a maximum time in SEC");
                if (word(i) != "SEC")
                    failHere("expected SEC after the maximum time");
                ++i;
            }
        }
        if (!st.runCount && !st.minTime)
            failHere("a clock count or a minimum time is required");
        if (word(i) == "ENDSTATE") {
            ++i;
            st.endState = state("an end state");
            if (!IsStable(*st.endState))
                FailAt(m_items[i - 1], name + ": the end state must be a stable state");
        }
        break;
    }
    default:
        break;
    }
    if (more())
        failHere("unexpected '" + (m_items[i].isValue ? std::string("(...)") : m_items[i].word) + "'");
    return st;
}

}  // namespace kestrad::svf
