// Errors and the trace of the simulated bus (see SimBus.h).
#include "sim/usb/SimBus.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace simusb {

namespace {

int g_DebugLevel = 0;

struct CErrorState {
    bool set = false;
    char text[512] = "";
};
thread_local CErrorState t_Error;

std::mutex g_TraceLock;
FILE* g_TraceFile = nullptr;
std::string g_TracePath;

// Returns the open trace file (under g_TraceLock), or null when tracing is off.
FILE* TraceFile()
{
    const char* path = std::getenv("KESTRAD_SIM_USB_TRACE");
    if (!path || !*path)
        return nullptr;
    if (!g_TraceFile || g_TracePath != path) {
        if (g_TraceFile)
            std::fclose(g_TraceFile);
        g_TracePath = path;
        g_TraceFile = std::fopen(path, "a");
        if (!g_TraceFile)
            std::fprintf(stderr, "kestrad-simusb: cannot open trace file %s: %s\n", path, std::strerror(errno));
    }
    return g_TraceFile;
}

}  // namespace

int Fail(int result, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(t_Error.text, sizeof t_Error.text, format, args);
    va_end(args);
    t_Error.set = true;
    if (g_DebugLevel >= 2)
        std::fprintf(stderr, "USB error: %s\n", t_Error.text);
    return result;
}

char* LastError()
{
    static char none[] = "No error";
    return t_Error.set ? t_Error.text : none;
}

void SetDebugLevel(int level) { g_DebugLevel = level; }

void TraceLine(const std::string& line)
{
    std::lock_guard<std::mutex> guard(g_TraceLock);
    if (FILE* f = TraceFile()) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fflush(f);
    }
}

bool Tracing()
{
    const char* path = std::getenv("KESTRAD_SIM_USB_TRACE");
    return path && *path;
}

std::string Hex(const void* data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(size * 3);
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) {
        s += ' ';
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

void Note(const char* format, ...)
{
    if (!Tracing())
        return;
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "kestrad-simusb: %s\n", text);
    TraceLine(std::string("NOTE ") + text);
}

}  // namespace simusb
