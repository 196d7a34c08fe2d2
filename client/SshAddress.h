// ssh:// addresses: how a client reaches a kestrad on another machine
// through the user's own SSH login, without the server's endpoint ever
// leaving that machine.
//
//   ssh://[user@]host[:port][/path/to/socket]
//
// The client starts ssh (or the words of $KESTRAD_SSH, e.g.
// "ssh -i key -J jump", as git takes GIT_SSH_COMMAND) with the remote
// command "kestractl proxy [SOCKET]" ($KESTRAD_REMOTE_KESTRACTL names
// another kestractl, as rsync's --rsync-path does) and speaks the wire
// protocol over the process's standard input and output.
//
// Everything here is pure: text in, text out. The process is
// client/SshTunnel.h.
#pragma once

#include <string>
#include <vector>

namespace kestrad::client {

struct SshAddress {
    std::string user;    // empty: ssh's own default (its configuration, the login name)
    std::string host;    // a name, an IPv4 address or an IPv6 address (without brackets)
    std::string port;    // empty: ssh's default
    std::string socket;  // empty: the remote kestractl's default endpoint
};

// Whether `address` is an ssh:// address (the scheme in any letter case).
bool IsSshAddress(const std::string& address);

// Splits an ssh:// address. Throws std::invalid_argument naming what is
// wrong (no host, a bad port, a host that ssh would take for an option).
SshAddress ParseSshAddress(const std::string& address);

// Splits a command line into words as a POSIX shell would for plain words:
// blanks separate, '...' keeps everything literally, "..." keeps blanks and
// takes \" \\ \$ \` as escapes, a backslash outside quotes escapes the next
// character. No expansion of any kind. Throws std::invalid_argument for an
// unterminated quote.
std::vector<std::string> SplitCommandWords(const std::string& text);

// `text` quoted for a POSIX shell: as it stands when it holds only safe
// characters, else in single quotes.
std::string ShellQuote(const std::string& text);

// The program and arguments to start for `address`: the words of
// `sshCommand` (empty means "ssh"), then -l USER, -p PORT, "--", the host
// and one remote command: `remoteKestractl` (empty means "kestractl"; it is
// a shell command of the remote login, used as it stands) followed by
// "proxy" and the quoted socket path.
std::vector<std::string> SshArgv(const SshAddress& address, const std::string& sshCommand,
                                 const std::string& remoteKestractl);

// How an ssh process ended, as the client saw it.
struct SshEnd {
    bool exited = false;   // exit status valid
    int status = 0;        // exit status
    int signal = 0;        // the signal that ended it, when !exited
    bool stoppedByUs = false;  // the client ended it (a time-out, a close)
    std::string errors;    // what it wrote to stderr (the last few KiB)
};

// Which step failed, in words: ssh itself or the connection to the host
// (status 255: authentication, host key, unreachable host), no kestractl on
// the remote host (126, 127), no kestrad behind the remote socket (3, the
// proxy's connection failure), or how else it ended. Includes the last line
// ssh or the remote side wrote to stderr. `host` is the address's host.
std::string DescribeSshEnd(const SshEnd& end, const std::string& host);

}  // namespace kestrad::client
