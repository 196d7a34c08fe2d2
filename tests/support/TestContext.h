// A CJTAGServer for unit tests of adapters: a real option table, logger and
// description, without any transport. The logger writes to a recording stream
// so tests can assert on log lines.
#pragma once

#include <mutex>
#include <string>

#include "server/JTAGServer.h"
#include "config/Description.h"
#include "log/Logger.h"
#include "log/Options.h"

class CRecordingStream;

class CTestServer : public CJTAGServer {
public:
    // Loads the built-in configuration unless told otherwise; output on,
    // verbose on, buffer dumps off, savepoints off (the server's defaults but
    // for console output, which goes to the recorder instead).
    CTestServer();
    ~CTestServer() override;

    void Init() override {}
    void Start() override {}
    COptions<bool>& Options() override { return m_options; }
    CLogger& Logger() override { return *m_logger; }
    CDescription& Description() override { return m_description; }

    // Everything logged so far through Log, LogVerb, LogError and LogBuffer.
    std::string LogText() const;
    void ClearLog();

private:
    COptions<bool> m_options;
    CRecordingStream* m_recorder;
    std::unique_ptr<CLogger> m_logger;
    CDescription m_description;
};
