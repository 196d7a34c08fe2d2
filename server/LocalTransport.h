// The local transport: a Unix-domain stream socket in the place of the
// Windows named pipe. One listening socket, created by the first accept so
// its errors leave Start(); every accepted connection is one client's own
// stream. The acceptor keeps the endpoint name and the buffer size applied to
// every connection.
#pragma once

#include <asio.hpp>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <system_error>

#include "wire/LocalEndpoint.h"

class CPipe;
class CPipeAcceptor;

// Tag naming the local transport's types for the server and session templates.
struct LocalProtocol {
    using socket = CPipe;
    using acceptor = CPipeAcceptor;
    using endpoint = std::string;
};

// A session's stream: one accepted connection.
class CPipe : public asio::local::stream_protocol::socket {
public:
    explicit CPipe(asio::io_context& io) : asio::local::stream_protocol::socket(io) {}
    virtual ~CPipe() {}
};

class CPipeAcceptor {
public:
    static constexpr unsigned int kBufferSize = 66560;  // both directions of every connection

    CPipeAcceptor(asio::io_context& io, const std::string& name);
    virtual ~CPipeAcceptor();

    // The first call creates the listening socket and raises std::system_error
    // (with the system's text) when it cannot. The handler runs on a worker
    // thread once a client has connected into `pipe`, or with the error.
    void async_accept(CPipe& pipe, std::function<void(const std::error_code&)> handler);

    void close();

    const std::string& Name() const { return m_name; }
    // The socket file the name maps to.
    const std::string& Path() const { return m_path; }
    // Once listening: the socket file's mode and group, and who that lets
    // connect, as the start-up line says it.
    std::string AccessText() const;

private:
    void CreateListener();

    asio::io_context& m_io;
    std::string m_name;
    unsigned int m_bufferSize = kBufferSize;
    std::string m_path;
    mode_t m_mode = 0;
    std::unique_ptr<asio::local::stream_protocol::acceptor> m_acceptor;
};

// Makes way for a new listening socket at `path`: a stale socket file is
// removed; anything that is not a socket, or a socket a live server answers
// on, is left untouched and reported with std::runtime_error.
void RemoveStaleLocalEndpoint(const std::string& path);

// The socket file's mode: kDefaultSocketMode when `text` (the value of
// KESTRAD_SOCKET_MODE) is null or empty, else that octal mode. A mode with
// other than read and write bits, or one that does not let the owner read
// and write, throws std::runtime_error naming the value: a server must not
// start more open, or more closed, than it was told.
constexpr mode_t kDefaultSocketMode = 0660;
mode_t LocalSocketMode(const char* text);

// Makes the default endpoint's directory when it is one kestrad keeps itself
// (LocalRuntimeDir: root's /run/kestrad, mode 0755, or a user's
// /tmp/kestrad-UID, mode 0700), and checks one that is already there: it
// must be a directory (not a link) of this user that no other user may write
// to (for a private one: enter). Anything else is reported with
// std::runtime_error and left as it is.
void PrepareLocalEndpointDir(const std::string& dir, LocalDirKind kind);
// The directory of \\.\pipe\ names for a process of effective user `euid`
// (kestrad's own: geteuid()), made or checked as above when it is one
// kestrad makes; returns it.
std::string PrepareLocalRuntimeDir(unsigned long euid);
