// The remote_bitbang bridge: clock edges collected into raw sequences.
//
// Two threads per client. The reader drains the client's socket as fast as
// bytes come, parses them and queues the steps; whenever the socket has
// nothing more to give it cuts the sequence being collected (the input went
// quiet). The runner takes everything queued at once, joins neighbouring
// sequences into one command, runs it on the adapter and sends the 'R'
// answers. So a sequence goes out when its answers are due (OpenOCD has sent
// its batch of 'R' and waits), when the input pauses, or when it reaches
// options.maxSequenceBits; and while one command runs, the next collects.
//
// The reader never waits for the adapter: OpenOCD writes to a non-blocking
// socket and gives up when the bridge stops reading (a long RUNTEST sends
// two bytes per clock without waiting for anything). What it queues is
// bounded (kQueueLimit); past that it stops reading until the runner
// catches up (in clocks, and in steps: a client may send nothing but resets
// or samples).
#include "client/bridge/BitbangProtocol.h"
#include "client/bridge/Bridge.h"
#include "client/bridge/BridgeIo.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace kestrad::bridge {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kQueueLimit = 64ull << 20;  // bits queued before the reader waits
constexpr size_t kQueueSteps = 1u << 16;       // steps queued before the reader waits
constexpr size_t kReadSize = 256 * 1024;
constexpr size_t kFeedSlice = 4096;
constexpr size_t kClientBlock = 512;           // OpenOCD's write buffer
constexpr std::chrono::microseconds kLinger{300};

// The reset lines as the bridge last set them, kept across clients (true =
// released, as after the adapter was opened).
struct Lines {
    bool trst = true;
    bool srst = true;
};

class CBitbangClient {
public:
    CBitbangClient(CTarget& target, CConnection& connection, const BridgeOptions& options, Lines& lines)
        : m_target(target), m_connection(connection), m_options(options), m_lines(lines),
          m_parser(options.maxSequenceBits)
    {
    }

    // Serves until the client leaves, fails, or the bridge stops; returns
    // why it ended.
    std::string Serve(CListener& listener, BridgeReport& report)
    {
        std::thread runner([this] { RunSteps(); });
        std::string why = Read(listener, report);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_readerDone = true;
        }
        m_wake.notify_all();
        runner.join();
        if (!m_failure.empty())
            why = m_failure;
        if (m_fatal)
            std::rethrow_exception(m_fatal);
        return why;
    }

    uint64_t Bits() const { return m_bits; }
    uint64_t Samples() const { return m_samples; }

private:
    // ---- reader ----

    std::string Read(CListener& listener, BridgeReport& report)
    {
        std::vector<uint8_t> buffer(kReadSize);
        std::vector<BitbangStep> steps;
        Clock::time_point quietSince = Clock::now();
        for (;;) {
            if (m_options.stop())
                return "the bridge stops";
            if (Failed())
                return std::string();
            const Wake wake = WaitForEither(m_connection.Fd(), listener.Fd(), m_parser.WaitingSamples() ? 20ms : 100ms);
            if (wake.listener)
                report.refused += RefuseWaiting(listener, m_connection.Peer(), m_options);
            if (!wake.client) {
                // An 'R' whose edge never comes: the client waits for the
                // answer before it clocks (OpenOCD before 0.11). Guessing
                // the bit would give it wrong data.
                if (m_parser.WaitingSamples() && Clock::now() - quietSince > m_options.edgeWait)
                    return "dropped: it waits for a TDO sample before it clocks that bit, which this "
                           "bridge cannot answer (OpenOCD 0.11 or later sends the edge first)";
                continue;
            }
            // Everything that is there now, then the cut: the input is quiet.
            for (;;) {
                size_t got = 0;
                const CConnection::Read read = m_connection.ReadSome(buffer.data(), buffer.size(), got);
                if (read == CConnection::Read::Data) {
                    // In slices, so what one read makes the parser give out
                    // stays small before the queue's bounds apply to it.
                    for (size_t at = 0; at < got && !m_parser.Done(); at += kFeedSlice) {
                        m_parser.Feed(buffer.data() + at, std::min(kFeedSlice, got - at), steps);
                        Queue(steps);
                    }
                    if (m_parser.Done())
                        return std::string();
                    if (got == buffer.size())
                        continue;
                    // OpenOCD writes in 512-byte blocks and sends the rest of
                    // a batch of 'R' right behind a full one before it waits:
                    // a moment's wait after whole blocks lets the batch go to
                    // the adapter as one sequence, one round trip.
                    if (got % kClientBlock == 0 && WaitReadable(m_connection.Fd(), kLinger))
                        continue;
                    m_parser.Flush(steps);
                    Queue(steps);
                    quietSince = Clock::now();
                    break;
                }
                m_parser.Flush(steps);
                Queue(steps);
                if (read == CConnection::Read::Nothing)
                    break;
                if (read == CConnection::Read::End)
                    return "disconnected";
                return "dropped: " + m_connection.Error();
            }
        }
    }

    bool Failed()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return !m_failure.empty() || m_fatal;
    }

    void Queue(std::vector<BitbangStep>& steps)
    {
        if (steps.empty())
            return;
        std::unique_lock<std::mutex> lock(m_mutex);
        m_full.wait(lock, [&] {
            return (m_queuedBits < kQueueLimit && m_queue.size() < kQueueSteps) || !m_failure.empty() || m_fatal ||
                   m_options.stop();
        });
        for (BitbangStep& step : steps) {
            m_queuedBits += step.bits;
            m_queue.push_back(std::move(step));
        }
        steps.clear();
        lock.unlock();
        m_wake.notify_one();
    }

    // ---- runner ----

    void RunSteps()
    {
        std::deque<BitbangStep> steps;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_wake.wait(lock, [&] { return !m_queue.empty() || m_readerDone; });
                if (m_queue.empty())
                    return;
                steps.swap(m_queue);
                m_queuedBits = 0;
            }
            m_full.notify_all();
            std::string failure;
            try {
                failure = RunAll(steps);
            } catch (const client::ServerError& e) {
                failure = std::string("dropped: the adapter failed: ") + e.what();
            } catch (...) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_fatal = std::current_exception();
            }
            steps.clear();
            if (!failure.empty() || m_fatal) {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (!failure.empty())
                    m_failure = failure;
                m_queue.clear();
                m_full.notify_all();
                return;
            }
        }
    }

    // Runs steps in order; a non-empty result ends the client.
    std::string RunAll(std::deque<BitbangStep>& steps)
    {
        while (!steps.empty()) {
            BitbangStep& step = steps.front();
            switch (step.kind) {
            case BitbangStep::Kind::Sequence: {
                std::string failure = Sequences(steps);
                if (!failure.empty())
                    return failure;
                continue;  // Sequences took its steps off the front
            }
            case BitbangStep::Kind::Reset:
                // TRST pauses on the server (the line settles), so only a
                // change of level is sent.
                if (m_lines.trst != !step.trst) {
                    m_target.SetTrst(!step.trst);
                    m_lines.trst = !step.trst;
                }
                if (m_lines.srst != !step.srst) {
                    m_target.SetSysRst(!step.srst);
                    m_lines.srst = !step.srst;
                }
                break;
            case BitbangStep::Kind::Sleep: {
                const auto until = Clock::now() + std::chrono::microseconds(step.microseconds);
                while (Clock::now() < until && !m_options.stop())
                    std::this_thread::sleep_for(std::min<Clock::duration>(until - Clock::now(), 100ms));
                break;
            }
            case BitbangStep::Kind::Quit:
                return "quit";
            case BitbangStep::Kind::Error:
                return "dropped: " + step.error;
            }
            steps.pop_front();
        }
        return std::string();
    }

    // Joins the sequences at the front into one command, runs it and
    // answers their samples.
    std::string Sequences(std::deque<BitbangStep>& steps)
    {
        std::vector<uint8_t> tms, tdi;
        std::vector<int64_t> samples;
        uint64_t bits = 0;
        bool joined = false;
        while (!steps.empty() && steps.front().kind == BitbangStep::Kind::Sequence &&
               (bits == 0 || bits + steps.front().bits <= m_options.maxSequenceBits)) {
            BitbangStep& s = steps.front();
            for (int32_t index : s.samples)
                samples.push_back(index < 0 ? static_cast<int64_t>(bits) - 1 : static_cast<int64_t>(bits) + index);
            if (bits == 0 && !joined) {
                tms = std::move(s.tms);
                tdi = std::move(s.tdi);
            } else {
                AppendBits(tms, bits, s.tms, s.bits);
                AppendBits(tdi, bits, s.tdi, s.bits);
            }
            bits += s.bits;
            joined = true;
            steps.pop_front();
        }
        std::vector<uint8_t> tdo;
        if (bits)
            tdo = m_target.Sequence(tms, tdi, static_cast<uint32_t>(bits));
        std::string answers;
        answers.reserve(samples.size());
        for (int64_t index : samples)
            answers += (index < 0 ? m_lastTdo : BitAt(tdo, static_cast<uint64_t>(index))) ? '1' : '0';
        if (bits)
            m_lastTdo = BitAt(tdo, bits - 1);
        m_bits += bits;
        m_samples += samples.size();
        if (!answers.empty() &&
            !m_connection.SendAll(reinterpret_cast<const uint8_t*>(answers.data()), answers.size(),
                                  m_options.sendTimeout))
            return "cannot answer: " + m_connection.Error();
        return std::string();
    }

    CTarget& m_target;
    CConnection& m_connection;
    const BridgeOptions& m_options;
    Lines& m_lines;
    CBitbangParser m_parser;

    std::mutex m_mutex;
    std::condition_variable m_wake;  // the runner: steps queued, or the reader is done
    std::condition_variable m_full;  // the reader: room in the queue
    std::deque<BitbangStep> m_queue;
    uint64_t m_queuedBits = 0;
    bool m_readerDone = false;
    std::string m_failure;          // ends this client
    std::exception_ptr m_fatal;     // ends the bridge (the kestrad connection failed)

    bool m_lastTdo = true;  // before any edge: an undriven TDO reads high
    uint64_t m_bits = 0, m_samples = 0;
};

}  // namespace

BridgeReport RunBitbangBridge(CTarget& target, CListener& listener, const BridgeOptions& options)
{
    BridgeReport report;
    Lines lines;
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
        options.log("client " + peer + " connected");
        CBitbangClient client(target, connection, options, lines);
        const std::string why = client.Serve(listener, report);
        report.bits += client.Bits();
        options.log("client " + peer + " " + why + " (" + std::to_string(client.Bits()) + " bits, " +
                    std::to_string(client.Samples()) + " TDO samples)");
    }
    return report;
}

}  // namespace kestrad::bridge
