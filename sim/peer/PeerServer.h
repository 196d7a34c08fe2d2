// The socket side of kestrad-sim: a blocking TCP server that serves one
// connection at a time, one after the other, feeding each command line to a
// CPeerLineHandler and sending its reply lines back with CR LF.
#pragma once

#include "sim/peer/PeerLineHandler.h"
#include "sim/peer/PeerOptions.h"
#include "sim/tap/SimTap.h"

#include <fstream>
#include <map>
#include <string>

namespace simpeer {

class CPeerServer {
public:
    // Loads the memory images and opens the trace file; throws
    // std::runtime_error / std::invalid_argument naming the cause.
    explicit CPeerServer(PeerOptions options);
    ~CPeerServer();
    CPeerServer(const CPeerServer&) = delete;
    CPeerServer& operator=(const CPeerServer&) = delete;

    // Binds and listens; returns the port.  Throws std::system_error ("bind: ...").
    int Listen();
    // Accepts and serves connections until the connection limit is reached
    // (forever without one).
    void Serve();

private:
    enum class LineResult { Continue, Close, Stall };

    void ServeConnection(int fd, uint64_t number);
    LineResult HandleLine(int fd, const std::string& line);
    const Fault* FaultFor(const std::string& command);
    bool SendLines(int fd, const std::vector<std::string>& lines);
    bool SendAll(int fd, const std::string& text);
    void Trace(const std::string& text);

    PeerOptions m_Options;
    simtap::Memory m_Memory;
    CPeerLineHandler m_Handler;
    std::ofstream m_Trace;
    std::map<std::string, unsigned> m_CommandCounts;  // per command word, over the process life
    int m_Listener = -1;
};

}  // namespace simpeer
