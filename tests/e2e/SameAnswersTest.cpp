// One script on every kind of adapter: the same simulated three-TAP chain
// behind the EZ-USB adapter, a J-Link, both FTDI boards, a CMSIS-DAP probe
// and a kestrad-sim peer, driven by kestractl (USB adapters named by their
// serial numbers).
// Each step must answer what the table says, the same across the row, or be
// refused with the adapter's named error where the adapter cannot do it.
#include <gtest/gtest.h>

#include <map>
#include <tuple>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/Programs.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// Listed from TDO: IDCODE 0x4BA00477 (IR 4), a BYPASS-only TAP (IR 5),
// IDCODE 0x06413041 (IR 5); the instruction register is 14 bits long.
const char* const kChain = "0x4BA00477:4+bypass:5+0x06413041:5";

struct Kind {
    const char* adapter;  // as kestractl names it
    const char* name;     // as the list shows it
    const char* serial;   // "-": none
};

const Kind kKinds[] = {
    {"serial=K1", "EZ-USB0", "K1"},
    {"serial=J1", "JLINK0", "J1"},
    {"serial=F1", "FLYSWATTER20", "F1"},
    {"serial=T1", "ARM-USB-TINY-H0", "T1"},
    {"serial=D1", "DAPLINK0", "D1"},
    {"SIM", "SIM", "-"},
};

const char* const kEzUsbIr =
    "EZ-USB0: an instruction scan of 14 bits cannot be sent: this adapter's frames carry instructions of 4 or 8 "
    "bits only";

struct Step {
    const char* what;
    std::string script;  // after "open ADAPTER"; or, for svf, the file
    std::string answer;  // stdout of every kind that does it (svf: its end)
    std::map<std::string, std::string> refused;  // list name -> the server's message
};

std::vector<Step> Steps()
{
    const std::string reset = "trst . 0\ntrst . 1\n";
    return {
        // All TAPs to BYPASS, then the captured IR bits: 0001, 00001, 00001.
        {"IR capture",
         reset + "irscan . 0x3FFF -l 14\ndrscan . 0 -l 32\nirscan . 0 -l 14\nirscan . 0x3FFF -l 14\n",
         "0x0211\n0x00000000\n0x0211\n0x0211\n",
         {{"EZ-USB0", kEzUsbIr}}},
        // IDCODE in the TAP nearest TDI, BYPASS in the two before it.
        {"IDCODE", reset + "irscan . 0x7FF -l 14\ndrscan . 0 -l 34\n", "0x0211\n0x01904c104\n",
         {{"EZ-USB0", kEzUsbIr}}},
        {"BYPASS pattern", "irscan . 0x3FFF -l 14\ndrscan . 0xA5 -l 11\n", "0x0211\n0x528\n",
         {{"EZ-USB0", kEzUsbIr}}},
        // A scan resumed from Pause is updated and captured again.
        {"Pause and resume", reset + "drscan . 0 -l 16 -e drpause\ndrscan . 0 -l 16\n", "0x0477\n0x0477\n", {}},
        // Test-Logic-Reset after a scan selects IDCODE again; adapters that
        // end every scan in Run-Test/Idle would not, so they refuse.
        {"reset end state", "irscan . 0x3FFF -l 14\ndrscan . 0 -l 8 -e reset\ndrscan . 0 -l 32\n",
         "0x0211\n0x00\n0x4ba00477\n",
         {{"EZ-USB0", kEzUsbIr},
          {"SIM", "SIM: a DR scan cannot end in TEST_LOGIC_RESET here: the adapter ends every scan in "
                  "Run-Test/Idle, so only RUN_TEST_IDLE, EXIT1_DR and PAUSE_DR (the same answers) are taken"}}},
        {"memory block", "write . 0x100 de ad be ef\nread . 0x100 4\n",
         "00000100: de ad be ef                                      |....|\n",
         {{"JLINK0", "Bulk io operations aren't supported for J-Link adapters."},
          {"FLYSWATTER20", "Bulk io operations aren't supported for ftdi adapters."},
          {"ARM-USB-TINY-H0", "Bulk io operations aren't supported for ftdi adapters."},
          {"DAPLINK0", "Bulk io operations aren't supported for CMSIS-DAP adapters."}}},
        // The README's SVF file: the IDCODE of the TAP nearest TDI.
        {"svf",
         "TRST OFF; ENDIR IDLE; ENDDR IDLE; STATE RESET; STATE IDLE;\nHIR 9 TDI (1ff); HDR 2 TDI (0);\n"
         "SIR 5 TDI (03) TDO (01);\nSDR 32 TDI (00000000) TDO (06413041);\n",
         "; 0 TDO mismatches\n",
         {{"EZ-USB0", kEzUsbIr}}},
    };
}

}  // namespace

TEST(SameAnswers, OneScriptOnEveryAdapterKind)
{
    Peer peer({"--chain", kChain});
    const std::string entries =
        "\t<usb name=\"EZ-USB\" idvendor=\"0x0547\" idproduct=\"0x1002\" frequency=\"12MHZ\"/>\n"
        "\t<usb name=\"JLINK\" idvendor=\"0x1366\" idproduct=\"0x0101\" frequency=\"12MHZ\"/>\n"
        "\t<usb name=\"FLYSWATTER2\" idvendor=\"0x0403\" idproduct=\"0x6010\" frequency=\"1000KHZ\"/>\n"
        "\t<usb name=\"ARM-USB-TINY-H\" idvendor=\"0x15BA\" idproduct=\"0x002a\" frequency=\"1000KHZ\"/>\n"
        "\t<cmsis-dap name=\"DAPLINK\" idvendor=\"0x0D28\" idproduct=\"0x0204\" frequency=\"1000KHZ\"/>\n" +
        NetworkEntry("SIM", peer.port);
    const std::string chain = std::string(",chain=") + kChain;
    Server server(entries, "ezusb,serial=K1" + chain + ";jlink,serial=J1" + chain + ";flyswatter2,serial=F1" + chain +
                               ";tiny-h,serial=T1" + chain + ";cmsis-dap,serial=D1" + chain);
    TempDir work;
    auto kestractl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"-a", server.Address()});
        Process ctl(ProgramPath("kestractl"), args, {{"KESTRAD_ADDRESS", ""}}, work.Path());
        const int status = ctl.Wait(60s);
        return std::make_tuple(status, ctl.Stdout(), ctl.Stderr());
    };

    // Every USB kind lists its serial number.
    const auto [listed, table, listErrors] = kestractl({"list"});
    ASSERT_EQ(0, listed) << listErrors << server.Log();
    for (const Kind& kind : kKinds) {
        std::istringstream lines(table);
        bool found = false;
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            std::string name, chip1, chip2, serial;
            words >> name >> chip1 >> chip2 >> serial;
            if (name == kind.name) {
                found = true;
                EXPECT_EQ(kind.serial, serial) << line;
            }
        }
        EXPECT_TRUE(found) << kind.name << " not listed:\n" << table;
    }

    for (const Step& step : Steps()) {
        for (const Kind& kind : kKinds) {
            const std::string where = std::string(step.what) + " on " + kind.name;
            std::vector<std::string> args;
            const bool svf = std::string(step.what) == "svf";
            if (svf) {
                WriteFile(work.File("idcode.svf"), step.script);
                args = {"svf", kind.adapter, "idcode.svf"};
            } else {
                WriteFile(work.File("step.kcs"), std::string("open ") + kind.adapter + "\n" + step.script);
                args = {"script", "step.kcs"};
            }
            const auto [status, out, errors] = kestractl(args);
            const auto refusal = step.refused.find(kind.name);
            if (refusal != step.refused.end()) {
                EXPECT_EQ(4, status) << where << ": " << out << errors;
                EXPECT_NE(std::string::npos, errors.find("server error: " + refusal->second)) << where << ": " << errors;
                continue;
            }
            EXPECT_EQ(0, status) << where << ": " << errors;
            if (svf) {
                EXPECT_TRUE(out.size() >= step.answer.size() &&
                            out.compare(out.size() - step.answer.size(), step.answer.size(), step.answer) == 0)
                    << where << ": " << out;
            } else {
                EXPECT_EQ(step.answer, out) << where;
            }
        }
    }
}
