// How a local endpoint name becomes a Unix-domain socket path. Shared by the
// server and the client library so both sides agree on where to meet.
//
// A name that begins with \\.\pipe\ (any letter case, as the pipe namespace
// is on Windows) names a socket file called by the rest of the name in the
// runtime directory: $KESTRAD_PIPE_DIR, else $XDG_RUNTIME_DIR, else /tmp.
// Any other name is a socket path used as it stands.
#pragma once

#include <cctype>
#include <cstdlib>
#include <string>

// The server's default endpoint when no -a is given.
constexpr const char* KESTRAD_DEFAULT_PIPE = "\\\\.\\Pipe\\vrk_pipe";

inline std::string LocalRuntimeDir()
{
    for (const char* var : {"KESTRAD_PIPE_DIR", "XDG_RUNTIME_DIR"}) {
        const char* value = std::getenv(var);
        if (value && *value)
            return value;
    }
    return "/tmp";
}

inline std::string LocalEndpointPath(const std::string& name)
{
    static const char prefix[] = "\\\\.\\pipe\\";
    const size_t n = sizeof(prefix) - 1;
    if (name.size() >= n) {
        bool match = true;
        for (size_t i = 0; i < n && match; ++i)
            match = std::tolower(static_cast<unsigned char>(name[i])) ==
                    std::tolower(static_cast<unsigned char>(prefix[i]));
        if (match)
            return LocalRuntimeDir() + "/" + name.substr(n);
    }
    return name;
}
