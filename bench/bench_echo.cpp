// kestrad-bench-echo: the baseline for kestrad's round trips. A bare server
// shaped like the protocol, one thread per connection, blocking I/O,
// TCP_NODELAY: it reads an 8-byte header and the body it announces and
// answers with an OK reply of the size the client asked for when it
// connected (a 32-bit little-endian word, the first bytes it sends). What a
// kestrad round trip costs beyond this is kestrad's own.
//
//   kestrad-bench-echo tcp          listens on 127.0.0.1, prints the port
//   kestrad-bench-echo unix PATH    listens on the Unix socket PATH
//
// It serves until it is killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

bool ReadAll(int fd, void* data, size_t size)
{
    char* p = static_cast<char*>(data);
    while (size) {
        ssize_t n = recv(fd, p, size, 0);
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size) {
        ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void Serve(int fd)
{
    uint32_t replySize = 0;
    if (ReadAll(fd, &replySize, 4) && replySize >= 8) {
        std::vector<unsigned char> reply(replySize, 0);
        const uint32_t head[2] = {1, replySize - 8};
        std::memcpy(reply.data(), head, sizeof head);
        std::vector<unsigned char> body;
        for (;;) {
            uint32_t header[2];
            if (!ReadAll(fd, header, sizeof header))
                break;
            body.resize(header[1]);
            if (!ReadAll(fd, body.data(), body.size()))
                break;
            if (!WriteAll(fd, reply.data(), reply.size()))
                break;
        }
    }
    close(fd);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string kind = argc > 1 ? argv[1] : "";
    int listener = -1;
    if (kind == "tcp") {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            return 1;
        socklen_t len = sizeof a;
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        std::printf("%d\n", ntohs(a.sin_port));
    } else if (kind == "unix" && argc > 2) {
        listener = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, argv[2], sizeof a.sun_path - 1);
        unlink(argv[2]);
        if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            return 1;
        std::printf("%s\n", argv[2]);
    } else {
        std::fprintf(stderr, "usage: kestrad-bench-echo tcp | unix PATH\n");
        return 2;
    }
    std::fflush(stdout);
    listen(listener, 128);
    for (;;) {
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0)
            continue;
        if (kind == "tcp") {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        std::thread(Serve, fd).detach();
    }
}
