// CJTAGServerImpl<Protocol>: the server over one transport (TCP or the local
// endpoint). It owns the option table, the logger, the adapter holder, the
// configuration, the I/O service, the acceptor, the live sessions and the
// threads. Exactly one registered session is waiting for a client at any
// time. One thread runs the I/O service, which does nothing but accept; each
// accepted session gets a thread of its own that runs the session's own I/O
// context and leaves when the session ends, so a session blocked on a slow
// adapter never holds up the others, its handlers never move between
// threads, and the threads follow the live sessions. Connections beyond
// MaxSessions() are refused.
#pragma once

#include <asio.hpp>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "JTAG/Sources.h"
#include "JTAG/core/JTAGHolder.h"
#include "base/Printable.h"
#include "config/Description.h"
#include "log/Logger.h"
#include "log/Options.h"
#include "log/StreamContainer.h"
#include "server/BufferBudget.h"
#include "server/DebugSession.h"
#include "server/JTAGServer.h"
#include "server/LocalTransport.h"
#include "server/LogThrottle.h"
#include "server/TransportTraits.h"
#include "wire/Packets.h"

template <typename Protocol>
class CJTAGServerImpl : public CJTAGServer {
public:
    using Session = CDebugSession<Protocol>;
    using Traits = TransportTraits<Protocol>;
    using Acceptor = typename Traits::Acceptor;
    using Endpoint = typename Traits::Endpoint;

    // How long a session waits for a command's bytes before it gives up.
    static constexpr std::chrono::milliseconds kIdleTimeout{10000};

    CJTAGServerImpl(const Endpoint& endpoint, std::shared_ptr<asio::io_context>& service,
                    std::error_code& ec, std::chrono::milliseconds idleTimeout = kIdleTimeout)
        : m_options{{OPTION_OUTPUT, "output", "Logger output", true},
                    {OPTION_VERBOSE, "verbose", "Verbose mode", true},
                    {OPTION_OUTBUF, "outbuf", "Log buffer", false},
                    {OPTION_SAVEPOINTS, "savepoints", "RTL model savepoints mode", false}},
          m_streams(CStreamContainer::getInstance()),
          m_logger(m_options, m_streams),
          m_holder(AdapterContext{m_logger, m_description, [this] { return m_options[OPTION_SAVEPOINTS].value; }, nullptr},
                   DefaultSources()),
          m_service(service),
          m_endpoint(endpoint),
          m_idleTimeout(idleTimeout)
    {
        if (const char* text = std::getenv("KESTRAD_MAX_SESSIONS")) {
            char* end = nullptr;
            const unsigned long n = std::strtoul(text, &end, 10);
            if (*text != '\0' && *end == '\0' && n > 0 && n <= 100000)
                SetMaxSessions(static_cast<unsigned int>(n));
            else
                m_logger.LogError("KESTRAD_MAX_SESSIONS='%s' is not a number from 1 to 100000; using %u.\n",
                                  text, m_maxSessions.load());
        }
        SetMaxSessionsPerSource(static_cast<unsigned int>(
            EnvNumber("KESTRAD_MAX_SESSIONS_PER_SOURCE", 1, 100000, kDefaultMaxSessionsPerSource)));
        if (const char* text = std::getenv("KESTRAD_BUFFER_MIB")) {
            char* end = nullptr;
            const unsigned long n = std::strtoul(text, &end, 10);
            if (*text != '\0' && *end == '\0' && n >= 1 && n <= (1ul << 20))
                m_budget.SetLimit(static_cast<size_t>(n) << 20);
            else
                m_logger.LogError("KESTRAD_BUFFER_MIB='%s' is not a number from 1 to 1048576; using %u.\n",
                                  text, static_cast<unsigned>(m_budget.Limit() >> 20));
        }
        MakeAcceptor(ec);
    }

    ~CJTAGServerImpl() override { Shutdown(); }

    void Init() override
    {
        const std::string path = getLogDirPath() + "kestrad.log";
        if (m_streams->getStreamId(CStream::File, path) == CStreamContainer::NoStream) {
            // Appended to, so that a restart (after a crash, say) keeps what
            // the run before it logged.
            const int id = m_streams->initFStream(path, LogFileLimit(), std::ios_base::out | std::ios_base::app);
            if (id == CStreamContainer::NoStream) {
                // Said once; the server serves all the same, logging to the
                // console alone.
                m_logger.LogError("Can't open log file %s: %s. Logging to the console only.\n",
                                  Printable(path).c_str(), m_streams->lastOpenError().c_str());
            } else {
                m_streams->setKeptFiles(id, LogFilesKept());
                m_logger.AddOutputStream(m_streams->getStreamHandler(id));
                m_logger.AddErrorStream(m_streams->getStreamHandler(id));
            }
        }
        try {
            m_description.LoadFromXML("");
        } catch (const std::exception&) {
            m_logger.LogVerb("Error loading kestrad.xml\n");
            throw;
        }
    }

    void Start() override
    {
        m_logger.LogVerb("%s\n", __PRETTY_FUNCTION__);
        m_logger.Log("At most %u sessions at a time, %u MiB for their command and reply buffers.\n",
                     MaxSessions(), static_cast<unsigned>(m_budget.Limit() >> 20));
        m_logger.Log("At most %u sessions from one client address (TCP) or user (local endpoint).\n",
                     MaxSessionsPerSource());
        NewSession();
        // Scripts and service managers learn here where to connect (the port
        // the system chose when 0 was asked for).
        m_logger.Log("Listening on %s.\n", EndpointText().c_str());
        bool warning = false;
        const std::string access = Traits::AccessNote(*m_acceptor, &warning);
        if (warning)
            m_logger.LogError("%s\n", access.c_str());
        else if (!access.empty())
            m_logger.Log("%s\n", access.c_str());
        for (;;)
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }

    COptions<bool>& Options() override { return m_options; }
    CLogger& Logger() override { return m_logger; }
    CDescription& Description() override { return m_description; }
    CJTAGHolder& Holder() { return m_holder; }
    // Bytes of command bodies and replies all sessions may hold at once
    // (KESTRAD_BUFFER_MIB sets it for the program).
    CBufferBudget& Budget() { return m_budget; }

    // How long a session waits for its client to take a piece of a reply
    // before it ends the session.
    std::chrono::milliseconds ReplyTimeout() const { return m_replyTimeout; }
    void SetReplyTimeout(std::chrono::milliseconds limit) { m_replyTimeout = limit; }
    std::shared_ptr<asio::io_context> Service() { return m_service; }
    std::chrono::milliseconds IdleTimeout() const { return m_idleTimeout; }

    // What Start() does before it sleeps: start the first accept. Errors in
    // making the listener leave here on the calling thread. For tests that
    // serve from their own process.
    void StartAccepting() { NewSession(); }

    // The session's thread leaves once the session has nothing more to do.
    void SessionEnded(std::shared_ptr<Session> session)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_sessions.erase(session) == 0 || session->Source().empty())
            return;
        auto counted = m_perSource.find(session->Source());
        if (counted != m_perSource.end() && --counted->second == 0)
            m_perSource.erase(counted);
    }

    // Number of threads running: the accepting one and one per live session.
    size_t ThreadCount()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<size_t>(m_running);
    }

    // Most client sessions served at once; a connection beyond them is
    // closed at once with a log line. KESTRAD_MAX_SESSIONS sets it for the
    // program; the default keeps threads and descriptors well inside the
    // usual per-process limits.
    static constexpr unsigned int kDefaultMaxSessions = 512;
    unsigned int MaxSessions() const { return m_maxSessions; }
    void SetMaxSessions(unsigned int n) { m_maxSessions = std::max(1u, n); }
    size_t SessionCount()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sessions.size();
    }

    // Most sessions of one source (a client address for TCP, a user for the
    // local endpoint), so that one client cannot take every session:
    // KESTRAD_MAX_SESSIONS_PER_SOURCE sets it for the program.
    static constexpr unsigned int kDefaultMaxSessionsPerSource = 64;
    unsigned int MaxSessionsPerSource() const { return m_maxPerSource; }
    void SetMaxSessionsPerSource(unsigned int n) { m_maxPerSource = std::max(1u, n); }

    // Endpoint the acceptor is bound to (for TCP the port the system chose);
    // for the local transport, the socket path.
    std::string EndpointText() const { return Traits::EndpointText(*m_acceptor); }

    // Stops serving and waits for the worker threads to leave the I/O
    // service. The program itself never stops; tests that build servers in
    // process do, so that nothing outlives the server it refers to.
    void Shutdown()
    {
        if (m_stopped.exchange(true))
            return;
        // Stop the workers first: once none runs, nothing else touches the
        // acceptor or the sessions' streams, and they can be closed here.
        m_work.reset();
        m_service->stop();
        std::unique_lock<std::mutex> lock(m_mutex);
        for (const auto& session : m_sessions)
            session->Context().stop();
        m_threadsDone.wait_for(lock, std::chrono::seconds(30), [this] { return m_running == 0; });
        if (m_acceptor)
            Traits::Close(*m_acceptor);
        std::vector<std::shared_ptr<Session>> sessions(m_sessions.begin(), m_sessions.end());
        for (const auto& session : sessions) {
            std::error_code ignored;
            session->Socket().close(ignored);
        }
        m_sessions.clear();
        lock.unlock();
        // Handlers that never ran still hold sessions; run them down here.
        m_service->restart();
        m_service->poll();
        for (const auto& session : sessions) {
            session->Context().restart();
            session->Context().poll();
        }
    }

private:
    // A positive whole number from the environment variable `name`, at most
    // `most`; `fallback` (with an error line) when it is set to anything else.
    unsigned long EnvNumber(const char* name, unsigned long least, unsigned long most, unsigned long fallback)
    {
        const char* text = std::getenv(name);
        if (text == nullptr)
            return fallback;
        char* end = nullptr;
        const unsigned long n = std::strtoul(text, &end, 10);
        if (*text != '\0' && *end == '\0' && n >= least && n <= most)
            return n;
        m_logger.LogError("%s='%s' is not a number from %lu to %lu; using %lu.\n", name, Printable(text).c_str(),
                          least, most, fallback);
        return fallback;
    }

    // Size at which the log file rolls over to the next numbered file:
    // KESTRAD_LOG_MIB, else (and for 4096) the largest 32-bit size.
    unsigned int LogFileLimit()
    {
        const unsigned long mib = EnvNumber("KESTRAD_LOG_MIB", 1, 4096, 4096);
        return mib >= 4096 ? 0xFFFFFFFFu : static_cast<unsigned int>(mib << 20);
    }

    // Numbered log files kept beside kestrad.log: KESTRAD_LOG_FILES, else
    // kDefaultLogFiles, so that a busy or flooded log cannot fill the disk.
    static constexpr unsigned int kDefaultLogFiles = 4;
    unsigned int LogFilesKept()
    {
        return static_cast<unsigned int>(EnvNumber("KESTRAD_LOG_FILES", 1, 100000, kDefaultLogFiles));
    }

    void MakeAcceptor(std::error_code& ec) { m_acceptor = Traits::MakeAcceptor(*m_service, m_endpoint, ec); }

    void NewSession()
    {
        m_logger.LogVerb("%s\n", __PRETTY_FUNCTION__);
        std::shared_ptr<Session> session;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            session = std::make_shared<Session>(*this, ++m_sessionCounter);
            m_sessions.insert(session);
        }
        // The handler keeps the session alive while the accept is pending.
        m_acceptor->async_accept(session->Socket(), [this, session](const std::error_code& ec) {
            HandleAccept(session, ec);
        });
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_accepting && !m_stopped) {
            try {
                std::thread(&CJTAGServerImpl::ThreadFunc, this, m_service).detach();
                ++m_running;
                m_accepting = true;
            } catch (const std::exception& e) {
                // Tried again with the next accept.
                m_logger.LogError("Can't start a worker thread: %s\n", e.what());
            }
        }
    }

    void HandleAccept(std::shared_ptr<CDebugSession<Protocol>> session, const asio::error_code& ec)
    {
        m_logger.LogVerb("%s\n", Traits::HandleAcceptSignature());
        if (ec) {
            m_logger.LogError("Session:%d: Error accepting connection %d: %s.\n",
                              session->getIdSession(), ec.value(), ec.message().c_str());
            // Nothing will ever run this session: drop it rather than keep a
            // dead entry (and a worker thread per failed accept).
            SessionEnded(session);
            // A failed accept usually fails again at once (no descriptor
            // left, the connection still queued): wait before the next one,
            // 100 ms doubling to 1 s, so the error is logged once per wait
            // instead of spinning. The first accept that works resets it.
            m_acceptBackoff = m_acceptBackoff.count() == 0
                                  ? kFirstAcceptBackoff
                                  : std::min(m_acceptBackoff * 2, kLastAcceptBackoff);
            StartNextAcceptAfter(session->getIdSession(), m_acceptBackoff);
            return;
        }
        m_acceptBackoff = std::chrono::milliseconds(0);
        const std::string id = "Session:" + std::to_string(session->getIdSession()) + ": Refused: ";
        if (LiveSessions() > m_maxSessions) {
            Refuse(session, id + std::to_string(m_maxSessions.load()) + " sessions are running, the most allowed.\n");
            return;
        }
        const std::string source = Traits::Source(session->Socket());
        if (!CountSource(session, source)) {
            Refuse(session, id + std::to_string(m_maxPerSource.load()) + " sessions of " + Printable(source) +
                                " are running, the most allowed for one client.\n");
            return;
        }
        if (const unsigned held = m_refusals.TakeHeld())
            m_logger.LogError("Refused %u more connections since the last such line.\n", held);
        try {
            Traits::Accepted(session->Socket());
            m_logger.Log("Session:%d: A new session started.\n", session->getIdSession());
            session->Start(std::make_shared<CReplyVersion>());
            StartSessionThread(session);
        } catch (const std::exception& e) {
            // Out of memory for the greeting: this client goes, the server
            // goes on accepting.
            m_logger.LogError("Session:%d: Exception occured: %s\n", session->getIdSession(),
                              Printable(e.what()).c_str());
            std::error_code ignored;
            session->Socket().close(ignored);
            SessionEnded(session);
        }
        StartNextAccept(session->getIdSession());
    }

    // Counts the session against its source's cap; false when the source
    // already has the most sessions allowed.
    bool CountSource(const std::shared_ptr<Session>& session, const std::string& source)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        unsigned int& count = m_perSource[source];
        if (count >= m_maxPerSource)
            return false;
        ++count;
        session->SetSource(source);
        return true;
    }

    // Closes a connection beyond a cap. A flood of them is logged a line a
    // second, with the count held back in between.
    void Refuse(const std::shared_ptr<Session>& session, const std::string& line)
    {
        unsigned held = 0;
        if (m_refusals.Allow(held)) {
            if (held != 0)
                m_logger.LogError("Refused %u more connections since the last such line.\n", held);
            m_logger.LogError("%s", line.c_str());
        }
        std::error_code ignored;
        session->Socket().close(ignored);
        SessionEnded(session);
        StartNextAccept(session->getIdSession());
    }

    void StartNextAcceptAfter(unsigned int afterSession, std::chrono::milliseconds delay)
    {
        auto timer = std::make_shared<asio::steady_timer>(*m_service, delay);
        timer->async_wait([this, timer, afterSession](const std::error_code& error) {
            if (!error)
                StartNextAccept(afterSession);
        });
    }

    void StartNextAccept(unsigned int afterSession)
    {
        if (m_stopped)
            return;
        try {
            NewSession();
        } catch (const std::exception& e) {
            // A worker thread has nobody to report to: log, and try again in a
            // moment; the sessions already running carry on meanwhile.
            m_logger.LogError("Session:%d: Can't start the next accept: %s. Retrying in 1 second.\n",
                              afterSession, e.what());
            StartNextAcceptAfter(afterSession, std::chrono::seconds(1));
        }
    }

    // Sessions that have a client: every registered one but the one waiting
    // for the next accept, which is started after this count is taken.
    size_t LiveSessions()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sessions.size();
    }

    // The session's thread: it runs the session's context until the session
    // has nothing left to do, then lets the session go.
    void StartSessionThread(std::shared_ptr<Session> session)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopped)
                return;
            try {
                std::thread([this, session]() mutable {
                    RunContext(session->Context());
                    session.reset();
                    ThreadDone();
                }).detach();
                ++m_running;
                return;
            } catch (const std::exception& e) {
                m_logger.LogError("Can't start a worker thread: %s\n", e.what());
            }
        }
        // Without a thread nothing would ever serve this client.
        std::error_code ignored;
        session->Socket().close(ignored);
        SessionEnded(session);
    }

    // The accepting thread.
    void ThreadFunc(std::shared_ptr<asio::io_context> service)
    {
        RunContext(*service);
        ThreadDone();
    }

    void ThreadDone()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_running;
        m_threadsDone.notify_all();
    }

    void RunContext(asio::io_context& context)
    {
        m_logger.LogVerb("Thread started.\n");
        for (;;) {
            try {
                context.run();
                break;
            } catch (const std::exception& e) {
                // A handler's exception must not end the thread or the
                // process: report it and keep serving.
                m_logger.LogError("Exception in worker thread: %s\n", e.what());
            } catch (...) {
                m_logger.LogError("Unknown exception in worker thread\n");
            }
        }
        m_logger.LogVerb("Thread ended.\n");
    }

    COptions<bool> m_options;
    CStreamContainer* m_streams;
    CLogger m_logger;
    CJTAGHolder m_holder;
    CBufferBudget m_budget;
    CDescription m_description;
    std::shared_ptr<asio::io_context> m_service;
    std::shared_ptr<Acceptor> m_acceptor;
    std::set<std::shared_ptr<Session>> m_sessions;
    // The accepting thread has been started (m_running counts it and the
    // sessions' threads while they run).
    bool m_accepting = false;
    std::atomic<unsigned int> m_maxSessions{kDefaultMaxSessions};
    std::atomic<unsigned int> m_maxPerSource{kDefaultMaxSessionsPerSource};
    // Live sessions by source; under m_mutex.
    std::map<std::string, unsigned int> m_perSource;
    // Refused connections: only the accept's own handlers touch it.
    CLogThrottle m_refusals{std::chrono::seconds(1)};
    std::atomic<std::chrono::milliseconds> m_replyTimeout{std::chrono::seconds(30)};
    Endpoint m_endpoint;
    std::chrono::milliseconds m_idleTimeout;
    unsigned int m_sessionCounter = 0;
    // Wait before the next accept after a failed one; 0 while accepts work.
    // Only the accept's own handlers touch it, and one accept is pending at
    // a time.
    static constexpr std::chrono::milliseconds kFirstAcceptBackoff{100};
    static constexpr std::chrono::milliseconds kLastAcceptBackoff{1000};
    std::chrono::milliseconds m_acceptBackoff{0};

    // Serialises changes to the session set and the thread list.
    std::mutex m_mutex;
    std::condition_variable m_threadsDone;
    int m_running = 0;
    std::atomic<bool> m_stopped{false};
    asio::executor_work_guard<asio::io_context::executor_type> m_work{m_service->get_executor()};
};
