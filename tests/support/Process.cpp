#include "tests/support/Process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testsupport {

std::string BinDir() { return std::string(KESTRAD_BINARY_DIR) + "/bin"; }

std::string ProgramPath(const std::string& name) { return BinDir() + "/" + name; }

std::string SimUsbLibrary() { return std::string(KESTRAD_BINARY_DIR) + "/lib/libkestrad-simusb.so"; }

#ifndef KESTRAD_SANITIZER_PRELOAD
#define KESTRAD_SANITIZER_PRELOAD ""
#endif

std::string SimUsbPreload()
{
    const std::string runtime = KESTRAD_SANITIZER_PRELOAD;
    return runtime.empty() ? SimUsbLibrary() : runtime + ":" + SimUsbLibrary();
}

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kestrad-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    m_path = buf.data();
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

Process::Process(const std::string& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env, const std::string& workDir)
    : m_workDir(workDir)
{
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        auto eq = entry.find('=');
        if (eq != std::string::npos)
            merged[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& kv : env) {
        if (kv.second.empty())
            merged.erase(kv.first);
        else
            merged[kv.first] = kv.second;
    }
    std::vector<std::string> envStrings;
    for (const auto& kv : merged)
        envStrings.push_back(kv.first + "=" + kv.second);

    std::vector<std::string> argStrings;
    argStrings.push_back(program);
    argStrings.insert(argStrings.end(), args.begin(), args.end());

    const std::string out = workDir + "/stdout.txt";
    const std::string err = workDir + "/stderr.txt";

    m_pid = fork();
    if (m_pid < 0)
        throw std::runtime_error("fork failed: " + std::string(std::strerror(errno)));
    if (m_pid == 0) {
        std::vector<char*> argv, envp;
        for (auto& s : argStrings)
            argv.push_back(const_cast<char*>(s.c_str()));
        argv.push_back(nullptr);
        for (auto& s : envStrings)
            envp.push_back(const_cast<char*>(s.c_str()));
        envp.push_back(nullptr);
        int fdOut = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int fdErr = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int fdIn = open("/dev/null", O_RDONLY);
        if (fdOut < 0 || fdErr < 0 || fdIn < 0 || chdir(workDir.c_str()) != 0)
            _exit(126);
        dup2(fdIn, 0);
        dup2(fdOut, 1);
        dup2(fdErr, 2);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
}

Process::~Process() { Kill(); }

Process::Process(Process&& other) noexcept { *this = std::move(other); }

Process& Process::operator=(Process&& other) noexcept
{
    if (this != &other) {
        Kill();
        m_pid = other.m_pid;
        m_status = other.m_status;
        m_reaped = other.m_reaped;
        m_workDir = std::move(other.m_workDir);
        other.m_pid = -1;
    }
    return *this;
}

bool Process::Running()
{
    if (m_pid <= 0 || m_reaped)
        return false;
    int status = 0;
    pid_t r = waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
        m_reaped = true;
        m_status = status;
        return false;
    }
    return true;
}

int Process::Wait(std::chrono::milliseconds timeout)
{
    if (m_pid <= 0)
        return -1;
    if (!m_reaped) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (Running()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    if (WIFEXITED(m_status))
        return WEXITSTATUS(m_status);
    return -2;
}

void Process::Kill()
{
    if (m_pid <= 0 || m_reaped)
        return;
    kill(m_pid, SIGTERM);
    if (Wait(std::chrono::seconds(5)) == -1) {
        kill(m_pid, SIGKILL);
        Wait(std::chrono::seconds(5));
    }
}

std::string Process::Stdout() const { return ReadFile(m_workDir + "/stdout.txt"); }

std::string Process::Stderr() const { return ReadFile(m_workDir + "/stderr.txt"); }

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int FreeTcpPort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        throw std::runtime_error("bind failed");
    }
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

bool CanConnectTcp(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

bool CanConnectLocal(const std::string& path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        close(fd);
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

int PortAfter(const std::string& text, const std::string& marker)
{
    const size_t at = text.find(marker);
    if (at == std::string::npos)
        return 0;
    size_t end = at + marker.size();
    long port = 0;
    for (; end < text.size() && text[end] >= '0' && text[end] <= '9' && port <= 65535; ++end)
        port = port * 10 + (text[end] - '0');
    const bool ended = end > at + marker.size() && end < text.size();
    return ended && port > 0 && port <= 65535 ? static_cast<int>(port) : 0;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

}  // namespace testsupport
