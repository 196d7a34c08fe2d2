// The context of adapters under test: a real option table, logger and
// description, and a savepoints switch, without any server. The logger
// writes to a recording stream so tests can assert on log lines.
#pragma once

#include <memory>
#include <string>

#include "JTAG/core/AdapterContext.h"
#include "config/Description.h"
#include "log/Logger.h"
#include "log/Options.h"

class CRecordingStream;

class CTestContext {
public:
    // Loads the built-in configuration; output on, verbose on, buffer dumps
    // off, savepoints off (the server's defaults but for console output,
    // which goes to the recorder instead).
    CTestContext();
    ~CTestContext();

    CTestContext(const CTestContext&) = delete;
    CTestContext& operator=(const CTestContext&) = delete;

    // What adapters, sources and holders take; it refers to this object.
    AdapterContext Context();
    operator AdapterContext() { return Context(); }

    COptions<bool>& Options() { return m_options; }
    CLogger& Logger() { return *m_logger; }
    CDescription& Description() { return m_description; }
    void SetSavepoints(bool on) { m_savepoints = on; }

    // Everything logged so far through Log, LogVerb, LogError and LogBuffer.
    std::string LogText() const;
    void ClearLog();

private:
    COptions<bool> m_options;
    CRecordingStream* m_recorder;
    std::unique_ptr<CLogger> m_logger;
    CDescription m_description;
    bool m_savepoints = false;
};
