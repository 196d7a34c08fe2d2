// The kestractl commands, by kind; the table (CommandTable.cpp) ties each
// one's syntax, check, run and rendering together.
#pragma once

#include "client/kestractl/Tool.h"

namespace kestractl {

// AdapterCommands.cpp: the adapter list, lines, clock, names, keep-alive,
// and the script's open / close / sleep.
void ListOptions(CLI::App& sub, Step& st);
Json RunList(CSession& session, const Step& s);
std::string RenderList(const Step& s, const Json& result);
void RuntestOptions(CLI::App& sub, Step& st);
void LevelOptions(CLI::App& sub, Step& st);
void FrequencyOptions(CLI::App& sub, Step& st);
void ChipnameOptions(CLI::App& sub, Step& st);
Json RunChipname(CSession& session, const Step& s);
void AdapterOnlyOptions(CLI::App& sub, Step& st);
void SleepOptions(CLI::App& sub, Step& st);
void ScriptOptions(CLI::App& sub, Step& st);
void BatchOptions(CLI::App& sub, Step& st);
void QuitOptions(CLI::App& sub, Step& st);

// Svf.cpp: svf (run by RunSvf, like script by RunScript).
void SvfOptions(CLI::App& sub, Step& st);

// Bridge.cpp: bridge (run by RunBridge).
void BridgeArguments(CLI::App& sub, Step& st);
// Proxy.cpp: proxy.
void ProxyArguments(CLI::App& sub, Step& st);

// ScanCommands.cpp: detect, irscan, drscan, raw.
void DetectOptions(CLI::App& sub, Step& st);
Json RunDetect(CSession& session, const Step& s);
std::string RenderDetect(const Step& s, const Json& result);
void IrscanOptions(CLI::App& sub, Step& st);
void CheckIrscan(const Step& s);
Json RunIrscan(CSession& session, const Step& s);
void DrscanOptions(CLI::App& sub, Step& st);
void CheckDrscan(const Step& s);
Json RunDrscan(CSession& session, const Step& s);
std::string RenderCaptured(const Step& s, const Json& result);
void RawOptions(CLI::App& sub, Step& st);
void CheckRaw(const Step& s);
Json RunRaw(CSession& session, const Step& s);
std::string RenderRaw(const Step& s, const Json& result);

// MemoryCommands.cpp: read and write.
void ReadOptions(CLI::App& sub, Step& st);
Json RunRead(CSession& session, const Step& s);
void WriteOptions(CLI::App& sub, Step& st);
void CheckWrite(const Step& s);
Json RunWrite(CSession& session, const Step& s);

}  // namespace kestractl
