#include <gtest/gtest.h>

#include <iostream>
#include <string>

#include "tests/support/TestContext.h"
#include "tests/log/TestUtil.h"

namespace {

TEST(TestServer, StartsWithTheServerDefaultsAndTheBuiltInConfiguration)
{
    CTestServer server;
    EXPECT_TRUE(server.Options()[OPTION_OUTPUT].value);
    EXPECT_TRUE(server.Options()[OPTION_VERBOSE].value);
    EXPECT_FALSE(server.Options()[OPTION_OUTBUF].value);
    EXPECT_FALSE(server.Options()[OPTION_SAVEPOINTS].value);
    EXPECT_EQ(server.Options()[OPTION_SAVEPOINTS].name, "savepoints");
    EXPECT_NO_THROW(server.Description().GetJTAGs());
    EXPECT_EQ(server.LogText(), "");
}

TEST(TestServer, RecordsEveryLevelInOrderAndClears)
{
    logtest::StreamCapture out(std::cout);
    logtest::StreamCapture err(std::cerr);
    CTestServer server;
    server.Options()[OPTION_OUTBUF].value = true;
    const unsigned char bytes[] = {0xC3};
    server.Logger().Log("one %d\n", 1);
    server.Logger().LogError("two\n");
    server.Logger().LogVerb("three\n");
    server.Logger().LogBuffer(bytes, 1, "BulkRead");
    EXPECT_EQ(server.LogText(), "one 1\ntwo\nthree\nBulkRead\nBuffer length: 1\n0xc3 \n\n");

    server.ClearLog();
    EXPECT_EQ(server.LogText(), "");
    server.Options()[OPTION_VERBOSE].value = false;
    server.Logger().LogVerb("hidden\n");
    server.Logger().Log("shown\n");
    EXPECT_EQ(server.LogText(), "shown\n");
}

}  // namespace
