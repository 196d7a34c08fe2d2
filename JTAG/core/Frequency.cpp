#include "JTAG/core/Frequency.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "base/Printable.h"
#include "log/Logger.h"

uint32_t ParseFrequency(const std::string& text)
{
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::invalid_argument invalid("invalid frequency string: " + lower);
    const auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    constexpr uint64_t kMax = 0xFFFFFFFFu;

    size_t i = 0;
    while (i < lower.size() && isBlank(lower[i]))
        ++i;
    if (i == lower.size() || !isDigit(lower[i]))
        throw invalid;
    // Whole part and fraction, each saturating rather than wrapping.
    uint64_t whole = 0;
    for (; i < lower.size() && isDigit(lower[i]); ++i)
        whole = std::min<uint64_t>(whole * 10 + static_cast<uint64_t>(lower[i] - '0'), kMax);
    uint64_t fraction = 0, scale = 1;
    if (i < lower.size() && lower[i] == '.') {
        ++i;
        if (i == lower.size() || !isDigit(lower[i]))
            throw invalid;
        for (; i < lower.size() && isDigit(lower[i]); ++i)
            if (scale < 1000000) {  // finer than 1 Hz of a MHz means nothing
                fraction = fraction * 10 + static_cast<uint64_t>(lower[i] - '0');
                scale *= 10;
            }
    }
    while (i < lower.size() && isBlank(lower[i]))
        ++i;
    size_t end = lower.size();
    while (end > i && isBlank(lower[end - 1]))
        --end;
    const std::string unit = lower.substr(i, end - i);
    uint64_t multiplier;
    if (unit.empty() || unit == "hz")
        multiplier = 1;
    else if (unit == "khz")
        multiplier = 1000;
    else if (unit == "mhz")
        multiplier = 1000000;
    else
        throw invalid;
    const uint64_t hertz = std::min(whole * multiplier + fraction * multiplier / scale, kMax);
    if (hertz == 0)
        throw invalid;  // no clock runs at 0 Hz
    return static_cast<uint32_t>(hertz);
}

uint32_t ConfiguredFrequency(const std::string& text, CLogger& log)
{
    try {
        return ParseFrequency(text);
    } catch (const std::invalid_argument& e) {
        log.LogError("Error: %s.\n", Printable(e.what()).c_str());
        log.Log("Setting %x hz as adapter frequency\n", kFallbackFrequency);
        return kFallbackFrequency;
    }
}

void LogClock(CLogger& log, const std::string& adapter, uint64_t asked, uint64_t used, bool verboseWhenExact)
{
    const std::string name = Printable(adapter);
    const auto a = static_cast<unsigned long long>(asked), u = static_cast<unsigned long long>(used);
    if (verboseWhenExact && asked == used)
        log.LogVerb("%s: JTAG clock of %llu Hz asked, %llu Hz used\n", name.c_str(), a, u);
    else
        log.Log("%s: JTAG clock of %llu Hz asked, %llu Hz used\n", name.c_str(), a, u);
}
