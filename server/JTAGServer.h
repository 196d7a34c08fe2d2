// CJTAGServer: the server as the program's entry sees it. The concrete
// server is CJTAGServerImpl<Protocol>; the JTAG layer sees only the context
// it hands down (JTAG/core/AdapterContext.h).
#pragma once

#include <memory>
#include <string>

#include "log/Logger.h"
#include "log/Options.h"

class CDescription;

// The server's own slot of the option table, after the logger's
// (log/Logger.h): network peers save their state as runs go by (-s).
enum : unsigned int {
    OPTION_SAVEPOINTS = 5,
};

class CJTAGServer {
public:
    virtual void Init() = 0;
    virtual void Start() = 0;
    virtual COptions<bool>& Options() = 0;
    virtual CLogger& Logger() = 0;
    virtual CDescription& Description() = 0;
    virtual ~CJTAGServer() {}

    // "host:port" (last colon splits) serves TCP; anything else is a local
    // endpoint name. Defined by the server library.
    static std::shared_ptr<CJTAGServer> CreateJtagServer(const std::string& address);
};
