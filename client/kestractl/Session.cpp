// CSession: the connection of one kestractl run, the adapter a script holds
// open, and the batch of a script's 'batch begin' ... 'batch end'.
#include "client/kestractl/Tool.h"

#include <chrono>
#include <thread>

using kestrad::client::CClient;
using kestrad::client::TapStateName;

namespace kestractl {

CSession::~CSession() { Finish(); }

CClient& CSession::Client()
{
    if (!m_client || !m_client->IsConnected()) {
        m_held.clear();
        m_heldClosed = false;
        m_listed = false;
        kestrad::client::ClientOptions options;
        const auto ms = std::chrono::milliseconds(
            static_cast<long long>(m_settings.timeoutSeconds * 1000.0));
        options.connectTimeout = ms;
        options.replyTimeout = ms;
        m_client = std::make_unique<CClient>(options);
        m_client->Connect(m_settings.address);
    }
    return *m_client;
}

void CSession::Hold(const std::string& adapter)
{
    if (adapter == ".")
        throw UsageError("'open' needs an adapter name");
    // The server closes the previous adapter itself when another is opened.
    m_held.clear();
    OpenAdapter(adapter);
    m_held = adapter;
    m_heldClosed = false;
}

void CSession::ByName(const std::function<void(CClient&)>& call)
{
    CClient& c = Client();
    try {
        call(c);
    } catch (const kestrad::client::ServerError& e) {
        // The server builds its adapter list only when a client asks for it,
        // so a fresh server knows no adapter yet: list once, then retry.
        if (m_listed || std::string(e.what()).rfind("no such device: ", 0) != 0)
            throw;
        m_listed = true;
        c.List();
        call(c);
    }
}

void CSession::OpenAdapter(const std::string& name)
{
    ByName([&](CClient& c) { c.Open(name); });
}

void CSession::Release()
{
    if (m_held.empty())
        return;
    m_held.clear();
    m_heldClosed = false;
    Client().Close();
}

void CSession::Finish() noexcept
{
    if (!m_client)
        return;
    if (m_client->IsConnected() && !m_held.empty()) {
        try {
            m_client->Close();
        } catch (const std::exception&) {
            // Disconnecting closes it on the server as well.
        }
    }
    m_held.clear();
    m_client->Disconnect();
}

void CSession::KeepAliveWhileIdle(bool on)
{
    if (!m_client || !m_client->IsConnected())
        return;
    if (on)
        m_client->EnableKeepAlive();
    else
        m_client->DisableKeepAlive();
}

std::string CSession::AdapterFor(const Step& step)
{
    if (!m_held.empty()) {
        if (step.adapter != "." && step.adapter != m_held)
            throw UsageError("adapter '" + m_held + "' is open; 'close' it before using '" +
                             step.adapter + "'");
        if (m_heldClosed) {
            // A failed command made the server close it; carry on where the
            // user expects it open.
            OpenAdapter(m_held);
            m_heldClosed = false;
        }
        return m_held;
    }
    if (step.adapter == ".")
        throw UsageError("'.' names the open adapter, but none is open");
    return step.adapter;
}

void CSession::Sleep(uint64_t ms)
{
    const bool connected = m_client && m_client->IsConnected();
    if (connected)
        m_client->EnableKeepAlive();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until && !g_interrupted)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (connected)
        m_client->DisableKeepAlive();
    if (g_interrupted)
        throw Interrupted();
}

Json CSession::Run(const Step& step)
{
    const Command& command = CommandNamed(step.command);
    if (!command.run)
        throw UsageError("'" + step.command + "' cannot be run here");
    if (!command.needsAdapter)
        return command.run(*this, step);
    return OnAdapter(step, [&](const Step& resolved) { return command.run(*this, resolved); });
}

Json CSession::OnAdapter(const Step& step, const std::function<Json(const Step&)>& body)
{
    const bool held = !m_held.empty();
    Step resolved = step;
    resolved.adapter = AdapterFor(step);
    CClient& c = Client();
    if (held) {
        try {
            return body(resolved);
        } catch (const kestrad::client::ServerError&) {
            MarkHeldClosed();
            throw;
        }
    }
    OpenAdapter(resolved.adapter);
    Json result;
    try {
        result = body(resolved);
    } catch (...) {
        try {
            if (c.IsConnected())
                c.Close();
        } catch (const std::exception&) {
            // The first failure is the one to report.
        }
        throw;
    }
    c.Close();
    return result;
}

Json CSession::RunBatch(const std::vector<Step>& scans)
{
    if (scans.empty())
        return Json::array();
    // Every scan of a batch goes to one adapter.
    std::string name = scans.front().adapter;
    for (const Step& s : scans) {
        if (s.adapter != "." && name == ".")
            name = s.adapter;
        if (s.adapter != "." && s.adapter != name)
            throw UsageError("line " + std::to_string(s.line) +
                             ": a batch goes to one adapter, but it names '" + name + "' and '" +
                             s.adapter + "'");
    }
    kestrad::client::CBatch batch;
    for (const Step& s : scans) {
        if (s.command == "irscan") {
            batch.ShiftIR(s.address, s.length.value_or(4), EndState(s));
        } else {
            const auto bits = HexToBits(s.value, *s.length);
            if (s.noCapture)
                batch.WriteDR(bits, *s.length, EndState(s));
            else
                batch.ShiftDR(bits, *s.length, EndState(s));
        }
    }
    Step carrier;
    carrier.command = "batch";
    carrier.adapter = name;
    carrier.line = scans.front().line;
    std::vector<std::vector<uint8_t>> results;
    OnAdapter(carrier, [&](const Step&) {
        results = Client().Execute(batch);
        return Json::object();
    });
    Json out = Json::array();
    for (size_t i = 0; i < scans.size(); ++i) {
        const Step& s = scans[i];
        const std::vector<uint8_t>& bits = results.at(i);
        Json r;
        r["line"] = s.line;
        r["command"] = s.command;
        if (s.command == "irscan") {
            const uint32_t len = s.length.value_or(4);
            r["value"] = Hex32(s.address, (len + 3) / 4);
            r["length"] = len;
            r["end"] = TapStateName(EndState(s));
            r["captured"] = BitsToHex(bits, len);
        } else {
            r["length"] = *s.length;
            r["end"] = TapStateName(EndState(s));
            if (!s.noCapture)
                r["captured"] = BitsToHex(bits, *s.length);
        }
        out.push_back(r);
    }
    return out;
}

}  // namespace kestractl
