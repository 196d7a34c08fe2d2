// ssh:// addresses, the ssh command line built from them, and the words
// that say which step of an ssh connection failed.
#include "client/SshAddress.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace kestrad::client;

TEST(SshAddress, ParsesEveryPartOrNamesWhatIsWrong)
{
    struct Row {
        const char* address;
        const char* user;
        const char* host;
        const char* port;
        const char* socket;
        const char* error;  // non-null: refused with this in the message
    };
    const Row rows[] = {
        {"ssh://lab", "", "lab", "", "", nullptr},
        {"SSH://ann@lab:2222/run/kestrad/vrk_pipe", "ann", "lab", "2222", "/run/kestrad/vrk_pipe", nullptr},
        {"ssh://[::1]:22/s", "", "::1", "22", "/s", nullptr},
        {"ssh://[fe80::1]", "", "fe80::1", "", "", nullptr},
        {"ssh://a@b@lab/", "a@b", "lab", "", "", nullptr},
        {"ssh://", nullptr, nullptr, nullptr, nullptr, "no host"},
        {"ssh://ann@:22", nullptr, nullptr, nullptr, nullptr, "no host"},
        {"ssh://@lab", nullptr, nullptr, nullptr, nullptr, "empty user name"},
        {"ssh://lab:0", nullptr, nullptr, nullptr, nullptr, "port '0'"},
        {"ssh://lab:65536", nullptr, nullptr, nullptr, nullptr, "port '65536'"},
        {"ssh://lab:", nullptr, nullptr, nullptr, nullptr, "port ''"},
        {"ssh://::1/s", nullptr, nullptr, nullptr, nullptr, "IPv6 host goes in brackets"},
        {"ssh://[::1", nullptr, nullptr, nullptr, nullptr, "'[' without ']'"},
        {"ssh://-oProxyCommand=touch:22", nullptr, nullptr, nullptr, nullptr, "may not begin with '-'"},
        {"ssh://-l@lab", nullptr, nullptr, nullptr, nullptr, "may not begin with '-'"},
        {"ssh://lab/a b", nullptr, nullptr, nullptr, nullptr, "blank or control character"},
        {"tcp://lab", nullptr, nullptr, nullptr, nullptr, "not an ssh:// address"},
    };
    for (const Row& row : rows) {
        if (row.error) {
            try {
                ParseSshAddress(row.address);
                ADD_FAILURE() << row.address << " was taken";
            } catch (const std::invalid_argument& e) {
                EXPECT_NE(std::string(e.what()).find(row.error), std::string::npos) << row.address << ": " << e.what();
            }
            continue;
        }
        const SshAddress a = ParseSshAddress(row.address);
        EXPECT_EQ(row.user, a.user) << row.address;
        EXPECT_EQ(row.host, a.host) << row.address;
        EXPECT_EQ(row.port, a.port) << row.address;
        EXPECT_EQ(row.socket, a.socket) << row.address;
    }
    EXPECT_TRUE(IsSshAddress("Ssh://x"));
    EXPECT_FALSE(IsSshAddress("ssh:/x"));
    EXPECT_FALSE(IsSshAddress("127.0.0.1:22"));
}

TEST(SshAddress, CommandLineIsTheSshWordsThenHostThenOneRemoteCommand)
{
    using V = std::vector<std::string>;
    struct Row {
        const char* address;
        const char* ssh;
        const char* remote;
        V argv;
    };
    const Row rows[] = {
        {"ssh://lab", "", "", {"ssh", "lab", "kestractl proxy"}},
        {"ssh://ann@lab:2222/run/k/vrk_pipe", "", "",
         {"ssh", "-l", "ann", "-p", "2222", "lab", "kestractl proxy /run/k/vrk_pipe"}},
        {"ssh://lab/tmp/it's", "ssh -i '/keys/my key' -J \"jump host\" -o A=b\\ c", "/opt/bin/kestractl",
         {"ssh", "-i", "/keys/my key", "-J", "jump host", "-o", "A=b c", "lab",
          "/opt/bin/kestractl proxy '/tmp/it'\\''s'"}},
        {"ssh://[::1]/s", "  ", "", {"ssh", "::1", "kestractl proxy /s"}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.argv, SshArgv(ParseSshAddress(row.address), row.ssh, row.remote)) << row.address;
    EXPECT_EQ((V{"a\"b", "c$d", ""}), SplitCommandWords("\"a\\\"b\" 'c$d' ''"));
    EXPECT_THROW(SplitCommandWords("ssh -i 'key"), std::invalid_argument);
    EXPECT_THROW(SplitCommandWords("ssh \"key"), std::invalid_argument);
    EXPECT_EQ("''", ShellQuote(""));
    try {
        SshArgv(ParseSshAddress("ssh://lab"), "ssh -i 'key", "");
        ADD_FAILURE() << "an unterminated quote was taken";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string("KESTRAD_SSH: unterminated ' in 'ssh -i 'key'"), e.what());
    }
}

TEST(SshAddress, EndSaysWhichStepFailed)
{
    struct Row {
        SshEnd end;
        const char* text;
    };
    auto exited = [](int status, const char* errors) {
        SshEnd e;
        e.exited = true;
        e.status = status;
        e.errors = errors;
        return e;
    };
    SshEnd killed;
    killed.signal = 9;
    SshEnd stopped = exited(143, "ssh: connect to host lab port 22: Connection timed out\n");
    stopped.stoppedByUs = true;
    const Row rows[] = {
        {exited(255, "Warning: added\r\nann@lab: Permission denied (publickey).\r\n"),
         "ssh authentication to lab failed: ann@lab: Permission denied (publickey)."},
        {exited(255, "Host key verification failed.\n"), "ssh could not verify the host key of lab: Host key verification failed."},
        {exited(255, "ssh: connect to host lab port 22: Connection refused\n"),
         "ssh to lab failed: ssh: connect to host lab port 22: Connection refused"},
        {exited(127, "bash: line 1: kestractl: command not found\n\n"),
         "no kestractl on lab (its path goes in KESTRAD_REMOTE_KESTRACTL): bash: line 1: kestractl: command not found"},
        {exited(3, "kestractl: connection failed: cannot connect to /s: No such file or directory\n"),
         "no kestrad behind the remote socket on lab: kestractl: connection failed: cannot connect to /s: No such file "
         "or directory"},
        {exited(2, ""), "kestractl on lab cannot run 'proxy' (an older version?)"},
        {exited(0, ""), "the proxy on lab ended"},
        {exited(1, "x\n"), "ssh to lab ended with status 1: x"},
        {killed, "ssh to lab ended by signal 9"},
        {stopped, "ssh to lab stopped: ssh: connect to host lab port 22: Connection timed out"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.text, DescribeSshEnd(row.end, "lab"));
}
