#include <gtest/gtest.h>

#include <fstream>
#include <locale>
#include <string>

#include "log/OemLocale.h"
#include "TestUtil.h"

namespace {

TEST(OemLocale, FileBufferThroughTheFacetKeepsEveryByte)
{
    // A file buffer calls the facet because do_always_noconv is false; on
    // this platform the text must come out unchanged, high bytes included,
    // and positions must still count one byte per character.
    logtest::TempDir dir;
    std::string text;
    for (int c = 1; c < 256; ++c)
        text += static_cast<char>(c);
    text += std::string(20000, 'x');  // more than one buffer's worth
    {
        std::ofstream out;
        out.imbue(std::locale(std::locale(), new OemLocale));
        out.open(dir.file("oem.txt"), std::ios::binary);
        out << text << std::flush;
        EXPECT_EQ(out.tellp(), static_cast<std::streamoff>(text.size()));
    }
    EXPECT_EQ(logtest::ReadFile(dir.file("oem.txt")), text);

    // Offered less room than input, it converts what fits and says so.
    const std::locale locale(std::locale(), new OemLocale);
    const auto& facet = std::use_facet<std::codecvt<char, char, std::mbstate_t>>(locale);
    EXPECT_EQ(facet.encoding(), 1);
    std::mbstate_t state{};
    const char from[] = "abcdef";
    char to[4] = {};
    const char* fromNext = nullptr;
    char* toNext = nullptr;
    EXPECT_EQ(facet.out(state, from, from + 6, fromNext, to, to + 4, toNext), std::codecvt_base::partial);
    EXPECT_EQ(fromNext, from + 4);
    EXPECT_EQ(std::string(to, toNext), "abcd");
}

}  // namespace
