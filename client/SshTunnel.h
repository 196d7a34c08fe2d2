// The process behind an ssh:// connection: ssh (or $KESTRAD_SSH) running
// "kestractl proxy" on the remote host. It only moves bytes: its standard
// input and output are one end of a socket pair whose other end the client
// uses exactly as it uses a socket to a server, so the wire encoders and
// the client's time-outs are the same on every transport. Its stderr goes
// to an anonymous file that the client reads only to say why it ended.
#pragma once

#include "client/SshAddress.h"

#include <chrono>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kestrad::client {

class CSshTunnel {
public:
    // The program could not be started; what() says which and why
    // ("ssh not found: ...").
    class StartError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    // Starts argv[0] (searched in PATH) with argv. Throws StartError.
    explicit CSshTunnel(const std::vector<std::string>& argv);
    // Ends and reaps the process if Finish has not (a short grace, then
    // signals): no process is ever left behind.
    ~CSshTunnel();
    CSshTunnel(const CSshTunnel&) = delete;
    CSshTunnel& operator=(const CSshTunnel&) = delete;

    // The client's end of the socket pair (non-blocking, close-on-exec),
    // handed over once: the caller closes it.
    int TakeFd();
    pid_t Pid() const { return m_pid; }

    // Waits up to `grace` for the process to end by itself (it does once
    // the client's end is closed and the remote proxy has gone), then sends
    // SIGTERM and, a second later, SIGKILL; reaps it and says how it ended.
    // Later calls return the same answer at once.
    const SshEnd& Finish(std::chrono::milliseconds grace);

private:
    pid_t m_pid = -1;
    int m_fd = -1;        // the client's end until TakeFd
    int m_errors = -1;    // the process's stderr
    bool m_reaped = false;
    SshEnd m_end;
};

}  // namespace kestrad::client
