// kestrad over the simulated USB bus: CMSIS-DAP probes end to end, through
// kestractl (list, detect by serial number) and the client library.
#include <gtest/gtest.h>

#include "client/Client.h"
#include "tests/support/Programs.h"

using namespace kestrad::client;
using namespace testsupport;
using namespace std::chrono_literals;

TEST(SimulatedCmsisDap, ListedWithSerialsDetectedBySerialAndDrivenInBatches)
{
    // The built-in document's CMSIS-DAP entries: the DAPLink by its ids, and
    // a probe at ids nobody lists, by its interface string.
    const std::string entries =
        "\t<cmsis-dap name=\"DAPLINK\" idvendor=\"0x0D28\" idproduct=\"0x0204\" frequency=\"1000KHZ\"/>\n"
        "\t<cmsis-dap name=\"CMSIS-DAP\" frequency=\"1000KHZ\"/>\n";
    Server server(entries,
                  "cmsis-dap,serial=DAP0001,chain=0x4BA00477:4+bypass:5+0x06413041:5;"
                  "cmsis-dap,vid=0x1234,pid=0x5678,serial=PICO42,packet=512,packets=2,chain=0x06413041:5");
    TempDir work;
    const auto kestractl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"-a", server.Address()});
        Process ctl(ProgramPath("kestractl"), args, {{"KESTRAD_ADDRESS", ""}}, work.Path());
        EXPECT_EQ(0, ctl.Wait(60s)) << ctl.Stdout() << ctl.Stderr() << server.Log();
        return ctl.Stdout();
    };
    const std::string list = kestractl({"list"});
    EXPECT_NE(std::string::npos, list.find("DAPLINK0    Unknown chip  DAP0001")) << list;
    EXPECT_NE(std::string::npos, list.find("CMSIS-DAP0  Unknown chip  PICO42")) << list;

    const std::string detect = kestractl({"detect", "serial=DAP0001"});
    EXPECT_NE(std::string::npos, detect.find("DAPLINK0: 3 TAPs (first nearest TDO), 1 in BYPASS")) << detect;
    EXPECT_NE(std::string::npos, detect.find("#0  0x4ba00477")) << detect;
    EXPECT_NE(std::string::npos, detect.find("#2  0x06413041")) << detect;

    // A batch through the probe found by its string: every scan after TRST
    // reads the IDCODE, whichever packet carries it.
    CClient client(server.Address());
    client.List();
    client.Open("CMSIS-DAP0");
    client.SetTrst(false);
    client.SetTrst(true);
    CBatch batch;
    for (int i = 0; i < 200; ++i) {
        batch.ShiftIR(0x03, 5);  // IDCODE
        batch.ShiftDR({0, 0, 0, 0}, 32);
    }
    const auto results = client.Execute(batch);
    ASSERT_EQ(400u, results.size());
    for (size_t i = 1; i < results.size(); i += 2)
        ASSERT_EQ((std::vector<uint8_t>{0x41, 0x30, 0x41, 0x06}), results[i]) << "scan " << i;
    client.Close();
    EXPECT_TRUE(server.process.Running());
}
