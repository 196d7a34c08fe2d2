// CLogger: the one logging front end.
//
// printf-style calls gated by the server's option table (2 "output" gates
// everything, 3 "verbose" gates LogVerb, 4 "outbuf" gates LogBuffer). The
// logger adds nothing to a message: callers supply any prefix and the final
// newline. Each text is formatted for and written to every handle of its list
// with one write and one flush, so concurrent messages never mix.
#pragma once

#include <cstdarg>
#include <memory>
#include <vector>

#include "log/Options.h"

class CStreamContainer;
class CStreamHandler;

// The slots of the option table the logger reads on every call.
enum : unsigned int {
    OPTION_OUTPUT = 2,   // off: nothing is written
    OPTION_VERBOSE = 3,  // off: LogVerb writes nothing
    OPTION_OUTBUF = 4,   // on: LogBuffer dumps its bytes
};

#if defined(__GNUC__)
#define KESTRAD_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KESTRAD_PRINTF(fmt, args)
#endif

class CLogger {
public:
    CLogger(COptions<bool>& options, CStreamContainer* container);
    ~CLogger();

    CLogger(const CLogger&) = delete;
    CLogger& operator=(const CLogger&) = delete;

    void AddOutputStream(std::unique_ptr<CStreamHandler> handler);
    void AddErrorStream(std::unique_ptr<CStreamHandler> handler);

    void Log(const char* format, ...) KESTRAD_PRINTF(2, 3);
    void LogVerb(const char* format, ...) KESTRAD_PRINTF(2, 3);
    void LogError(const char* format, ...) KESTRAD_PRINTF(2, 3);
    void LogBuffer(const void* buffer, int length, const char* format, ...) KESTRAD_PRINTF(4, 5);

    void Log_(const char* format, va_list args);
    void LogVerb_(const char* format, va_list args);
    void LogError_(const char* format, va_list args);
    void LogBuffer_(const void* buffer, int length, const char* format, va_list args);

    static void WriteToStream(CStreamHandler* handler, const char* format, va_list args);

private:
    std::vector<std::unique_ptr<CStreamHandler>> m_output;
    std::vector<std::unique_ptr<CStreamHandler>> m_error;
    COptions<bool>& m_options;
};
