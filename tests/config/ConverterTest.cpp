#include "config/Converter.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

std::string ConversionError(const std::string& text)
{
    try {
        CConverter::StringToInt(text, 0);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no error";
}

}  // namespace

TEST(Converter, AutomaticBase)
{
    EXPECT_EQ(CConverter::StringToInt("", 0), 0u);
    EXPECT_EQ(CConverter::StringToInt("1366", 0), 1366u);
    EXPECT_EQ(CConverter::StringToInt("0x15BA", 0), 0x15BAu);
    EXPECT_EQ(CConverter::StringToInt("0X002a", 0), 0x2Au);
    EXPECT_EQ(CConverter::StringToInt("0547", 0), 359u);
    EXPECT_EQ(CConverter::StringToInt("0", 0), 0u);
    EXPECT_EQ(CConverter::StringToInt(" 42", 0), 42u);
    EXPECT_EQ(CConverter::StringToInt("18446744073709551615", 0), 18446744073709551615ull);
    // strtoull wraps a negative value modulo 2^64.
    EXPECT_EQ(CConverter::StringToInt("-1", 0), 18446744073709551615ull);
}

TEST(Converter, RejectsTrailingTextAndOverflow)
{
    EXPECT_EQ(ConversionError("12MHZ"), "Can not convert 12MHZ to integer!");
    EXPECT_EQ(ConversionError("80a"), "Can not convert 80a to integer!");
    EXPECT_EQ(ConversionError("42 "), "Can not convert 42  to integer!");
    EXPECT_EQ(ConversionError("0x"), "Can not convert 0x to integer!");
    EXPECT_EQ(ConversionError("08"), "Can not convert 08 to integer!");
    EXPECT_EQ(ConversionError(" "), "Can not convert   to integer!");
    EXPECT_EQ(ConversionError("18446744073709551616"), "Can not convert 18446744073709551616 to integer!");
    // strtoull would stop at an embedded NUL and report success.
    EXPECT_THROW(CConverter::StringToInt(std::string("12\0" "3", 4), 0), std::runtime_error);
}
