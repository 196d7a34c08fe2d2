// The CMSIS-DAP commands byte for byte (Arm's CMSIS-DAP command reference):
// requests, the parsing of responses, and JTAG batches packed into
// DAP_JTAG_Sequence packets.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "JTAG/backends/cmsisdap/Commands.h"

using namespace cmsisdap;
using Bytes = std::vector<uint8_t>;
using State = TapController::State;

namespace {

std::string MessageOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no exception)";
}

// One clock as a DAP_JTAG_Sequence request drives it.
struct Clock {
    bool tms, tdi, capture;
    bool operator==(const Clock& o) const { return tms == o.tms && tdi == o.tdi && capture == o.capture; }
};

// The clocks a request carries, read back independently of the packer.
std::vector<Clock> Decode(const Bytes& request)
{
    std::vector<Clock> clocks;
    EXPECT_EQ(0x14, request.at(0));
    size_t at = 2;
    for (unsigned s = 0; s < request.at(1); ++s) {
        const uint8_t info = request.at(at++);
        const unsigned n = (info & 0x3F) ? (info & 0x3F) : 64;
        for (unsigned k = 0; k < n; ++k)
            clocks.push_back({(info & 0x40) != 0, ((request.at(at + k / 8) >> (k % 8)) & 1) != 0, (info & 0x80) != 0});
        at += (n + 7) / 8;
    }
    EXPECT_EQ(at, request.size());
    return clocks;
}

TEST(CmsisDapCommands, Requests)
{
    const struct {
        Bytes request, expected;
    } cases[] = {
        {InfoRequest(INFO_PACKET_SIZE), {0x00, 0xFF}},
        {ConnectRequest(PORT_JTAG), {0x02, 0x02}},
        {DisconnectRequest(), {0x03}},
        {ClockRequest(1000000), {0x11, 0x40, 0x42, 0x0F, 0x00}},
        // TRST asserted, then released: nTRST is pin bit 5.
        {PinsRequest(0, PIN_nTRST, 0), {0x10, 0x00, 0x20, 0, 0, 0, 0}},
        {PinsRequest(PIN_nTRST, PIN_nTRST, 0), {0x10, 0x20, 0x20, 0, 0, 0, 0}},
        {PinsRequest(0, PIN_nRESET, 1000), {0x10, 0x00, 0x80, 0xE8, 0x03, 0, 0}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, c.request);
}

TEST(CmsisDapCommands, RepliesAreCheckedBeforeTheyAreRead)
{
    const Bytes serial = {0x00, 0x08, 'D', 'A', 'P', '0', '0', '0', '1', 0x00};
    EXPECT_EQ("DAP0001", InfoString(serial.data(), serial.size()));
    const Bytes none = {0x00, 0x00};
    EXPECT_EQ("", InfoString(none.data(), none.size()));
    EXPECT_EQ(7u, InfoNumber(none.data(), none.size(), 7));
    const Bytes size = {0x00, 0x02, 0x00, 0x02};
    EXPECT_EQ(512u, InfoNumber(size.data(), size.size(), 0));
    const Bytes connected = {0x02, 0x02};
    EXPECT_EQ(2, ConnectedPort(connected.data(), connected.size()));

    const struct {
        std::function<void()> parse;
        const char* message;
    } bad[] = {
        {[] { InfoString(nullptr, 0); }, "the probe sent an empty reply to DAP_Info (0x00)"},
        {[] { const Bytes r = {0x00, 0x09, 'D', 'A'}; InfoString(r.data(), r.size()); },
         "the reply to DAP_Info (0x00) holds 2 of the 9 bytes it announces"},
        {[] { const Bytes r = {0x00, 0x03, 1, 2, 3}; InfoNumber(r.data(), r.size(), 0); },
         "the reply to DAP_Info (0x00) gives a number of 3 bytes"},
        {[] { const Bytes r = {0xFF}; ConnectedPort(r.data(), r.size()); },
         "the probe does not know DAP_Connect (0x02) (it answered 0xff)"},
        {[] { const Bytes r = {0x11, 0xFF}; CheckStatus(DAP_SWJ_CLOCK, r.data(), r.size()); },
         "DAP_SWJ_Clock (0x11) failed: the probe answered DAP_ERROR"},
        {[] { const Bytes r = {0x03, 0x00}; PinsRead(r.data(), r.size()); },
         "the reply to DAP_SWJ_Pins (0x10) starts with 0x03"},
        {[] { const Bytes r = {0x10}; PinsRead(r.data(), r.size()); },
         "the reply to DAP_SWJ_Pins (0x10) is 1 bytes, 2 expected"},
    };
    for (const auto& b : bad)
        EXPECT_EQ(b.message, MessageOf(b.parse));
}

TEST(CmsisDapCommands, ScanFromIdleIsOnePacketOfSequences)
{
    JtagBatch batch(State::RunTestIdle, 64);
    batch.Move(TapState::SHIFT_DR);
    const Bytes tdi = {0x78, 0x56, 0x34, 0x92};
    EXPECT_EQ(0u, batch.Scan(tdi.data(), 32, true));
    batch.Move(TapState::RUN_TEST_IDLE);
    ASSERT_EQ(1u, batch.Packets().size());
    // Select-DR (TMS 1), Capture and Shift (TMS 0 twice), 31 bits with TMS 0
    // and the last with TMS 1, both captured, then Update (1) and Idle (0).
    EXPECT_EQ((Bytes{0x14, 0x06, 0x41, 0x00, 0x02, 0x00, 0x9F, 0x78, 0x56, 0x34, 0x12, 0xC1, 0x01, 0x41, 0x00,
                     0x01, 0x00}),
              batch.Packets()[0].request);
    EXPECT_EQ(2u + 4 + 1, batch.Packets()[0].replySize);
    EXPECT_EQ(32u, batch.CapturedBits());
    EXPECT_EQ(State::RunTestIdle, batch.GetState());

    // The response's TDO, sequence by sequence, is the scan's 32 bits.
    const Bytes reply = {0x14, 0x00, 0x77, 0x04, 0xA0, 0x4B, 0x00};
    BitStream tdo;
    ParseSequenceReply(batch.Packets()[0].request, reply.data(), reply.size(), tdo);
    EXPECT_EQ((Bytes{0x77, 0x04, 0xA0, 0x4B}), tdo.Slice(0, 32));
}

TEST(CmsisDapCommands, IdleClocksFillSequencesOf64)
{
    // RunTest(100) from Run-Test/Idle: the route's clock and 99 more, all
    // TMS 0, in one sequence of 64 and one of 36.
    JtagBatch batch(State::RunTestIdle, 64);
    batch.Move(TapState::RUN_TEST_IDLE);
    batch.Idle(99);
    ASSERT_EQ(1u, batch.Packets().size());
    Bytes expected = {0x14, 0x02, 0x00};
    expected.resize(expected.size() + 8, 0);
    expected.push_back(36);
    expected.resize(expected.size() + 5, 0);
    EXPECT_EQ(expected, batch.Packets()[0].request);
    EXPECT_EQ(2u, batch.Packets()[0].replySize);
    EXPECT_EQ(100u, batch.Packets()[0].clocks);
}

TEST(CmsisDapCommands, RawSequenceFollowsTheTapThroughAllStates)
{
    // From Run-Test/Idle, TMS 1,0,0,0,1,1: Select, Capture, Shift, Shift,
    // Exit1 and Update-DR, a state no scan ends in; every TDO captured.
    JtagBatch batch(State::RunTestIdle, 64);
    const uint8_t tms[] = {0x31};
    const uint8_t tdi[] = {0x3F};
    EXPECT_EQ(0u, batch.Raw(tms, tdi, 6));
    EXPECT_EQ(State::UpdateDR, batch.GetState());
    // From there the shortest route to Shift-IR: Select-DR, Select-IR,
    // Capture-IR, Shift-IR.
    batch.Move(TapState::SHIFT_IR);
    EXPECT_EQ(State::ShiftIR, batch.GetState());
    ASSERT_EQ(1u, batch.Packets().size());
    EXPECT_EQ((Bytes{0x14, 0x05, 0xC1, 0x01, 0x83, 0x07, 0xC2, 0x03, 0x42, 0x00, 0x02, 0x00}),
              batch.Packets()[0].request);
    EXPECT_EQ(6u, batch.CapturedBits());
    // A scan must start in a Shift state.
    JtagBatch idle(State::RunTestIdle, 64);
    EXPECT_EQ("a scan starts in Shift-DR or Shift-IR, not in Run-Test/Idle",
              MessageOf([&] { idle.Scan(tdi, 4, true); }));
}

TEST(CmsisDapCommands, BatchFillsEveryPacketButTheLast)
{
    // 40 scans of 37 bits with writes between them, in 64-byte packets:
    // the packets carry exactly the clocks of the batch, each packet but the
    // last is full one way or the other, and neither way exceeds 64 bytes.
    for (const unsigned packetSize : {64u, 512u}) {
        JtagBatch batch(State::TestLogicReset, packetSize);
        std::vector<Clock> expected;
        Bytes tdi = {0xA5, 0x5A, 0xC3, 0x3C, 0x1F};
        const auto route = [&](uint8_t tmsBits, unsigned count) {
            for (unsigned k = 0; k < count; ++k)
                expected.push_back({((tmsBits >> k) & 1) != 0, false, false});
        };
        for (int i = 0; i < 40; ++i) {
            const bool capture = i % 3 != 2;
            // From Test-Logic-Reset the first route is 0,1,0,0; later ones
            // start in Run-Test/Idle: 1,0,0.
            if (i == 0)
                route(0x02, 4);
            else
                route(0x01, 3);
            batch.Move(TapState::SHIFT_DR);
            batch.Scan(tdi.data(), 37, capture);
            for (unsigned k = 0; k < 37; ++k)
                expected.push_back({k == 36, ((tdi[k / 8] >> (k % 8)) & 1) != 0, capture});
            route(0x01, 2);
            batch.Move(TapState::RUN_TEST_IDLE);
            tdi[0] = static_cast<uint8_t>(tdi[0] + 1);
        }
        std::vector<Clock> sent;
        const std::vector<SequencePacket>& packets = batch.Packets();
        for (size_t p = 0; p < packets.size(); ++p) {
            const SequencePacket& packet = packets[p];
            EXPECT_LE(packet.request.size(), packetSize);
            EXPECT_LE(packet.replySize, packetSize);
            const std::vector<Clock> clocks = Decode(packet.request);
            size_t captured = 2;
            for (size_t at = 2, s = 0; s < packet.request[1]; ++s) {
                const unsigned n = (packet.request[at] & 0x3F) ? (packet.request[at] & 0x3F) : 64;
                if (packet.request[at] & 0x80)
                    captured += (n + 7) / 8;
                at += 1 + (n + 7) / 8;
            }
            EXPECT_EQ(captured, packet.replySize);
            EXPECT_EQ(clocks.size(), packet.clocks);
            if (p + 1 < packets.size()) {
                EXPECT_TRUE(packet.request.size() >= packetSize - 1 || packet.replySize == packetSize ||
                            packet.request[1] == kMaxSequences)
                    << "packet " << p << " of " << packets.size() << " has room left: " << packet.request.size();
            }
            sent.insert(sent.end(), clocks.begin(), clocks.end());
        }
        ASSERT_EQ(expected.size(), sent.size()) << packetSize;
        for (size_t k = 0; k < expected.size(); ++k)
            ASSERT_TRUE(expected[k] == sent[k]) << "clock " << k << ": tms " << sent[k].tms << " tdi " << sent[k].tdi
                                                << " capture " << sent[k].capture << ", expected " << expected[k].tms
                                                << expected[k].tdi << expected[k].capture;
    }
}

TEST(CmsisDapCommands, SequenceRepliesAreCheckedAgainstTheirRequest)
{
    JtagBatch batch(State::ShiftDR, 64);
    const Bytes tdi(3, 0);
    batch.Scan(tdi.data(), 20, true);
    const Bytes& request = batch.Packets().at(0).request;  // 19 bits, then the last: 3 + 1 TDO bytes
    BitStream tdo;
    const struct {
        Bytes reply;
        const char* message;
    } bad[] = {
        {{0x14, 0xFF}, "DAP_JTAG_Sequence (0x14) failed: the probe answered DAP_ERROR"},
        {{0x14, 0x00, 0x12}, "the reply to DAP_JTAG_Sequence (0x14) is 3 bytes, 5 or more expected"},
        {{0x14, 0x00, 0x12, 0x34, 0x05}, "the reply to DAP_JTAG_Sequence (0x14) is 5 bytes, 6 or more expected"},
        {{0x05, 0x00, 0, 0, 0, 0}, "the reply to DAP_JTAG_Sequence (0x14) starts with 0x05"},
    };
    for (const auto& b : bad)
        EXPECT_EQ(b.message, MessageOf([&] { ParseSequenceReply(request, b.reply.data(), b.reply.size(), tdo); }));
    EXPECT_EQ(0u, tdo.Size());  // nothing of a refused reply is kept
    const Bytes good = {0x14, 0x00, 0x12, 0x34, 0x05, 0x01};
    ParseSequenceReply(request, good.data(), good.size(), tdo);
    EXPECT_EQ((Bytes{0x12, 0x34, 0x0D}), tdo.Slice(0, 20));
    // A request that ends inside its own sequences is refused, not read past.
    EXPECT_EQ("DAP_JTAG_Sequence (0x14) request ends inside sequence 1",
              MessageOf([&] { ParseSequenceReply(Bytes{0x14, 0x02, 0x01, 0x00}, good.data(), good.size(), tdo); }));
}

}  // namespace
