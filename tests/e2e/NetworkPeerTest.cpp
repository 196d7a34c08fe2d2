// kestrad + kestrad-sim + the client library: a simulated chip driven end
// to end over the network adapter.
#include <gtest/gtest.h>

#include "client/Client.h"
#include "tests/support/Programs.h"

using namespace kestrad::client;
using namespace testsupport;
using namespace std::chrono_literals;

TEST(NetworkPeer, DrivesASimulatedChipEndToEnd)
{
    Peer peer;
    Server server(NetworkEntry("SIM", peer.port));
    CClient client(server.Address());
    auto list = client.List();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].name, "SIM");
    EXPECT_FALSE(list[0].serial);

    client.Open("SIM");
    // IDCODE through wrIR/wrDR: the IR captures 0b..01.
    EXPECT_EQ(client.ShiftIR(0x3, 4) & 0x3, 0x1u);
    auto id = client.ShiftDR({0, 0, 0, 0}, 32);
    EXPECT_EQ(id, (std::vector<uint8_t>{0x77, 0x04, 0xA0, 0x4B}));
    client.RunTest(100);
    client.SetTrst(false);
    client.SetTrst(true);
    client.SetSysRst(false);
    client.SetSysRst(true);

    // Aligned blocks across row boundaries round-trip exactly, including
    // partial first and last rows.
    for (auto [address, size] : {std::pair<uint32_t, uint32_t>{0x1000, 64}, {0x1004, 8}, {0x2008, 40},
                                 {0x3ffc, 4}, {0x4004, 1000}}) {
        std::vector<uint8_t> data(size);
        for (uint32_t i = 0; i < size; ++i)
            data[i] = static_cast<uint8_t>(address + i * 31);
        client.WriteBlock(address, data);
        EXPECT_EQ(client.ReadBlock(address, size), data) << std::hex << address;
    }
    // The neighbours of a partial row keep their contents.
    auto row = client.ReadBlock(0x2000, 16);
    EXPECT_EQ(std::vector<uint8_t>(row.begin(), row.begin() + 8), std::vector<uint8_t>(8, 0));

    // A misaligned block is refused before anything is sent.
    try {
        client.ReadBlock(0x1002, 4);
        FAIL();
    } catch (const ServerError& e) {
        EXPECT_STREQ(e.what(), "Address not aligned: 0x00001002; memory blocks need an address that is a multiple of 4");
    }
    const std::string trace = peer.Trace();
    EXPECT_NE(trace.find("> wrIR 0x3"), std::string::npos);
    EXPECT_NE(trace.find("> wrDR 0x0 32"), std::string::npos);
    EXPECT_NE(trace.find("> run 100"), std::string::npos);
    EXPECT_NE(trace.find("> set_trst 0x0"), std::string::npos);
    EXPECT_NE(trace.find("> wait 10"), std::string::npos);
    EXPECT_EQ(trace.find("0x1002"), std::string::npos);
}

TEST(NetworkPeer, SavepointsWithDashS)
{
    Peer peer;
    Server server(NetworkEntry("SIM", peer.port), "", {"-s"});
    CClient client(server.Address());
    client.List();
    client.Open("SIM");
    for (int i = 0; i < 11; ++i)
        client.RunTest(1);
    const std::string trace = peer.Trace();
    EXPECT_NE(trace.find("> save vrk_point_0"), std::string::npos);
    EXPECT_NE(trace.find("> save vrk_point_10"), std::string::npos);
    EXPECT_EQ(trace.find("> save vrk_point_1\r"), std::string::npos);
}

TEST(NetworkPeer, DspPeerUsesWordCommands)
{
    Peer peer({"--dsp"});
    Server server(NetworkEntry("DSP", peer.port));
    CClient client(server.Address());
    auto list = client.List();
    ASSERT_EQ(list.size(), 1u);
    client.Open("DSP");
    client.WriteBlock(0x100, {1, 2, 3, 4});
    EXPECT_EQ(client.ReadBlock(0x100, 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    const std::string trace = peer.Trace();
    EXPECT_NE(trace.find("> write_word32 04030201 //00000100"), std::string::npos);
    EXPECT_NE(trace.find("> read_word32 0x100"), std::string::npos);
}

TEST(NetworkPeer, PeerDyingMidCommandFailsOnlyThatCommand)
{
    Peer peer({"--fault", "close-mid-reply=wrDR"});
    Peer healthy;
    Server server(NetworkEntry("SIM", peer.port) + NetworkEntry("OK", healthy.port));
    CClient client(server.Address());
    CClient other(server.Address());
    ASSERT_EQ(client.List().size(), 2u);
    client.Open("SIM");
    other.Open("OK");
    EXPECT_THROW(client.ShiftDR({0xFF}, 8), ServerError);
    // The server keeps serving both clients.
    EXPECT_EQ(other.ShiftDR({0, 0, 0, 0}, 32).size(), 4u);
    EXPECT_NO_THROW(client.List());
}

TEST(NetworkPeer, UnreachablePeerIsSkipped)
{
    Peer peer;
    const int closed = testsupport::FreeTcpPort();  // nothing listens there
    Server server(NetworkEntry("GONE", closed) + NetworkEntry("SIM", peer.port));
    CClient client(server.Address());
    auto start = std::chrono::steady_clock::now();
    auto list = client.List();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].name, "SIM");
    EXPECT_NE(server.Log().find("Exception in CNetworkJTAG::AddAdapters: Can't connect to server, error: "),
              std::string::npos);
}
