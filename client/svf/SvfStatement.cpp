// The grammar of SVF statements: a statement's words and values, as the
// parser has read them, made into an SvfStatement; and the names of the
// format's states and statements.
#include "client/svf/SvfParser.h"

#include <cmath>
#include <cstdlib>
#include <iterator>
#include <string_view>

namespace kestrad::svf {

namespace {

constexpr std::string_view kStateNames[] = {
    "RESET",   "IDLE",    "DRSELECT", "DRCAPTURE", "DRSHIFT",  "DREXIT1", "DRPAUSE", "DREXIT2",
    "DRUPDATE", "IRSELECT", "IRCAPTURE", "IRSHIFT", "IREXIT1", "IRPAUSE", "IREXIT2", "IRUPDATE",
};

constexpr std::string_view kKindNames[] = {"SIR",   "SDR",   "HIR",     "TIR",   "HDR",  "TDR", "ENDIR",
                                           "ENDDR", "RUNTEST", "STATE", "TRST", "FREQUENCY", "PIO",
                                           "PIOMAP"};

std::optional<SvfState> StateNamed(std::string_view word)
{
    for (size_t i = 0; i < std::size(kStateNames); ++i)
        if (word == kStateNames[i])
            return static_cast<SvfState>(i);
    return std::nullopt;
}

bool IsScanKind(SvfStatement::Kind k) { return k <= SvfStatement::Kind::TDR; }

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

// A length in bits: decimal digits only, at most `max`.
}  // namespace

CSvfError::CSvfError(uint64_t line, uint64_t column, const std::string& message)
    : std::invalid_argument("line " + std::to_string(line) + ", column " + std::to_string(column) +
                            ": " + message),
      m_line(line), m_column(column), m_message(message)
{
}

const char* SvfStateName(SvfState state) { return kStateNames[static_cast<int>(state)].data(); }

bool IsStable(SvfState s)
{
    return s == SvfState::Reset || s == SvfState::Idle || s == SvfState::DrPause ||
           s == SvfState::IrPause;
}

const char* SvfKindName(SvfStatement::Kind kind) { return kKindNames[static_cast<int>(kind)].data(); }

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

// Makes the words and values read since the last statement into `st`
// (reset by Recycle), or throws at the word that does not fit.
void CSvfParser::Build(SvfStatement& st)
{
    using Kind = SvfStatement::Kind;
    const Item& head = m_items[0];
    st.kind = m_kind;
    st.line = head.line;
    st.column = head.column;
    st.index = ++m_index;
    const std::string& name = head.word;
    size_t i = 1;
    auto more = [&] { return i < m_used; };
    auto word = [&](size_t k) -> const std::string& {
        static const std::string none;
        return k < m_used && !m_items[k].isValue ? m_items[k].word : none;
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
                     (more() ? (m_items[i].isValue ? "(...)" : m_items[i].word) : "end of statement") + "'");
        ++i;
        return *s;
    };

    if (IsScanKind(st.kind)) {
        if (!more() || m_items[1].isValue)
            failHere("a length in bits is required");
        if (!m_length)
            failHere("length '" + word(1) + "' is not a number of bits up to " +
                     std::to_string(m_limits.maxScanBits));
        st.length = *m_length;
        ++i;
        while (more()) {
            const std::string& field = word(i);
            const Field f = m_items[i].isValue ? Field::None : m_items[i].field;
            std::optional<SvfBits>* slot = f == Field::TDI    ? &st.tdi
                                           : f == Field::TDO   ? &st.tdo
                                           : f == Field::MASK  ? &st.mask
                                           : f == Field::SMASK ? &st.smask
                                                               : nullptr;
            if (!slot)
                failHere("expected TDI, TDO, MASK or SMASK");
            if (*slot)
                failHere(field + " given twice");
            ++i;
            if (!more() || !m_items[i].isValue)
                failHere(field + " needs a value in parentheses");
            slot->emplace(std::move(m_items[i].value));
            ++i;
        }
        return;
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
}


}  // namespace kestrad::svf
