// CJTAGHolder: every adapter the server knows, USB and network alike.
//
// The list is rebuilt only by Renumerate(); adapters that a session has open
// survive a rebuild untouched. Sessions serialise their use of the list (the
// rebuild, the search and open of CMD_OPEN, CMD_UPDATE_NAME, the adapter list
// reply, and closing an adapter) with Mutex(); nobody holds it while an
// adapter scans or moves memory.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CJTAG;
class CJTAGServer;

class CJTAGHolder {
public:
    using Adapters = std::vector<std::shared_ptr<CJTAG>>;
    // Appends the adapters one source finds (the USB bus, the network peers).
    using Source = std::function<void(Adapters&, CJTAGServer&)>;

    explicit CJTAGHolder(CJTAGServer& server);
    virtual ~CJTAGHolder();

    CJTAGHolder(const CJTAGHolder&) = delete;
    CJTAGHolder& operator=(const CJTAGHolder&) = delete;

    size_t GetCount() const { return m_adapters.size(); }
    Adapters::iterator begin() { return m_adapters.begin(); }
    Adapters::iterator end() { return m_adapters.end(); }

    void Renumerate();

    // The first adapter in the list for which IsNamed(name) holds; empty when
    // there is none. The caller holds Mutex().
    std::shared_ptr<CJTAG> Find(const std::string& name) const;

    std::mutex& Mutex() { return m_mutex; }

    // Replaces the sources that Renumerate scans (by default the USB bus, then
    // the network entries). Only code linked into the process can call it;
    // tests use it to serve adapters of their own.
    void SetSources(std::vector<Source> sources) { m_sources = std::move(sources); }

private:
    CJTAGServer& m_server;
    Adapters m_adapters;
    std::vector<Source> m_sources;
    std::mutex m_mutex;
};
