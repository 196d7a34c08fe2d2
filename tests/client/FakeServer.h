// A scripted stand-in for kestrad in client tests: a thread with a listening
// socket (TCP on 127.0.0.1:0, or a Unix-domain socket) that accepts one
// connection and runs a test-supplied script against it. The script reads
// the exact command packets the client sent and writes whatever replies the
// test wants, well-formed or not.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace clienttest {

using Bytes = std::vector<uint8_t>;

Bytes LE32(uint32_t v);
Bytes Concat(std::initializer_list<Bytes> parts);
Bytes Str(const std::string& s);  // the characters, no NUL

class FakeConnection {
public:
    explicit FakeConnection(int fd) : m_fd(fd) {}

    struct Command {
        uint32_t code = 0;
        Bytes body;
        Bytes Wire() const;  // header + body as they arrived
    };

    void SendGreeting();
    void Send(const Bytes& bytes);
    void SendReply(uint32_t status, const Bytes& body = {});
    void SendOk() { SendReply(1); }
    void SendError(const std::string& message) { SendReply(3, Str(message)); }
    // The next command; nothing when the client closed or went silent for
    // `timeout`.
    std::optional<Command> ReadCommand(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // True when the client closes within `timeout` (no bytes in between).
    bool ClientClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void Close();

private:
    bool ReadExactly(uint8_t* out, size_t n, std::chrono::milliseconds timeout);
    int m_fd;
};

class FakeServer {
public:
    using Script = std::function<void(FakeConnection&)>;

    // TCP on 127.0.0.1, ephemeral port.
    explicit FakeServer(Script script);
    // Unix-domain socket at `socketPath`.
    FakeServer(Script script, const std::string& socketPath);
    ~FakeServer();
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    // "127.0.0.1:PORT" for TCP, the socket path otherwise.
    std::string Address() const { return m_address; }
    // Waits for the script to finish; its reads time out, so it does.
    void Join();

private:
    void Run(Script script);

    int m_listen = -1;
    std::string m_address;
    std::string m_path;
    std::thread m_thread;
};

}  // namespace clienttest
