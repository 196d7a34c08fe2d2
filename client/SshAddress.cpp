// ssh:// addresses and the ssh command line built from them; no I/O.
#include "client/SshAddress.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace kestrad::client {

namespace {

const char kScheme[] = "ssh://";

bool IsDigits(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool HasControlOrBlank(const std::string& text)
{
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7f; });
}

std::string LastLine(const std::string& text)
{
    std::string last, line;
    for (char c : text + "\n") {
        if (c != '\n') {
            line += c;
            continue;
        }
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (!line.empty())
            last = line;
        line.clear();
    }
    return last;
}

bool Contains(const std::string& text, const char* what) { return text.find(what) != std::string::npos; }

}  // namespace

bool IsSshAddress(const std::string& address)
{
    const size_t n = sizeof(kScheme) - 1;
    if (address.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(address[i])) != kScheme[i])
            return false;
    return true;
}

SshAddress ParseSshAddress(const std::string& address)
{
    if (!IsSshAddress(address))
        throw std::invalid_argument("'" + address + "' is not an ssh:// address");
    auto bad = [&](const std::string& why) {
        return std::invalid_argument("bad address '" + address + "': " + why +
                                     " (the form is ssh://[user@]host[:port][/path/to/socket])");
    };
    const std::string rest = address.substr(sizeof(kScheme) - 1);
    SshAddress out;
    const size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    if (slash != std::string::npos && slash + 1 < rest.size())
        out.socket = rest.substr(slash);  // absolute: it keeps its leading '/'
    if (HasControlOrBlank(out.socket))
        throw bad("blank or control character in the socket path");

    const size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        out.user = authority.substr(0, at);
        authority = authority.substr(at + 1);
        if (out.user.empty())
            throw bad("empty user name before '@'");
    }
    std::string port;
    bool hasPort = false;
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos)
            throw bad("'[' without ']'");
        out.host = authority.substr(1, close - 1);
        const std::string after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':')
                throw bad("'" + after + "' after ']'");
            hasPort = true;
            port = after.substr(1);
        }
    } else {
        const size_t colon = authority.find(':');
        if (colon != std::string::npos && authority.find(':', colon + 1) != std::string::npos)
            throw bad("an IPv6 host goes in brackets, as in ssh://[::1]:22");
        out.host = authority.substr(0, colon);
        if (colon != std::string::npos) {
            hasPort = true;
            port = authority.substr(colon + 1);
        }
    }
    if (out.host.empty())
        throw bad("no host");
    // ssh would read "-oProxyCommand=..." as an option, not as a host.
    if (out.host.front() == '-' || (!out.user.empty() && out.user.front() == '-'))
        throw bad("a host or user may not begin with '-'");
    if (HasControlOrBlank(out.host) || HasControlOrBlank(out.user))
        throw bad("blank or control character in the host or user");
    if (hasPort) {
        if (!IsDigits(port) || port.size() > 5 || std::stoul(port) == 0 || std::stoul(port) > 65535)
            throw bad("port '" + port + "' is not a number from 1 to 65535");
        out.port = port;
    }
    return out;
}

std::vector<std::string> SplitCommandWords(const std::string& text)
{
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n') {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == '\'') {
            const size_t end = text.find('\'', i + 1);
            if (end == std::string::npos)
                throw std::invalid_argument("unterminated ' in '" + text + "'");
            word += text.substr(i + 1, end - i - 1);
            i = end;
        } else if (c == '"') {
            size_t j = i + 1;
            for (; j < text.size() && text[j] != '"'; ++j) {
                if (text[j] == '\\' && j + 1 < text.size() &&
                    (text[j + 1] == '"' || text[j + 1] == '\\' || text[j + 1] == '$' || text[j + 1] == '`'))
                    ++j;
                word += text[j];
            }
            if (j >= text.size())
                throw std::invalid_argument("unterminated \" in '" + text + "'");
            i = j;
        } else if (c == '\\') {
            if (i + 1 < text.size())
                word += text[++i];
        } else {
            word += c;
        }
    }
    if (inWord)
        words.push_back(word);
    return words;
}

std::string ShellQuote(const std::string& text)
{
    const bool safe = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::string("_@%+=:,./-").find(c) != std::string::npos;
    });
    if (safe)
        return text;
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::vector<std::string> SshArgv(const SshAddress& address, const std::string& sshCommand,
                                 const std::string& remoteKestractl)
{
    std::vector<std::string> argv;
    try {
        argv = SplitCommandWords(sshCommand);
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(std::string("KESTRAD_SSH: ") + e.what());
    }
    if (argv.empty())
        argv.push_back("ssh");
    if (!address.user.empty()) {
        argv.push_back("-l");
        argv.push_back(address.user);
    }
    if (!address.port.empty()) {
        argv.push_back("-p");
        argv.push_back(address.port);
    }
    argv.push_back(address.host);
    // ssh hands the remote command to the login's shell as one line.
    std::string remote = remoteKestractl.empty() ? std::string("kestractl") : remoteKestractl;
    remote += " proxy";
    if (!address.socket.empty())
        remote += " " + ShellQuote(address.socket);
    argv.push_back(remote);
    return argv;
}

std::string DescribeSshEnd(const SshEnd& end, const std::string& host)
{
    const std::string line = LastLine(end.errors);
    const std::string tail = line.empty() ? std::string() : ": " + line;
    if (end.stoppedByUs)
        return "ssh to " + host + " stopped" + tail;
    if (!end.exited)
        return "ssh to " + host + " ended by signal " + std::to_string(end.signal) + tail;
    switch (end.status) {
    case 255:
        if (Contains(end.errors, "Permission denied") || Contains(end.errors, "Too many authentication failures") ||
            Contains(end.errors, "Authentication failed"))
            return "ssh authentication to " + host + " failed" + tail;
        if (Contains(end.errors, "Host key verification failed"))
            return "ssh could not verify the host key of " + host + tail;
        return "ssh to " + host + " failed" + tail;
    case 126:
    case 127:
        return "no kestractl on " + host + " (its path goes in KESTRAD_REMOTE_KESTRACTL)" + tail;
    case 3:  // kestractl's status for a connection failure
        return "no kestrad behind the remote socket on " + host + tail;
    case 2:  // kestractl's usage error: a kestractl without "proxy"
        return "kestractl on " + host + " cannot run 'proxy' (an older version?)" + tail;
    case 0:
        return "the proxy on " + host + " ended" + tail;
    default:
        return "ssh to " + host + " ended with status " + std::to_string(end.status) + tail;
    }
}

}  // namespace kestrad::client
