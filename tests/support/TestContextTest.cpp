#include <gtest/gtest.h>

#include <iostream>
#include <string>

#include "tests/support/TestContext.h"
#include "tests/log/TestUtil.h"

namespace {

TEST(TestContext, StartsWithTheServerDefaultsAndTheBuiltInConfiguration)
{
    CTestContext test;
    EXPECT_TRUE(test.Options()[OPTION_OUTPUT].value);
    EXPECT_TRUE(test.Options()[OPTION_VERBOSE].value);
    EXPECT_FALSE(test.Options()[OPTION_OUTBUF].value);
    EXPECT_NO_THROW(test.Description().GetJTAGs());
    EXPECT_EQ(test.LogText(), "");
    // The context refers to the test's logger and switches.
    const AdapterContext context = test.Context();
    EXPECT_EQ(&context.logger, &test.Logger());
    EXPECT_EQ(&context.description, &test.Description());
    EXPECT_FALSE(context.Savepoints());
    test.SetSavepoints(true);
    EXPECT_TRUE(context.Savepoints());
}

TEST(TestContext, RecordsEveryLevelInOrderAndClears)
{
    logtest::StreamCapture out(std::cout);
    logtest::StreamCapture err(std::cerr);
    CTestContext test;
    test.Options()[OPTION_OUTBUF].value = true;
    const unsigned char bytes[] = {0xC3};
    test.Logger().Log("one %d\n", 1);
    test.Logger().LogError("two\n");
    test.Logger().LogVerb("three\n");
    test.Logger().LogBuffer(bytes, 1, "BulkRead");
    EXPECT_EQ(test.LogText(), "one 1\ntwo\nthree\nBulkRead\nBuffer length: 1\n0xc3 \n\n");

    test.ClearLog();
    EXPECT_EQ(test.LogText(), "");
    test.Options()[OPTION_VERBOSE].value = false;
    test.Logger().LogVerb("hidden\n");
    test.Logger().Log("shown\n");
    EXPECT_EQ(test.LogText(), "shown\n");
}

}  // namespace
