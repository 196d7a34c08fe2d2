// CJTAGHolder: every adapter the server knows, USB and network alike.
//
// The list is rebuilt only by Renumerate(); adapters that a session has open
// (or is opening or closing) survive a rebuild untouched. Mutex() guards the
// list, the claims and the chip names set by clients, and is held only to
// read or change them: never while a source probes devices, nor while an
// adapter opens, closes, scans or moves memory, so one session's slow
// adapter work never stalls another session.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "JTAG/core/AdapterContext.h"

class CJTAG;

class CJTAGHolder {
public:
    using Adapters = std::vector<std::shared_ptr<CJTAG>>;
    // Appends the adapters one source finds (the USB bus, the network peers).
    using Source = std::function<void(Adapters&, const AdapterContext&)>;

    // Scans `sources` in order (JTAG/Sources.h has the server's: the USB bus,
    // then the network entries). The context goes to every source.
    explicit CJTAGHolder(const AdapterContext& context, std::vector<Source> sources = {});
    virtual ~CJTAGHolder();

    CJTAGHolder(const CJTAGHolder&) = delete;
    CJTAGHolder& operator=(const CJTAGHolder&) = delete;

    // The list; the caller holds Mutex().
    size_t GetCount() const { return m_adapters.size(); }
    Adapters::iterator begin() { return m_adapters.begin(); }
    Adapters::iterator end() { return m_adapters.end(); }

    // Scans the sources into a new list without the lock, then merges it
    // under the lock: adapters open or claimed meanwhile are kept. A call
    // made while a scan is in progress waits for that scan and shares its
    // outcome instead of starting another. Such a wait ends early, with
    // std::runtime_error, once `stillWanted` (when given) says its client
    // has gone; the scan itself is bounded by its sources' time limits.
    void Renumerate(const std::function<bool()>& stillWanted = nullptr);
    // Requests waiting for the scan in progress.
    size_t ScanWaiters();
    // How often such a request asks whether its client is still there.
    static constexpr std::chrono::milliseconds kGoneCheck{100};

    // The first adapter in the list for which IsNamed(name) holds; empty when
    // there is none. The caller holds Mutex().
    std::shared_ptr<CJTAG> Find(const std::string& name) const;

    // Takes the adapter named for session `session` before it is opened:
    // fails with "no such device: " + name, or name + " is already opened"
    // when it is open or another session has claimed it, followed by
    // " by session N" naming the claimant (its log lines start "Session:N:").
    // The claim lasts until Release(), which the session calls once its
    // Close() is done.
    std::shared_ptr<CJTAG> Claim(const std::string& name, unsigned int session);
    void Release(const std::shared_ptr<CJTAG>& adapter);

    // Sets the chip name of the adapter named, open or not; a later rebuild
    // gives it to the new object of the same name. Fails with
    // "no such device: " + name.
    void SetChipName(const std::string& name, const std::string& chip);

    std::mutex& Mutex() { return m_mutex; }

    // Replaces the sources that Renumerate scans. Only code linked into the
    // process can call it; tests use it to serve adapters of their own.
    void SetSources(std::vector<Source> sources) { m_sources = std::move(sources); }

private:
    void Scan();

    AdapterContext m_context;
    Adapters m_adapters;
    std::vector<Source> m_sources;
    std::map<const CJTAG*, unsigned int> m_claimed;  // adapter -> the session holding it
    // Chip names set by clients, by adapter name (bounded by the names the
    // sources produce: only a listed adapter can be named).
    std::map<std::string, std::string> m_chipNames;
    std::mutex m_mutex;

    // The scan in progress, shared by the requests that arrive meanwhile.
    std::mutex m_scanMutex;
    std::condition_variable m_scanDone;
    bool m_scanning = false;
    size_t m_scanWaiters = 0;
    uint64_t m_scans = 0;
    std::exception_ptr m_scanError;
};
