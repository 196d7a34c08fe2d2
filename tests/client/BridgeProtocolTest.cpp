// The bridges' protocol parsers byte for byte: XVC 1.0 and OpenOCD's
// remote_bitbang, bytes in, actions out, in whatever pieces they arrive;
// and the bitbang bridge serving a simulated chain in-process.
#include "client/bridge/BitbangProtocol.h"
#include "client/bridge/Bridge.h"
#include "client/bridge/BridgeIo.h"
#include "client/bridge/XvcProtocol.h"

#include "sim/tap/SimTap.h"
#include "tests/support/Process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace kestrad::bridge;

namespace {

std::string Hex(const std::vector<uint8_t>& bytes)
{
    std::string out;
    char buf[4];
    for (uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        out += buf;
    }
    return out;
}

// One line per action, so a table can say what a byte stream gives.
std::string Show(const std::vector<XvcAction>& actions)
{
    std::string out;
    for (const XvcAction& a : actions) {
        switch (a.kind) {
        case XvcAction::Kind::GetInfo: out += "getinfo;"; break;
        case XvcAction::Kind::SetTck: out += "settck " + std::to_string(a.period) + ";"; break;
        case XvcAction::Kind::Shift:
            out += "shift " + std::to_string(a.bits) + " " + Hex(a.tms) + " " + Hex(a.tdi) + ";";
            break;
        case XvcAction::Kind::Error: out += "error " + a.error + ";"; break;
        }
    }
    return out;
}

std::string Show(const std::vector<BitbangStep>& steps)
{
    std::string out;
    for (const BitbangStep& s : steps) {
        switch (s.kind) {
        case BitbangStep::Kind::Sequence: {
            out += "seq " + std::to_string(s.bits) + " " + Hex(s.tms) + " " + Hex(s.tdi) + " [";
            for (size_t i = 0; i < s.samples.size(); ++i)
                out += (i ? "," : "") + std::to_string(s.samples[i]);
            out += "];";
            break;
        }
        case BitbangStep::Kind::Reset:
            out += std::string("reset") + (s.trst ? " trst" : "") + (s.srst ? " srst" : "") + ";";
            break;
        case BitbangStep::Kind::Sleep: out += "sleep " + std::to_string(s.microseconds) + ";"; break;
        case BitbangStep::Kind::Quit: out += "quit;"; break;
        case BitbangStep::Kind::Error: out += "error " + s.error + ";"; break;
        }
    }
    return out;
}

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

}  // namespace

TEST(XvcParser, CommandsWholeAndByteByByte)
{
    const std::string shift9 = std::string("shift:") + std::string("\x09\0\0\0", 4) + "\x1f\x01" + std::string("\xa5\x00", 2);
    const struct {
        std::string input;
        std::string actions;
    } cases[] = {
        {"getinfo:", "getinfo;"},
        {std::string("settck:\x64\0\0\0", 11), "settck 100;"},
        {shift9, "shift 9 1f01 a500;"},
        {std::string("shift:\0\0\0\0", 10) + "getinfo:", "shift 0  ;getinfo;"},
        // openFPGALoader's start: getinfo, settck for 6 MHz, then shifts.
        {std::string("getinfo:settck:\xa6\0\0\0", 19) + shift9, "getinfo;settck 166;shift 9 1f01 a500;"},
        // 32769 bits need 4097 bytes per vector, one more than offered.
        {std::string("shift:\x01\x80\0\0", 10),
         "error shift: of 32769 bits needs vectors of 4097 bytes, more than the 4096 getinfo: offers;"},
        {"mrd:\x01", "error unknown XVC command 'mrd:';"},
        {"GET / HTTP/1.1\r\nHost", "error not an XVC command: 'GET / HTTP/1.1\\x0d\\x0a'...;"},
        // Nothing is parsed after an error.
        {"bad:getinfo:", "error unknown XVC command 'bad:';"},
    };
    for (const auto& c : cases) {
        const std::vector<uint8_t> in = Bytes(c.input);
        std::vector<XvcAction> whole, pieces;
        CXvcParser a(4096), b(4096);
        a.Feed(in.data(), in.size(), whole);
        for (uint8_t byte : in)
            b.Feed(&byte, 1, pieces);
        EXPECT_EQ(Show(whole), c.actions) << c.input;
        EXPECT_EQ(Show(pieces), c.actions) << c.input;
        EXPECT_FALSE(a.Partial() && !a.Failed()) << c.input;
    }
    CXvcParser partial(4096);
    std::vector<XvcAction> none;
    partial.Feed(Bytes(shift9).data(), shift9.size() - 1, none);
    EXPECT_TRUE(none.empty());
    EXPECT_TRUE(partial.Partial());
}

TEST(XvcParser, RepliesAndClockPeriods)
{
    EXPECT_EQ(XvcInfoReply(8192), "xvcServer_v1.0:8192\n");
    const auto period = XvcPeriodReply(166);
    EXPECT_EQ(Hex(std::vector<uint8_t>(period.begin(), period.end())), "a6000000");
    const struct {
        uint32_t period, hertz, back;
    } clocks[] = {{100, 10000000, 100}, {166, 6024096, 166}, {3, 333333333, 3}, {1000000000, 1, 1000000000},
                  {0, 0, 0}, {0xFFFFFFFF, 0, 0}};
    for (const auto& c : clocks) {
        EXPECT_EQ(XvcPeriodToHertz(c.period), c.hertz) << c.period;
        EXPECT_EQ(XvcHertzToPeriod(c.hertz), c.back) << c.period;
    }
}

TEST(BitbangParser, EdgesSamplesResetsAndBounds)
{
    const struct {
        uint32_t max;
        std::string input;
        std::string steps;    // after Feed, then Flush
        size_t waiting;
    } cases[] = {
        // A bit as OpenOCD clocks it: TCK low with TMS/TDI, R, TCK high.
        // The R reads the edge that follows it.
        {64, "2R6" "1R5" "0R4", "seq 3 01 02 [0,1,2];", 0},
        // Levels change without an edge while TCK stays high or low.
        {64, "0123" "4567" "4", "seq 1 00 00 [];", 0},
        // R with TCK high reads the edge that raised it.
        {64, "07R", "seq 1 01 01 [0];", 0},
        // An R whose edge has not come stays behind at the cut.
        {64, "04" "0R", "seq 1 00 00 [];", 1},
        // Resets cut the sequence; 'r' + 2 TRST + SRST.
        {64, "04rstu", "seq 1 00 00 [];reset;reset srst;reset trst;reset trst srst;", 0},
        // An R with TCK high right after a cut reads the last edge before.
        {64, "06rR", "seq 1 01 00 [];reset;seq 0   [-1];", 0},
        // Sleeps add up; LED and whitespace do nothing.
        {64, "ZZzBb \r\n\t04", "sleep 2001;seq 1 00 00 [];", 0},
        // A full sequence is cut before the edge that would not fit, and an
        // R waiting for that edge goes with it.
        {2, "04" "15" "0R4" "2R6", "seq 2 00 02 [];seq 2 02 00 [0,1];", 0},
        {64, "04Q04", "seq 1 00 00 [];quit;", 0},
        {64, "04c", "seq 1 00 00 [];error SWD command 'c': this bridge serves JTAG only;", 0},
        {64, "x", "error unknown remote_bitbang command 'x';", 0},
        {64, std::string("\0", 1), "error unknown remote_bitbang command byte 0x00;", 0},
        {2, "RRR", "error more than 2 'R' wait for one clock edge;", 2},
    };
    for (const auto& c : cases) {
        const std::vector<uint8_t> in = Bytes(c.input);
        std::vector<BitbangStep> whole, pieces;
        CBitbangParser a(c.max), b(c.max);
        a.Feed(in.data(), in.size(), whole);
        a.Flush(whole);
        for (uint8_t byte : in)
            b.Feed(&byte, 1, pieces);
        b.Flush(pieces);
        EXPECT_EQ(Show(whole), c.steps) << c.input;
        EXPECT_EQ(Show(pieces), c.steps) << c.input;
        EXPECT_EQ(a.WaitingSamples(), c.waiting) << c.input;
    }
}

TEST(BridgeBits, AppendAndExtractAtAnyOffset)
{
    // A pattern appended at every offset reads back unchanged and leaves
    // the bits before it alone.
    const std::vector<uint8_t> pattern = {0xB5, 0x3C, 0x01};
    for (uint32_t at = 0; at < 10; ++at) {
        for (uint32_t bits = 1; bits <= 17; ++bits) {
            std::vector<uint8_t> v;
            AppendBits(v, 0, std::vector<uint8_t>(2, 0xFF), at);
            AppendBits(v, at, pattern, bits);
            ASSERT_EQ(v.size(), (at + bits + 7) / 8);
            std::vector<uint8_t> expected(pattern.begin(), pattern.begin() + (bits + 7) / 8);
            if (bits % 8)
                expected.back() &= static_cast<uint8_t>((1u << (bits % 8)) - 1);
            EXPECT_EQ(Hex(ExtractBits(v, at, bits)), Hex(expected)) << at << " " << bits;
            for (uint32_t k = 0; k < at; ++k)
                EXPECT_TRUE(BitAt(v, k)) << at << " " << bits << " " << k;
        }
    }
}

// ---- the bridges serving, in-process (also the ThreadSanitizer's view of
// the reader and runner threads) ---------------------------------------------

namespace {

// An adapter: a simulated chain behind the CTarget interface.
class CChainTarget : public CTarget {
public:
    explicit CChainTarget(const std::string& chain) : m_chain(simtap::ParseChain(chain)) {}
    std::vector<uint8_t> Sequence(const std::vector<uint8_t>& tms, const std::vector<uint8_t>& tdi,
                                  uint32_t bits) override
    {
        std::vector<uint8_t> tdo((bits + 7) / 8, 0);
        for (uint32_t k = 0; k < bits; ++k)
            if (m_chain.Clock(BitAt(tms, k), BitAt(tdi, k)))
                tdo[k / 8] |= static_cast<uint8_t>(1u << (k % 8));
        sequences++;
        return tdo;
    }
    void SetTrst(bool level) override { m_chain.SetTrst(level); }
    void SetSysRst(bool) override {}
    void SetFrequency(uint32_t) override {}
    std::atomic<int> sequences{0};

private:
    simtap::Chain m_chain;
};

int Connect(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    return fd;
}

}  // namespace

// OpenOCD's way: a long scan with an 'R' per bit, in writes of any size;
// every answer arrives, in order and right, while another client is
// refused; the bridge stops when told.
TEST(BridgeServing, BitbangAnswersEverySampleInOrder)
{
    CChainTarget target("0x0362D093:6");
    CListener listener("127.0.0.1:0");
    const int port = std::stoi(listener.Address().substr(listener.Address().rfind(':') + 1));
    std::atomic<bool> stop{false};
    std::mutex logMutex;
    std::string log;
    BridgeOptions options;
    options.stop = [&] { return stop.load(); };
    options.log = [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(logMutex);
        log += line + "\n";
    };
    options.maxSequenceBits = 1000;  // cuts inside the scan, too
    BridgeReport report;
    std::thread bridge([&] { report = RunBitbangBridge(target, listener, options); });

    // Test-Logic-Reset, Shift-IR, BYPASS (6 ones), Shift-DR, then 20,000
    // random bits with an 'R' each: TDO is the bit before, 0 first.
    std::string stream;
    auto clock = [&](bool tms, bool tdi, bool sample) {
        const char v = static_cast<char>((tms ? 2 : 0) | (tdi ? 1 : 0));
        stream += static_cast<char>('0' + v);
        if (sample)
            stream += 'R';
        stream += static_cast<char>('4' + v);
    };
    for (bool tms : {true, true, true, true, true, false, true, true, false, false})
        clock(tms, false, false);
    for (int i = 0; i < 6; ++i)
        clock(i == 5, true, false);
    for (bool tms : {true, false, true, false, false})
        clock(tms, false, false);
    std::mt19937 random(3);
    std::string expected;
    bool previous = false;
    for (int i = 0; i < 20000; ++i) {
        const bool bit = random() & 1;
        clock(i == 19999, bit, true);
        expected += previous ? '1' : '0';
        previous = bit;
    }
    stream += "Q";

    auto logged = [&](const std::string& text) {
        return testsupport::WaitFor([&] {
            std::lock_guard<std::mutex> lock(logMutex);
            return log.find(text) != std::string::npos;
        });
    };
    const int fd = Connect(port);
    ASSERT_TRUE(logged(" connected"));
    const int other = Connect(port);
    ASSERT_TRUE(logged(" refused: serving 127.0.0.1:"));
    std::string answers;
    std::thread reader([&] {
        char buffer[4096];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answers.append(buffer, static_cast<size_t>(n));
    });
    for (size_t pos = 0; pos < stream.size();) {
        const size_t n = std::min<size_t>(1 + random() % 1500, stream.size() - pos);
        ASSERT_EQ(send(fd, stream.data() + pos, n, MSG_NOSIGNAL), static_cast<ssize_t>(n));
        pos += n;
    }
    reader.join();
    char byte;
    EXPECT_EQ(recv(other, &byte, 1, 0), 0) << "the second client was served";
    close(other);
    close(fd);
    EXPECT_EQ(answers, expected);
    stop = true;
    bridge.join();
    EXPECT_EQ(report.clients, 1u);
    EXPECT_EQ(report.refused, 1u);
    EXPECT_GT(target.sequences.load(), 20);
    EXPECT_NE(log.find(" quit (20021 bits, 20000 TDO samples)"), std::string::npos) << log;
}
