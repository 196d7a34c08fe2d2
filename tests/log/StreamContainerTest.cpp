#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log/StreamContainer.h"
#include "TestUtil.h"

namespace fs = std::filesystem;
using logtest::ReadFile;
using logtest::TempDir;

namespace {

constexpr int kNoStream = 0x7FFFFFFF;

// Lets a test break the open file the way a failed write would.
class BreakableFileStream : public CFileStream {
public:
    using CFileStream::CFileStream;
    void breakFile() { m_file.lock()->setstate(std::ios_base::badbit); }
};

// ----------------------------------------------------------- log directory

TEST(LogDirPath, FollowsTemp)
{
    logtest::EnvGuard guard("TEMP");
    setenv("TEMP", "C:\\Temp", 1);
    EXPECT_EQ(getLogDirPath() + "kestrad.log", "C:\\Temp/kestrad.log");
    setenv("TEMP", "/var/tmp", 1);
    EXPECT_EQ(getLogDirPath(), "/var/tmp/");
    setenv("TEMP", "", 1);
    EXPECT_EQ(getLogDirPath(), "");
    unsetenv("TEMP");
    EXPECT_EQ(getLogDirPath(), "");
}

// ---------------------------------------------------------------- streams

TEST(CreateStream, MakesTheKindAsked)
{
    EXPECT_NE(dynamic_cast<CStdOutStream*>(CStream::createStream(CStream::StdOut, "x", 5).get()), nullptr);
    EXPECT_NE(dynamic_cast<CStdErrStream*>(CStream::createStream(CStream::StdErr, "", 0).get()), nullptr);
    EXPECT_EQ(CStream::createStream(static_cast<CStream::Type>(3), "x", 0), nullptr);
    EXPECT_EQ(CStream::createStream(static_cast<CStream::Type>(-1), "x", 0), nullptr);

    TempDir dir;
    auto stream = CStream::createStream(CStream::File, dir.file("f.log"), 10);
    auto* file = dynamic_cast<CFileStream*>(stream.get());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->getName(), dir.file("f.log"));
    // Created closed: writes go nowhere and nothing is created.
    stream->write("abc", 3);
    stream->flush();
    EXPECT_FALSE(fs::exists(dir.file("f.log")));
    EXPECT_FALSE(fs::exists(dir.file("f.log.1")));
}

// ------------------------------------------------------------ file stream

TEST(FileStream, OpenFileRefusesWhileOpenAndFailsOnBadNames)
{
    TempDir dir;
    CFileStream stream(dir.file("a.log"), 1000);
    EXPECT_FALSE(stream.openFile("", false, true, std::ios_base::out));
    EXPECT_FALSE(stream.openFile(dir.file("missing/a.log"), false, true, std::ios_base::out));
    EXPECT_EQ(stream.getName(), dir.file("a.log"));

    ASSERT_TRUE(stream.openFile(dir.file("a.log"), false, true, std::ios_base::out));
    EXPECT_FALSE(stream.openFile(dir.file("b.log"), false, true, std::ios_base::out));
    EXPECT_FALSE(stream.openFile("", true, true, std::ios_base::out));
    EXPECT_FALSE(fs::exists(dir.file("b.log")));
    EXPECT_FALSE(fs::exists(dir.file("a.log.1")));
    stream.write("kept", 4);
    stream.flush();
    EXPECT_EQ(ReadFile(dir.file("a.log")), "kept");
    EXPECT_EQ(stream.getName(), dir.file("a.log"));
}

TEST(FileStream, CrossingTextEndsTheOldFileThenNumberedFilesFollow)
{
    TempDir dir;
    const std::string base = dir.file("r.log");
    CFileStream stream(base, 100);
    ASSERT_TRUE(stream.openFile(base, false, true, std::ios_base::out));

    const std::string held(90, 'a'), crossing(20, 'b');
    stream.write(held.data(), 90);
    stream.write(crossing.data(), 20);
    stream.flush();
    EXPECT_EQ(ReadFile(base), held + crossing);
    ASSERT_TRUE(fs::exists(base + ".1"));
    EXPECT_EQ(fs::file_size(base + ".1"), 0u);
    EXPECT_EQ(stream.getName(), base);

    stream.write("next", 4);
    const std::string fill(96, 'c');  // exactly at the limit: no roll-over yet
    stream.write(fill.data(), 96);
    stream.flush();
    EXPECT_EQ(ReadFile(base + ".1"), "next" + fill);
    EXPECT_FALSE(fs::exists(base + ".2"));

    stream.write("z", 1);
    stream.write("after", 5);
    stream.flush();
    EXPECT_EQ(ReadFile(base + ".1"), "next" + fill + "z");
    EXPECT_EQ(ReadFile(base + ".2"), "after");
}

TEST(FileStream, TextLongerThanTheLimitEndsEachFile)
{
    TempDir dir;
    const std::string base = dir.file("long.log");
    CFileStream stream(base, 10);
    ASSERT_TRUE(stream.openFile(base, false, true, std::ios_base::out));
    const std::string first(25, '1'), second(30, '2');
    stream.write(first.data(), 25);
    stream.write(second.data(), 30);
    stream.flush();
    EXPECT_EQ(ReadFile(base), first);
    EXPECT_EQ(ReadFile(base + ".1"), second);
    EXPECT_TRUE(fs::exists(base + ".2"));
    EXPECT_EQ(fs::file_size(base + ".2"), 0u);
}

TEST(FileStream, FailedStreamRollsOverWithoutLosingTheText)
{
    TempDir dir;
    const std::string base = dir.file("bad.log");
    BreakableFileStream stream(base, 1000000);
    ASSERT_TRUE(stream.openFile(base, false, true, std::ios_base::out));
    stream.write("before", 6);
    stream.flush();
    stream.breakFile();

    // Position reads as 0xFFFFFFFF: one byte is enough to roll over.
    stream.write("x", 1);
    stream.write("more", 4);
    stream.flush();
    EXPECT_EQ(ReadFile(base), "before");
    // The broken file cannot take the crossing text; the new file gets it.
    EXPECT_EQ(ReadFile(base + ".1"), "xmore");
}

TEST(FileStream, FailedRollOverDropsTextAndRetriesLater)
{
    TempDir dir;
    const std::string base = dir.file("r.log");
    CFileStream stream(base, 10);
    ASSERT_TRUE(stream.openFile(base, false, true, std::ios_base::out));
    // A directory where the next numbered file should go cannot be opened.
    fs::create_directory(base + ".1");

    stream.write("0123456789AB", 12);  // crosses: ends r.log, r.log.1 fails
    stream.write("lost", 4);           // retry fails again: dropped
    stream.flush();
    EXPECT_EQ(ReadFile(base), "0123456789AB");
    EXPECT_TRUE(fs::is_directory(base + ".1"));

    fs::remove(base + ".1");
    stream.write("found", 5);
    stream.flush();
    EXPECT_EQ(ReadFile(base + ".1"), "found");
    stream.write("123456", 6);  // 11 > 10: ends .1, opens .2
    stream.write("two", 3);
    stream.flush();
    EXPECT_EQ(ReadFile(base + ".1"), "found123456");
    EXPECT_EQ(ReadFile(base + ".2"), "two");
}

TEST(FileStream, ChangeEndpointSwitchesFileAndLimit)
{
    TempDir dir;
    CFileStream stream(dir.file("a.log"), 1000);
    ASSERT_TRUE(stream.openFile(dir.file("a.log"), false, true, std::ios_base::out));
    stream.write("first", 5);
    std::ofstream(dir.file("b.log")) << "stale text";

    ASSERT_TRUE(stream.changeEndpoint(dir.file("b.log"), 8));
    EXPECT_EQ(stream.getName(), dir.file("b.log"));
    EXPECT_EQ(ReadFile(dir.file("a.log")), "first");
    stream.write("0123456789", 10);  // over the new limit of 8: rolls over
    stream.write("tail", 4);
    stream.flush();
    EXPECT_EQ(ReadFile(dir.file("b.log")), "0123456789");  // truncated first
    EXPECT_EQ(ReadFile(dir.file("b.log.1")), "tail");

    // A new name that cannot be opened: false, stream without file, and the
    // next write goes to the next numbered file of the name in force.
    EXPECT_FALSE(stream.changeEndpoint(dir.file("missing/c.log"), 100));
    stream.write("resumed", 7);
    stream.flush();
    EXPECT_EQ(ReadFile(dir.file("b.log.2")), "resumed");
}

TEST(FileStream, ConcurrentWritersNeverSplitOrLoseLines)
{
    TempDir dir;
    const std::string base = dir.file("mt.log");
    auto stream = CStream::createStream(CStream::File, base, 500);
    auto* file = static_cast<CFileStream*>(stream.get());
    ASSERT_TRUE(file->openFile(base, false, true, std::ios_base::out));

    constexpr int kThreads = 4, kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            CStreamHandler handle(stream.get());
            char line[32];
            for (int i = 0; i < kLines; ++i) {
                const int n = std::snprintf(line, sizeof line, "thread %d line %04d\n", t, i);
                handle.write(line, static_cast<unsigned int>(n));
                handle.flush();
            }
        });
    }
    for (auto& th : threads)
        th.join();
    file->closeFile();

    std::string all = ReadFile(base);
    int files = 1;
    for (; fs::exists(base + "." + std::to_string(files)); ++files)
        all += ReadFile(base + "." + std::to_string(files));
    EXPECT_GT(files, 10);  // 19-byte lines, 500-byte files

    std::istringstream lines(all);
    std::set<std::string> seen;
    std::string line;
    while (std::getline(lines, line)) {
        EXPECT_EQ(line.size(), 18u) << line;
        EXPECT_TRUE(seen.insert(line).second) << "twice: " << line;
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

// A stream buffer that notes when two threads are inside it at once, the way
// a console buffer gets torn; each call lingers a little to make overlaps
// likely if nothing keeps them apart.
class COverlapCountingBuf : public std::streambuf {
public:
    std::string text;
    std::atomic<int> overlaps{0};

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        Enter();
        {
            std::lock_guard<std::mutex> guard(m_textMutex);  // the test's own bookkeeping
            text.append(s, static_cast<size_t>(n));
        }
        Leave();
        return n;
    }
    int_type overflow(int_type c) override
    {
        if (c != traits_type::eof()) {
            const char ch = traits_type::to_char_type(c);
            xsputn(&ch, 1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override
    {
        Enter();
        Leave();
        return 0;
    }

private:
    void Enter()
    {
        if (m_inside.fetch_add(1) != 0)
            ++overlaps;
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    void Leave() { m_inside.fetch_sub(1); }
    std::atomic<int> m_inside{0};
    std::mutex m_textMutex;
};

TEST(ConsoleStreams, StdErrFlushNeverRunsBesideAStdOutWrite)
{
    // std::cerr is tied to std::cout: each of its writes flushes std::cout.
    COverlapCountingBuf out, err;
    std::streambuf* const oldOut = std::cout.rdbuf(&out);
    std::streambuf* const oldErr = std::cerr.rdbuf(&err);
    ASSERT_EQ(std::cerr.tie(), &std::cout);
    {
        auto stdOut = CStream::createStream(CStream::StdOut, "", 0);
        auto stdErr = CStream::createStream(CStream::StdErr, "", 0);
        constexpr int kLines = 300;
        auto writer = [](CStream* stream, const char* line) {
            for (int i = 0; i < kLines; ++i) {
                stream->write(line, static_cast<unsigned int>(std::strlen(line)));
                stream->flush();
            }
        };
        std::thread a(writer, stdOut.get(), "out line\n");
        std::thread b(writer, stdErr.get(), "error line\n");
        a.join();
        b.join();
        std::cout.rdbuf(oldOut);
        std::cerr.rdbuf(oldErr);
        EXPECT_EQ(out.text.size(), std::strlen("out line\n") * kLines);
        EXPECT_EQ(err.text.size(), std::strlen("error line\n") * kLines);
    }
    EXPECT_EQ(out.overlaps.load(), 0);
    EXPECT_EQ(err.overlaps.load(), 0);
}

// -------------------------------------------------- what others planted

// A log directory anyone may write to: whatever stands at the log file's
// name is either a regular file of ours with one name, or it is refused with
// the reason and left as it was; the stream then has no file and writes go
// nowhere (the console still has them).
TEST(LogFile, RefusesWhatOthersPlantedAndLeavesItAlone)
{
    TempDir dir;
    const std::string victim = dir.file("victim");
    std::ofstream(victim) << "secret";
    ::chmod(victim.c_str(), 0600);
    const bool root = ::geteuid() == 0;

    struct Case {
        const char* what;
        std::function<void(const std::string&)> plant;
        std::string why;
    };
    const std::vector<Case> cases = {
        {"symlink", [&](const std::string& p) { fs::create_symlink(victim, p); }, "it is a symbolic link"},
        {"dangling symlink", [&](const std::string& p) { fs::create_symlink(dir.file("nowhere"), p); },
         "it is a symbolic link"},
        {"fifo", [](const std::string& p) { ::mkfifo(p.c_str(), 0666); }, "it is not a regular file"},
        {"directory", [](const std::string& p) { fs::create_directory(p); }, "it is a directory"},
        {"hard link", [&](const std::string& p) { fs::create_hard_link(victim, p); },
         "it has 2 names (hard links)"},
        {"someone else's file",
         [&](const std::string& p) {
             std::ofstream(p) << "planted";
             ::chmod(p.c_str(), 0666);
             // Only root can give a file away; others see their own file.
             if (root) {
                 EXPECT_EQ(::chown(p.c_str(), 4242, 4242), 0);
             }
         },
         root ? "it belongs to uid 4242, not to uid 0 (kestrad's user)" : ""},
    };
    for (const Case& c : cases) {
        const std::string path = dir.file(std::string(c.what) + ".log");
        c.plant(path);
        if (c.why.empty())
            continue;
        CFileStream stream(path, 1000);
        EXPECT_FALSE(stream.openFile(path, false, true, std::ios_base::out | std::ios_base::app)) << c.what;
        EXPECT_EQ(stream.lastError(), c.why) << c.what;
        // Roll-overs are refused the same way.
        CFileStream numbered(dir.file(c.what), 1000);
        std::string base = dir.file(c.what);
        fs::rename(path, base + ".1");
        EXPECT_FALSE(numbered.openFile("", true, true, std::ios_base::out)) << c.what;
        EXPECT_EQ(numbered.lastError(), c.why) << c.what;
    }
    EXPECT_EQ(ReadFile(victim), "secret");
    EXPECT_EQ(fs::status(victim).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

// A new log file has mode 0640 whatever the umask; an existing one of ours
// is appended to (the run before keeps its lines) and loses any group or
// world write permission; roll-overs number on from the files already there
// and keep the number of files asked for.
TEST(LogFile, IsCreatedPrivateAppendedToAndRolledWithinTheKeptCount)
{
    TempDir dir;
    const std::string base = dir.file("kestrad.log");
    const mode_t umask = ::umask(0);
    {
        CFileStream fresh(base, 1000);
        EXPECT_TRUE(fresh.openFile(base, false, true, std::ios_base::out | std::ios_base::app));
        fresh.write("one\n", 4);
    }
    ::umask(umask);
    EXPECT_EQ(fs::status(base).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    ::chmod(base.c_str(), 0666);
    std::ofstream(base + ".7") << "older run";
    CFileStream stream(base, 10);
    stream.setKeptFiles(2);
    ASSERT_TRUE(stream.openFile(base, false, true, std::ios_base::out | std::ios_base::app));
    EXPECT_EQ(fs::status(base).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    stream.write("two\n", 4);  // 8 of 10 bytes
    stream.write("crossing\n", 9);
    stream.flush();
    EXPECT_EQ(ReadFile(base), "one\ntwo\ncrossing\n");
    // The older run's .7 stays; this run goes on with .8.
    EXPECT_EQ(ReadFile(base + ".7"), "older run");
    EXPECT_TRUE(fs::exists(base + ".8"));
    for (const char* text : {"0123456789", "8", "0123456789", "9", "ten"})
        stream.write(text, static_cast<unsigned int>(std::strlen(text)));
    stream.flush();
    EXPECT_FALSE(fs::exists(base + ".7"));
    EXPECT_FALSE(fs::exists(base + ".8"));
    EXPECT_EQ(ReadFile(base + ".9"), "01234567899");
    EXPECT_EQ(ReadFile(base + ".10"), "ten");
}

// -------------------------------------------------------------- container

TEST(StreamContainer, IsOneInstanceWithTheConsoleStreamsFirst)
{
    CStreamContainer* container = CStreamContainer::getInstance();
    EXPECT_EQ(container, CStreamContainer::getInstance());
    EXPECT_GE(container->getLatestAddedStreamId(), 1);

    EXPECT_EQ(container->getStreamId(CStream::StdOut, "anything"), 0);
    EXPECT_EQ(container->getStreamId(CStream::StdErr, ""), 1);
    EXPECT_EQ(container->getStreamId(CStream::File, "never-recorded.log"), kNoStream);
    EXPECT_EQ(container->getStreamId(static_cast<CStream::Type>(9), "x"), kNoStream);

    EXPECT_NE(container->getStreamHandler(0), nullptr);
    EXPECT_NE(container->getStreamHandler(1), nullptr);
    EXPECT_EQ(container->getStreamHandler(kNoStream), nullptr);
    EXPECT_EQ(container->getStreamHandler(-1), nullptr);

    logtest::StreamCapture err(std::cerr);
    container->getStreamHandler(1)->write("e", 1);
    EXPECT_EQ(err.text(), "e");
}

TEST(StreamContainer, InitFStreamRecordsOnceAndRefusesWhatItCannotOpen)
{
    TempDir dir;
    CStreamContainer* container = CStreamContainer::getInstance();
    const int before = container->getLatestAddedStreamId();

    EXPECT_EQ(container->initFStream("", 100, std::ios_base::app), kNoStream);
    EXPECT_EQ(container->initFStream(dir.file("no/such/dir.log"), 100, std::ios_base::app), kNoStream);
    EXPECT_EQ(container->getLatestAddedStreamId(), before);
    EXPECT_EQ(container->getStreamId(CStream::File, dir.file("no/such/dir.log")), kNoStream);

    const std::string name = dir.file("kestrad.log");
    const int id = container->initFStream(name, 1000, std::ios_base::app);
    ASSERT_NE(id, kNoStream);
    EXPECT_GT(id, 1);
    EXPECT_EQ(container->getLatestAddedStreamId(), id);
    EXPECT_EQ(container->getStreamId(CStream::File, name), id);
    const size_t entries = container->getFstreamNameToId().size();

    // The second call finds the name and opens nothing new.
    EXPECT_EQ(container->initFStream(name, 5, std::ios_base::out), id);
    EXPECT_EQ(container->getFstreamNameToId().size(), entries);
    EXPECT_EQ(container->getLatestAddedStreamId(), id);

    auto handle = container->getStreamHandler(id);
    ASSERT_NE(handle, nullptr);
    handle->write("line\n", 5);
    handle->flush();
    EXPECT_EQ(ReadFile(name), "line\n");
}

TEST(StreamContainer, ChangeFStreamEndpointRenamesTheEntry)
{
    TempDir dir;
    CStreamContainer* container = CStreamContainer::getInstance();
    const int a = container->initFStream(dir.file("a.log"), 1000, std::ios_base::out);
    const int b = container->initFStream(dir.file("b.log"), 1000, std::ios_base::out);
    ASSERT_NE(a, kNoStream);
    ASSERT_NE(b, kNoStream);

    EXPECT_FALSE(container->changeFStreamEndpoint(0, dir.file("x.log"), 10));
    EXPECT_FALSE(container->changeFStreamEndpoint(1, dir.file("x.log"), 10));
    EXPECT_FALSE(container->changeFStreamEndpoint(kNoStream, dir.file("x.log"), 10));
    EXPECT_FALSE(fs::exists(dir.file("x.log")));

    EXPECT_TRUE(container->changeFStreamEndpoint(a, dir.file("a2.log"), 1000));
    EXPECT_EQ(container->getStreamId(CStream::File, dir.file("a2.log")), a);
    EXPECT_EQ(container->getStreamId(CStream::File, dir.file("a.log")), kNoStream);
    container->getStreamHandler(a)->write("moved", 5);
    container->getStreamHandler(a)->flush();
    EXPECT_EQ(ReadFile(dir.file("a2.log")), "moved");

    // The file moves, but a name another stream holds stays with that stream.
    EXPECT_TRUE(container->changeFStreamEndpoint(b, dir.file("a2.log.b"), 1000));
    EXPECT_TRUE(container->changeFStreamEndpoint(b, dir.file("a2.log"), 1000));
    EXPECT_EQ(container->getStreamId(CStream::File, dir.file("a2.log")), a);
    EXPECT_EQ(container->getStreamId(CStream::File, dir.file("a2.log.b")), b);
}

}  // namespace
