// kestrad over the simulated USB bus: the maker's EZ-USB adapters end to end.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "client/Client.h"
#include "tests/support/Programs.h"

using namespace kestrad::client;
using namespace testsupport;
using namespace std::chrono_literals;

TEST(SimulatedUsb, ListsAndDrivesEzUsbAdapters)
{
    Server server(UsbEntry(), "ezusb,serial=K0001;ezusb,chain=0x06413041:5");
    CClient client(server.Address());
    auto list = client.List();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, "EZ-USB0");
    ASSERT_TRUE(list[0].serial);
    EXPECT_EQ(*list[0].serial, "K0001");
    EXPECT_EQ(list[1].name, "EZ-USB1");
    EXPECT_FALSE(list[1].serial);  // no serial string: two strings only

    client.Open("EZ-USB0");
    // Releasing TRST loads the identification instruction: the next data
    // scan reads the chip's IDCODE.
    client.SetTrst(false);
    client.SetTrst(true);
    EXPECT_EQ(client.ShiftDR({0, 0, 0, 0}, 32), (std::vector<uint8_t>{0x77, 0x04, 0xA0, 0x4B}));

    std::vector<uint8_t> block(64 * 1024);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    client.WriteBlock(0x20000000, block);
    EXPECT_EQ(client.ReadBlock(0x20000000, static_cast<uint32_t>(block.size())), block);

    CClient second(server.Address());
    second.Open("EZ-USB1");
    second.SetTrst(false);
    second.SetTrst(true);
    EXPECT_EQ(second.ShiftDR({0, 0, 0, 0}, 32), (std::vector<uint8_t>{0x41, 0x30, 0x41, 0x06}));
}

TEST(SimulatedUsb, UnpluggedDeviceGivesAnErrorReply)
{
    testsupport::TempDir ctl;
    const std::string ctlFile = ctl.File("unplugged");
    testsupport::WriteFile(ctlFile, "");
    Server server(UsbEntry(), "ezusb,serial=GONE1", {}, {{"KESTRAD_SIM_USB_CTL", ctlFile}});
    CClient client(server.Address());
    ASSERT_EQ(client.List().size(), 1u);
    client.Open("EZ-USB0");
    client.ReadBlock(0, 16);
    testsupport::WriteFile(ctlFile, "GONE1\n");
    EXPECT_THROW(client.ReadBlock(0, 16), ServerError);
    // The session goes on; once closed, a renumerate drops the device.
    client.Close();
    EXPECT_TRUE(client.List().empty());
    testsupport::WriteFile(ctlFile, "");
    EXPECT_EQ(client.List().size(), 1u);
    EXPECT_TRUE(server.process.Running());
}

// The bus scan of a renumerate opens each device to read its serial number
// and version; an open by a session at that moment must not fail because
// the scan holds the device's interface.
TEST(SimulatedUsb, OpenDuringAnotherClientsRenumerateSucceeds)
{
    Server server(UsbEntry(), "ezusb,serial=R1;ezusb,serial=R2");
    CClient client(server.Address());
    ASSERT_EQ(client.List().size(), 2u);
    std::atomic<bool> stop{false};
    std::thread lister([&] {
        CClient other(server.Address());
        while (!stop) {
            other.List();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    int failures = 0;
    std::string first;
    for (int i = 0; i < 100; ++i) {
        try {
            client.Open("EZ-USB1");
            client.Close();
        } catch (const ServerError& e) {
            if (failures++ == 0)
                first = e.what();
        }
    }
    stop = true;
    lister.join();
    EXPECT_EQ(failures, 0) << "first: " << first;
}
