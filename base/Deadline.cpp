#include "base/Deadline.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <limits>

int RemainingMs(SteadyTime deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
        return 0;
    return static_cast<int>(std::min<long long>(left.count(), std::numeric_limits<int>::max()));
}

int PollUntil(int fd, short events, SteadyTime deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, RemainingMs(deadline));
        if (r > 0)
            return p.revents;
        if (r == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}
