#include "server/LocalTransport.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <grp.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "wire/LocalEndpoint.h"

CPipeAcceptor::CPipeAcceptor(asio::io_context& io, const std::string& name)
    : m_io(io), m_name(name), m_path(LocalEndpointPath(name))
{
}

CPipeAcceptor::~CPipeAcceptor()
{
    if (m_acceptor) {
        std::error_code ignored;
        m_acceptor->close(ignored);
    }
}

void CPipeAcceptor::CreateListener()
{
    asio::local::stream_protocol::endpoint endpoint;
    std::error_code ec;
    if (m_path.size() >= sizeof(sockaddr_un::sun_path))
        throw std::system_error(std::make_error_code(std::errc::filename_too_long),
                                "local endpoint " + m_path);
    endpoint = asio::local::stream_protocol::endpoint(m_path);

    auto acceptor = std::make_unique<asio::local::stream_protocol::acceptor>(m_io);
    acceptor->open(endpoint.protocol(), ec);
    if (ec)
        throw std::system_error(ec, "open " + m_path);
    // Who may connect is the socket file's mode and group: kestrad's user
    // and group (0660; the packaged service runs in plugdev, the group that
    // may use the adapters anyway), or what KESTRAD_SOCKET_MODE says. The
    // mode is set by the umask during bind, never by a chmod of the path
    // after it, which another user could have pointed elsewhere by then;
    // the group is the process's (or a set-group-ID directory's), also from
    // the creation. Nothing else creates files while the first accept is
    // being set up.
    m_mode = LocalSocketMode(std::getenv("KESTRAD_SOCKET_MODE"));
    const mode_t umask = ::umask(0777 & ~m_mode);
    acceptor->bind(endpoint, ec);
    ::umask(umask);
    if (ec)
        throw std::system_error(ec, "bind " + m_path);
    acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec)
        throw std::system_error(ec, "listen " + m_path);
    m_acceptor = std::move(acceptor);
}

void CPipeAcceptor::async_accept(CPipe& pipe, std::function<void(const std::error_code&)> handler)
{
    if (!m_acceptor)
        CreateListener();
    if (pipe.is_open())
        throw std::system_error(asio::error::already_open, "assign");
    const unsigned int size = m_bufferSize;
    m_acceptor->async_accept(pipe, [&pipe, size, handler](const std::error_code& ec) {
        if (!ec) {
            // Each client's stream gets buffers of the pipe's size; a refusal
            // only costs throughput, so it does not fail the accept.
            std::error_code ignored;
            pipe.set_option(asio::socket_base::send_buffer_size(static_cast<int>(size)), ignored);
            pipe.set_option(asio::socket_base::receive_buffer_size(static_cast<int>(size)), ignored);
        }
        handler(ec);
    });
}

std::string CPipeAcceptor::AccessText() const
{
    struct stat st {};
    if (!m_acceptor || ::lstat(m_path.c_str(), &st) != 0)
        return std::string();
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(16384);
    std::string name = "gid " + std::to_string(st.st_gid);
    if (::getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        name = found->gr_name;
    const char* who = (st.st_mode & 0006) == 0006 ? "every local user"
                      : (st.st_mode & 0060) == 0060 ? "its user and group"
                                                     : "its user only";
    return "Local endpoint " + m_path + ": mode " + mode + ", group " + name + " (" + who +
           " may connect; KESTRAD_SOCKET_MODE changes it).";
}

mode_t LocalSocketMode(const char* text)
{
    if (text == nullptr || *text == '\0')
        return kDefaultSocketMode;
    const std::string value = text;
    char* end = nullptr;
    const unsigned long mode = std::strtoul(text, &end, 8);
    const bool octal = value.size() >= 3 && value.size() <= 4 && *end == '\0' &&
                       value.find_first_not_of("01234567") == std::string::npos;
    // Read and write are all a socket's mode means; its owner needs both.
    if (!octal || (mode & ~0666ul) != 0 || (mode & 0600) != 0600)
        throw std::runtime_error("KESTRAD_SOCKET_MODE='" + value +
                                 "' is not an octal mode of read and write bits that lets the owner read and "
                                 "write (0600, 0660 or 0666)");
    return static_cast<mode_t>(mode);
}

void CPipeAcceptor::close()
{
    if (m_acceptor) {
        std::error_code ignored;
        m_acceptor->close(ignored);
    }
}

void RemoveStaleLocalEndpoint(const std::string& path)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return;  // nothing there (or not reachable: bind will say why)
    if (!S_ISSOCK(st.st_mode))
        throw std::runtime_error("local endpoint " + path +
                                 " exists and is not a socket; not removing it");

    // A socket file: find out whether a server still answers on it.
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "socket");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        ::close(fd);
        return;  // bind reports the over-long name
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const bool live = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    if (live)
        throw std::runtime_error("local endpoint " + path + " is in use by another server");
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        throw std::system_error(errno, std::generic_category(), "remove " + path);
}

std::string PrepareLocalRuntimeDir(unsigned long euid)
{
    // Two statements: the kind is known only once the directory is.
    LocalDirKind kind = LocalDirKind::None;
    const std::string dir = LocalRuntimeDirFor(euid, &kind);
    PrepareLocalEndpointDir(dir, kind);
    return dir;
}

void PrepareLocalEndpointDir(const std::string& dir, LocalDirKind kind)
{
    if (kind == LocalDirKind::None)
        return;
    const mode_t mode = kind == LocalDirKind::Shared ? 0755 : 0700;
    const bool made = ::mkdir(dir.c_str(), mode) == 0;
    if (!made && errno != EEXIST)
        throw std::system_error(errno, std::generic_category(), "mkdir " + dir);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP || errno == ENOTDIR)
            throw std::runtime_error("local endpoint directory " + dir + " is not a directory; not serving there");
        throw std::system_error(errno, std::generic_category(), "open " + dir);
    }
    struct stat st {};
    const bool known = ::fstat(fd, &st) == 0;
    // The mode asked for, whatever the umask made of it.
    if (known && made && (st.st_mode & 07777) != mode)
        ::fchmod(fd, mode);
    ::close(fd);
    if (!known)
        throw std::system_error(errno, std::generic_category(), "stat " + dir);
    // Whoever owns the directory, or may write to it, could put their own
    // socket in our place.
    if (st.st_uid != ::geteuid())
        throw std::runtime_error("local endpoint directory " + dir + " belongs to uid " + std::to_string(st.st_uid) +
                                 ", not to uid " + std::to_string(::geteuid()) +
                                 "; not serving there (remove it, or name another with KESTRAD_PIPE_DIR)");
    const mode_t loose = kind == LocalDirKind::Shared ? 022 : 077;
    if (!made && (st.st_mode & loose) != 0) {
        char text[8];
        std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        throw std::runtime_error("local endpoint directory " + dir + " has mode " + text + ", open to " +
                                 (kind == LocalDirKind::Shared ? "other users' writes" : "other users") +
                                 "; not serving there (chmod it " +
                                 (kind == LocalDirKind::Shared ? "0755" : "0700") +
                                 ", or name another with KESTRAD_PIPE_DIR)");
    }
}
