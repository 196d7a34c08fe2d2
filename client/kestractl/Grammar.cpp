// kestractl's syntax: the command line and script lines are parsed by CLI11
// subcommands made from the command table, one per command.
#include "client/kestractl/Tool.h"

using kestrad::client::ParseTapState;
using kestrad::client::TapState;

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

bool Offered(const Command& command, ParserMode mode)
{
    switch (command.where) {
    case Command::Where::Both: return true;
    case Command::Where::CommandLine: return mode == ParserMode::CommandLine;
    case Command::Where::Script: return mode == ParserMode::Script;
    }
    return false;
}

}  // namespace

void AddAdapterArgument(CLI::App& sub, Step& st)
{
    sub.add_option("ADAPTER", st.adapter, "adapter name as 'list' shows it, or serial=SN")->required();
}

void AddEndOption(CLI::App& sub, Step& st)
{
    sub.add_option("-e,--end", st.end, kEndHelp)->check(kEndState);
}

TapState EndState(const Step& s) { return *ParseTapState(s.end); }

std::string JoinWords(const std::vector<std::string>& words)
{
    std::string out;
    for (const std::string& w : words)
        out += w + " ";
    return out;
}

UsageError UnknownCommand(const std::vector<std::string>& words, ParserMode mode)
{
    const std::string help = mode == ParserMode::Script ? "'help'" : "--help";
    if (words.empty())
        return UsageError("a command is required; " + help + " lists them");
    std::vector<std::string> names;
    for (const Command& command : Commands())
        if (Offered(command, mode))
            names.push_back(command.name);
    std::string message = "unknown command '" + words.front() + "'";
    const std::vector<std::string> close = ClosestNames(words.front(), names);
    for (size_t i = 0; i < close.size(); ++i)
        message += (i == 0 ? "; did you mean '" : " or '") + close[i] + "'" +
                   (i + 1 == close.size() ? "?" : "");
    return UsageError(message + (close.empty() ? "; " : " (") + help + " lists the commands" +
                      (close.empty() ? "" : ")"));
}

const CLI::Validator& Word32()
{
    // CLI11 reads the number the same way (strtoull, base 0) once this passes.
    static const CLI::Validator check(
        [](std::string& text) -> std::string {
            uint64_t v = 0;
            const size_t first = text.find_first_not_of(" \t");
            const bool negative = first != std::string::npos && text[first] == '-';
            // strtoull takes "-1" for the largest number: refused as negative.
            if (negative || !CLI::detail::lexical_cast(text, v))
                return "'" + text + "' is not a number from 0 to 0xffffffff (0x hex, or decimal)";
            if (v > 0xFFFFFFFFull)  // an overflow reads as the largest number
                return text + " is more than 32 bits (the largest is 0xffffffff)";
            return std::string();
        },
        "");
    return check;
}

void AddCommands(CLI::App& app, Step& st, ParserMode mode)
{
    app.require_subcommand(1, 1);
    for (const Command& command : Commands()) {
        if (!Offered(command, mode))
            continue;
        CLI::App* sub = app.add_subcommand(command.name, command.help);
        if (command.options)
            command.options(*sub, st);
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
    } catch (const CLI::CallForHelp&) {
        if (helpOut) {
            // Help for the subcommand named on the line, if any.
            const CLI::App* target = &app;
            for (const CLI::App* sub : app.get_subcommands())
                target = sub;
            *helpOut = target->help();
        }
        throw;
    } catch (const CLI::ParseError& e) {
        if (app.get_subcommands().empty()) {
            if (dynamic_cast<const CLI::RequiredError*>(&e))
                throw UnknownCommand(app.remaining(), ParserMode::Script);
            throw UsageError(e.what());
        }
        throw UsageError(app.get_subcommands().front()->get_name(), e.what());
    }
    step.command = app.get_subcommands().at(0)->get_name();
    return step;
}

void CheckArguments(const Step& s)
{
    const Command& command = CommandNamed(s.command);
    if (command.check)
        command.check(s);
}

std::string Render(const Step& step, const Json& result)
{
    const Command& command = CommandNamed(step.command);
    return command.render ? command.render(step, result) : std::string();
}

}  // namespace kestractl
