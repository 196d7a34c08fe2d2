// Helpers for integration tests that run the real programs: start a child
// with arguments and environment, capture its output to files, wait for a
// condition, and kill it (and wait for it) when the handle goes.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// Directory of the build tree's programs: KESTRAD_BINARY_DIR "/bin".
std::string BinDir();
// Path of a built program, e.g. ProgramPath("kestrad").
std::string ProgramPath(const std::string& name);
// Path of the simulated libusb-0.1 library (for LD_PRELOAD).
std::string SimUsbLibrary();
// LD_PRELOAD value that loads it into a program: in a GCC sanitizer build the
// sanitizer runtime comes first, as it must.
std::string SimUsbPreload();

// A fresh temporary directory, removed with its contents when destroyed.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

class Process {
public:
    Process() = default;
    // Starts `program` with `args` (not including argv[0]). `env` entries are
    // added to (or replace) the current environment; an empty value removes
    // the variable. Output goes to files in `workDir` (stdout.txt,
    // stderr.txt); the child's working directory is `workDir`.
    Process(const std::string& program, const std::vector<std::string>& args,
            const std::map<std::string, std::string>& env, const std::string& workDir);
    ~Process();
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    int Pid() const { return m_pid; }
    bool Running();
    // Sends SIGTERM then SIGKILL if needed and reaps the child.
    void Kill();
    // Waits for the child to exit; returns its exit status, or -1 on
    // time-out (the child is then left running) or -2 when killed by a signal.
    int Wait(std::chrono::milliseconds timeout);

    std::string Stdout() const;
    std::string Stderr() const;

private:
    int m_pid = -1;
    int m_status = 0;
    bool m_reaped = false;
    std::string m_workDir;
};

// Polls `condition` every 10 ms until it is true or `timeout` passes.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeTcpPort();

// True once a TCP connection to 127.0.0.1:port succeeds.
bool CanConnectTcp(int port);
// True once a connection to the Unix-domain socket at path succeeds.
bool CanConnectLocal(const std::string& path);

// The port a program printed after `marker` in `text` ("listening on port
// 4711\n"); 0 until the number is there and something follows it, so a
// line still being written is not read short.
int PortAfter(const std::string& text, const std::string& marker);

// Reads a whole file; empty when it does not exist.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

}  // namespace testsupport
