// Waits bounded by a deadline on the steady clock, for the blocking socket
// code of the network back-end and the client library.
#pragma once

#include <chrono>

using SteadyTime = std::chrono::steady_clock::time_point;

// Milliseconds left until `deadline`, 0 once it has passed; at most INT_MAX,
// so the result can go straight to poll().
int RemainingMs(SteadyTime deadline);

// Waits for `events` on fd until the deadline. EINTR is retried with the time
// that is left, so a signal never cuts a wait short. Returns revents, 0 on
// time-out, -1 with errno on failure.
int PollUntil(int fd, short events, SteadyTime deadline);
