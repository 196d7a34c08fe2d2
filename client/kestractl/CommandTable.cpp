// The command table: one row per kestractl command, in the order --help
// lists them. The grammar, the session, the script runner and the output
// all read it; nothing else lists commands.
#include "client/kestractl/CommandParts.h"

namespace kestractl {

const std::vector<Command>& Commands()
{
    using W = Command::Where;
    static const std::vector<Command> table = {
        // name, help, where, needs an adapter, batchable, options, check, run, render
        {"list", "list the server's adapters: name, chip name, serial number", W::Both, false, false,
         ListOptions, nullptr, RunList, RenderList},
        {"detect", "pulse TRST and identify the TAPs of the chain by their IDCODEs", W::Both, true, false,
         DetectOptions, nullptr, RunDetect, RenderDetect},
        {"irscan", "shift an instruction into the IR; prints the captured IR bits", W::Both, true, true,
         IrscanOptions, CheckIrscan, RunIrscan, RenderCaptured},
        {"drscan", "shift bits through the selected data register; prints the captured bits", W::Both,
         true, true, DrscanOptions, CheckDrscan, RunDrscan, RenderCaptured},
        {"raw", "clock TMS and TDI bits as given; prints the TDO bits (for debugging)",
         W::Both, true, false, RawOptions, CheckRaw, RunRaw, RenderRaw},
        {"runtest", "clock N times in Run-Test/Idle", W::Both, true, false, RuntestOptions, nullptr,
         [](CSession& s, const Step& st) {
             s.Client().RunTest(static_cast<uint32_t>(st.number));
             return Json::object();
         },
         nullptr},
        {"trst", "drive TRST: 0 asserts (low), 1 releases (high)", W::Both, true, false, LevelOptions,
         nullptr,
         [](CSession& s, const Step& st) {
             s.Client().SetTrst(st.level);
             return Json::object();
         },
         nullptr},
        {"srst", "drive the system reset: 0 asserts (low), 1 releases (high)", W::Both, true, false,
         LevelOptions, nullptr,
         [](CSession& s, const Step& st) {
             s.Client().SetSysRst(st.level);
             return Json::object();
         },
         nullptr},
        {"frequency", "set the JTAG clock", W::Both, true, false, FrequencyOptions, nullptr,
         [](CSession& s, const Step& st) {
             s.Client().SetFrequency(static_cast<uint32_t>(st.number));
             return Json::object();
         },
         nullptr},
        {"chipname", "change the chip name an adapter reports", W::Both, false, false, ChipnameOptions,
         nullptr, RunChipname, nullptr},
        {"reset", "reset the adapter", W::Both, true, false, AdapterOnlyOptions, nullptr,
         [](CSession& s, const Step&) {
             s.Client().Reset();
             return Json::object();
         },
         nullptr},
        {"read", "read target memory; a hex dump, or a binary file with --output", W::Both, true, false,
         ReadOptions, nullptr, RunRead, nullptr},
        {"write", "write target memory from hex bytes or a file", W::Both, true, false, WriteOptions,
         CheckWrite, RunWrite, nullptr},
        {"keepalive", "send a keep-alive (checks that the server answers the connection)", W::Both, false,
         false, nullptr, nullptr,
         [](CSession& s, const Step&) {
             s.Client().KeepAlive();
             return Json::object();
         },
         nullptr},
        {"script",
         "run commands from FILE ('-' for stdin; an interactive prompt when stdin is a terminal)",
         W::CommandLine, false, false, ScriptOptions, nullptr, nullptr, nullptr},
        {"svf", "play a Serial Vector Format file on an adapter ('-' for stdin)", W::CommandLine, false,
         false, SvfOptions, nullptr, nullptr, nullptr},
        {"bridge",
         "serve ADAPTER to OpenOCD (bitbang) or to Vivado and openFPGALoader (xvc) until Ctrl-C",
         W::CommandLine, false, false, BridgeArguments, nullptr, nullptr, nullptr},
        {"proxy",
         "join stdin and stdout to the server's local endpoint (what ssh:// addresses run on the server's host)",
         W::CommandLine, false, false, ProxyArguments, nullptr, nullptr, nullptr},
        {"open", "open ADAPTER and keep it open for the steps that follow ('.' names it)", W::Script,
         false, false, AdapterOnlyOptions, nullptr,
         [](CSession& s, const Step& st) {
             s.Hold(st.adapter);
             return Json::object();
         },
         nullptr},
        {"close", "close the adapter that 'open' opened", W::Script, false, false, nullptr, nullptr,
         [](CSession& s, const Step&) {
             s.Release();
             return Json::object();
         },
         nullptr},
        {"batch", "'batch begin' ... 'batch end' sends the scans between them as one batch", W::Script,
         false, false, BatchOptions, nullptr, nullptr, nullptr},
        {"sleep", "wait MS milliseconds (keeping the connection alive)", W::Script, false, false,
         SleepOptions, nullptr,
         [](CSession& s, const Step& st) {
             s.Sleep(st.number);
             return Json::object();
         },
         nullptr},
        {"quit", "end the script", W::Script, false, false, QuitOptions, nullptr, nullptr, nullptr},
    };
    return table;
}

const Command& CommandNamed(const std::string& name)
{
    for (const Command& command : Commands())
        if (name == command.name)
            return command;
    throw UnknownCommand({name}, ParserMode::CommandLine);
}

}  // namespace kestractl
