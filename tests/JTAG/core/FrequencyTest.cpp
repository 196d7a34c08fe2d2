// The one frequency parser of configuration texts and its fallback.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "JTAG/core/Frequency.h"
#include "tests/support/TestContext.h"

TEST(Frequency, TextsEveryBackEndTakes)
{
    const std::vector<std::pair<std::string, uint32_t>> good = {
        {"12MHZ", 12000000},   {"700KHZ", 700000},    {"1000000HZ", 1000000}, {"1000000", 1000000},
        {"1000KHZ", 1000000},  {"10MHz", 10000000},   {"500kHz", 500000},     {"12000hz", 12000},
        {"1.5mhz", 1500000},   {"  7 khz ", 7000},    {"0.5KHZ", 500},        {"12", 12},
        {"99999999999999999999mhz", 0xFFFFFFFFu},
    };
    for (const auto& g : good)
        EXPECT_EQ(g.second, ParseFrequency(g.first)) << g.first;
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"fast", "fast"}, {"", ""},         {"0hz", "0hz"},   {"MHZ", "mhz"}, {"x5khz", "x5khz"},
        {"5 GHz", "5 ghz"}, {"1.khz", "1.khz"}, {"12MHZ!", "12mhz!"}, {"0.0001hz", "0.0001hz"},
    };
    for (const auto& b : bad) {
        try {
            ParseFrequency(b.first);
            ADD_FAILURE() << b.first << " accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ("invalid frequency string: " + b.second, e.what());
        }
    }
}

TEST(Frequency, ConfiguredTextThatIsNoFrequencyFallsBackAndSaysSo)
{
    CTestContext context;
    EXPECT_EQ(700000u, ConfiguredFrequency("700KHZ", context.Logger()));
    EXPECT_EQ("", context.LogText());
    EXPECT_EQ(6000000u, ConfiguredFrequency("fast", context.Logger()));
    EXPECT_EQ("Error: invalid frequency string: fast.\nSetting 5b8d80 hz as adapter frequency\n", context.LogText());
    context.ClearLog();
    LogClock(context.Logger(), "JLINK0", 100000, 400000, true);
    LogClock(context.Logger(), "JLINK0", 400000, 400000);
    EXPECT_EQ("JLINK0: JTAG clock of 100000 Hz asked, 400000 Hz used\n"
              "JLINK0: JTAG clock of 400000 Hz asked, 400000 Hz used\n",
              context.LogText());
}
