// kestractl commands: their command-line syntax (shared by the command line
// and script lines) and what each one does over a CClient.
#include "client/kestractl/Tool.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

using kestrad::client::AdapterInfo;
using kestrad::client::BitBytes;
using kestrad::client::CClient;
using kestrad::client::ParseTapState;
using kestrad::client::TapState;
using kestrad::client::TapStateName;

namespace kestractl {

namespace {

const char* kEndHelp =
    "TAP state after the scan: idle (default), reset, drpause, irpause, drshift, irshift, "
    "drexit1, irexit1, or 0..7";

// TAP end state as CLI11 validates it: any spelling ParseTapState knows.
const CLI::Validator kEndState(
    [](std::string& text) -> std::string {
        return ParseTapState(text) ? std::string() : "unknown TAP state '" + text + "'";
    },
    "STATE");

// Sizes take K/M/G suffixes (powers of 1024).
const CLI::AsSizeValue kSize(false);

TapState EndState(const Step& s) { return *ParseTapState(s.end); }

std::string JoinWords(const std::vector<std::string>& words)
{
    std::string out;
    for (const std::string& w : words)
        out += w + " ";
    return out;
}

void AddAdapter(CLI::App* sub, Step& st)
{
    sub->add_option("ADAPTER", st.adapter, "adapter name as 'list' shows it")->required();
}

}  // namespace

UsageError UnknownCommand(const std::vector<std::string>& words)
{
    if (words.empty())
        return UsageError("a command is required; --help lists them");
    return UsageError("unknown command '" + words.front() + "'; --help lists the commands");
}

bool Step::NeedsAdapter() const
{
    static const char* const commands[] = {"detect", "irscan", "drscan", "runtest", "trst",
                                           "srst",   "frequency", "reset", "read", "write"};
    for (const char* c : commands)
        if (command == c)
            return true;
    return false;
}

void AddCommands(CLI::App& app, Step& st, ParserMode mode)
{
    app.require_subcommand(1, 1);

    app.add_subcommand("list", "list the server's adapters: name, chip name, serial number");

    auto* detect = app.add_subcommand(
        "detect", "pulse TRST and identify the TAPs of the chain by their IDCODEs");
    AddAdapter(detect, st);
    st.number = 32;
    detect->add_option("--max-devices", st.number, "longest chain looked for (default 32)")
        ->check(CLI::Range(1, 1024));

    auto* irscan = app.add_subcommand("irscan", "shift an instruction into the IR; prints the "
                                                "captured IR bits");
    AddAdapter(irscan, st);
    irscan->add_option("VALUE", st.address, "instruction (0x hex, decimal)")->required();
    irscan->add_option("-l,--length", st.length, "IR length in bits, 1..32 (default 4)")
        ->check(CLI::Range(1, 32));
    irscan->add_option("-e,--end", st.end, kEndHelp)->check(kEndState);

    auto* drscan = app.add_subcommand("drscan", "shift bits through the selected data register; "
                                                "prints the captured bits");
    AddAdapter(drscan, st);
    drscan->add_option("HEXBITS", st.value, "bits to shift in as one hex number (bit 0 first "
                                            "out of the least significant digit)")
        ->required();
    drscan->add_option("-l,--length", st.length, "scan length in bits")
        ->required()
        ->check(CLI::Range(1u, 0x7FFFFFF8u));
    drscan->add_option("-e,--end", st.end, kEndHelp)->check(kEndState);
    drscan->add_flag("--no-capture", st.noCapture,
                     "do not return the captured bits (a write-only scan in a batch)");

    auto* runtest = app.add_subcommand("runtest", "clock N times in Run-Test/Idle");
    AddAdapter(runtest, st);
    runtest->add_option("N", st.number, "number of TCK cycles")
        ->required()
        ->check(CLI::Range(uint64_t{0}, uint64_t{0xFFFFFFFF}));

    for (const char* name : {"trst", "srst"}) {
        auto* sub = app.add_subcommand(
            name, std::string(name == std::string("trst") ? "drive TRST" : "drive the system reset") +
                      ": 0 asserts (low), 1 releases (high)");
        AddAdapter(sub, st);
        sub->add_option("LEVEL", st.level, "0 or 1")->required()->check(CLI::IsMember({"0", "1"}));
    }

    auto* frequency = app.add_subcommand("frequency", "set the JTAG clock");
    AddAdapter(frequency, st);
    frequency
        ->add_option("HZ", st.number, "frequency in Hz (suffixes kHz, MHz accepted)")
        ->required()
        ->transform(CLI::AsNumberWithUnit(
            std::map<std::string, uint64_t>{{"hz", 1}, {"khz", 1000}, {"mhz", 1000000}},
            CLI::AsNumberWithUnit::CASE_INSENSITIVE, "Hz"))
        ->check(CLI::Range(uint64_t{0}, uint64_t{0xFFFFFFFF}));

    auto* chipname = app.add_subcommand("chipname", "change the chip name an adapter reports");
    AddAdapter(chipname, st);
    chipname->add_option("NAME", st.value, "new chip name")->required();

    auto* reset = app.add_subcommand("reset", "reset the adapter");
    AddAdapter(reset, st);

    auto* read = app.add_subcommand("read", "read target memory; a hex dump, or a binary file "
                                            "with --output");
    AddAdapter(read, st);
    read->add_option("ADDRESS", st.address, "32-bit target address")->required();
    read->add_option("SIZE", st.size, "bytes to read (K, M suffixes: 1024, 1024^2)")
        ->required()
        ->transform(kSize);
    read->add_option("-o,--output", st.file, "write the bytes to this file");

    auto* write = app.add_subcommand("write", "write target memory from hex bytes or a file");
    AddAdapter(write, st);
    write->add_option("ADDRESS", st.address, "32-bit target address")->required();
    auto* bytes = write->add_option("HEXBYTES", st.words, "bytes in order, e.g. 'de ad be ef' "
                                                           "or deadbeef");
    auto* file = write->add_option("-f,--file", st.file, "binary file to write");
    bytes->excludes(file);

    app.add_subcommand("keepalive", "send a keep-alive (checks that the server answers the "
                                    "connection)");

    if (mode == ParserMode::CommandLine) {
        auto* script = app.add_subcommand(
            "script", "run commands from FILE ('-' for stdin; an interactive prompt when stdin is "
                      "a terminal)");
        st.file = "";
        script->add_option("FILE", st.file, "script file, or - for stdin")->required();
        auto* svf = app.add_subcommand("svf", "play a Serial Vector Format file on an adapter");
        AddAdapter(svf, st);
        svf->add_option("FILE", st.file, "SVF file, or - for stdin")->required();
        svf->add_flag("--keep-going", st.keepGoing, "count TDO mismatches instead of stopping at "
                                                    "the first");
    } else {
        auto* open = app.add_subcommand("open", "open ADAPTER and keep it open for the steps "
                                                "that follow ('.' names it)");
        AddAdapter(open, st);
        app.add_subcommand("close", "close the adapter that 'open' opened");
        auto* batch = app.add_subcommand(
            "batch", "'batch begin' ... 'batch end' sends the scans between them as one batch");
        batch->add_option("ACTION", st.batchAction, "begin, end or abort")
            ->required()
            ->check(CLI::IsMember({"begin", "end", "abort"}));
        auto* sleep = app.add_subcommand("sleep", "wait MS milliseconds (keeping the "
                                                  "connection alive)");
        sleep->add_option("MS", st.number, "milliseconds")->required();
        app.add_subcommand("quit", "end the script")->alias("exit");
    }
}

Step ParseScriptLine(const std::string& text, int line, std::string* helpOut)
{
    Step step;
    step.line = line;
    CLI::App app("Script commands, one per line ('#' starts a comment):", "");
    AddCommands(app, step, ParserMode::Script);
    try {
        app.parse(text, false);
    } catch (const CLI::RequiredError&) {
        if (app.get_subcommands().empty())
            throw UnknownCommand(app.remaining());
        throw;
    } catch (const CLI::CallForHelp&) {
        if (helpOut) {
            // Help for the subcommand named on the line, if any.
            const CLI::App* target = &app;
            for (const CLI::App* sub : app.get_subcommands())
                target = sub;
            *helpOut = target->help();
        }
        throw;
    }
    step.command = app.get_subcommands().at(0)->get_name();
    return step;
}

void CheckArguments(const Step& s)
{
    if (s.command == "irscan") {
        const uint32_t len = s.length.value_or(4);
        if (len < 32 && (s.address >> len) != 0)
            throw UsageError("irscan: value " + Hex32(s.address, 1) + " does not fit in " +
                             std::to_string(len) + " bits");
    } else if (s.command == "drscan") {
        HexToBits(s.value, *s.length);
    } else if (s.command == "write") {
        if (s.file.empty() == s.words.empty())
            throw UsageError("write: give either HEXBYTES or --file");
        if (s.file.empty())
            HexToBytes(JoinWords(s.words));
    }
}

// ---- session -------------------------------------------------------------

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

Json CSession::Run(const Step& step)
{
    if (step.command == "open") {
        Hold(step.adapter);
        return Json::object();
    }
    if (step.command == "close") {
        Release();
        return Json::object();
    }
    if (step.command == "sleep") {
        const bool connected = m_client && m_client->IsConnected();
        if (connected)
            m_client->EnableKeepAlive();
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(step.number);
        while (std::chrono::steady_clock::now() < until && !g_interrupted)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (connected)
            m_client->DisableKeepAlive();
        if (g_interrupted)
            throw Interrupted();
        return Json::object();
    }
    if (!step.NeedsAdapter())
        return Execute(step);
    return OnAdapter(step, [this](const Step& resolved) { return Execute(resolved); });
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

Json CSession::Execute(const Step& s)
{
    CClient& c = Client();
    const std::string& cmd = s.command;
    if (cmd == "list") {
        m_listed = true;
        return RunList(c);
    }
    if (cmd == "detect")
        return RunDetect(c, s);
    if (cmd == "irscan")
        return RunIrscan(c, s);
    if (cmd == "drscan")
        return RunDrscan(c, s);
    if (cmd == "read")
        return RunRead(c, s, m_settings);
    if (cmd == "write")
        return RunWrite(c, s, m_settings);
    if (cmd == "runtest")
        c.RunTest(static_cast<uint32_t>(s.number));
    else if (cmd == "trst")
        c.SetTrst(s.level);
    else if (cmd == "srst")
        c.SetSysRst(s.level);
    else if (cmd == "frequency")
        c.SetFrequency(static_cast<uint32_t>(s.number));
    else if (cmd == "chipname")
        ByName([&](CClient& client) { client.UpdateName(s.adapter, s.value); });
    else if (cmd == "reset")
        c.Reset();
    else if (cmd == "keepalive")
        c.KeepAlive();
    else
        throw UsageError("'" + cmd + "' cannot be run here");
    return Json::object();
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

// ---- command bodies ------------------------------------------------------

Json RunList(CClient& c)
{
    Json list = Json::array();
    for (const AdapterInfo& a : c.List()) {
        Json j;
        j["name"] = a.name;
        j["chip"] = a.chipName;
        j["serial"] = a.serial ? Json(*a.serial) : Json(nullptr);
        list.push_back(j);
    }
    Json out;
    out["adapters"] = list;
    return out;
}

Json RunDetect(CClient& c, const Step& s)
{
    // After TRST every TAP holds IDCODE (32 bits, bit 0 set) or, without one,
    // BYPASS (one bit, 0). Shifting ones through the whole chain brings the
    // registers out nearest-TDO first, followed by the ones we shifted in:
    // 32 ones in a row therefore mark the end of the chain.
    const uint32_t maxDevices = static_cast<uint32_t>(s.number);
    const uint32_t bits = 32 * maxDevices + 32;
    c.SetTrst(false);
    c.SetTrst(true);
    std::vector<uint8_t> ones(BitBytes(bits), 0xFF);
    std::vector<uint8_t> captured = c.ShiftDR(ones, bits, TapState::RunTestIdle);
    auto bit = [&](uint32_t k) { return (captured[k / 8] >> (k % 8)) & 1; };

    Json devices = Json::array();
    uint32_t pos = 0;
    unsigned bypassCount = 0;
    bool ended = false;
    while (pos < bits && devices.size() <= maxDevices) {
        if (!bit(pos)) {
            Json d;
            d["position"] = devices.size();
            d["bypass"] = true;
            devices.push_back(d);
            ++bypassCount;
            ++pos;
            continue;
        }
        if (pos + 32 > bits)
            break;
        uint32_t id = 0;
        for (uint32_t k = 0; k < 32; ++k)
            id |= static_cast<uint32_t>(bit(pos + k)) << k;
        if (id == 0xFFFFFFFFu) {
            ended = true;
            break;
        }
        const unsigned bank = ((id >> 8) & 0xF) + 1;
        const unsigned code = (id >> 1) & 0x7F;
        Json d;
        d["position"] = devices.size();
        d["idcode"] = Hex32(id);
        d["version"] = id >> 28;
        d["part"] = Hex32((id >> 12) & 0xFFFF, 4);
        d["bank"] = bank;
        d["code"] = Hex32(code, 2);
        const char* maker = JedecManufacturer(bank, code);
        d["manufacturer"] = maker ? Json(maker) : Json(nullptr);
        devices.push_back(d);
        pos += 32;
    }
    if (!ended)
        throw ChainError(
            "no end of the chain within " + std::to_string(bits) +
            " bits: TDO stuck low, or more than " + std::to_string(maxDevices) +
            " TAPs (try --max-devices), or an adapter that cannot scan that many bits");
    Json out;
    out["adapter"] = s.adapter;
    out["count"] = devices.size();
    out["bypass"] = bypassCount;
    out["devices"] = devices;
    return out;
}

Json RunIrscan(CClient& c, const Step& s)
{
    CheckArguments(s);
    const uint32_t len = s.length.value_or(4);
    uint32_t captured = c.ShiftIR(s.address, len, EndState(s));
    if (len < 32)
        captured &= (1u << len) - 1;
    Json out;
    out["adapter"] = s.adapter;
    out["value"] = Hex32(s.address, (len + 3) / 4);
    out["length"] = len;
    out["end"] = TapStateName(EndState(s));
    out["captured"] = Hex32(captured, (len + 3) / 4);
    return out;
}

Json RunDrscan(CClient& c, const Step& s)
{
    const uint32_t len = *s.length;
    const std::vector<uint8_t> in = HexToBits(s.value, len);
    const std::vector<uint8_t> out = c.ShiftDR(in, len, EndState(s));
    Json j;
    j["adapter"] = s.adapter;
    j["length"] = len;
    j["end"] = TapStateName(EndState(s));
    if (!s.noCapture)
        j["captured"] = BitsToHex(out, len);
    return j;
}

namespace {

void CheckRange(uint32_t address, uint64_t size)
{
    if (size > 0 && static_cast<uint64_t>(address) + size - 1 > 0xFFFFFFFFull)
        throw UsageError(std::to_string(size) + " bytes at " + Hex32(address) +
                         " run past the end of the 32-bit address space");
}

uint32_t ChunkSize(const Settings& settings)
{
    // At least one byte, at most what one command or reply may carry.
    uint64_t chunk = settings.chunkSize;
    if (chunk == 0)
        chunk = 1;
    return static_cast<uint32_t>(std::min<uint64_t>(chunk, 16u * 1024u * 1024u));
}

}  // namespace

Json RunRead(CClient& c, const Step& s, const Settings& settings)
{
    CheckRange(s.address, s.size);
    const uint32_t chunk = ChunkSize(settings);
    std::ofstream file;
    if (!s.file.empty()) {
        file.open(s.file, std::ios::binary | std::ios::trunc);
        if (!file)
            throw LocalError("cannot create '" + s.file + "': " + std::strerror(errno));
    }
    const bool toFile = !s.file.empty();
    std::string hex;        // --json without a file: the bytes as hex
    std::string dump;       // text without a file: the hex dump
    CProgress progress("read", s.size, settings.progress && s.size > chunk);
    uint64_t done = 0;
    while (done < s.size) {
        if (g_interrupted) {
            progress.Done();
            throw Interrupted("interrupted after " + std::to_string(done) + " of " +
                              std::to_string(s.size) + " bytes" +
                              (toFile ? "; '" + s.file + "' holds the bytes read so far" : ""));
        }
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(chunk, s.size - done));
        const uint32_t at = static_cast<uint32_t>(s.address + done);
        std::vector<uint8_t> data = c.ReadBlock(at, n);
        if (toFile) {
            file.write(reinterpret_cast<const char*>(data.data()), data.size());
            if (!file)
                throw LocalError("cannot write '" + s.file + "': " + std::strerror(errno));
        } else if (settings.json) {
            hex += BytesToHex(data.data(), data.size());
        } else {
            // Streamed: a large dump should not wait for the whole transfer.
            std::string text = HexDump(at, data.data(), data.size());
            progress.Done();
            std::fwrite(text.data(), 1, text.size(), stdout);
        }
        done += n;
        progress.Update(done);
    }
    progress.Done();
    if (toFile) {
        file.close();
        if (!file)
            throw LocalError("cannot write '" + s.file + "': " + std::strerror(errno));
    }
    Json out;
    out["adapter"] = s.adapter;
    out["address"] = Hex32(s.address);
    out["size"] = s.size;
    if (toFile)
        out["file"] = s.file;
    else if (settings.json)
        out["data"] = hex;
    return out;
}

Json RunWrite(CClient& c, const Step& s, const Settings& settings)
{
    const uint32_t chunk = ChunkSize(settings);
    uint64_t total = 0;
    std::ifstream file;
    std::vector<uint8_t> bytes;
    if (!s.file.empty()) {
        file.open(s.file, std::ios::binary | std::ios::ate);
        if (!file)
            throw LocalError("cannot open '" + s.file + "': " + std::strerror(errno));
        total = static_cast<uint64_t>(file.tellg());
        file.seekg(0);
    } else {
        bytes = HexToBytes(JoinWords(s.words));
        total = bytes.size();
    }
    CheckRange(s.address, total);
    CProgress progress("write", total, settings.progress && total > chunk);
    uint64_t done = 0;
    std::vector<uint8_t> buffer;
    while (done < total) {
        if (g_interrupted) {
            progress.Done();
            throw Interrupted("interrupted after writing " + std::to_string(done) + " of " +
                              std::to_string(total) + " bytes");
        }
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(chunk, total - done));
        const uint8_t* data;
        if (!s.file.empty()) {
            buffer.resize(n);
            file.read(reinterpret_cast<char*>(buffer.data()), n);
            if (file.gcount() != static_cast<std::streamsize>(n))
                throw LocalError("cannot read '" + s.file + "': file changed while writing");
            data = buffer.data();
        } else {
            data = bytes.data() + done;
        }
        c.WriteBlock(static_cast<uint32_t>(s.address + done), data, n);
        done += n;
        progress.Update(done);
    }
    progress.Done();
    Json out;
    out["adapter"] = s.adapter;
    out["address"] = Hex32(s.address);
    out["size"] = total;
    if (!s.file.empty())
        out["file"] = s.file;
    return out;
}

}  // namespace kestractl
