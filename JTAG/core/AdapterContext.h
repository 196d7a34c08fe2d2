// AdapterContext: what the JTAG layer uses of the server that owns it. Every
// adapter, the holder and the holder's sources get one instead of the whole
// server: the logger, the configuration (the sources read their entries
// there) and the server's switches that change what an adapter does.
#pragma once

#include <functional>

class CDescription;
class CLogger;

struct AdapterContext {
    CLogger& logger;
    CDescription& description;
    // Whether network peers save their state as runs go by (kestrad -s);
    // asked at every run, so a switch set after start-up counts. None: off.
    std::function<bool()> savepoints;

    bool Savepoints() const { return savepoints && savepoints(); }
};
