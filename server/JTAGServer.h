// CJTAGServer: the interface through which every component reaches the
// server's shared services. The concrete server is CJTAGServerImpl<Protocol>
// in server/; adapters, the holder and sessions only ever see this interface.
#pragma once

#include <memory>
#include <string>

#include "log/Options.h"

class CLogger;
class CDescription;

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
