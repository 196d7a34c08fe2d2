// The ssh process of an ssh:// connection: start, hand over the socket,
// reap. See client/SshTunnel.h.
#include "client/SshTunnel.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace kestrad::client {

namespace {

// What is kept of the process's stderr for the message: its end.
constexpr off_t kErrorTail = 4096;

void CloseFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

std::string ReadTail(int fd)
{
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size <= 0)
        return std::string();
    const off_t size = std::min(st.st_size, kErrorTail);
    std::string text(static_cast<size_t>(size), '\0');
    const ssize_t n = ::pread(fd, text.data(), text.size(), st.st_size - size);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

// Polls for the end of `pid` until `deadline`; true once reaped.
bool WaitUntil(pid_t pid, int& status, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        const pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid || (got < 0 && errno == ECHILD))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace

CSshTunnel::CSshTunnel(const std::vector<std::string>& argv)
{
    if (argv.empty())
        throw StartError("no ssh command");
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        throw StartError(std::string("cannot make a socket pair for ssh: ") + std::strerror(errno));
    m_fd = pair[0];
    int child = pair[1];
    m_errors = ::memfd_create("kestrad-ssh-stderr", MFD_CLOEXEC);
    int status[2] = {-1, -1};
    if (m_errors < 0 || ::pipe2(status, O_CLOEXEC) != 0) {
        const int error = errno;
        CloseFd(m_fd);
        CloseFd(child);
        CloseFd(m_errors);
        throw StartError(std::string("cannot start ssh: ") + std::strerror(error));
    }

    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    // No handler of ours may run in the child between fork and exec.
    sigset_t all, old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Ctrl-C belongs to the client, which stops cleanly and then closes
        // the connection (ssh leaves an ignored SIGINT ignored); SIGPIPE as
        // programs expect it.
        ::signal(SIGINT, SIG_IGN);
        ::signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (::dup2(child, 0) >= 0 && ::dup2(child, 1) >= 0 && ::dup2(m_errors, 2) >= 0)
            ::execvp(args[0], args.data());
        const int error = errno;
        ssize_t ignored = ::write(status[1], &error, sizeof error);
        (void)ignored;
        ::_exit(127);
    }
    const int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    CloseFd(child);
    CloseFd(status[1]);
    if (pid < 0) {
        CloseFd(status[0]);
        CloseFd(m_fd);
        CloseFd(m_errors);
        throw StartError(std::string("cannot start ssh: ") + std::strerror(forkError));
    }
    m_pid = pid;
    // The status pipe closes at exec (close-on-exec) or carries errno.
    int error = 0;
    ssize_t n;
    do
        n = ::read(status[0], &error, sizeof error);
    while (n < 0 && errno == EINTR);
    CloseFd(status[0]);
    if (n == static_cast<ssize_t>(sizeof error)) {
        int ignored;
        ::waitpid(m_pid, &ignored, 0);
        m_reaped = true;
        CloseFd(m_fd);
        CloseFd(m_errors);
        if (error == ENOENT)
            throw StartError("ssh not found: no program '" + argv[0] +
                             "' in PATH (install openssh-client, or name the program in KESTRAD_SSH)");
        throw StartError("cannot start '" + argv[0] + "': " + std::strerror(error));
    }
    // The client waits with poll and its own deadlines.
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
}

CSshTunnel::~CSshTunnel()
{
    Finish(std::chrono::milliseconds(500));
    CloseFd(m_fd);
    CloseFd(m_errors);
}

int CSshTunnel::TakeFd()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

const SshEnd& CSshTunnel::Finish(std::chrono::milliseconds grace)
{
    if (m_reaped)
        return m_end;
    // Our end closes first: that is what tells ssh, and the proxy behind
    // it, that the session is over.
    CloseFd(m_fd);
    using Clock = std::chrono::steady_clock;
    int status = 0;
    bool done = WaitUntil(m_pid, status, Clock::now() + grace);
    if (!done) {
        m_end.stoppedByUs = true;
        ::kill(m_pid, SIGTERM);
        done = WaitUntil(m_pid, status, Clock::now() + std::chrono::seconds(1));
    }
    if (!done) {
        ::kill(m_pid, SIGKILL);
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    m_reaped = true;
    m_end.exited = WIFEXITED(status);
    m_end.status = m_end.exited ? WEXITSTATUS(status) : 0;
    m_end.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    m_end.errors = ReadTail(m_errors);
    CloseFd(m_errors);
    return m_end;
}

}  // namespace kestrad::client
