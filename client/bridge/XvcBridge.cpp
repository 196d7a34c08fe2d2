// The XVC 1.0 bridge: one client at a time, each shift: one raw sequence.
//
// XVC is strictly question and answer (a client waits for each shift's TDO
// before it sends the next), so one thread serves: it reads what the client
// sent, runs every complete command in order and answers. Shifts that
// arrived together go to the adapter as one sequence and are answered one by
// one from its TDO.
#include "client/bridge/Bridge.h"
#include "client/bridge/BridgeIo.h"
#include "client/bridge/XvcProtocol.h"

#include <chrono>

namespace kestrad::bridge {

namespace {

using namespace std::chrono_literals;

class CXvcClient {
public:
    CXvcClient(CTarget& target, CConnection& connection, const BridgeOptions& options, uint32_t& period)
        : m_target(target), m_connection(connection), m_options(options), m_period(period),
          m_parser(options.maxVectorBytes)
    {
    }

    // Runs the actions parsed so far; false when the client is to be dropped
    // (the reason is in Why()).
    bool Run(std::vector<XvcAction>& actions)
    {
        m_answer.clear();
        size_t i = 0;
        while (i < actions.size()) {
            XvcAction& action = actions[i];
            switch (action.kind) {
            case XvcAction::Kind::GetInfo: {
                const std::string info = XvcInfoReply(m_options.maxVectorBytes);
                m_answer.insert(m_answer.end(), info.begin(), info.end());
                ++i;
                break;
            }
            case XvcAction::Kind::SetTck:
                SetTck(action.period);
                ++i;
                break;
            case XvcAction::Kind::Shift: {
                size_t j = i;
                while (j < actions.size() && actions[j].kind == XvcAction::Kind::Shift)
                    ++j;
                Shifts(actions, i, j);
                i = j;
                break;
            }
            case XvcAction::Kind::Error:
                // What came before the bad bytes is answered first.
                Send();
                m_why = action.error;
                return false;
            }
        }
        return Send();
    }

    CXvcParser& Parser() { return m_parser; }
    const std::string& Why() const { return m_why; }
    uint64_t Shifts() const { return m_shifts; }
    uint64_t Bits() const { return m_bits; }

private:
    // The clock follows the period; the answer is the period of the clock
    // asked for, since kestrad does not say what an adapter made of it. A
    // refused clock leaves the period as it was (and is logged).
    void SetTck(uint32_t period)
    {
        const uint32_t hertz = XvcPeriodToHertz(period);
        if (hertz != 0) {
            try {
                m_target.SetFrequency(hertz);
                m_period = XvcHertzToPeriod(hertz);
            } catch (const client::ServerError& e) {
                m_options.log("client " + m_connection.Peer() + ": settck: " + std::to_string(period) +
                              " ns refused: " + e.what());
            }
        }
        const auto reply = XvcPeriodReply(m_period);
        m_answer.insert(m_answer.end(), reply.begin(), reply.end());
    }

    // Shifts [first, last) as one sequence.
    void Shifts(std::vector<XvcAction>& actions, size_t first, size_t last)
    {
        uint64_t total = 0;
        for (size_t k = first; k < last; ++k)
            total += actions[k].bits;
        std::vector<uint8_t> tdo;
        if (last - first == 1) {
            XvcAction& a = actions[first];
            tdo = a.bits ? m_target.Sequence(a.tms, a.tdi, a.bits) : std::vector<uint8_t>();
        } else {
            std::vector<uint8_t> tms, tdi;
            uint64_t at = 0;
            for (size_t k = first; k < last; ++k) {
                AppendBits(tms, at, actions[k].tms, actions[k].bits);
                AppendBits(tdi, at, actions[k].tdi, actions[k].bits);
                at += actions[k].bits;
            }
            tdo = total ? m_target.Sequence(tms, tdi, static_cast<uint32_t>(total)) : std::vector<uint8_t>();
        }
        uint64_t at = 0;
        for (size_t k = first; k < last; ++k) {
            const std::vector<uint8_t> part =
                last - first == 1 ? tdo : ExtractBits(tdo, at, actions[k].bits);
            m_answer.insert(m_answer.end(), part.begin(), part.end());
            at += actions[k].bits;
        }
        m_shifts += last - first;
        m_bits += total;
    }

    bool Send()
    {
        if (m_answer.empty() || m_connection.SendAll(m_answer.data(), m_answer.size(), m_options.sendTimeout))
            return true;
        m_why = "cannot answer: " + m_connection.Error();
        return false;
    }

    CTarget& m_target;
    CConnection& m_connection;
    const BridgeOptions& m_options;
    uint32_t& m_period;
    CXvcParser m_parser;
    std::vector<uint8_t> m_answer;
    std::string m_why;
    uint64_t m_shifts = 0, m_bits = 0;
};

// The server keeps a shift that fits a vector of maxVectorBytes; a merged
// run of shifts stays far below the protocol's limit (the reads below take
// at most a few vectors at once).
constexpr size_t kReadSize = 256 * 1024;

void Serve(CTarget& target, CConnection& connection, CListener& listener, const BridgeOptions& options,
           uint32_t& period, BridgeReport& report)
{
    options.log("client " + connection.Peer() + " connected");
    CXvcClient client(target, connection, options, period);
    std::vector<uint8_t> buffer(kReadSize);
    std::vector<XvcAction> actions;
    std::string why;
    for (;;) {
        if (options.stop()) {
            why = "the bridge stops";
            break;
        }
        const Wake wake = WaitForEither(connection.Fd(), listener.Fd(), 100ms);
        if (wake.listener)
            report.refused += RefuseWaiting(listener, connection.Peer(), options);
        if (!wake.client)
            continue;
        size_t got = 0;
        const CConnection::Read read = connection.ReadSome(buffer.data(), buffer.size(), got);
        if (read == CConnection::Read::Nothing)
            continue;
        if (read == CConnection::Read::End) {
            why = client.Parser().Partial() ? "disconnected in the middle of a command" : "disconnected";
            break;
        }
        if (read == CConnection::Read::Failed) {
            why = "dropped: " + connection.Error();
            break;
        }
        actions.clear();
        client.Parser().Feed(buffer.data(), got, actions);
        try {
            if (!client.Run(actions)) {
                why = "dropped: " + client.Why();
                break;
            }
        } catch (const client::ServerError& e) {
            // XVC cannot carry an error: the client learns of it from the
            // closed connection, the log says why.
            why = std::string("dropped: the adapter failed: ") + e.what();
            break;
        }
    }
    report.bits += client.Bits();
    options.log("client " + connection.Peer() + " " + why + " (" + std::to_string(client.Shifts()) +
                " shifts, " + std::to_string(client.Bits()) + " bits)");
}

}  // namespace

BridgeReport RunXvcBridge(CTarget& target, CListener& listener, const BridgeOptions& options)
{
    BridgeReport report;
    uint32_t period = 0;  // the last period set; 0 until a client sets one
    while (!options.stop()) {
        if (!WaitReadable(listener.Fd(), 100ms)) {
            if (!options.serverAlive())
                throw client::ConnectionError("the kestrad connection closed while the bridge waited for a client");
            continue;
        }
        std::string peer;
        const int fd = listener.Accept(peer);
        if (fd < 0)
            continue;
        ++report.clients;
        CConnection connection(fd, peer);
        Serve(target, connection, listener, options, period, report);
    }
    return report;
}

}  // namespace kestrad::bridge
