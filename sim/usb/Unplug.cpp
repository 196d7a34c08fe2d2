// The unplug watch of the simulated bus: KESTRAD_SIM_USB_CTL names the
// devices that are unplugged (see SimBus.h).
#include "sim/usb/SimBus.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>

namespace simusb {

namespace {

// The control file's lines, read again only when the file (or the variable
// naming it) changes: a stat per USB call instead of reading the file.
struct CUnplugCache {
    std::mutex lock;
    std::string path;
    bool exists = false;
    struct stat st {};
    std::chrono::system_clock::time_point readAt;
    std::set<std::string> lines;
};

std::chrono::system_clock::time_point ModifiedAt(const struct stat& st)
{
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
}

CUnplugCache& UnplugCache()
{
    static CUnplugCache* cache = new CUnplugCache;  // left alive like the bus
    return *cache;
}

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Brings the cache up to date. Caller holds cache.lock.
const std::set<std::string>& RefreshUnplugged(CUnplugCache& cache)
{
    const char* value = std::getenv("KESTRAD_SIM_USB_CTL");
    const std::string path = value ? value : "";
    struct stat st {};
    const bool exists = !path.empty() && ::stat(path.c_str(), &st) == 0;
    // File times tick coarsely (milliseconds): a file changed again just
    // after it was read may keep its times and size, so one modified shortly
    // before the last read is read again until it is older than that.
    const bool settled = !exists || ModifiedAt(st) + std::chrono::milliseconds(100) < cache.readAt;
    if (path == cache.path && exists == cache.exists && (!exists || SameFile(st, cache.st)) && settled)
        return cache.lines;
    cache.readAt = std::chrono::system_clock::now();
    cache.path = path;
    cache.exists = exists;
    cache.st = st;
    cache.lines.clear();
    if (!exists)
        return cache.lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const size_t b = line.find_first_not_of(" \t\r");
        if (b == std::string::npos || line[b] == '#')
            continue;
        const size_t e = line.find_last_not_of(" \t\r");
        cache.lines.insert(line.substr(b, e - b + 1));
    }
    return cache.lines;
}

}  // namespace

std::set<std::string> ReadUnplugged()
{
    CUnplugCache& cache = UnplugCache();
    std::lock_guard<std::mutex> guard(cache.lock);
    return RefreshUnplugged(cache);
}

bool Unplugged(const CSlot* slot, const std::set<std::string>& list)
{
    const std::string& serial = slot->model->Info().serial;
    return (!serial.empty() && list.count(serial)) || list.count("@" + std::to_string(slot->index));
}

bool Present(CNode* node)
{
    if (node->gone)
        return false;
    bool unplugged;
    {
        CUnplugCache& cache = UnplugCache();
        std::lock_guard<std::mutex> guard(cache.lock);
        const std::set<std::string>& lines = RefreshUnplugged(cache);
        unplugged = !lines.empty() && Unplugged(node->slot, lines);
    }
    if (unplugged) {
        node->gone = true;
        node->slot->changed.notify_all();
        return false;
    }
    return true;
}

}  // namespace simusb
