// kestractl internals: one parsed command (a Step), the table that describes
// every command, the session that runs steps against a server, and the
// output helpers.
//
// Files: Grammar.cpp (command-line and script syntax from the table),
// Session.cpp (CSession), CommandTable.cpp (the table), and the commands
// themselves by kind: AdapterCommands.cpp, ScanCommands.cpp,
// MemoryCommands.cpp.
#pragma once

#include "client/Client.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <array>
#include <csignal>
#include <functional>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestractl {

using Json = nlohmann::ordered_json;

// Exit statuses (documented in --help and the manual).
enum ExitStatus : int {
    EXIT_OK = 0,
    EXIT_LOCAL = 1,       // a file cannot be read or written; detect finds no chain end
    EXIT_USAGE = 2,       // bad command line or script syntax
    EXIT_CONNECTION = 3,  // cannot connect, bad greeting, I/O error, time-out, closed
    EXIT_SERVER = 4,      // the server answered with an error
    EXIT_PROTOCOL = 5,    // the server's reply made no sense
    EXIT_INTERRUPTED = 130,
};

// A usage error found while running a step (an argument CLI11 cannot judge,
// such as hex bits longer than --length). The message does not name the
// command: ReportError puts it in front ("kestractl read: ..."), taking
// Command() when the error carries one.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    UsageError(std::string command, const std::string& what)
        : std::runtime_error(what), m_command(std::move(command))
    {
    }
    const std::string& Command() const { return m_command; }

private:
    std::string m_command;
};

// An adapter name or serial number the server's list does not hold; the
// message names the closest names. Reported like the server's own error.
class UnknownAdapter : public kestrad::client::ServerError {
public:
    using kestrad::client::ServerError::ServerError;
};

// A local failure (file I/O).
class LocalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// detect could not make sense of the chain.
class ChainError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Thrown when SIGINT stopped a transfer between two chunks.
class Interrupted : public std::runtime_error {
public:
    explicit Interrupted(const std::string& what = "interrupted") : std::runtime_error(what) {}
};

extern volatile std::sig_atomic_t g_interrupted;

// One command with its arguments, as parsed from the command line or from
// one script line.
struct Step {
    std::string command;  // "list", "irscan", ...; empty for a blank line
    std::string adapter;
    std::string value;    // drscan HEXBITS, chipname NAME, raw TMS, bridge PROTOCOL
    std::string tdi;      // raw TDI
    std::string listen;   // bridge --listen HOST:PORT
    std::vector<std::string> words;  // write HEXBYTES
    std::optional<uint32_t> length;
    std::string end = "idle";
    bool noCapture = false;       // drscan --no-capture (a batch WriteDR)
    bool keepGoing = false;       // svf --keep-going
    bool force = false;           // read --force: a large read to a terminal
    bool level = false;           // trst / srst
    uint64_t number = 0;          // runtest N, frequency HZ, sleep MS, detect --max
    uint32_t address = 0;
    uint64_t size = 0;
    std::string file;             // write --file, read --output, script FILE
    std::string batchAction;      // "begin" / "end" / "abort"
    int line = 0;                 // script line, 0 on the command line
};

enum class ParserMode { CommandLine, Script };

class CSession;

// One command: its syntax, what it needs, how it runs and how its result
// reads as text. The table (Commands()) is the one place that lists them.
struct Command {
    enum class Where { Both, CommandLine, Script };

    const char* name;
    const char* help;
    Where where;
    bool needsAdapter;  // the session opens the named (or held) adapter around run
    bool batchable;     // may stand between 'batch begin' and 'batch end'
    // Declares the command's arguments and options, bound to `step`.
    void (*options)(CLI::App& sub, Step& step);
    // Checks what CLI11 cannot judge (throws UsageError); may be null.
    void (*check)(const Step& step);
    // Runs it; null for the script and batch controls, which the script
    // runner handles itself.
    Json (*run)(CSession& session, const Step& step);
    // Its text output; null when it prints nothing.
    std::string (*render)(const Step& step, const Json& result);
};

// Every command, in the order --help lists them.
const std::vector<Command>& Commands();
// The command named `name`; throws UsageError for an unknown one.
const Command& CommandNamed(const std::string& name);

// Global settings from the command line.
struct Settings {
    std::string address;
    bool json = false;
    double timeoutSeconds = 30;
    uint64_t chunkSize = 64 * 1024;
    bool progress = true;  // only drawn when stderr is a terminal
    bool verbose = false;  // -v: say which adapter a serial number named
};

// The names in `names` closest to `wanted` (letter case aside), best first,
// at most three; empty when none is close.
std::vector<std::string> ClosestNames(const std::string& wanted,
                                      const std::vector<std::string>& names);

// Adds the commands to `app`, binding their arguments to `step`. Each
// subcommand sets step.command when parsed.
void AddCommands(CLI::App& app, Step& step, ParserMode mode);

// The usage error for a line whose first word is not a command, with the
// command names close to it; the hint says where the commands are listed
// (--help on the command line, 'help' at the prompt).
UsageError UnknownCommand(const std::vector<std::string>& words, ParserMode mode);

// A 32-bit number argument (an address, an instruction): 0x hex or decimal;
// a larger number is refused in words, not as a failed conversion.
const CLI::Validator& Word32();

// Parses one script line (already stripped of comments) into a Step.
// Throws CLI::CallForHelp for --help, UsageError (naming the command when
// there is one) for anything else the line gets wrong.
Step ParseScriptLine(const std::string& text, int line, std::string* helpOut);

// Runs `kestractl script FILE` ("-" is stdin; a prompt when it is a
// terminal). Returns the exit status.
int RunScript(const std::string& file, const Settings& settings);

// Runs `kestractl svf ADAPTER FILE` ("-" is stdin). Returns the exit status.
int RunSvf(const Step& step, const Settings& settings);

// Runs `kestractl bridge PROTOCOL ADAPTER` until SIGINT or SIGTERM. Returns
// the exit status.
int RunBridge(const Step& step, const Settings& settings);

// Runs `kestractl proxy [SOCKET]`: joins stdin and stdout to the endpoint
// until either side closes (the remote end of an ssh:// address).
int RunProxy(const Step& step, const Settings& settings);

// Checks a step's arguments that CLI11 cannot judge (hex bits that do not fit
// the length, hex bytes); throws UsageError.
void CheckArguments(const Step& step);

// The connection and the adapter it holds, shared by the steps of one run.
class CSession {
public:
    explicit CSession(const Settings& settings) : m_settings(settings) {}
    ~CSession();

    kestrad::client::CClient& Client();
    const Settings& Config() const { return m_settings; }

    // Runs a call that names an adapter, renumerating once if the server
    // does not know the name yet; an unknown name throws UnknownAdapter.
    void ByName(const std::function<void(kestrad::client::CClient&)>& call);
    // The adapter name for what the user typed: a name as it stands, or
    // "serial=SN" looked up in the server's list.
    std::string Resolve(const std::string& adapter);
    // The server has renumerated on this connection ('list').
    void NoteListed() { m_listed = true; }
    // Waits `ms` milliseconds, keeping the connection alive; SIGINT ends it.
    void Sleep(uint64_t ms);

    // Opens `adapter` for a script's `open`; it stays open until Release().
    void Hold(const std::string& adapter);
    void Release();
    const std::string& Held() const { return m_held; }
    // After a failed command the server keeps the adapter but closes it.
    void MarkHeldClosed() { m_heldClosed = !m_held.empty(); }

    // Runs a step. Steps that need an adapter use the held one (the name
    // must match, or be ".") or open it for this step alone.
    Json Run(const Step& step);
    // Sends irscan/drscan steps as one batch; one result object per scan.
    Json RunBatch(const std::vector<Step>& scans);

    // Closes what is open and disconnects; never throws.
    void Finish() noexcept;

    // Keeps an idle interactive session alive.
    void KeepAliveWhileIdle(bool on);

private:
    std::string AdapterFor(const Step& step);
    Json OnAdapter(const Step& step, const std::function<Json(const Step&)>& body);
    void OpenAdapter(const std::string& name);

    Settings m_settings;
    std::unique_ptr<kestrad::client::CClient> m_client;
    std::string m_held;
    bool m_heldClosed = false;
    bool m_listed = false;  // this connection has had the server renumerate
};

// Text rendering of a result (the command's render); empty for commands
// that print nothing.
std::string Render(const Step& step, const Json& result);

// ---- grammar helpers (Grammar.cpp), for the commands' option functions ----

// The ADAPTER argument.
void AddAdapterArgument(CLI::App& sub, Step& step);
// -e/--end with the TAP state spellings ParseTapState knows.
void AddEndOption(CLI::App& sub, Step& step);
kestrad::client::TapState EndState(const Step& step);
// HEXBYTES words as one string.
std::string JoinWords(const std::vector<std::string>& words);

// ---- helpers (Output.cpp) ----

// Hex bit strings: "0x1f" with length 5 -> bytes {0x1f}. Throws UsageError
// when the value needs more than `length` bits or is not hex.
std::vector<uint8_t> HexToBits(const std::string& text, uint32_t length);
// The inverse: bits as one hex number, most significant digit first, with
// (length + 3) / 4 digits.
std::string BitsToHex(const std::vector<uint8_t>& bits, uint32_t length);
// "de ad be ef" / "deadbeef" / "0xdeadbeef" (bytes in that order).
std::vector<uint8_t> HexToBytes(const std::string& text);
std::string BytesToHex(const uint8_t* data, size_t size);
std::string HexDump(uint32_t address, const uint8_t* data, size_t size);
std::string Hex32(uint32_t v, int digits = 8);
// Text from the server (names, chip names, serial numbers, error messages)
// as it may be printed: control characters and bytes that are not UTF-8
// escaped (\x1b), so a server or another user's chip name cannot drive the
// terminal or forge a line.
std::string Shown(const std::string& text);
// An error message shown the same way, its hint lines kept on lines of
// their own and indented.
std::string ShownMessage(const std::string& text);
// A JSON document as printed: ASCII only (other characters as \u escapes,
// bytes that are not UTF-8 replaced), whatever the server sent.
std::string JsonText(const Json& doc, int indent = -1);

// JEDEC JEP106 manufacturer name for a bank (1-based) and 7-bit code, or
// nullptr when the table (Jep106.inc, which names its source) lacks it.
const char* JedecManufacturer(unsigned bank, unsigned code);

// Progress of a memory transfer on stderr, drawn only on a terminal.
class CProgress {
public:
    CProgress(const char* what, uint64_t total, bool enabled);
    ~CProgress();
    void Update(uint64_t done);
    void Done();

private:
    const char* m_what;
    uint64_t m_total;
    bool m_enabled;
    bool m_drawn = false;
    size_t m_width = 0;  // the widest line drawn since the last Done()
    double m_start;
    double m_lastDraw = -1;
};

// Prints an error to stderr and returns its exit status. A usage error names
// its command: "kestractl read: MESSAGE" on the command line, "kestractl:
// WHERE read: MESSAGE" in a script.
int ReportError(const std::exception& e, const std::string& where, bool json, Json* jsonOut,
                const std::string& command = "");

}  // namespace kestractl
