#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "log/Logger.h"
#include "log/StreamContainer.h"
#include "TestUtil.h"

namespace {

// Records every write separately and counts flushes, so tests can check that
// a text arrives in one piece.
class CallRecorder : public CStream {
public:
    void write(const char* data, unsigned int length) override { writes.emplace_back(data, length); }
    void flush() override { ++flushes; }

    std::string text() const
    {
        std::string all;
        for (const auto& w : writes)
            all += w;
        return all;
    }

    std::vector<std::string> writes;
    int flushes = 0;
};

COptions<bool> ServerOptions(bool output, bool verbose, bool outbuf)
{
    return COptions<bool>{{2, "output", "Logger output", output},
                          {3, "verbose", "Verbose mode", verbose},
                          {4, "outbuf", "Log buffer", outbuf},
                          {5, "savepoints", "RTL model savepoints mode", false}};
}

// A logger over the process's container (console handles included) with a
// recorder on each list; the console is captured for the test's duration.
class LoggerTest : public ::testing::Test {
protected:
    LoggerTest() : m_options(ServerOptions(true, true, true)), m_logger(m_options, CStreamContainer::getInstance())
    {
        m_logger.AddOutputStream(std::make_unique<CStreamHandler>(&m_out));
        m_logger.AddErrorStream(std::make_unique<CStreamHandler>(&m_err));
    }

    void LogEverything()
    {
        const unsigned char bytes[] = {1, 2};
        m_logger.Log("log %d\n", 1);
        m_logger.LogVerb("verb %d\n", 2);
        m_logger.LogError("error %d\n", 3);
        m_logger.LogBuffer(bytes, 2, "dump %d", 5);
    }

    logtest::StreamCapture m_stdout{std::cout};
    logtest::StreamCapture m_stderr{std::cerr};
    COptions<bool> m_options;
    CLogger m_logger;
    CallRecorder m_out, m_err;
};

TEST_F(LoggerTest, RoutesEachLevelToItsLists)
{
    LogEverything();
    const std::string dump = "dump 5\nBuffer length: 2\n0x01 0x02 \n\n";
    EXPECT_EQ(m_out.text(), "log 1\nverb 2\n" + dump);
    EXPECT_EQ(m_stdout.text(), "log 1\nverb 2\n" + dump);
    // Errors go to standard error and the error list only.
    EXPECT_EQ(m_err.text(), "error 3\n");
    EXPECT_EQ(m_stderr.text(), "error 3\n");
}

TEST_F(LoggerTest, OutputOffSilencesEverything)
{
    m_options[2].value = false;
    LogEverything();
    EXPECT_TRUE(m_out.writes.empty());
    EXPECT_TRUE(m_err.writes.empty());
    EXPECT_EQ(m_out.flushes + m_err.flushes, 0);
    EXPECT_EQ(m_stdout.text(), "");
    EXPECT_EQ(m_stderr.text(), "");

    // Options are read on every call: switching back on takes effect at once.
    m_options[2].value = true;
    m_logger.Log("back\n");
    EXPECT_EQ(m_out.text(), "back\n");
}

TEST_F(LoggerTest, VerboseOffGatesOnlyLogVerb)
{
    m_options[3].value = false;
    LogEverything();
    EXPECT_EQ(m_out.text(), "log 1\ndump 5\nBuffer length: 2\n0x01 0x02 \n\n");
    EXPECT_EQ(m_err.text(), "error 3\n");
}

TEST_F(LoggerTest, BufferDumpNeedsOutbufAndABuffer)
{
    const unsigned char bytes[] = {7};
    m_options[4].value = false;
    m_logger.LogBuffer(bytes, 1, "BulkRead");
    EXPECT_TRUE(m_out.writes.empty());

    m_options[4].value = true;
    m_logger.LogBuffer(nullptr, 1, "BulkRead");
    m_logger.LogBuffer(nullptr, 0, "BulkRead");
    EXPECT_TRUE(m_out.writes.empty());
    EXPECT_EQ(m_stdout.text(), "");
}

TEST_F(LoggerTest, DumpIsTitleThenOneWriteOfTheBytes)
{
    const unsigned char bytes[] = {0x01, 0x0A, 0xFF};
    m_logger.LogBuffer(bytes, 3, "BulkWrite");
    ASSERT_EQ(m_out.writes.size(), 2u);
    EXPECT_EQ(m_out.writes[0], "BulkWrite");
    EXPECT_EQ(m_out.writes[1], "\nBuffer length: 3\n0x01 0x0a 0xff \n\n");
    EXPECT_EQ(m_out.flushes, 2);
    EXPECT_EQ(m_stdout.text(), "BulkWrite\nBuffer length: 3\n0x01 0x0a 0xff \n\n");
}

TEST_F(LoggerTest, DumpOfNoBytesSaysEmpty)
{
    const unsigned char bytes[] = {0x55};
    m_logger.LogBuffer(bytes, 0, "Title %s", "x");
    m_logger.LogBuffer(bytes, -4, "Neg");
    EXPECT_EQ(m_out.text(),
              "Title x\nBuffer length: 0\n{Empty}\n\n"
              "Neg\nBuffer length: -4\n{Empty}\n\n");
}

TEST_F(LoggerTest, EachHandleGetsItsOwnWriteAndFlush)
{
    // Several handles in one list: every one must see the full arguments,
    // which breaks if one va_list is walked twice.
    CallRecorder second;
    m_logger.AddOutputStream(std::make_unique<CStreamHandler>(&second));
    m_logger.AddOutputStream(nullptr);  // a log file that failed to open
    m_logger.Log("Session:%d: %s %u\n", 7, "opened", 42u);

    for (CallRecorder* r : {&m_out, &second}) {
        ASSERT_EQ(r->writes.size(), 1u);
        EXPECT_EQ(r->writes[0], "Session:7: opened 42\n");
        EXPECT_EQ(r->flushes, 1);
    }
    const unsigned char bytes[] = {0xAB};
    m_logger.LogBuffer(bytes, 1, "T%d", 9);
    EXPECT_EQ(second.writes.back(), "\nBuffer length: 1\n0xab \n\n");
    EXPECT_EQ(second.writes[1], "T9");
}

TEST_F(LoggerTest, LongMessageIsWrittenWhole)
{
    std::string big(10000, 'k');
    big[4321] = 'X';
    m_logger.Log("<%s>\n", big.c_str());
    ASSERT_EQ(m_out.writes.size(), 1u);
    EXPECT_EQ(m_out.writes[0], "<" + big + ">\n");
}

TEST(LoggerGates, MissingOptionsRaiseOnlyWhenConsulted)
{
    logtest::StreamCapture out(std::cout);
    COptions<bool> options{{2, "output", "Logger output", true}};
    CLogger logger(options, CStreamContainer::getInstance());
    CallRecorder rec;
    logger.AddOutputStream(std::make_unique<CStreamHandler>(&rec));

    try {
        logger.LogVerb("v\n");
        FAIL() << "LogVerb without option 3 must throw";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Bad option index");
    }
    const unsigned char byte = 1;
    EXPECT_THROW(logger.LogBuffer(&byte, 1, "t"), std::runtime_error);
    // Missing option 4 raises even for a null buffer: the option comes first.
    EXPECT_THROW(logger.LogBuffer(nullptr, 1, "t"), std::runtime_error);
    logger.Log("plain\n");
    EXPECT_EQ(rec.text(), "plain\n");

    options[2].value = false;
    EXPECT_NO_THROW(logger.LogVerb("v\n"));
    EXPECT_NO_THROW(logger.LogBuffer(&byte, 1, "t"));
    EXPECT_EQ(rec.text(), "plain\n");

    COptions<bool> empty;
    CLogger bare(empty, CStreamContainer::getInstance());
    EXPECT_THROW(bare.Log("x"), std::runtime_error);
    EXPECT_THROW(bare.LogError("x"), std::runtime_error);
}

}  // namespace
