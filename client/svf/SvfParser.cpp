// The SVF text read character by character into statements: words,
// values in parentheses and comments; each statement's words then go to
// Build (SvfStatement.cpp).
#include "client/svf/SvfParser.h"

#include <cstring>

namespace kestrad::svf {

namespace {

// Compared here rather than by strcmp: the words are a few characters long.
bool Is(const std::string& word, const char* name)
{
    size_t i = 0;
    for (; name[i]; ++i)
        if (i >= word.size() || word[i] != name[i])
            return false;
    return i == word.size();
}

std::optional<SvfStatement::Kind> KindNamed(const std::string& word)
{
    for (int k = 0; k <= static_cast<int>(SvfStatement::Kind::PIOMAP); ++k)
        if (Is(word, SvfKindName(static_cast<SvfStatement::Kind>(k))))
            return static_cast<SvfStatement::Kind>(k);
    return std::nullopt;
}

bool IsScanKind(SvfStatement::Kind k) { return k <= SvfStatement::Kind::TDR; }

// What a character is outside values, and inside them (a hex digit's value
// 0..15, or one of the classes from kInSpace on).
enum Class : uint8_t { kWord, kSpace, kNewline, kBang, kSlash, kSemicolon, kOpen, kClose, kBad };
enum : uint8_t { kInSpace = 16, kInNewline, kInClose, kInBad };

struct Tables {
    uint8_t outside[256];
    uint8_t inside[256];
    Tables()
    {
        for (int c = 0; c < 256; ++c) {
            outside[c] = c < 0x20 || c >= 0x7F ? kBad : kWord;
            inside[c] = kInBad;
        }
        for (char c : {' ', '\t', '\r', '\f', '\v'})
            outside[static_cast<uint8_t>(c)] = kSpace, inside[static_cast<uint8_t>(c)] = kInSpace;
        outside['\n'] = kNewline, inside['\n'] = kInNewline;
        outside['!'] = kBang;
        outside['/'] = kSlash;
        outside[';'] = kSemicolon;
        outside['('] = kOpen;
        outside[')'] = kClose, inside[')'] = kInClose;
        for (int d = 0; d < 10; ++d)
            inside['0' + d] = static_cast<uint8_t>(d);
        for (int d = 0; d < 6; ++d)
            inside['a' + d] = inside['A' + d] = static_cast<uint8_t>(10 + d);
    }
};
const Tables kTables;

// A length in bits: decimal digits only, at most `max`.
std::optional<uint32_t> Length(const std::string& word, uint32_t max)
{
    if (word.empty())
        return std::nullopt;
    uint64_t n = 0;
    for (char c : word) {
        if (c < '0' || c > '9')
            return std::nullopt;
        n = n * 10 + static_cast<uint64_t>(c - '0');
        if (n > max)
            return std::nullopt;
    }
    return static_cast<uint32_t>(n);
}

// Byte vectors larger than this are given back rather than kept for reuse.
constexpr size_t kKeepBytes = 1u << 20;

}  // namespace

CSvfParser::CSvfParser() : CSvfParser(Limits{}) {}

CSvfParser::CSvfParser(Limits limits) : m_limits(limits) {}

void CSvfParser::FailAt(const char* at, const std::string& message) const
{
    throw CSvfError(m_line, ColumnOf(at), message);
}

void CSvfParser::FailAt(const Item& item, const std::string& message) const
{
    throw CSvfError(item.line, item.column, message);
}

void CSvfParser::Feed(const char* data, size_t size, const Sink& sink)
{
    m_chunk = data;
    const char* p = data;
    const char* const end = data + size;
    while (p < end) {
        switch (m_mode) {
        case Mode::Normal: p = TakeNormal(p, end, sink); break;
        case Mode::Value: p = TakeValue(p, end); break;
        case Mode::Comment: p = TakeComment(p, end); break;
        }
    }
    m_offset += size;
}

void CSvfParser::Finish()
{
    if (m_mode == Mode::Value)
        throw CSvfError(m_valueLine, m_valueColumn, "value not closed with ')' at the end of the text");
    if (m_slash)
        throw CSvfError(m_slashLine, m_slashColumn, "stray '/' (comments start with '//' or '!')");
    EndWord();
    if (m_used > 0)
        FailAt(m_items.front(), m_items.front().word + " statement not ended with ';'");
}

void CSvfParser::NewLine(const char* p)
{
    ++m_line;
    m_lineStart = m_offset + (p - m_chunk) + 1;
}

const char* CSvfParser::TakeComment(const char* p, const char* end)
{
    const void* nl = std::memchr(p, '\n', static_cast<size_t>(end - p));
    if (!nl)
        return end;
    p = static_cast<const char*>(nl);
    NewLine(p);
    m_mode = Mode::Normal;
    return p + 1;
}

const char* CSvfParser::TakeNormal(const char* p, const char* end, const Sink& sink)
{
    while (p < end) {
        if (m_slash) {
            m_slash = false;
            if (*p != '/')
                throw CSvfError(m_slashLine, m_slashColumn, "stray '/' (comments start with '//' or '!')");
            EndWord();
            m_mode = Mode::Comment;
            return p + 1;
        }
        const uint8_t c = static_cast<uint8_t>(*p);
        switch (kTables.outside[c]) {
        case kWord: {
            const char* from = p;
            if (!m_inWord) {
                Item& item = NextItem();
                item.word.clear();
                item.line = m_line;
                item.column = ColumnOf(p);
                m_inWord = true;
            }
            do
                ++p;
            while (p < end && kTables.outside[static_cast<uint8_t>(*p)] == kWord);
            AppendWord(from, p);
            continue;
        }
        case kNewline:
            EndWord();
            NewLine(p);
            break;
        case kSpace: EndWord(); break;
        case kBang:
            EndWord();
            m_mode = Mode::Comment;
            return p + 1;
        case kSlash:
            m_slash = true;
            m_slashLine = m_line;
            m_slashColumn = ColumnOf(p);
            break;
        case kSemicolon:
            EndWord();
            if (m_used == 0)
                FailAt(p, "empty statement");
            EndStatement(sink);
            break;
        case kOpen:
            EndWord();
            StartValue(p);
            return p + 1;
        case kClose: FailAt(p, "')' without '('");
        default: FailAt(p, "unexpected character " + std::to_string(c));
        }
        ++p;
    }
    return p;
}

void CSvfParser::AppendWord(const char* from, const char* to)
{
    Item& item = m_items[m_used];
    const size_t old = item.word.size();
    if (old + static_cast<size_t>(to - from) > m_limits.maxWord)
        FailAt(item, "word longer than " + std::to_string(m_limits.maxWord) + " characters");
    item.word.append(from, static_cast<size_t>(to - from));
    for (size_t i = old; i < item.word.size(); ++i)
        if (item.word[i] >= 'a' && item.word[i] <= 'z')
            item.word[i] = static_cast<char>(item.word[i] - 'a' + 'A');
}

CSvfParser::Item& CSvfParser::NextItem()
{
    if (m_used == m_items.size())
        m_items.emplace_back();
    return m_items[m_used];
}

CSvfParser::Field CSvfParser::FieldNamed(const std::string& w)
{
    switch (w.size()) {
    case 3:
        if (w[0] != 'T' || w[1] != 'D')
            return Field::None;
        return w[2] == 'I' ? Field::TDI : w[2] == 'O' ? Field::TDO : Field::None;
    case 4: return Is(w, "MASK") ? Field::MASK : Field::None;
    case 5: return Is(w, "SMASK") ? Field::SMASK : Field::None;
    default: return Field::None;
    }
}

void CSvfParser::EndWord()
{
    if (!m_inWord)
        return;
    m_inWord = false;
    Item& item = m_items[m_used];
    item.isValue = false;
    item.field = FieldNamed(item.word);
    if (m_used == 0) {
        const auto kind = KindNamed(item.word);
        if (!kind)
            FailAt(item, "unknown statement '" + item.word + "'");
        if (*kind == SvfStatement::Kind::PIO || *kind == SvfStatement::Kind::PIOMAP)
            FailAt(item, item.word + ": parallel vectors cannot be sent through a JTAG adapter");
        m_kind = *kind;
        m_length.reset();
    } else if (m_used == 1 && IsScanKind(m_kind)) {
        m_length = Length(item.word, m_limits.maxScanBits);
    }
    if (m_used >= m_limits.maxItems)
        FailAt(item, "too many words in one statement");
    ++m_used;
}

void CSvfParser::StartValue(const char* at)
{
    // A value belongs to a field of a scan whose length is already known,
    // which bounds the value's size before any digit is stored.
    if (m_used < 3 || m_items[m_used - 1].isValue || !IsScanKind(m_kind))
        FailAt(at, "a value in parentheses belongs after TDI, TDO, MASK or SMASK of a scan");
    if (m_items[m_used - 1].field == Field::None)
        FailAt(at, "a value in parentheses belongs after TDI, TDO, MASK or SMASK, not after '" +
                       m_items[m_used - 1].word + "'");
    if (!m_length)
        FailAt(m_items[1], "scan length '" + m_items[1].word + "' is not a number of bits up to " +
                               std::to_string(m_limits.maxScanBits));
    m_valueBits = *m_length;
    m_digits.clear();
    m_valueLine = m_line;
    m_valueColumn = ColumnOf(at);
    m_mode = Mode::Value;
}

const char* CSvfParser::TakeValue(const char* p, const char* end)
{
    for (; p < end; ++p) {
        const uint8_t v = kTables.inside[static_cast<uint8_t>(*p)];
        if (v < 16) {
            if (v == 0 && m_digits.empty())
                continue;  // leading zeros carry nothing
            m_digits.push_back(v);
            // The significant digits so far already need this many bits;
            // more digits only make it wider.
            if (m_digits.size() * 4 > m_valueBits) {
                const uint8_t top = m_digits[0];
                const uint64_t need = (m_digits.size() - 1) * 4ull + (top >= 8 ? 4 : top >= 4 ? 3 : top >= 2 ? 2 : 1);
                if (need > m_valueBits)
                    throw CSvfError(m_valueLine, m_valueColumn,
                                    "value wider than its length of " + std::to_string(m_valueBits) + " bits");
            }
            continue;
        }
        switch (v) {
        case kInSpace: break;
        case kInNewline: NewLine(p); break;
        case kInClose:
            EndValue();
            m_mode = Mode::Normal;
            return p + 1;
        default:
            if (*p == ';')
                FailAt(p, "value not closed with ')'");
            FailAt(p, "'" + std::string(1, *p) + "' is not a hex digit");
        }
    }
    return p;
}

std::vector<uint8_t> CSvfParser::SpareBytes()
{
    if (m_spare.empty())
        return {};
    std::vector<uint8_t> bytes = std::move(m_spare.back());
    m_spare.pop_back();
    return bytes;
}

void CSvfParser::EndValue()
{
    Item& item = NextItem();
    item.isValue = true;
    item.line = m_valueLine;
    item.column = m_valueColumn;
    item.value.length = m_valueBits;
    if (item.value.bytes.capacity() == 0)
        item.value.bytes = SpareBytes();
    std::vector<uint8_t>& bytes = item.value.bytes;
    bytes.assign((static_cast<size_t>(m_valueBits) + 7) / 8, 0);
    // The last digit holds bits 0..3; two digits make a byte.
    const size_t n = m_digits.size();
    const uint8_t* last = m_digits.data() + n;
    size_t i = 0;
    for (; i + 1 < n; i += 2)
        bytes[i / 2] = static_cast<uint8_t>(last[-1 - static_cast<ptrdiff_t>(i)] |
                                            last[-2 - static_cast<ptrdiff_t>(i)] << 4);
    if (i < n)
        bytes[i / 2] = m_digits[0];
    if (m_digits.capacity() > kKeepBytes)
        std::vector<uint8_t>().swap(m_digits);
    else
        m_digits.clear();
    m_mode = Mode::Normal;
    if (m_used >= m_limits.maxItems)
        FailAt(item, "too many words in one statement");
    ++m_used;
}

void CSvfParser::EndStatement(const Sink& sink)
{
    Recycle(m_statement);
    Build(m_statement);
    m_used = 0;
    sink(std::move(m_statement));
}

// Gives the statement's byte vectors to the spare list and resets it.
void CSvfParser::Recycle(SvfStatement& st)
{
    for (std::optional<SvfBits>* field : {&st.tdi, &st.tdo, &st.mask, &st.smask}) {
        if (*field && (*field)->bytes.capacity() > 0 && (*field)->bytes.capacity() <= kKeepBytes &&
            m_spare.size() < 8)
            m_spare.push_back(std::move((*field)->bytes));
        field->reset();
    }
    st.length = 0;
    st.states.clear();
    st.runState.reset();
    st.endState.reset();
    st.runCount.reset();
    st.runClock = SvfStatement::Clock::TCK;
    st.minTime.reset();
    st.maxTime.reset();
    st.trst = SvfStatement::Trst::Off;
    st.hertz.reset();
}

}  // namespace kestrad::svf
