// kestractl: command-line client of the kestrad JTAG server.
//
//   kestractl [-a ADDRESS] [--json] COMMAND ...
//
// Each invocation is one session: connect, open the adapter the command
// names, run the command, close, disconnect. `script` runs many commands in
// one session.
#include "client/kestractl/Tool.h"

#include "wire/LocalEndpoint.h"

#include <csignal>
#include <cstdio>

namespace {

void OnInterrupt(int)
{
    // First Ctrl-C: stop cleanly at the next chunk or step. A second one
    // while that is still going means "now".
    if (kestractl::g_interrupted) {
        std::signal(SIGINT, SIG_DFL);
        std::raise(SIGINT);
        return;
    }
    kestractl::g_interrupted = 1;
}

void InstallSignals()
{
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a prompt waiting in read() must wake up
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

const char* kFooter = R"(Addresses: ssh://[user@]host[:port][/path/to/socket] reaches the server on
host through ssh ($KESTRAD_SSH replaces the ssh command, e.g. 'ssh -i KEY -J
JUMP'; $KESTRAD_REMOTE_KESTRACTL the kestractl run there); host:port is TCP
(split at the last colon); anything else is a local endpoint name:
\\.\pipe\NAME is the socket NAME in $KESTRAD_PIPE_DIR, else
/run/kestrad for root, else $XDG_RUNTIME_DIR, else /tmp/kestrad-UID; any
other name is a socket path.

Exit status: 0 success, 1 other failure (a file cannot be read or written,
detect finds no end of the chain), 2 usage error,
3 connection failure (connect, greeting, I/O, time-out, connection closed),
4 error reply from the server (its message is printed as it came),
5 protocol error (a reply that makes no sense), 130 interrupted.

Run 'kestractl COMMAND --help' for the arguments of a command.)";

}  // namespace

int main(int argc, char** argv)
{
    using namespace kestractl;
    InstallSignals();

    Settings settings;
    settings.address = KESTRAD_DEFAULT_PIPE;
    Step step;

    CLI::App app("kestractl: drive JTAG adapters through a kestrad server", "kestractl");
    app.footer(kFooter);
    app.add_option("-a,--address", settings.address,
                   "server address (default $KESTRAD_ADDRESS, else the server's default "
                   "endpoint)")
        ->envname("KESTRAD_ADDRESS")
        ->capture_default_str();
    app.add_flag("--json", settings.json, "print results as JSON");
    // More than a day is a typo, not a wait anyone means; 0 would mean "fail
    // at once" to the socket layer and is refused rather than guessed at.
    app.add_option("-t,--timeout", settings.timeoutSeconds,
                   "seconds to wait for the connection and for each reply (0.001 to 86400)")
        ->capture_default_str()
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                double v = 0;
                if (!CLI::detail::lexical_cast(text, v) || !(v >= 0.001 && v <= 86400))
                    return "time-out '" + text + "' is not a number of seconds from 0.001 to 86400";
                return std::string();
            },
            "SECONDS"));
    app.add_flag("-v,--verbose", settings.verbose,
                 "say more: which adapter a serial=SN named");
    app.add_option("--chunk", settings.chunkSize,
                   "bytes per command in memory transfers (K, M suffixes; at most 16M)")
        ->capture_default_str()
        ->transform(CLI::AsSizeValue(false))
        ->check(CLI::Range(uint64_t{1}, uint64_t{16} * 1024 * 1024));
    bool noProgress = false;
    app.add_flag("--no-progress", noProgress, "no progress bar for memory transfers");
    app.set_version_flag("-V,--version", std::string("kestractl ") + KESTRAD_VERSION,
                         "print the version and exit");
    app.fallthrough();
    AddCommands(app, step, ParserMode::CommandLine);
    // An argument error names the program and the command it is about;
    // none for an error about a global option (CLI11 starts those with the
    // option's name).
    auto commandOf = [](const CLI::App* parsed, const std::string& message) {
        const auto subs = parsed->get_subcommands();
        if (subs.empty())
            return std::string();
        for (const CLI::Option* option : parsed->get_options())
            if (message.rfind(option->get_name() + ":", 0) == 0)
                return std::string();
        return subs.front()->get_name();
    };
    app.failure_message([&](const CLI::App* parsed, const CLI::Error& e) {
        const std::string command = commandOf(parsed, e.what());
        if (command.empty())
            return "kestractl: " + std::string(e.what()) +
                   "\nRun 'kestractl --help' for the options and commands.\n";
        return "kestractl " + command + ": " + e.what() + "\nRun 'kestractl " + command +
               " --help' for its arguments.\n";
    });

    // --json promises one JSON object on stdout, argument errors included;
    // the parse may fail before CLI11 has set the flag, so look for it here.
    bool jsonWanted = false;
    for (int i = 1; i < argc && !jsonWanted; ++i)
        jsonWanted = std::string(argv[i]) == "--json";
    auto usageFailure = [&](const std::string& message) {
        if (jsonWanted) {
            Json doc;
            doc["ok"] = false;
            doc["error"] = {{"type", "usage"}};
            if (!commandOf(&app, message).empty())
                doc["error"]["command"] = commandOf(&app, message);
            doc["error"]["message"] = message;
            doc["status"] = static_cast<int>(EXIT_USAGE);
            std::printf("%s\n", JsonText(doc, 2).c_str());
        }
        return EXIT_USAGE;
    };
    try {
        app.parse(argc, argv);
    } catch (const CLI::RequiredError& e) {
        if (!app.get_subcommands().empty()) {
            app.exit(e);
            return usageFailure(e.what());
        }
        const std::string message = UnknownCommand(app.remaining(), ParserMode::CommandLine).what();
        std::fprintf(stderr, "kestractl: %s\n", message.c_str());
        return usageFailure(message);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? EXIT_OK : usageFailure(e.what());
    }
    settings.progress = !noProgress;
    step.command = app.get_subcommands().at(0)->get_name();

    if (step.command == "script")
        return RunScript(step.file, settings);
    if (step.command == "svf")
        return RunSvf(step, settings);
    if (step.command == "bridge")
        return RunBridge(step, settings);
    if (step.command == "proxy")
        return RunProxy(step, settings);

    CSession session(settings);
    Json doc;
    doc["ok"] = false;
    int status = EXIT_OK;
    try {
        CheckArguments(step);
        const Json result = session.Run(step);
        if (settings.json) {
            for (auto it = result.begin(); it != result.end(); ++it)
                doc[it.key()] = it.value();
        } else {
            const std::string text = Render(step, result);
            std::fwrite(text.data(), 1, text.size(), stdout);
        }
    } catch (const std::exception& e) {
        status = ReportError(e, "", settings.json, &doc, step.command);
    }
    session.Finish();
    if (settings.json) {
        doc["ok"] = status == EXIT_OK;
        std::printf("%s\n", JsonText(doc, 2).c_str());
    }
    std::fflush(stdout);
    return status;
}
