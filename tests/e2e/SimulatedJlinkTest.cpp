// kestrad over the simulated USB bus: a J-Link probe end to end, through the
// client library and kestractl.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "client/Client.h"
#include "tests/support/Programs.h"
#include "wire/Packets.h"

using namespace kestrad::client;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {

const char* const kChain = "0x4BA00477:4+bypass:5+0x06413041:5";

std::string JlinkEntry()
{
    return "\t<usb name=\"JLINK\" idvendor=\"0x1366\" idproduct=\"0x0101\" frequency=\"700KHZ\"/>\n";
}

// JTAG commands (EMU_CMD_HW_JTAG3) the probe received, from the bus trace.
size_t Jtag3Commands(const std::string& trace)
{
    std::istringstream lines(trace);
    size_t count = 0;
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("OUT", 0) == 0 && line.find(" ep 0x02 ") != std::string::npos &&
            line.find(": cf 00 ") != std::string::npos)
            ++count;
    return count;
}

}  // namespace

TEST(SimulatedJlink, IdcodeDetectAndBatchesOfOneCommandPer64KClocks)
{
    TempDir traceDir;
    const std::string trace = traceDir.File("usb.trace");
    Server server(UsbEntry() + JlinkEntry(), std::string("ezusb,serial=K1;jlink,serial=J1,chain=") + kChain, {},
                  {{"KESTRAD_SIM_USB_TRACE", trace}});
    CClient client(server.Address());
    const auto list = client.List();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, "EZ-USB0");
    EXPECT_EQ(list[1].name, "JLINK0");

    // After TRST the chain's data registers are IDCODE, BYPASS, IDCODE.
    client.Open("JLINK0");
    client.SetTrst(false);
    client.SetTrst(true);
    const std::vector<uint8_t> chain = client.ShiftDR(std::vector<uint8_t>(9, 0), 65);
    EXPECT_EQ(std::vector<uint8_t>(chain.begin(), chain.begin() + 4), (std::vector<uint8_t>{0x77, 0x04, 0xA0, 0x4B}));
    // Another client's renumerate keeps the open probe and leaves it alone.
    CClient other(server.Address());
    EXPECT_EQ(other.List().size(), 2u);
    EXPECT_EQ(client.ShiftIR(0x3FFF, 14), 0x211u);  // IR captures 0001, 00001, 00001; all BYPASS now

    // 1000 scans of 200 bits, each 3 + 200 + 2 clocks from idle: 205 000
    // clocks, four commands of at most 65 535. After TRST every scan
    // captures the 65-bit chain first; the bits shifted in follow.
    client.SetTrst(false);
    client.SetTrst(true);
    const size_t before = Jtag3Commands(ReadFile(trace));
    CBatch batch;
    std::vector<std::vector<uint8_t>> inputs;
    for (int i = 0; i < 1000; ++i) {
        inputs.push_back(std::vector<uint8_t>(25, static_cast<uint8_t>(i * 37 + 11)));
        batch.ShiftDR(inputs.back(), 200);
    }
    const auto results = client.Execute(batch);
    ASSERT_EQ(results.size(), 1000u);
    auto bit = [](const std::vector<uint8_t>& v, size_t k) { return (v[k / 8] >> (k % 8)) & 1; };
    for (size_t i = 0; i < results.size(); ++i) {
        ASSERT_EQ(std::vector<uint8_t>(results[i].begin(), results[i].begin() + 4),
                  (std::vector<uint8_t>{0x77, 0x04, 0xA0, 0x4B}))
            << "scan " << i;
        for (size_t k = 0; k + 65 < 200; ++k)
            ASSERT_EQ(bit(results[i], 65 + k), bit(inputs[i], k)) << "scan " << i << " bit " << k;
    }
    EXPECT_EQ(Jtag3Commands(ReadFile(trace)) - before, 4u);
    client.Close();

    // kestractl detect scans 32 x 33 bits through the probe.
    TempDir work;
    Process detect(ProgramPath("kestractl"), {"-a", server.Address(), "detect", "JLINK0"},
                   {{"KESTRAD_ADDRESS", ""}}, work.Path());
    ASSERT_EQ(detect.Wait(60s), 0) << detect.Stdout() << detect.Stderr();
    const std::string out = detect.Stdout();
    EXPECT_NE(out.find("3 TAPs"), std::string::npos) << out;
    EXPECT_NE(out.find("0x4ba00477"), std::string::npos) << out;
    EXPECT_NE(out.find("BYPASS"), std::string::npos) << out;
    EXPECT_NE(out.find("0x06413041"), std::string::npos) << out;
    EXPECT_TRUE(server.process.Running());
}

// CMD_RUN_TEST of 2^32 - 1 clocks is 65537 probe commands; a client that
// hangs up meanwhile does not leave kestrad clocking on for it, holding the
// probe: it stops, and the next client opens the probe.
TEST(SimulatedJlink, LongRunTestStopsWhenItsClientLeaves)
{
    Server server(JlinkEntry(), std::string("jlink,serial=J1,chain=") + kChain);
    {
        CClient client(server.Address());
        client.List();
        client.Open("JLINK0");
        client.SendCommand(CMD_RUN_TEST, {0xFF, 0xFF, 0xFF, 0xFF});
        std::this_thread::sleep_for(300ms);
    }  // hangs up
    CClient next(server.Address());
    next.List();
    EXPECT_TRUE(WaitFor([&] {
        try {
            next.Open("JLINK0");
            return true;
        } catch (const ServerError&) {
            return false;  // "already opened" while the clocks run
        }
    }, 10s)) << server.Log();
    EXPECT_NE(server.Log().find("RunTest stopped: its client has gone"), std::string::npos) << server.Log();
    EXPECT_NO_THROW(next.RunTest(100));
}
