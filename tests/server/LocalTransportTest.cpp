// The local endpoint: a Unix-domain socket standing in for the named pipe.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "client/Client.h"
#include "server/LocalTransport.h"
#include "wire/LocalEndpoint.h"
#include "tests/server/ServerFixture.h"
#include "tests/support/Process.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// Every path this test program changes the mode of (the server's code is
// linked into it): a chmod by path after bind would follow whatever another
// user put at the path meanwhile.
std::mutex g_chmodMutex;
std::vector<std::string> g_chmodPaths;

}  // namespace

extern "C" int chmod(const char* path, mode_t mode)
{
    {
        std::lock_guard<std::mutex> lock(g_chmodMutex);
        g_chmodPaths.push_back(path);
    }
    using Real = int (*)(const char*, mode_t);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "chmod"));
    return real(path, mode);
}

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

    // Without KESTRAD_PIPE_DIR the default is never a directory every user
    // may write to: root's own, the user's runtime directory, else a
    // directory of the user's in /tmp.
    const struct {
        unsigned long euid;
        const char* xdg;
        std::string dir;
        LocalDirKind made;
    } rows[] = {
        {0, nullptr, "/run/kestrad", LocalDirKind::Shared},
        {0, "/run/user/0", "/run/kestrad", LocalDirKind::Shared},
        {1000, "/run/user/1000", "/run/user/1000", LocalDirKind::None},
        {1000, nullptr, "/tmp/kestrad-1000", LocalDirKind::Private},
    };
    for (const auto& r : rows) {
        if (r.xdg)
            setenv("XDG_RUNTIME_DIR", r.xdg, 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
        LocalDirKind made;
        EXPECT_EQ(LocalRuntimeDirFor(r.euid, &made), r.dir);
        EXPECT_EQ(made, r.made) << r.dir;
    }
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(LocalEndpointPath("\\\\.\\pipe\\vrk_pipe"), LocalRuntimeDirFor(geteuid()) + "/vrk_pipe");

    // Made as a server starts: a user's private directory in /tmp (a uid no
    // one has, so nothing real is touched).
    const unsigned long nobody = 3900000000ul + static_cast<unsigned long>(getpid());
    const std::string made = "/tmp/kestrad-" + std::to_string(nobody);
    EXPECT_EQ(PrepareLocalRuntimeDir(nobody), made);
    struct stat st;
    ASSERT_EQ(lstat(made.c_str(), &st), 0) << made;
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    rmdir(made.c_str());
}

// The directory of the default endpoint is made private to kestrad's user
// (root's for everyone to reach, mode 0755; a user's 0700), whatever the
// umask; one that is there already must be such a directory, else kestrad
// refuses to serve in it and leaves it alone.
TEST(LocalEndpoint, DefaultDirectoryIsMadeOrCheckedNeverTrusted)
{
    TempDir dir;
    const mode_t umask = ::umask(077);
    PrepareLocalEndpointDir(dir.File("shared"), LocalDirKind::Shared);
    PrepareLocalEndpointDir(dir.File("private"), LocalDirKind::Private);
    ::umask(umask);
    struct stat st;
    ASSERT_EQ(lstat(dir.File("shared").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ASSERT_EQ(lstat(dir.File("private").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    PrepareLocalEndpointDir(dir.File("shared"), LocalDirKind::Shared);  // as it was made: fine

    ASSERT_EQ(mkdir(dir.File("target").c_str(), 0700), 0);
    ASSERT_EQ(symlink(dir.File("target").c_str(), dir.File("link").c_str()), 0);
    ASSERT_EQ(mkdir(dir.File("open").c_str(), 0700), 0);
    ASSERT_EQ(chmod(dir.File("open").c_str(), 01777), 0);
    ASSERT_EQ(mkdir(dir.File("theirs").c_str(), 0700), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(dir.File("theirs").c_str(), 4242, 4242), 0);
    }
    const std::string me = std::to_string(geteuid());
    const struct {
        std::string name;
        LocalDirKind kind;
        std::string error;
    } refused[] = {
        {"link", LocalDirKind::Private, "local endpoint directory " + dir.File("link") +
                                            " is not a directory; not serving there"},
        {"open", LocalDirKind::Shared, "local endpoint directory " + dir.File("open") +
                                           " has mode 1777, open to other users' writes; not serving there "
                                           "(chmod it 0755, or name another with KESTRAD_PIPE_DIR)"},
        {"shared", LocalDirKind::Private, "local endpoint directory " + dir.File("shared") +
                                              " has mode 0755, open to other users; not serving there "
                                              "(chmod it 0700, or name another with KESTRAD_PIPE_DIR)"},
        {root ? "theirs" : "", LocalDirKind::Private,
         "local endpoint directory " + dir.File("theirs") + " belongs to uid 4242, not to uid " + me +
             "; not serving there (remove it, or name another with KESTRAD_PIPE_DIR)"},
    };
    for (const auto& r : refused) {
        if (r.name.empty())
            continue;  // giving a directory away needs root
        try {
            PrepareLocalEndpointDir(dir.File(r.name), r.kind);
            ADD_FAILURE() << r.name << " was accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), r.error);
        }
    }
    ASSERT_EQ(lstat(dir.File("open").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);
}

// The socket file gets its mode from the umask while it is bound (0660, or
// KESTRAD_SOCKET_MODE), whatever the process's umask, and its path is never
// given to chmod; a mode that is not one of read and write bits for at least
// the owner stops the server instead of serving more open or closed.
TEST(LocalEndpoint, SocketModeIsSetAtCreationNotByPath)
{
    struct Row {
        const char* value;  // nullptr: unset
        mode_t mode;        // 0: refused
    };
    const Row rows[] = {{nullptr, 0660}, {"", 0660}, {"0666", 0666}, {"600", 0600}, {"0640", 0640},
                        {"0777", 0}, {"0460", 0}, {"0x1b6", 0}, {"66", 0}, {"00660", 0}, {"0668", 0}};
    for (const Row& row : rows) {
        if (row.value)
            setenv("KESTRAD_SOCKET_MODE", row.value, 1);
        else
            unsetenv("KESTRAD_SOCKET_MODE");
        const std::string what = row.value ? row.value : "(unset)";
        const mode_t umask = ::umask(077);
        try {
            ServerHarness<LocalTransport> harness({});
            ::umask(umask);
            ASSERT_NE(row.mode, 0u) << what << " was taken";
            struct stat st;
            ASSERT_EQ(lstat(harness.Address().c_str(), &st), 0);
            EXPECT_TRUE(S_ISSOCK(st.st_mode));
            EXPECT_EQ(st.st_mode & 0777, row.mode) << what;
            EXPECT_EQ(st.st_gid, getegid()) << what;
            std::lock_guard<std::mutex> lock(g_chmodMutex);
            EXPECT_EQ(std::count(g_chmodPaths.begin(), g_chmodPaths.end(), harness.Address()), 0);
        } catch (const std::runtime_error& e) {
            ::umask(umask);
            EXPECT_EQ(row.mode, 0u) << what << ": " << e.what();
            EXPECT_EQ(std::string(e.what()).rfind("KESTRAD_SOCKET_MODE='" + what + "' is not an octal mode", 0), 0u)
                << e.what();
        }
        EXPECT_EQ(::umask(umask), umask);  // given back
    }
    unsetenv("KESTRAD_SOCKET_MODE");
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
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    // The start-up log says who may connect.
    EXPECT_TRUE(WaitFor([&] {
        return server.Stdout().find("Local endpoint " + path + ": mode 0660, group ") != std::string::npos;
    })) << server.Stdout();

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
