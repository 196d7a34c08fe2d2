// kestrad over the simulated USB bus with the real libftdi: both FT2232H
// boards end to end, through the client library and through kestractl.
#include <gtest/gtest.h>

#include "client/Client.h"
#include "tests/support/Programs.h"

using namespace kestrad::client;
using namespace testsupport;

TEST(SimulatedFtdi, BoardsReadIdcodesDriveResetLinesAndDetectTheChain)
{
    TempDir traceDir;
    const std::string trace = traceDir.File("usb-trace.txt");
    const std::string entries =
        "\t<usb name=\"FLYSWATTER2\" idvendor=\"0x0403\" idproduct=\"0x6010\" frequency=\"1000KHZ\"/>\n"
        "\t<usb name=\"ARM-USB-TINY-H\" idvendor=\"0x15BA\" idproduct=\"0x002a\" frequency=\"1000KHZ\"/>\n";
    Server server(entries, "flyswatter2,serial=FS1,chain=0x4BA00477:4+bypass:5+0x06413041:5;tiny-h,chain=0x06413041:5",
                  {}, {{"KESTRAD_SIM_USB_TRACE", trace}});
    CClient client(server.Address());
    const auto list = client.List();
    ASSERT_EQ(2u, list.size()) << server.Log();
    EXPECT_EQ("FLYSWATTER20", list[0].name);
    EXPECT_EQ("ARM-USB-TINY-H0", list[1].name);

    // IDCODE through each board equals its simulated chip's.
    client.Open("ARM-USB-TINY-H0");
    EXPECT_EQ(1u, client.ShiftIR(0x01, 5));  // the instruction before: 1 after open
    client.SetTrst(false);
    EXPECT_NE(std::string::npos, ReadFile(trace).find("tiny-h: TRST asserted, system reset released"));
    client.SetTrst(true);
    EXPECT_EQ((std::vector<uint8_t>{0x41, 0x30, 0x41, 0x06}), client.ShiftDR({0, 0, 0, 0}, 32));
    client.SetSysRst(false);
    EXPECT_NE(std::string::npos, ReadFile(trace).find("tiny-h: TRST released, system reset asserted"));
    client.SetSysRst(true);
    client.Close();

    client.Open("FLYSWATTER20");
    EXPECT_EQ((std::vector<uint8_t>{0x77, 0x04, 0xA0, 0x4B}), client.ShiftDR({0, 0, 0, 0}, 32));
    client.SetSysRst(false);
    EXPECT_NE(std::string::npos, ReadFile(trace).find("flyswatter2: TRST released, system reset asserted"));
    client.Close();
    client.Disconnect();

    // kestractl detect walks the chain behind the Flyswatter2.
    TempDir work;
    Process ctl(ProgramPath("kestractl"), {"-a", server.Address(), "detect", "FLYSWATTER20"}, {}, work.Path());
    ASSERT_EQ(0, ctl.Wait(std::chrono::seconds(60))) << ctl.Stdout() << ctl.Stderr();
    const std::string out = ctl.Stdout();
    EXPECT_NE(std::string::npos, out.find("FLYSWATTER20: 3 TAPs (first nearest TDO), 1 in BYPASS")) << out;
    EXPECT_NE(std::string::npos, out.find("#0  0x4ba00477")) << out;
    EXPECT_NE(std::string::npos, out.find("#2  0x06413041")) << out;
}
