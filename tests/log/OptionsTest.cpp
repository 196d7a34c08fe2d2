#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "log/Options.h"

namespace {

std::string ErrorOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no error)";
}

COptions<bool> ServerTable()
{
    return {{2, "output", "Logger output", true},
            {3, "verbose", "Verbose mode", true},
            {4, "outbuf", "Log buffer", false},
            {5, "savepoints", "RTL model savepoints mode", false}};
}

TEST(Options, ServerTableHasIndicesTwoToFive)
{
    COptions<bool> options = ServerTable();
    EXPECT_EQ(options[2].name, "output");
    EXPECT_EQ(options[3].description, "Verbose mode");
    EXPECT_TRUE(options[3].value);
    EXPECT_FALSE(options[4].value);
    EXPECT_EQ(options[5].index, 5u);

    for (unsigned int index : {0u, 1u, 6u, 0xFFFFFFFFu})
        EXPECT_EQ(ErrorOf([&] { options[index]; }), "Bad option index") << index;

    options[4].value = true;
    const COptions<bool>& view = options;
    EXPECT_TRUE(view[4].value);
}

TEST(Options, AddOptionRefusesBadAndDuplicateEntries)
{
    COptions<bool> options = ServerTable();
    EXPECT_EQ(ErrorOf([&] { options.AddOption({}); }), "Bad option");
    EXPECT_EQ(ErrorOf([&] { options.AddOption({3, "other", "", false}); }), "Bad option: index already exits");
    EXPECT_EQ(options[3].name, "verbose");

    // A taken name is refused after the new slot was filled: the slot stays.
    EXPECT_EQ(ErrorOf([&] { options.AddOption({9, "output", "dup", true}); }), "Bad option: name already exits");
    EXPECT_EQ(options[9].description, "dup");
    EXPECT_EQ(ErrorOf([&] { options[8]; }), "Bad option index");
    EXPECT_EQ(ErrorOf([&] { options.AddOption({9, "fresh", "", false}); }), "Bad option: index already exits");

    options.AddOption({7, "seven", "", true});
    EXPECT_TRUE(options[7].value);
}

}  // namespace
