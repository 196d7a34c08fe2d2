// The real kestrad-sim program over a real socket: greeting, scans, serving
// connections one after the other, the connection limit and the faults.
#include "tests/support/Process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

using namespace std::chrono_literals;

namespace {

class Connection {
public:
    explicit Connection(int port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~Connection()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool Ok() const { return m_fd >= 0; }
    void Send(const std::string& text) { ASSERT_EQ(::send(m_fd, text.data(), text.size(), MSG_NOSIGNAL), (ssize_t)text.size()); }

    // The next line with its CR LF; "" at end of stream; "<timeout>" when
    // nothing complete arrives within `limit`.
    std::string ReadLine(std::chrono::milliseconds limit = 10s)
    {
        for (;;) {
            const size_t lf = m_buf.find('\n');
            if (lf != std::string::npos) {
                std::string line = m_buf.substr(0, lf + 1);
                m_buf.erase(0, lf + 1);
                return line;
            }
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0)
                return "<timeout>";
            char buf[4096];
            const ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
            if (n <= 0) {
                std::string rest = m_buf;
                m_buf.clear();
                return rest;
            }
            m_buf.append(buf, static_cast<size_t>(n));
        }
    }

private:
    int m_fd = -1;
    std::string m_buf;
};

struct Sim {
    explicit Sim(std::vector<std::string> args)
        : process(testsupport::ProgramPath("kestrad-sim"), args, {}, dir.Path())
    {
        const std::string marker = "listening on port ";
        testsupport::WaitFor([&] {
            const std::string out = process.Stdout();
            const size_t at = out.find(marker);
            if (at != std::string::npos && out.find('\n', at) != std::string::npos)
                port = std::atoi(out.c_str() + at + marker.size());
            return port > 0 || !process.Running();
        });
    }
    testsupport::TempDir dir;
    testsupport::Process process;
    int port = 0;
};

}  // namespace

TEST(PeerProgram, ServesConnectionsOneAfterTheOther)
{
    testsupport::TempDir images;
    const std::string image = images.File("image.bin");
    testsupport::WriteFile(image, std::string("\x11\x22\x33\x44", 4));
    const std::string trace = images.File("trace.log");
    Sim sim({"--port", "0", "--max-connections", "2", "--memory", image + "@0x1000", "--trace", trace,
             "--chain", "0x4BA00477:4+bypass:5"});
    ASSERT_GT(sim.port, 0) << sim.process.Stderr();
    {
        Connection c(sim.port);
        ASSERT_TRUE(c.Ok());
        EXPECT_NE(c.ReadLine(), "");
        EXPECT_EQ(c.ReadLine(), "protocol RTL_JTAGdemo-0.1\r\n");
        c.Send("reset\r\n");
        EXPECT_EQ(c.ReadLine(), "ok\r\n");
        c.Send("wrIR 0x1ff\n");  // bare LF accepted too
        EXPECT_EQ(c.ReadLine(), "ok 0x11\r\n");
        c.Send("dump 0x1000 0xf\r\nwrite_mem 0000cafe //00002000\r\n");
        EXPECT_EQ(c.ReadLine(), "44332211 00000000 00000000 00000000 \r\n");
        EXPECT_EQ(c.ReadLine(), "ok\r\n");
        EXPECT_EQ(c.ReadLine(), "ok\r\n");
    }
    {
        // The second connection waits for the first to close, then starts
        // from reset with the memory as the first one left it.
        Connection c(sim.port);
        ASSERT_TRUE(c.Ok());
        c.ReadLine();
        EXPECT_EQ(c.ReadLine(), "protocol RTL_JTAGdemo-0.1\r\n");
        c.Send("wrDR 0x0 33\r\n");
        EXPECT_EQ(c.ReadLine(), "ok 0x4ba00477\r\n") << "IDCODE, then the BYPASS zero";
        c.Send("dump 0x2000 0x3\r\n");
        EXPECT_EQ(c.ReadLine(), "0000cafe 00000000 00000000 00000000 \r\n");
        EXPECT_EQ(c.ReadLine(), "ok\r\n");
    }
    EXPECT_EQ(sim.process.Wait(10s), 0) << "exits after --max-connections";
    const std::string log = testsupport::ReadFile(trace);
    EXPECT_NE(log.find("> wrIR 0x1ff\n< ok 0x11\n"), std::string::npos) << log;
}

TEST(PeerProgram, FaultsOnRequest)
{
    Sim sim({"--dsp", "--fault", "garbage=wait", "--fault", "close-mid-reply=run:2", "--fault", "stall=save"});
    ASSERT_GT(sim.port, 0) << sim.process.Stderr();
    {
        Connection c(sim.port);
        c.ReadLine();
        EXPECT_EQ(c.ReadLine(), "protocol Standalone_DSP_Cluster-0.1\r\n");
        c.Send("wait 10\r\n");
        const std::string garbage = c.ReadLine();
        EXPECT_NE(garbage.compare(0, 2, "ok"), 0) << garbage;
        EXPECT_EQ(garbage.substr(garbage.size() - 2), "\r\n");
        c.Send("run 5\r\n");
        EXPECT_EQ(c.ReadLine(), "ok\r\n") << "only the second run fails";
        c.Send("run 5\r\n");
        EXPECT_EQ(c.ReadLine(), "o") << "half a line, then the connection ends";
    }
    {
        Connection c(sim.port);
        c.ReadLine();
        c.ReadLine();
        c.Send("save point\r\n");
        EXPECT_EQ(c.ReadLine(300ms), "<timeout>");
    }
    EXPECT_TRUE(sim.process.Running());
    sim.process.Kill();
}

TEST(PeerProgram, RejectsOverlongLinesAndBadOptions)
{
    Sim sim({"--max-connections", "1"});
    ASSERT_GT(sim.port, 0);
    {
        Connection c(sim.port);
        c.ReadLine();
        c.ReadLine();
        const std::string chunk(64 * 1024, 'a');
        for (int i = 0; i < 17; ++i)
            c.Send(chunk);
        const std::string reply = c.ReadLine();
        EXPECT_EQ(reply.compare(0, 7, "error: "), 0) << reply;
        EXPECT_EQ(c.ReadLine(), "") << "connection dropped";
    }
    EXPECT_EQ(sim.process.Wait(10s), 0);

    testsupport::TempDir dir;
    testsupport::Process bad(testsupport::ProgramPath("kestrad-sim"), {"--chain", "0x4BA00476"}, {}, dir.Path());
    EXPECT_EQ(bad.Wait(10s), 2);
    EXPECT_NE(bad.Stderr().find("0x4BA00476"), std::string::npos) << bad.Stderr();
}
