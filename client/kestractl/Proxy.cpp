// kestractl proxy [SOCKET]: joins standard input and output to the local
// endpoint, byte for byte, until either side closes. It is the remote end
// of an ssh:// address: the client runs "ssh host kestractl proxy SOCKET"
// and speaks the wire protocol through it, so kestrad's endpoint never
// leaves the machine and SSH does all the authentication. It reads no
// byte of the protocol; the server sees an ordinary local client (and ends
// its session, freeing the adapter, when the proxy goes away).
#include "client/kestractl/CommandParts.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kestractl {

namespace {

// One direction of the relay: bytes read from `from`, not yet all written
// to `to`.
struct Flow {
    int from = -1;
    int to = -1;
    uint8_t buffer[64 * 1024];
    size_t begin = 0, end = 0;
    bool closed = false;  // `from` reached its end, or `to` failed
};

// Reads what `from` has (poll said it is readable, so this does not wait).
void Fill(Flow& f)
{
    const ssize_t n = ::read(f.from, f.buffer, sizeof f.buffer);
    if (n > 0) {
        f.begin = 0;
        f.end = static_cast<size_t>(n);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        f.closed = true;
    }
}

void Drain(Flow& f)
{
    const ssize_t n = ::write(f.to, f.buffer + f.begin, f.end - f.begin);
    if (n > 0)
        f.begin += static_cast<size_t>(n);
    else if (n < 0 && errno != EINTR && errno != EAGAIN)
        f.closed = true;  // the reader went away: nothing more can be delivered
}

// Moves bytes both ways until one side closes; what was read before it
// closed is still delivered.
void Relay(int in, int out, int socket)
{
    Flow up, down;
    up.from = in;
    up.to = socket;
    down.from = socket;
    down.to = out;
    for (;;) {
        for (Flow* f : {&up, &down})
            if (f->closed && f->begin == f->end)
                return;
        pollfd fds[2];
        Flow* flows[2] = {&up, &down};
        for (int i = 0; i < 2; ++i) {
            Flow& f = *flows[i];
            const bool pending = f.begin < f.end;
            fds[i].fd = pending ? f.to : f.from;
            fds[i].events = pending ? POLLOUT : POLLIN;
            fds[i].revents = 0;
            if (f.closed)
                fds[i].fd = -1;  // only flushing is left, and that needs the other side
        }
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR && !g_interrupted)
                continue;
            return;
        }
        for (int i = 0; i < 2; ++i) {
            Flow& f = *flows[i];
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            if (f.begin < f.end) {
                if (fds[i].revents & (POLLERR | POLLNVAL)) {
                    f.closed = true;
                    f.begin = f.end;
                } else {
                    Drain(f);
                    if (f.closed)
                        f.begin = f.end;
                }
            } else {
                Fill(f);  // POLLHUP too: read() says whether bytes are left
            }
        }
    }
}

}  // namespace

void ProxyArguments(CLI::App& sub, Step& st)
{
    st.value = "";
    sub.add_option("SOCKET", st.value,
                   "the endpoint to join (default: -a, $KESTRAD_ADDRESS, else the server's default endpoint)");
}

int RunProxy(const Step& step, const Settings& settings)
{
    const std::string address = step.value.empty() ? settings.address : step.value;
    try {
        kestrad::client::ClientOptions options;
        options.connectTimeout = std::chrono::milliseconds(static_cast<long long>(settings.timeoutSeconds * 1000.0));
        // The greeting is the client's to read: the proxy only joins.
        options.checkGreeting = false;
        kestrad::client::CClient client(address, options);
        Relay(STDIN_FILENO, STDOUT_FILENO, client.NativeHandle());
        // Not a byte of our own goes to the server, not even the
        // CMD_DISCONNECT the client object would send on its way out: the
        // stream may end inside a packet.
        ::shutdown(client.NativeHandle(), SHUT_RDWR);
        return EXIT_OK;
    } catch (const std::exception& e) {
        return ReportError(e, "", false, nullptr, "proxy");
    }
}

}  // namespace kestractl
