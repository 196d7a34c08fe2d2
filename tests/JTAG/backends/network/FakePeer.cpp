#include "tests/JTAG/backends/network/FakePeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <system_error>

const char* const CFakePeer::kRtlGreeting = "RTL model of a test chip\r\nprotocol RTL_JTAGdemo-0.1\r\n";
const char* const CFakePeer::kDspGreeting =
    "DSP cluster model\r\nprotocol Standalone_DSP_Cluster-0.1\r\n";

namespace {

unsigned short BindLoopback(int fd)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::system_error(errno, std::generic_category(), "bind");
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::system_error(errno, std::generic_category(), "getsockname");
    return ntohs(address.sin_port);
}

void SendAll(int fd, const std::string& text)
{
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // the adapter went away; the test sees it on its side
        sent += static_cast<size_t>(n);
    }
}

}  // namespace

CFakePeer::CFakePeer(std::string greeting, Script script)
    : m_greeting(std::move(greeting)), m_script(std::move(script))
{
    if (::pipe(m_stopPipe) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe");
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listener < 0)
        throw std::system_error(errno, std::generic_category(), "socket");
    m_port = BindLoopback(m_listener);
    if (::listen(m_listener, 8) != 0)
        throw std::system_error(errno, std::generic_category(), "listen");
    m_thread = std::thread([this] { Run(); });
}

CFakePeer::~CFakePeer()
{
    const char stop = 0;
    (void)!::write(m_stopPipe[1], &stop, 1);
    m_thread.join();
    ::close(m_listener);
    ::close(m_stopPipe[0]);
    ::close(m_stopPipe[1]);
}

bool CFakePeer::WaitReadable(int fd)
{
    pollfd fds[2] = {{fd, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
    for (;;) {
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        return ready > 0 && fds[1].revents == 0;
    }
}

void CFakePeer::Run()
{
    while (WaitReadable(m_listener)) {
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        size_t index;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            index = m_connections.size();
            m_connections.emplace_back();
        }
        m_changed.notify_all();
        Serve(fd, index);
        ::close(fd);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_connections[index].closed = true;
        }
        m_changed.notify_all();
    }
}

void CFakePeer::Serve(int fd, size_t index)
{
    SendAll(fd, m_greeting);
    std::string pending;
    char buffer[4096];
    while (WaitReadable(fd)) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_connections[index].received.append(buffer, static_cast<size_t>(n));
        }
        m_changed.notify_all();
        pending.append(buffer, static_cast<size_t>(n));
        size_t lf;
        while ((lf = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, lf);
            pending.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            std::optional<Reply> reply;
            if (m_script)
                reply = m_script(line);
            if (!reply)
                reply = Reply{"ok\r\n"};
            if (!Answer(fd, *reply) || reply->close)
                return;
        }
    }
}

bool CFakePeer::Pause(std::chrono::milliseconds pause)
{
    pollfd stop{m_stopPipe[0], POLLIN, 0};
    return ::poll(&stop, 1, static_cast<int>(pause.count())) == 0;
}

bool CFakePeer::Answer(int fd, const Reply& reply)
{
    if (reply.trickle.count() == 0) {
        SendAll(fd, reply.text);
    } else {
        for (char c : reply.text) {
            if (!Pause(reply.trickle) || ::send(fd, &c, 1, MSG_NOSIGNAL) != 1)
                return false;
        }
    }
    if (!reply.unasked.empty()) {
        if (!Pause(std::chrono::milliseconds(100)))
            return false;
        SendAll(fd, reply.unasked);
    }
    return true;
}

size_t CFakePeer::Connections() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections.size();
}

std::string CFakePeer::Received(size_t i) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return i < m_connections.size() ? m_connections[i].received : std::string();
}

std::vector<std::string> CFakePeer::Lines(size_t i) const
{
    const std::string text = Received(i);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t lf; (lf = text.find('\n', start)) != std::string::npos; start = lf + 1) {
        // Commands end in CR LF; anything else is recorded so tests notice it.
        if (lf == start || text[lf - 1] != '\r')
            lines.push_back("<no CR>" + text.substr(start, lf - start));
        else
            lines.push_back(text.substr(start, lf - 1 - start));
    }
    if (start < text.size())
        lines.push_back("<no LF>" + text.substr(start));
    return lines;
}

bool CFakePeer::WaitClosed(size_t i, int seconds) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(seconds),
                              [&] { return i < m_connections.size() && m_connections[i].closed; });
}

CClosedPort::CClosedPort()
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        throw std::system_error(errno, std::generic_category(), "socket");
    m_port = BindLoopback(m_fd);
}

CClosedPort::~CClosedPort() { ::close(m_fd); }
