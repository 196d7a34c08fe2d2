#include "log/Logger.h"

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "log/StreamContainer.h"

namespace {

using HandlerList = std::vector<std::unique_ptr<CStreamHandler>>;

// Every handle formats the text anew from its own copy of the arguments: a
// va_list can be walked only once.
void WriteToAll(const HandlerList& list, const char* format, va_list args)
{
    for (const auto& handler : list) {
        va_list copy;
        va_copy(copy, args);
        CLogger::WriteToStream(handler.get(), format, copy);
        va_end(copy);
    }
}

std::string DumpText(const void* buffer, int length)
{
    std::ostringstream dump;
    dump << "\nBuffer length: " << length << "\n";
    if (length <= 0) {
        dump << "{Empty}";
    } else {
        const auto* bytes = static_cast<const unsigned char*>(buffer);
        char hex[8];
        for (int i = 0; i < length; ++i) {
            std::snprintf(hex, sizeof hex, "0x%02x ", bytes[i]);
            dump << hex;
        }
    }
    dump << "\n\n";
    return dump.str();
}

}  // namespace

CLogger::CLogger(COptions<bool>& options, CStreamContainer* container) : m_options(options)
{
    // Without a container there is no console to write to; the lists start
    // empty and only the handles added later receive text.
    if (container == nullptr)
        return;
    m_output.push_back(container->getStreamHandler(0));
    m_error.push_back(container->getStreamHandler(1));
}

CLogger::~CLogger() = default;

void CLogger::AddOutputStream(std::unique_ptr<CStreamHandler> handler)
{
    m_output.push_back(std::move(handler));
}

void CLogger::AddErrorStream(std::unique_ptr<CStreamHandler> handler)
{
    m_error.push_back(std::move(handler));
}

void CLogger::Log(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Log_(format, args);
    va_end(args);
}

void CLogger::LogVerb(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    LogVerb_(format, args);
    va_end(args);
}

void CLogger::LogError(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    LogError_(format, args);
    va_end(args);
}

void CLogger::LogBuffer(const void* buffer, int length, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    LogBuffer_(buffer, length, format, args);
    va_end(args);
}

void CLogger::Log_(const char* format, va_list args)
{
    if (!m_options[OPTION_OUTPUT].value)
        return;
    WriteToAll(m_output, format, args);
}

void CLogger::LogVerb_(const char* format, va_list args)
{
    if (!m_options[OPTION_OUTPUT].value)
        return;
    if (!m_options[OPTION_VERBOSE].value)
        return;
    WriteToAll(m_output, format, args);
}

void CLogger::LogError_(const char* format, va_list args)
{
    if (!m_options[OPTION_OUTPUT].value)
        return;
    WriteToAll(m_error, format, args);
}

void CLogger::LogBuffer_(const void* buffer, int length, const char* format, va_list args)
{
    if (!m_options[OPTION_OUTPUT].value)
        return;
    if (!m_options[OPTION_OUTBUF].value || buffer == nullptr)
        return;

    // Built only once options 2 and 4 let the dump through.
    const std::string dump = DumpText(buffer, length);
    for (const auto& handler : m_output) {
        if (!handler)
            continue;
        va_list copy;
        va_copy(copy, args);
        WriteToStream(handler.get(), format, copy);
        va_end(copy);
        handler->write(dump.data(), static_cast<unsigned int>(dump.size()));
        handler->flush();
    }
}

void CLogger::WriteToStream(CStreamHandler* handler, const char* format, va_list args)
{
    if (handler == nullptr)
        return;

    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    // A format the C library cannot render (an encoding error) yields nothing
    // rather than garbage.
    if (length < 0)
        return;

    std::vector<char> text(static_cast<size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    handler->write(text.data(), static_cast<unsigned int>(length));
    handler->flush();
}
