// A log stream that keeps everything written to it in memory, for tests that
// assert on log lines. Writes come from any thread under the stream's own
// mutex; reads take the same mutex.
#pragma once

#include <memory>
#include <mutex>
#include <sstream>
#include <string>

#include "log/StreamContainer.h"

class CRecordingStream : public CStream {
public:
    CRecordingStream() : CStream(std::make_shared<std::ostringstream>()) {}

    std::string text()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        return recorder().str();
    }

    void clear()
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        recorder().str(std::string());
        recorder().clear();
    }

private:
    std::ostringstream& recorder() { return static_cast<std::ostringstream&>(*m_target); }
};
