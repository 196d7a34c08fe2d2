// kestractl commands on the adapter list, the lines, the clock and names,
// and the script's own open / close / sleep / batch / quit.
#include "client/kestractl/CommandParts.h"

#include <algorithm>
#include <map>

using kestrad::client::AdapterInfo;
using kestrad::client::CClient;

namespace kestractl {

void ListOptions(CLI::App&, Step&) {}

Json RunList(CSession& session, const Step&)
{
    session.NoteListed();
    Json list = Json::array();
    for (const AdapterInfo& a : session.Client().List()) {
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

std::string RenderList(const Step&, const Json& r)
{
    const Json& adapters = r.at("adapters");
    if (adapters.empty())
        return "no adapters\n";
    std::vector<std::array<std::string, 3>> rows{{"NAME", "CHIP", "SERIAL"}};
    for (const Json& a : adapters)
        rows.push_back({Shown(a.at("name").get<std::string>()), Shown(a.at("chip").get<std::string>()),
                        a.at("serial").is_null() ? "-" : Shown(a.at("serial").get<std::string>())});
    size_t w0 = 0, w1 = 0;
    for (const auto& row : rows) {
        w0 = std::max(w0, row[0].size());
        w1 = std::max(w1, row[1].size());
    }
    std::string out;
    for (const auto& row : rows) {
        out += row[0] + std::string(w0 - row[0].size() + 2, ' ');
        out += row[1] + std::string(w1 - row[1].size() + 2, ' ');
        out += row[2] + "\n";
    }
    return out;
}

void RuntestOptions(CLI::App& sub, Step& st)
{
    AddAdapterArgument(sub, st);
    sub.add_option("N", st.number, "number of TCK cycles")
        ->required()
        ->check(CLI::Range(uint64_t{0}, uint64_t{0xFFFFFFFF}));
}

void LevelOptions(CLI::App& sub, Step& st)
{
    AddAdapterArgument(sub, st);
    sub.add_option("LEVEL", st.level, "0 or 1")->required()->check(CLI::IsMember({"0", "1"}));
}

void FrequencyOptions(CLI::App& sub, Step& st)
{
    AddAdapterArgument(sub, st);
    sub.add_option("HZ", st.number, "frequency in Hz (suffixes kHz, MHz accepted)")
        ->required()
        ->transform(CLI::AsNumberWithUnit(
            std::map<std::string, uint64_t>{{"hz", 1}, {"khz", 1000}, {"mhz", 1000000}},
            CLI::AsNumberWithUnit::CASE_INSENSITIVE, "Hz"))
        ->check(CLI::Range(uint64_t{0}, uint64_t{0xFFFFFFFF}));
}

void ChipnameOptions(CLI::App& sub, Step& st)
{
    AddAdapterArgument(sub, st);
    sub.add_option("NAME", st.value, "new chip name")->required();
}

Json RunChipname(CSession& session, const Step& s)
{
    const std::string name = session.Resolve(s.adapter);
    session.ByName([&](CClient& client) { client.UpdateName(name, s.value); });
    return Json::object();
}

void AdapterOnlyOptions(CLI::App& sub, Step& st) { AddAdapterArgument(sub, st); }

void SleepOptions(CLI::App& sub, Step& st) { sub.add_option("MS", st.number, "milliseconds")->required(); }

void ScriptOptions(CLI::App& sub, Step& st)
{
    st.file = "";
    sub.add_option("FILE", st.file, "script file, or - for stdin")->required();
}

void BatchOptions(CLI::App& sub, Step& st)
{
    sub.add_option("ACTION", st.batchAction, "begin, end or abort")
        ->required()
        ->check(CLI::IsMember({"begin", "end", "abort"}));
}

void QuitOptions(CLI::App& sub, Step&) { sub.alias("exit"); }

}  // namespace kestractl
