#include "tests/support/TestContext.h"

#include <sstream>

#include "log/StreamContainer.h"
#include "tests/support/RecordingStream.h"

CTestContext::CTestContext()
    : m_options{{OPTION_OUTPUT, "output", "Logger output", true},
                {OPTION_VERBOSE, "verbose", "Verbose mode", true},
                {OPTION_OUTBUF, "outbuf", "Log buffer", false}},
      m_recorder(new CRecordingStream()),
      m_logger(std::make_unique<CLogger>(m_options, CStreamContainer::getInstance()))
{
    // Output and errors alike reach the recorder, so LogText() holds every
    // line in the order it was logged.
    m_logger->AddOutputStream(std::make_unique<CStreamHandler>(m_recorder));
    m_logger->AddErrorStream(std::make_unique<CStreamHandler>(m_recorder));
    try {
        m_description.LoadFromXML("");
    } catch (...) {
        // The destructor does not run for a half-built server.
        m_logger.reset();
        delete m_recorder;
        throw;
    }
}

CTestContext::~CTestContext()
{
    // The logger's handles point at the recorder: drop them first.
    m_logger.reset();
    delete m_recorder;
}

AdapterContext CTestContext::Context()
{
    return AdapterContext{*m_logger, m_description, [this] { return m_savepoints; }, nullptr};
}

std::string CTestContext::LogText() const
{
    return m_recorder->text();
}

void CTestContext::ClearLog()
{
    m_recorder->clear();
}
