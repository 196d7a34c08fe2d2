#include "base/Connect.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>

int ConnectWithDeadline(int fd, const sockaddr* addr, socklen_t length, SteadyTime deadline)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0)
        return errno;
    const bool wasBlocking = (flags & O_NONBLOCK) == 0;
    if (wasBlocking && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return errno;

    int error = 0;
    if (::connect(fd, addr, length) != 0) {
        error = errno;
        // EAGAIN on a Unix socket is a full backlog: the server has not
        // accepted yet, and the connect completes once it does. On TCP it
        // means no local port is free, which waiting does not mend.
        const bool pending = error == EINPROGRESS || error == EINTR ||
                             (error == EAGAIN && addr->sa_family == AF_UNIX);
        if (pending) {
            const int ready = PollUntil(fd, POLLOUT, deadline);
            if (ready == 0) {
                error = ETIMEDOUT;
            } else if (ready < 0) {
                error = errno;
            } else {
                socklen_t size = sizeof error;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                    error = errno;
            }
        }
    }
    if (error == 0 && wasBlocking && ::fcntl(fd, F_SETFL, flags) != 0)
        error = errno;
    return error;
}
