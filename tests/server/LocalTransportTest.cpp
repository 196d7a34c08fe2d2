// The local endpoint: a Unix-domain socket standing in for the named pipe.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include "client/Client.h"
#include "wire/LocalEndpoint.h"
#include "tests/support/Process.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

Process StartLocal(const TempDir& dir, const std::vector<std::string>& args)
{
    return Process(ProgramPath("kestrad"), args, {{"TEMP", dir.Path()}, {"KESTRAD_PIPE_DIR", dir.Path()}},
                   dir.Path());
}

}  // namespace

TEST(LocalEndpoint, NameMapping)
{
    setenv("KESTRAD_PIPE_DIR", "/run/k", 1);
    EXPECT_EQ(LocalEndpointPath("\\\\.\\Pipe\\vrk_pipe"), "/run/k/vrk_pipe");
    EXPECT_EQ(LocalEndpointPath("\\\\.\\PIPE\\x"), "/run/k/x");
    EXPECT_EQ(LocalEndpointPath("/tmp/my.sock"), "/tmp/my.sock");
    EXPECT_EQ(LocalEndpointPath("localpipe"), "localpipe");
    unsetenv("KESTRAD_PIPE_DIR");
    setenv("XDG_RUNTIME_DIR", "/run/user/7", 1);
    EXPECT_EQ(LocalEndpointPath("\\\\.\\pipe\\vrk_pipe"), "/run/user/7/vrk_pipe");
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(LocalEndpointPath("\\\\.\\pipe\\vrk_pipe"), "/tmp/vrk_pipe");
}

TEST(LocalEndpoint, DefaultEndpointServesSessions)
{
    TempDir dir;
    Process server = StartLocal(dir, {});
    const std::string path = dir.File("vrk_pipe");
    ASSERT_TRUE(WaitFor([&] { return CanConnectLocal(path); }));

    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0666u);

    setenv("KESTRAD_PIPE_DIR", dir.Path().c_str(), 1);
    {
        kestrad::client::ClientOptions options;
        options.checkGreeting = false;
        kestrad::client::CClient first(KESTRAD_DEFAULT_PIPE, options);
        auto greeting = first.ReadReply(5s);
        EXPECT_EQ(greeting.status, 1u);
        EXPECT_EQ(greeting.body.size(), 8u);
        EXPECT_TRUE(first.List().empty());
        first.Disconnect();
        kestrad::client::CClient second(KESTRAD_DEFAULT_PIPE);
        second.KeepAlive();
        EXPECT_TRUE(second.List().empty());
    }
    unsetenv("KESTRAD_PIPE_DIR");
    // Every connection probe above counts as a session too; the two clients
    // are the last two started.
    EXPECT_TRUE(WaitFor([&] {
        return server.Stdout().find("Session ended.") != std::string::npos;
    }));
    const std::string out = server.Stdout();
    EXPECT_NE(out.find("A new session started."), std::string::npos);
    EXPECT_NE(out.find("CMD_RENUMERATE"), std::string::npos);
}

TEST(LocalEndpoint, SessionIdsStartAtOne)
{
    TempDir dir;
    const std::string path = dir.File("ids.sock");
    Process server = StartLocal(dir, {"-a", path});
    // Wait for the socket file without connecting to it.
    ASSERT_TRUE(WaitFor([&] {
        struct stat st;
        return stat(path.c_str(), &st) == 0;
    }));
    {
        kestrad::client::CClient a(path);
        a.List();
    }
    {
        kestrad::client::CClient b(path);
        b.List();
    }
    EXPECT_TRUE(WaitFor([&] { return server.Stdout().find("Session:2: Session ended.") != std::string::npos; }));
    EXPECT_NE(server.Stdout().find("Session:1: CMD_RENUMERATE"), std::string::npos);
    EXPECT_NE(server.Stdout().find("Session:2: CMD_RENUMERATE"), std::string::npos);
}

TEST(LocalEndpoint, StaleSocketIsReplaced)
{
    TempDir dir;
    const std::string path = dir.File("stale.sock");
    {
        Process first = StartLocal(dir, {"-a", path});
        ASSERT_TRUE(WaitFor([&] { return CanConnectLocal(path); }));
        kill(first.Pid(), SIGKILL);
        first.Wait(5s);
    }
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);  // the dead server left its socket
    Process second = StartLocal(dir, {"-a", path});
    ASSERT_TRUE(WaitFor([&] { return CanConnectLocal(path); }));
    kestrad::client::CClient c(path);
    EXPECT_TRUE(c.List().empty());
}

TEST(LocalEndpoint, RefusesToTouchOtherFiles)
{
    TempDir dir;
    const std::string path = dir.File("precious.txt");
    WriteFile(path, "keep me");
    Process server = StartLocal(dir, {"-a", path});
    EXPECT_EQ(server.Wait(10s), 1);  // a server that did not start says so
    EXPECT_EQ(server.Stderr(), "Exception: local endpoint " + path +
                                   " exists and is not a socket; not removing it\n");
    EXPECT_EQ(ReadFile(path), "keep me");
}

TEST(LocalEndpoint, SecondServerOnSameNameRefuses)
{
    TempDir dir;
    const std::string path = dir.File("busy.sock");
    Process first = StartLocal(dir, {"-a", path});
    ASSERT_TRUE(WaitFor([&] { return CanConnectLocal(path); }));
    TempDir other;
    Process second = StartLocal(other, {"-a", path});
    EXPECT_EQ(second.Wait(10s), 1);
    EXPECT_EQ(second.Stderr(), "Exception: local endpoint " + path + " is in use by another server\n");
    EXPECT_TRUE(first.Running());
    kestrad::client::CClient c(path);
    EXPECT_TRUE(c.List().empty());
}

TEST(LocalEndpoint, MissingDirectoryFailsFromStart)
{
    TempDir dir;
    const std::string path = dir.File("no/such/dir/k.sock");
    Process server = StartLocal(dir, {"-v", "-a", path});
    EXPECT_EQ(server.Wait(10s), 1);  // a server that did not start says so
    EXPECT_EQ(server.Stderr(), "Exception: bind " + path + ": No such file or directory\n");
    // Init() ran (the log file exists) and Start() was entered before the failure.
    EXPECT_NE(server.Stdout().find("::Start() [with Protocol = LocalProtocol]"), std::string::npos);
}
