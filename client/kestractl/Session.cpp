// CSession: the connection of one kestractl run, the adapter a script holds
// open, and the batch of a script's 'batch begin' ... 'batch end'.
#include "client/kestractl/Tool.h"

#include "client/SshAddress.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <thread>

using kestrad::client::CClient;
using kestrad::client::TapStateName;

namespace kestractl {

CSession::~CSession() { Finish(); }

CClient& CSession::Client()
{
    // A connection that dropped while only keep-alives went (a script's
    // sleep, an idle bridge) took the open adapter with it: say so, rather
    // than connect again and have the next step refused for an adapter the
    // new session never opened.
    if (m_client && !m_held.empty() && !m_client->IsConnected()) {
        const std::string why = m_client->KeepAliveFailure();
        if (!why.empty()) {
            const std::string held = m_held;
            m_held.clear();
            throw kestrad::client::ConnectionError("the connection closed while " + held + " was open: " + why);
        }
    }
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
        try {
            m_client->Connect(m_settings.address);
        } catch (const kestrad::client::ConnectionError& e) {
            // Through ssh the message already says which step failed.
            if (kestrad::client::IsSshAddress(m_settings.address))
                throw;
            throw kestrad::client::ConnectionError(
                std::string(e.what()) +
                "\n  is kestrad running? Point at another server with -a ADDRESS or "
                "KESTRAD_ADDRESS (host:port, a socket path or ssh://host)");
        }
    }
    return *m_client;
}

namespace {

// Edits from a to b: insertions, deletions, substitutions, and two
// neighbouring letters swapped ("lsit" is one edit from "list"), each
// counting one.
size_t EditDistance(const std::string& a, const std::string& b)
{
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

const char* kNoSuchDevice = "no such device: ";

}  // namespace

std::vector<std::string> ClosestNames(const std::string& wanted,
                                      const std::vector<std::string>& names)
{
    // Close means: the same letters in another case, one is the start of
    // the other, or a third of the letters (at least one) differ.
    const std::string w = Lower(wanted);
    std::vector<std::pair<size_t, std::string>> scored;
    for (const std::string& name : names) {
        const std::string n = Lower(name);
        size_t d = EditDistance(w, n);
        if (!w.empty() && (n.rfind(w, 0) == 0 || w.rfind(n, 0) == 0))
            d = std::min<size_t>(d, 1);
        if (d <= std::max<size_t>(1, std::max(w.size(), n.size()) / 3))
            scored.emplace_back(d, name);
    }
    std::stable_sort(scored.begin(), scored.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> out;
    for (size_t i = 0; i < scored.size() && i < 3; ++i)
        out.push_back(scored[i].second);
    return out;
}

std::string CSession::Resolve(const std::string& adapter)
{
    static const std::string kSerial = "serial=";
    if (adapter.rfind(kSerial, 0) != 0)
        return adapter;
    const std::string serial = adapter.substr(kSerial.size());
    if (serial.empty())
        throw UsageError("'serial=' needs a serial number, e.g. serial=K1");
    // Bus positions change when adapters come and go; the serial number
    // does not, so it is looked up in a fresh list.
    m_listed = true;
    std::vector<std::string> serials;
    for (const kestrad::client::AdapterInfo& a : Client().List()) {
        if (a.serial && *a.serial == serial) {
            if (m_settings.verbose)
                std::fprintf(stderr, "kestractl: serial=%s is adapter '%s'\n", Shown(serial).c_str(),
                             Shown(a.name).c_str());
            return a.name;
        }
        if (a.serial)
            serials.push_back(*a.serial);
    }
    std::string message = "no adapter with serial number '" + serial + "'";
    const std::vector<std::string> close = ClosestNames(serial, serials);
    if (!close.empty())
        message += "; did you mean serial=" + close.front() + "?";
    throw UnknownAdapter(message + " (kestractl list)");
}

void CSession::Hold(const std::string& requested)
{
    if (requested == ".")
        throw UsageError("'open' needs an adapter name");
    const std::string adapter = Resolve(requested);
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
        try {
            call(c);
        } catch (const kestrad::client::ServerError& e) {
            // The server builds its adapter list only when a client asks for
            // it, so a fresh server knows no adapter yet: list once, then retry.
            if (m_listed || std::string(e.what()).rfind(kNoSuchDevice, 0) != 0)
                throw;
            m_listed = true;
            c.List();
            call(c);
        }
    } catch (const kestrad::client::ServerError& e) {
        const std::string what = e.what();
        if (what.rfind(kNoSuchDevice, 0) != 0 || dynamic_cast<const UnknownAdapter*>(&e))
            throw;
        const std::string name = what.substr(std::string(kNoSuchDevice).size());
        std::vector<std::string> names;
        for (const kestrad::client::AdapterInfo& a : c.List())
            names.push_back(a.name);
        std::string message = "no such adapter '" + name + "'";
        const std::vector<std::string> close = ClosestNames(name, names);
        for (size_t i = 0; i < close.size(); ++i)
            message += (i == 0 ? "; did you mean '" : " or '") + close[i] + "'" +
                       (i + 1 == close.size() ? "?" : "");
        throw UnknownAdapter(message + " (kestractl list)");
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
        if (step.adapter != "." && Resolve(step.adapter) != m_held)
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
    return Resolve(step.adapter);
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
