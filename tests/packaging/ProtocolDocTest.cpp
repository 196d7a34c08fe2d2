// Replays the worked examples of docs/protocol.md against the real kestrad,
// so the document cannot drift from the server.
//
// Each ```wire block is one connection: "> hex" lines are sent, "< hex"
// lines must be what the server sends (consecutive lines of one direction
// form one run), "< (nothing)" means no byte arrives, "< (closed)" that the
// server closes the connection; "#" starts a comment. The blocks run in
// document order against one server with a kestrad-sim peer named SIM, a
// simulated EZ-USB adapter with serial number K1 and a simulated J-Link J1.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "client/Client.h"
#include "wire/Packets.h"
#include "tests/support/Programs.h"

namespace {

using kestrad::client::CClient;
using kestrad::client::ClientOptions;

struct Step {
    enum Kind { Send, Expect, Nothing, Closed } kind;
    std::vector<uint8_t> bytes;
    int line;  // first line of the run
};

struct Block {
    int line;
    std::vector<Step> steps;
};

std::string Hex(const std::vector<uint8_t>& bytes)
{
    std::string out;
    char buf[4];
    for (uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02x ", b);
        out += buf;
    }
    return out;
}

// Parses the document; malformed example lines are test failures.
std::vector<Block> ParseWireBlocks(const std::string& path)
{
    std::ifstream in(path);
    EXPECT_TRUE(in) << "cannot read " << path;
    std::vector<Block> blocks;
    bool inBlock = false;
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        if (!inBlock) {
            if (text == "```wire") {
                inBlock = true;
                blocks.push_back({number, {}});
            }
            continue;
        }
        if (text == "```") {
            inBlock = false;
            continue;
        }
        const std::string line = text.substr(0, text.find('#'));
        std::istringstream words(line);
        std::string direction;
        if (!(words >> direction))
            continue;
        if (direction != ">" && direction != "<") {
            ADD_FAILURE() << path << ":" << number << ": line starts with neither > nor <";
            continue;
        }
        std::vector<Step>& steps = blocks.back().steps;
        std::string word;
        std::vector<uint8_t> bytes;
        Step::Kind kind = direction == ">" ? Step::Send : Step::Expect;
        while (words >> word) {
            if (direction == "<" && (word == "(nothing)" || word == "(closed)") && bytes.empty()) {
                kind = word == "(nothing)" ? Step::Nothing : Step::Closed;
                continue;
            }
            if (word.size() != 2 || !std::isxdigit(static_cast<unsigned char>(word[0])) ||
                !std::isxdigit(static_cast<unsigned char>(word[1]))) {
                ADD_FAILURE() << path << ":" << number << ": '" << word << "' is not a hex byte";
                continue;
            }
            bytes.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
        }
        if ((kind == Step::Send || kind == Step::Expect) && !steps.empty() && steps.back().kind == kind)
            steps.back().bytes.insert(steps.back().bytes.end(), bytes.begin(), bytes.end());
        else
            steps.push_back({kind, bytes, number});
    }
    EXPECT_FALSE(inBlock) << path << ": unterminated ```wire block";
    return blocks;
}

// The command codes of the packets in a run of client bytes.
void CollectCodes(const std::vector<uint8_t>& run, std::set<uint32_t>& codes)
{
    size_t offset = 0;
    while (offset + 8 <= run.size()) {
        codes.insert(ReadLE32(run.data() + offset));
        offset += 8 + static_cast<size_t>(ReadLE32(run.data() + offset + 4));
    }
}

TEST(ProtocolDoc, EveryWireExampleHappensAsWritten)
{
    const std::string doc = std::string(KESTRAD_SOURCE_DIR) + "/docs/protocol.md";
    const std::vector<Block> blocks = ParseWireBlocks(doc);
    ASSERT_GE(blocks.size(), 5u) << "no worked examples found in " << doc;

    testsupport::Peer peer;
    testsupport::Server server(testsupport::UsbEntry() +
                                   "\t<usb name=\"JLINK\" idvendor=\"0x1366\" idproduct=\"0x0101\" "
                                   "frequency=\"12MHZ\"/>\n" +
                                   testsupport::NetworkEntry("SIM", peer.port),
                               "ezusb,serial=K1;jlink,serial=J1,chain=0x4BA00477:4");

    std::set<uint32_t> codes;
    for (const Block& block : blocks) {
        SCOPED_TRACE(doc + ":" + std::to_string(block.line));
        ClientOptions options;
        options.checkGreeting = false;
        options.replyTimeout = std::chrono::seconds(5);
        CClient client(server.Address(), options);
        for (const Step& step : block.steps) {
            SCOPED_TRACE("example line " + std::to_string(step.line));
            switch (step.kind) {
            case Step::Send:
                CollectCodes(step.bytes, codes);
                client.SendRaw(step.bytes.data(), step.bytes.size());
                break;
            case Step::Expect: {
                // Read whole replies until as many bytes as expected arrived.
                std::vector<uint8_t> got;
                while (got.size() < step.bytes.size()) {
                    kestrad::client::Reply reply = client.ReadReply();
                    uint8_t header[8];
                    WriteLE32(header, reply.status);
                    WriteLE32(header + 4, static_cast<uint32_t>(reply.body.size()));
                    got.insert(got.end(), header, header + 8);
                    got.insert(got.end(), reply.body.begin(), reply.body.end());
                }
                ASSERT_EQ(Hex(got), Hex(step.bytes)) << "server sent (first line) / document says (second)";
                break;
            }
            case Step::Nothing:
                EXPECT_FALSE(client.DataWithin(std::chrono::milliseconds(300))) << "the server answered";
                break;
            case Step::Closed:
                EXPECT_TRUE(client.ServerClosedWithin(std::chrono::seconds(5)))
                    << "the server kept the connection open";
                break;
            }
        }
    }
    for (uint32_t code = 1; code <= CMD_RAW_SEQUENCE; ++code)
        EXPECT_TRUE(codes.count(code)) << "no worked example of command " << code;
}

}  // namespace
