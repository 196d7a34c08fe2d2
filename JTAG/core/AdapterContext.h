// AdapterContext: what the JTAG layer uses of the server that owns it. Every
// adapter, the holder and the holder's sources get one instead of the whole
// server: the logger, the configuration (the sources read their entries
// there) and the server's switches that change what an adapter does.
#pragma once

#include <functional>
#include <string>

class CDescription;
class CLogger;

struct AdapterContext {
    CLogger& logger;
    CDescription& description;
    // Whether network peers save their state as runs go by (kestrad -s);
    // asked at every run, so a switch set after start-up counts. None: off.
    std::function<bool()> savepoints;

    // Set by the holder for its sources while it scans: whether a session
    // has the adapter of that name open or claimed. A source does not probe
    // such a device (a probe would talk to it under the session's feet); the
    // holder keeps the session's object as it is. None: nothing is in use.
    std::function<bool(const std::string& name)> inUse;

    bool Savepoints() const { return savepoints && savepoints(); }
    bool InUse(const std::string& name) const { return inUse && inUse(name); }
};
