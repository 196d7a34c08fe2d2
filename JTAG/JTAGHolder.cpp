#include "JTAG/JTAGHolder.h"

#include "JTAG/JTAG.h"
#include "JTAG/JTAGServer.h"
#include "JTAG/NetworkJTAG.h"
#include "JTAG/UsbInterface.h"
#include "log/Logger.h"

CJTAGHolder::CJTAGHolder(CJTAGServer& server) : m_server(server)
{
    CNetworkJTAG::Init(server);
    // USB adapters precede network adapters in the list.
    m_sources = {&CUsbInterface::AddAdapters, &CNetworkJTAG::AddAdapters};
}

CJTAGHolder::~CJTAGHolder() {}

std::shared_ptr<CJTAG> CJTAGHolder::Find(const std::string& name) const
{
    for (const auto& adapter : m_adapters)
        if (adapter->IsNamed(name))
            return adapter;
    return nullptr;
}

void CJTAGHolder::Renumerate()
{
    CLogger& log = m_server.Logger();
    log.LogVerb("Starting devices enumeration.\n");

    // A failing source leaves the list as it was: nothing below runs.
    Adapters found;
    for (const Source& source : m_sources)
        source(found, m_server);

    Adapters list;
    for (const auto& adapter : m_adapters)
        if (adapter->IsOpened())
            list.push_back(adapter);

    // An open adapter keeps its object, its session and its state; the fresh
    // object for the same device is dropped without ever being opened.
    for (auto& adapter : found) {
        bool taken = false;
        for (const auto& kept : list)
            if (kept->IsNamed(adapter->GetName())) {
                taken = true;
                break;
            }
        if (!taken)
            list.push_back(std::move(adapter));
    }
    m_adapters.swap(list);

    int i = 0;
    for (const auto& adapter : m_adapters)
        log.Log("%d. %s ver. %s (%s)\n", i++, adapter->GetName().c_str(),
                adapter->GetVersionString().c_str(), adapter->GetChipName().c_str());
    log.LogVerb("Number of found devices: %d.\n", static_cast<int>(m_adapters.size()));
}
