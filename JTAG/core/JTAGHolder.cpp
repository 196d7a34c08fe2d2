#include "JTAG/core/JTAGHolder.h"

#include <set>
#include <stdexcept>

#include "JTAG/core/JTAG.h"
#include "base/Printable.h"
#include "log/Logger.h"

CJTAGHolder::CJTAGHolder(const AdapterContext& context, std::vector<Source> sources)
    : m_context(context), m_sources(std::move(sources))
{
}

CJTAGHolder::~CJTAGHolder() {}

std::shared_ptr<CJTAG> CJTAGHolder::Find(const std::string& name) const
{
    for (const auto& adapter : m_adapters)
        if (adapter->IsNamed(name))
            return adapter;
    return nullptr;
}

std::shared_ptr<CJTAG> CJTAGHolder::Claim(const std::string& name, unsigned int session)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::shared_ptr<CJTAG> adapter = Find(name);
    if (!adapter)
        throw std::runtime_error("no such device: " + name);
    const auto claim = m_claimed.find(adapter.get());
    if (claim != m_claimed.end())
        throw std::runtime_error(name + " is already opened by session " + std::to_string(claim->second));
    if (adapter->IsOpened())
        throw std::runtime_error(name + " is already opened");
    m_claimed.emplace(adapter.get(), session);
    return adapter;
}

void CJTAGHolder::Release(const std::shared_ptr<CJTAG>& adapter)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_claimed.erase(adapter.get());
}

void CJTAGHolder::SetChipName(const std::string& name, const std::string& chip)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::shared_ptr<CJTAG> adapter = Find(name);
    if (!adapter)
        throw std::runtime_error("no such device: " + name);
    adapter->SetChipName(chip);
    m_chipNames[name] = chip;
}

void CJTAGHolder::Renumerate(const std::function<bool()>& stillWanted)
{
    std::unique_lock<std::mutex> scanLock(m_scanMutex);
    if (m_scanning) {
        // Devices found by the scan in progress are as fresh as a new scan's
        // would be, and nobody waits for a whole round of probes per request.
        // A waiter whose client hangs up leaves at once (its thread and its
        // session slot are freed), looking every kGoneCheck.
        const uint64_t scan = m_scans;
        ++m_scanWaiters;
        while (!m_scanDone.wait_for(scanLock, kGoneCheck, [&] { return m_scans != scan; })) {
            if (stillWanted && !stillWanted()) {
                --m_scanWaiters;
                throw std::runtime_error("Renumerate stopped: its client has gone");
            }
        }
        --m_scanWaiters;
        if (m_scanError)
            std::rethrow_exception(m_scanError);
        return;
    }
    m_scanning = true;
    scanLock.unlock();
    std::exception_ptr error;
    try {
        Scan();
    } catch (...) {
        error = std::current_exception();
    }
    scanLock.lock();
    m_scanning = false;
    ++m_scans;
    m_scanError = error;
    m_scanDone.notify_all();
    scanLock.unlock();
    if (error)
        std::rethrow_exception(error);
}

size_t CJTAGHolder::ScanWaiters()
{
    std::lock_guard<std::mutex> lock(m_scanMutex);
    return m_scanWaiters;
}

void CJTAGHolder::Scan()
{
    CLogger& log = m_context.logger;
    log.LogVerb("Starting devices enumeration.\n");

    // The adapters sessions hold now are not probed; their objects stay even
    // if released during the scan, which has nothing newer for them.
    std::set<std::string> inUse;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& adapter : m_adapters)
            if (adapter->IsOpened() || m_claimed.count(adapter.get()) != 0)
                inUse.insert(adapter->GetName());
    }
    AdapterContext context = m_context;
    context.inUse = [inUse](const std::string& name) { return inUse.count(name) != 0; };

    // Probing takes as long as the devices and peers make it: no lock. A
    // failing source leaves the list as it was: nothing below runs.
    Adapters found;
    for (const Source& source : m_sources)
        source(found, context);

    Adapters dropped;  // released after the lock, in case a destructor is slow
    std::lock_guard<std::mutex> lock(m_mutex);
    Adapters list;
    for (auto& adapter : m_adapters) {
        if (adapter->IsOpened() || m_claimed.count(adapter.get()) != 0 || inUse.count(adapter->GetName()) != 0)
            list.push_back(adapter);
        else
            dropped.push_back(std::move(adapter));
    }

    // An open adapter keeps its object, its session and its state; the fresh
    // object for the same device is dropped without ever being opened. A
    // chip name a client set goes over to the new object of its adapter.
    for (auto& adapter : found) {
        bool taken = false;
        for (const auto& kept : list)
            if (kept->IsNamed(adapter->GetName())) {
                taken = true;
                break;
            }
        if (taken) {
            dropped.push_back(std::move(adapter));
            continue;
        }
        const auto chip = m_chipNames.find(adapter->GetName());
        if (chip != m_chipNames.end())
            adapter->SetChipName(chip->second);
        list.push_back(std::move(adapter));
    }
    m_adapters.swap(list);

    int i = 0;
    for (const auto& adapter : m_adapters)
        log.Log("%d. %s ver. %s (%s)\n", i++, Printable(adapter->GetName()).c_str(),
                Printable(adapter->GetVersionString()).c_str(), Printable(adapter->GetChipName()).c_str());
    log.LogVerb("Number of found devices: %d.\n", static_cast<int>(m_adapters.size()));
}
