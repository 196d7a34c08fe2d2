// A connect() that gives up at a deadline instead of after the system's
// minutes of SYN retries (TCP) or an unbounded wait on a full backlog (Unix
// sockets).
#pragma once

#include <sys/socket.h>

#include "base/Deadline.h"

// Connects fd to addr, waiting at most until `deadline`. A blocking socket is
// made non-blocking for the attempt and restored afterwards; a non-blocking
// one stays so. Returns 0, or the errno value of the failure (ETIMEDOUT when
// the time ran out).
int ConnectWithDeadline(int fd, const sockaddr* addr, socklen_t length, SteadyTime deadline);
