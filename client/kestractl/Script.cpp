// kestractl script mode: one command per line in the command-line syntax,
// '#' comments, blank lines ignored, plus open/close, batch begin/end/abort,
// sleep and quit. A file (or piped stdin) is checked completely before the
// first step runs, so a typo on the last line does not leave a half-done
// sequence; a terminal on stdin gets a prompt instead and keeps going after
// a failed step.
#include "client/kestractl/Tool.h"

#include "wire/LocalEndpoint.h"

#include <editline/readline.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

namespace kestractl {

namespace {

// Removes a comment: '#' at the start of a word outside quotes.
std::string StripComment(const std::string& line)
{
    char quote = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quote) {
            if (c == quote)
                quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '#' && (i == 0 || std::isspace(static_cast<unsigned char>(line[i - 1])))) {
            return line.substr(0, i);
        }
    }
    return line;
}

bool Blank(const std::string& s)
{
    for (char c : s)
        if (!std::isspace(static_cast<unsigned char>(c)))
            return false;
    return true;
}

class CScriptRunner {
public:
    CScriptRunner(CSession* session, const Settings& settings, bool interactive)
        : m_session(session), m_settings(settings), m_interactive(interactive)
    {
    }

    // Runs (or, without a session, only checks) one step. Returns false
    // after 'quit'. Throws on failure.
    bool Apply(const Step& step)
    {
        if (step.command == "quit")
            return false;
        if (step.command == "batch")
            return ApplyBatch(step);
        CheckArguments(step);
        if (m_batchLine) {
            if (!CommandNamed(step.command).batchable)
                throw UsageError("only irscan and drscan can go into a batch (begun at line " +
                                 std::to_string(m_batchLine) + ")");
            m_batch.push_back(step);
            return true;
        }
        if (m_session)
            Emit(step, m_session->Run(step));
        return true;
    }

    // At the end of the input: an unfinished batch is an error.
    void End()
    {
        if (m_batchLine)
            throw UsageError("the batch begun at line " + std::to_string(m_batchLine) +
                             " has no 'batch end'");
    }

    int BatchLine() const { return m_batchLine; }
    Json& Steps() { return m_steps; }

private:
    bool ApplyBatch(const Step& step)
    {
        if (step.batchAction == "begin") {
            if (m_batchLine)
                throw UsageError("a batch is already begun at line " +
                                 std::to_string(m_batchLine));
            m_batchLine = step.line;
            m_batch.clear();
            return true;
        }
        if (!m_batchLine)
            throw UsageError("'batch " + step.batchAction + "' without 'batch begin'");
        std::vector<Step> scans;
        scans.swap(m_batch);
        m_batchLine = 0;
        if (step.batchAction == "abort" || !m_session)
            return true;
        const Json results = m_session->RunBatch(scans);
        for (size_t i = 0; i < scans.size(); ++i)
            Emit(scans[i], results.at(i));
        return true;
    }

    void Emit(const Step& step, const Json& result)
    {
        if (!m_settings.json) {
            const std::string text = Render(step, result);
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fflush(stdout);
            return;
        }
        Json entry;
        entry["line"] = step.line;
        entry["command"] = step.command;
        for (auto it = result.begin(); it != result.end(); ++it)
            if (it.key() != "line" && it.key() != "command")
                entry[it.key()] = it.value();
        if (m_interactive) {
            std::printf("%s\n", JsonText(entry).c_str());
            std::fflush(stdout);
        } else {
            m_steps.push_back(entry);
        }
    }

    CSession* m_session;
    const Settings& m_settings;
    bool m_interactive;
    int m_batchLine = 0;
    std::vector<Step> m_batch;
    Json m_steps = Json::array();
};

std::string Where(int line) { return "line " + std::to_string(line) + ": "; }

void PrintJson(Json doc) { std::printf("%s\n", JsonText(doc, 2).c_str()); }

// Tab completion at the prompt: the first word is a command, a later word an
// adapter name. The names are asked of the server once, at the first
// completion that needs them (a list renumerates, which takes a moment).
CSession* g_completionSession = nullptr;
std::vector<std::string> g_completionWords;

char* NextCompletion(const char* text, int state)
{
    static size_t next;
    if (state == 0)
        next = 0;
    const size_t length = std::strlen(text);
    while (next < g_completionWords.size()) {
        const std::string& word = g_completionWords[next++];
        if (word.compare(0, length, text) == 0)
            return ::strdup(word.c_str());
    }
    return nullptr;
}

char** CompleteLine(const char* text, int start, int)
{
    static std::vector<std::string> adapters;
    static bool asked = false;
    g_completionWords.clear();
    if (start == 0) {
        for (const Command& command : Commands())
            if (command.where != Command::Where::CommandLine)
                g_completionWords.push_back(command.name);
        g_completionWords.push_back("help");
    } else {
        if (!asked && g_completionSession) {
            asked = true;
            try {
                g_completionSession->NoteListed();
                // A name the terminal would not show as typed cannot be
                // completed to.
                for (const auto& a : g_completionSession->Client().List())
                    if (Shown(a.name) == a.name)
                        adapters.push_back(a.name);
            } catch (const std::exception&) {
                // No server: nothing to offer; the command will say why.
            }
        }
        g_completionWords = adapters;
    }
    return ::rl_completion_matches(text, NextCompletion);
}

int Interactive(const Settings& settings)
{
    CSession session(settings);
    g_completionSession = &session;
    ::rl_attempted_completion_function = CompleteLine;
    CScriptRunner runner(&session, settings, true);
    // The endpoint as it is reached: a local endpoint name is shown as the
    // socket it maps to (the default name is a Windows pipe name).
    std::printf("kestractl %s: one command per line; 'help' lists them, 'quit' or Ctrl-D ends.\n",
                (settings.address.find(':') == std::string::npos ? LocalEndpointPath(settings.address)
                                                                 : settings.address)
                    .c_str());
    int line = 0;
    int lastStatus = EXIT_OK;
    for (;;) {
        std::string text;
        session.KeepAliveWhileIdle(true);
        char* raw = ::readline(runner.BatchLine() ? "batch> " : "kestractl> ");
        session.KeepAliveWhileIdle(false);
        if (!raw) {
            if (g_interrupted) {
                // Ctrl-C at the prompt drops the line, as a shell does.
                g_interrupted = 0;
                std::printf("\n");
                continue;
            }
            std::printf("\n");
            break;
        }
        text = raw;
        std::free(raw);
        if (!Blank(text))
            ::add_history(text.c_str());
        ++line;
        text = StripComment(text);
        if (Blank(text))
            continue;
        std::istringstream words(text);
        std::string first, rest;
        words >> first;
        if (first == "help" && !(words >> rest))
            text = "--help";
        std::string command;
        try {
            std::string help;
            Step step;
            try {
                step = ParseScriptLine(text, line, &help);
            } catch (const CLI::CallForHelp&) {
                std::printf("%s", help.c_str());
                continue;
            }
            command = step.command;
            if (!runner.Apply(step))
                break;
            lastStatus = EXIT_OK;
        } catch (const std::exception& e) {
            g_interrupted = 0;
            lastStatus = ReportError(e, "", false, nullptr, command);
            if (lastStatus == EXIT_CONNECTION)
                std::fprintf(stderr, "kestractl: the next command connects again\n");
        }
    }
    g_completionSession = nullptr;
    session.Finish();
    return lastStatus;
}

}  // namespace

int RunScript(const std::string& file, const Settings& settings)
{
    if (file == "-" && ::isatty(STDIN_FILENO))
        return Interactive(settings);

    std::ifstream in;
    if (file != "-") {
        in.open(file);
        if (!in) {
            std::fprintf(stderr, "kestractl: cannot open script '%s': %s\n", file.c_str(),
                         std::strerror(errno));
            return EXIT_LOCAL;
        }
    }
    std::istream& source = file == "-" ? std::cin : in;

    // Parse and check everything first.
    std::vector<Step> steps;
    Json report;
    report["ok"] = false;
    auto fail = [&](const std::exception& e, int line, const std::string& command = "") {
        int status = ReportError(e, Where(line), settings.json, &report, command);
        if (settings.json) {
            report["error"]["line"] = line;
            PrintJson(report);
        }
        return status;
    };
    {
        CScriptRunner checker(nullptr, settings, false);
        std::string text;
        int line = 0;
        while (std::getline(source, text)) {
            ++line;
            text = StripComment(text);
            if (Blank(text))
                continue;
            std::string command;
            try {
                Step step = ParseScriptLine(text, line, nullptr);
                command = step.command;
                if (!checker.Apply(step))
                    break;
                steps.push_back(step);
            } catch (const CLI::CallForHelp&) {
                UsageError e("--help is for the command line and the prompt");
                return fail(e, line);
            } catch (const std::exception& e) {
                return fail(e, line, command);
            }
        }
        try {
            checker.End();
        } catch (const std::exception& e) {
            return fail(e, checker.BatchLine());
        }
    }

    CSession session(settings);
    CScriptRunner runner(&session, settings, false);
    int status = EXIT_OK;
    int current = 0;
    std::string command;
    try {
        for (const Step& step : steps) {
            current = step.line;
            command = step.command;
            if (g_interrupted)
                throw Interrupted();
            if (!runner.Apply(step))
                break;
        }
    } catch (const std::exception& e) {
        report["steps"] = runner.Steps();
        status = ReportError(e, Where(current), settings.json, &report, command);
        if (settings.json)
            report["error"]["line"] = current;
    }
    session.Finish();
    if (settings.json) {
        report["ok"] = status == EXIT_OK;
        report["steps"] = runner.Steps();
        PrintJson(report);
    }
    return status;
}

}  // namespace kestractl
