// How a local endpoint name becomes a Unix-domain socket path. Shared by the
// server and the client library so both sides agree on where to meet.
//
// A name that begins with \\.\pipe\ (any letter case, as the pipe namespace
// is on Windows) names a socket file called by the rest of the name in the
// runtime directory: $KESTRAD_PIPE_DIR; else, for root, /run/kestrad; else
// $XDG_RUNTIME_DIR; else /tmp/kestrad-UID, a directory of the user's own.
// The default is never a directory that every user may write to, where
// another user could take the name first and answer in kestrad's place.
// Any other name is a socket path used as it stands.
#pragma once

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <string>

// The server's default endpoint when no -a is given.
constexpr const char* KESTRAD_DEFAULT_PIPE = "\\\\.\\Pipe\\vrk_pipe";

// Where \\.\pipe\ names live for a process of effective user `euid`. When
// the answer is one of the two directories kestrad makes itself
// (/run/kestrad, /tmp/kestrad-UID), `made` says which kind: Shared (root's,
// every user may connect) or Private (the user's alone); else None.
enum class LocalDirKind { None, Shared, Private };

inline std::string LocalRuntimeDirFor(unsigned long euid, LocalDirKind* made = nullptr)
{
    if (made)
        *made = LocalDirKind::None;
    if (const char* value = std::getenv("KESTRAD_PIPE_DIR"); value && *value)
        return value;
    if (euid == 0) {
        if (made)
            *made = LocalDirKind::Shared;
        return "/run/kestrad";
    }
    if (const char* value = std::getenv("XDG_RUNTIME_DIR"); value && *value)
        return value;
    if (made)
        *made = LocalDirKind::Private;
    return "/tmp/kestrad-" + std::to_string(euid);
}

inline std::string LocalRuntimeDir(LocalDirKind* made = nullptr)
{
    return LocalRuntimeDirFor(::geteuid(), made);
}

// Whether `name` is a \\.\pipe\ name; `rest` is what follows the prefix.
inline bool IsPipeName(const std::string& name, std::string* rest = nullptr)
{
    static const char prefix[] = "\\\\.\\pipe\\";
    const size_t n = sizeof(prefix) - 1;
    if (name.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(name[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    if (rest)
        *rest = name.substr(n);
    return true;
}

inline std::string LocalEndpointPath(const std::string& name)
{
    std::string rest;
    if (IsPipeName(name, &rest))
        return LocalRuntimeDir() + "/" + rest;
    return name;
}
