// ssh:// addresses end to end, through a real OpenSSH server: an sshd of our
// own on a free 127.0.0.1 port, running as the current user (root in CI)
// with a generated host key and a generated user key. kestractl, the Python
// client and a bridge reach a kestrad server (the server's own code, in
// process, on a local endpoint) through it; every failing step names
// itself; a killed ssh ends the client's session and frees the adapter.
//
// The remote kestractl is the build's, named by KESTRAD_REMOTE_KESTRACTL, so
// the sshd needs no environment of ours. The test is skipped only when
// sshd is not installed (scripts/install-deps installs openssh-server).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <cstdlib>

#include "client/Client.h"
#include "tests/server/ServerFixture.h"
#include "tests/support/Programs.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// A Xilinx part (6-bit IR, 0x3 selects IDCODE), as the bridge tests use.
const char* const kChain = "0x0362D093:6";

std::string Found(const std::string& name, const std::vector<std::string>& dirs)
{
    for (const std::string& dir : dirs)
        if (access((dir + "/" + name).c_str(), X_OK) == 0)
            return dir + "/" + name;
    return std::string();
}

// Runs a program to its end; its status and output.
struct Outcome {
    int status;
    std::string out, err;
};
Outcome RunToEnd(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env, const std::string& dir)
{
    Process p(program, args, env, dir);
    const int status = p.Wait(60s);
    return {status, p.Stdout(), p.Stderr()};
}

// An sshd that accepts the user key for the current user on 127.0.0.1.
struct Sshd {
    TempDir dir;
    Process process;
    int port = 0;
    std::string user;

    explicit Sshd(const std::string& sshd)
    {
        const std::string keygen = Found("ssh-keygen", {"/usr/bin", "/bin"});
        if (keygen.empty())
            throw std::runtime_error("ssh-keygen is not installed (scripts/install-deps installs openssh-client)");
        for (const char* key : {"host_key", "user_key", "wrong_key"}) {
            const Outcome made = RunToEnd(keygen, {"-q", "-t", "ed25519", "-N", "", "-f", dir.File(key)}, {}, dir.Path());
            if (made.status != 0)
                throw std::runtime_error("ssh-keygen failed: " + made.err);
        }
        WriteFile(dir.File("authorized_keys"), ReadFile(dir.File("user_key.pub")));
        // As root, sshd wants its privilege separation directory, which the
        // service would have made.
        if (geteuid() == 0)
            ::mkdir("/run/sshd", 0755);
        port = FreeTcpPort();
        WriteFile(dir.File("sshd_config"),
                  "ListenAddress 127.0.0.1:" + std::to_string(port) + "\nHostKey " + dir.File("host_key") +
                      "\nAuthorizedKeysFile " + dir.File("authorized_keys") +
                      "\nPidFile none\nUsePAM no\nStrictModes no\nPubkeyAuthentication yes\n"
                      "PasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                      "PermitRootLogin prohibit-password\nLogLevel VERBOSE\n");
        process = Process(sshd, {"-f", dir.File("sshd_config"), "-D", "-e"}, {}, dir.Path());
        if (!WaitFor([&] { return CanConnectTcp(port) || !process.Running(); }) || !process.Running())
            throw std::runtime_error("sshd did not start: " + process.Stderr());
        const passwd* entry = getpwuid(geteuid());
        user = entry ? entry->pw_name : "root";
    }

    // KESTRAD_SSH with a key: hermetic (no ~/.ssh/config, no agent keys,
    // no known_hosts) and never a prompt.
    std::string Ssh(const std::string& key) const
    {
        return "ssh -F /dev/null -i " + dir.File(key) +
               " -o IdentitiesOnly=yes -o IdentityAgent=none -o BatchMode=yes -o StrictHostKeyChecking=no"
               " -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR";
    }
    std::string Address(const std::string& socket) const
    {
        return "ssh://" + user + "@127.0.0.1:" + std::to_string(port) + socket;
    }
};

// An XVC 1.0 connection to a bridge (one client at a time is served, so
// every request goes through the one connection).
struct XvcClient {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    explicit XvcClient(int port)
    {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval limit{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
            ADD_FAILURE() << "cannot connect to the bridge on port " << port;
    }
    ~XvcClient() { close(fd); }
    // One request, `answer` bytes back (fewer when the bridge closes).
    std::string Ask(const std::string& request, size_t answer)
    {
        std::string got;
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
            return got;
        char buffer[256];
        while (got.size() < answer) {
            const ssize_t n = recv(fd, buffer, std::min(sizeof buffer, answer - got.size()), 0);
            if (n <= 0)
                break;
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }
};

}  // namespace

TEST(SshTunnel, ClientsAndBridgeReachTheServerThroughOpenSsh)
{
    const std::string sshd = Found("sshd", {"/usr/sbin", "/usr/bin", "/sbin"});
    if (sshd.empty())
        GTEST_SKIP() << "sshd is not installed (scripts/install-deps installs openssh-server)";
    ASSERT_FALSE(Found("ssh", {"/usr/bin", "/bin"}).empty()) << "ssh is not installed (openssh-client)";

    Sshd ssh(sshd);
    const auto idle = 6s;
    ServerHarness<LocalTransport> server({ChainedFakeAdapterSource({"FAKE0"}, kChain)}, false, idle);
    server.server().Options()[OPTION_OUTPUT].value = false;
    const std::string address = ssh.Address(server.Address());
    const std::map<std::string, std::string> env = {{"KESTRAD_SSH", ssh.Ssh("user_key")},
                                                    {"KESTRAD_REMOTE_KESTRACTL", ProgramPath("kestractl")},
                                                    {"KESTRAD_ADDRESS", ""}};
    TempDir work;
    auto kestractl = [&](std::vector<std::string> args, std::map<std::string, std::string> extra = {},
                         const std::string& where = "") {
        args.insert(args.begin(), {"-a", where.empty() ? address : where});
        std::map<std::string, std::string> all = env;
        for (const auto& [k, v] : extra)
            all[k] = v;
        return RunToEnd(ProgramPath("kestractl"), args, all, work.Path());
    };

    // kestractl: list, detect, a script.
    const Outcome list = kestractl({"list"});
    EXPECT_EQ(0, list.status) << list.err << ssh.process.Stderr();
    EXPECT_NE(std::string::npos, list.out.find("FAKE0")) << list.out;
    const Outcome detect = kestractl({"detect", "FAKE0"});
    EXPECT_EQ(0, detect.status) << detect.err;
    EXPECT_NE(std::string::npos, detect.out.find("0x0362d093")) << detect.out;
    WriteFile(work.File("idcode.kcs"), "open FAKE0\nirscan . 0x3 -l 6\ndrscan . 0 -l 32\n");
    const Outcome script = kestractl({"script", "idcode.kcs"});
    EXPECT_EQ(0, script.status) << script.err;
    EXPECT_EQ("0x01\n0x0362d093\n", script.out);

    // The Python client.
    std::map<std::string, std::string> pyEnv = env;
    pyEnv["PYTHONPATH"] = std::string(KESTRAD_SOURCE_DIR) + "/python";
    pyEnv["PYTHONDONTWRITEBYTECODE"] = "1";
    const Outcome python = RunToEnd("/usr/bin/python3",
                                  {"-c",
                                   "import sys, kestrad\n"
                                   "with kestrad.Client(sys.argv[1]) as c, c.open('FAKE0'):\n"
                                   "    c.shift_ir(0x3, 6)\n"
                                   "    print(hex(c.shift_dr(0, 32)))\n",
                                   address},
                                  pyEnv, work.Path());
    EXPECT_EQ(0, python.status) << python.err;
    EXPECT_EQ("0x362d093\n", python.out);

    // A bridge: XVC's getinfo, then the IDCODE clocked raw (five TMS ones
    // to Test-Logic-Reset, 0 1 0 0 to Shift-DR, 32 bits read there).
    {
        Process bridge(ProgramPath("kestractl"),
                       {"-a", address, "bridge", "xvc", "FAKE0", "--listen", "127.0.0.1:0"}, env, work.Path());
        int port = 0;
        WaitFor([&] {
            port = PortAfter(bridge.Stderr(), " on 127.0.0.1:");
            return port != 0 || !bridge.Running();
        });
        ASSERT_NE(0, port) << bridge.Stderr();
        XvcClient xvc(port);
        EXPECT_EQ("xvcServer_v1.0:8192\n", xvc.Ask("getinfo:", 20));
        const uint32_t bits = 9 + 32;
        std::string shift = "shift:";
        shift.append(reinterpret_cast<const char*>(&bits), 4);  // little-endian
        // TMS: cycles 0-4 one, 5 zero, 6 one, 7-8 zero, then zero.
        const std::string tms = {'\x5f', '\x00', '\x00', '\x00', '\x00', '\x00'};
        shift += tms + std::string(6, '\0');
        const std::string tdo = xvc.Ask(shift, 6);
        ASSERT_EQ(6u, tdo.size()) << bridge.Stderr();
        uint64_t word = 0;
        for (size_t i = 0; i < tdo.size(); ++i)
            word |= uint64_t(static_cast<uint8_t>(tdo[i])) << (8 * i);
        EXPECT_EQ(0x0362D093u, static_cast<uint32_t>(word >> 9)) << std::hex << word;
        kill(bridge.Pid(), SIGINT);
        EXPECT_EQ(0, bridge.Wait(20s)) << bridge.Stderr();
    }

    // A script whose SSH connection drops while it sleeps (only keep-alives
    // going) ends with a message that says so, not with a new session that
    // knows no open adapter.
    {
        WriteFile(work.File("long.kcs"), "open FAKE0\nsleep 6000\nirscan . 0x3 -l 6\n");
        Process script(ProgramPath("kestractl"), {"-a", address, "script", "long.kcs"}, env, work.Path());
        auto adapter = server.Adapter("FAKE0");
        ASSERT_TRUE(adapter);
        ASSERT_TRUE(WaitFor([&] { return adapter->IsOpened() || !script.Running(); }, 20s));
        pid_t sshPid = 0;
        const std::string pid = std::to_string(script.Pid());
        std::ifstream("/proc/" + pid + "/task/" + pid + "/children") >> sshPid;
        ASSERT_GT(sshPid, 0);
        kill(sshPid, SIGKILL);
        EXPECT_EQ(3, script.Wait(30s)) << script.Stderr();
        EXPECT_NE(std::string::npos, script.Stderr().find("kestractl: line 3: connection failed: the connection closed "
                                                          "while FAKE0 was open: "))
            << script.Stderr();
        EXPECT_NE(std::string::npos, script.Stderr().find(": ssh to 127.0.0.1 ended by signal 9")) << script.Stderr();
        EXPECT_TRUE(WaitFor([&] { return !adapter->IsOpened(); }, idle - 2s)) << "FAKE0 still open";
    }

    // Each failing step names itself.
    struct Failure {
        const char* what;
        std::map<std::string, std::string> env;
        std::string address;
        std::string message;
    };
    const std::vector<Failure> failures = {
        {"wrong key", {{"KESTRAD_SSH", ssh.Ssh("wrong_key")}}, address,
         "ssh authentication to 127.0.0.1 failed: "},
        {"no ssh", {{"KESTRAD_SSH", "/nonexistent/ssh -x"}}, address, "ssh not found: no program '/nonexistent/ssh'"},
        {"no kestractl", {{"KESTRAD_REMOTE_KESTRACTL", "/nonexistent/kestractl"}}, address,
         "no kestractl on 127.0.0.1 (its path goes in KESTRAD_REMOTE_KESTRACTL): "},
        {"no kestrad", {}, ssh.Address(work.File("none.sock")),
         "no kestrad behind the remote socket on 127.0.0.1: kestractl: connection failed: cannot connect to " +
             work.File("none.sock")},
    };
    for (const Failure& failure : failures) {
        const Outcome run = kestractl({"list"}, failure.env, failure.address);
        EXPECT_EQ(3, run.status) << failure.what << ": " << run.err;
        EXPECT_NE(std::string::npos, run.err.find("connection failed: cannot connect to '" + failure.address +
                                                  "': " + failure.message))
            << failure.what << ": " << run.err;
    }

    // A killed ssh ends the session with a message that says so, leaves no
    // process behind, and the server frees the adapter well within its idle
    // time: the remote proxy goes with the SSH connection, and the server
    // sees its client leave (not merely fall silent).
    setenv("KESTRAD_SSH", env.at("KESTRAD_SSH").c_str(), 1);
    setenv("KESTRAD_REMOTE_KESTRACTL", env.at("KESTRAD_REMOTE_KESTRACTL").c_str(), 1);
    kestrad::client::ClientOptions options;
    options.connectTimeout = options.replyTimeout = 20s;
    kestrad::client::CClient client(address, options);
    client.Open("FAKE0");
    const pid_t pid = client.TunnelPid();
    ASSERT_GT(pid, 0);
    kill(pid, SIGKILL);
    try {
        client.ShiftIR(0x3, 6);
        ADD_FAILURE() << "a call through a killed ssh succeeded";
    } catch (const kestrad::client::ConnectionError& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("ssh to 127.0.0.1 ended by signal 9")) << e.what();
    }
    EXPECT_EQ(-1, client.TunnelPid());
    EXPECT_EQ(-1, waitpid(pid, nullptr, WNOHANG));  // reaped already: no zombie
    unsetenv("KESTRAD_SSH");
    unsetenv("KESTRAD_REMOTE_KESTRACTL");
    const auto killed = std::chrono::steady_clock::now();
    bool free = false;
    while (!free && std::chrono::steady_clock::now() - killed < idle - 2s) {
        auto local = server.Connect();
        try {
            local->Open("FAKE0");
            free = true;
        } catch (const kestrad::client::ServerError&) {
            std::this_thread::sleep_for(50ms);
        }
    }
    EXPECT_TRUE(free) << server.Log();
}
