// A scripted network JTAG peer for tests: listens on 127.0.0.1 (port from
// the kernel), greets every connection, records every byte it receives and
// answers each CR LF terminated line from the test's script ("ok" when the
// script has nothing to say). Connections are served one after the other, as
// the adapter makes them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class CFakePeer {
public:
    struct Reply {
        Reply(std::string text = {}, bool close = false) : text(std::move(text)), close(close) {}

        std::string text;    // sent as it stands
        bool close = false;  // close the connection after sending text
        // When set: text goes one byte at a time, this long apart.
        std::chrono::milliseconds trickle{0};
        // Sent 100 ms after text, as a piece of its own that answers nothing.
        std::string unasked;
    };
    // Called on the peer's thread with each received line (CR LF removed).
    using Script = std::function<std::optional<Reply>(const std::string& line)>;

    static const char* const kRtlGreeting;
    static const char* const kDspGreeting;

    explicit CFakePeer(std::string greeting = kRtlGreeting, Script script = {});
    ~CFakePeer();

    CFakePeer(const CFakePeer&) = delete;
    CFakePeer& operator=(const CFakePeer&) = delete;

    unsigned short Port() const { return m_port; }

    size_t Connections() const;
    // Everything received on connection i (0 is the adapter's probe).
    std::string Received(size_t i) const;
    // The lines of connection i, CR LF removed.
    std::vector<std::string> Lines(size_t i) const;
    // Waits until connection i has been closed by the adapter; false after
    // `seconds` without that.
    bool WaitClosed(size_t i, int seconds = 10) const;

private:
    struct Connection {
        std::string received;
        bool closed = false;
    };

    void Run();
    void Serve(int fd, size_t index);
    bool WaitReadable(int fd);
    // Sleeps `pause`; false when the peer is being stopped.
    bool Pause(std::chrono::milliseconds pause);
    // Sends a reply's text (and its unasked piece); false to end the connection.
    bool Answer(int fd, const Reply& reply);

    std::string m_greeting;
    Script m_script;
    int m_listener = -1;
    int m_stopPipe[2] = {-1, -1};
    unsigned short m_port = 0;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<Connection> m_connections;
    std::thread m_thread;
};

// A TCP port on 127.0.0.1 that refuses connections: bound, never listening,
// so nothing else can take it while the test runs.
class CClosedPort {
public:
    CClosedPort();
    ~CClosedPort();
    unsigned short Port() const { return m_port; }

private:
    int m_fd = -1;
    unsigned short m_port = 0;
};
