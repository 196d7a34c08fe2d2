// Internals the two bridges share: one client's socket, turning away the
// clients that connect while one is served, waits, and bit vectors.
#pragma once

#include "base/Deadline.h"
#include "client/bridge/Bridge.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrad::bridge {

// The connection of the client being served (non-blocking).
class CConnection {
public:
    CConnection(int fd, std::string peer);
    ~CConnection();
    CConnection(const CConnection&) = delete;
    CConnection& operator=(const CConnection&) = delete;

    enum class Read { Data, Nothing, End, Failed };
    // What one recv gives: data (`got` bytes), nothing waiting, the end of
    // the stream, or a failure (Error()).
    Read ReadSome(uint8_t* buffer, size_t size, size_t& got);
    // Sends everything, giving up when the client takes nothing for
    // `timeout` (Error() then says why).
    bool SendAll(const uint8_t* data, size_t size, std::chrono::milliseconds timeout);

    int Fd() const { return m_fd; }
    const std::string& Peer() const { return m_peer; }
    const std::string& Error() const { return m_error; }

private:
    int m_fd;
    std::string m_peer;
    std::string m_error;
};

// Accepts and closes every connection waiting on the listener, logging each
// as refused because `serving` is served; returns how many.
unsigned RefuseWaiting(CListener& listener, const std::string& serving, const BridgeOptions& options);

struct Wake {
    bool client = false;    // readable, closed or failed
    bool listener = false;  // a connection waits
};
Wake WaitForEither(int client, int listener, std::chrono::milliseconds timeout);
bool WaitReadable(int fd, std::chrono::microseconds timeout);

// `bits` bits of `src` from bit `at` on, as a vector of their own.
std::vector<uint8_t> ExtractBits(const std::vector<uint8_t>& src, uint64_t at, uint32_t bits);

inline bool BitAt(const std::vector<uint8_t>& v, uint64_t k) { return (v[k / 8] >> (k % 8)) & 1; }

}  // namespace kestrad::bridge
