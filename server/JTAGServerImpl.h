// CJTAGServerImpl<Protocol>: the server over one transport (TCP or the local
// endpoint). It owns the option table, the logger, the adapter holder, the
// configuration, the I/O service, the acceptor, the live sessions and the
// worker threads. Exactly one registered session is waiting for a client at
// any time; a worker thread is added whenever there are fewer threads than
// registered sessions, so a session blocked on a slow adapter never holds up
// the others.
#pragma once

#include <asio.hpp>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "JTAG/JTAGHolder.h"
#include "JTAG/JTAGServer.h"
#include "config/Description.h"
#include "log/Logger.h"
#include "log/Options.h"
#include "log/StreamContainer.h"
#include "server/DebugSession.h"
#include "server/LocalTransport.h"
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
          m_holder(*this),
          m_service(service),
          m_endpoint(endpoint),
          m_idleTimeout(idleTimeout)
    {
        MakeAcceptor(ec);
    }

    ~CJTAGServerImpl() override { Shutdown(); }

    void Init() override
    {
        const std::string path = getLogDirPath() + "kestrad.log";
        if (m_streams->getStreamId(CStream::File, path) == CStreamContainer::NoStream) {
            const int id = m_streams->initFStream(path, 0xFFFFFFFFu, std::ios_base::out | std::ios_base::trunc);
            m_logger.AddOutputStream(m_streams->getStreamHandler(id));
            m_logger.AddErrorStream(m_streams->getStreamHandler(id));
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
        NewSession();
        for (;;)
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }

    COptions<bool>& Options() override { return m_options; }
    CLogger& Logger() override { return m_logger; }
    CDescription& Description() override { return m_description; }
    CJTAGHolder& Holder() { return m_holder; }
    std::shared_ptr<asio::io_context> Service() { return m_service; }
    std::chrono::milliseconds IdleTimeout() const { return m_idleTimeout; }

    // What Start() does before it sleeps: start the first accept. Errors in
    // making the listener leave here on the calling thread. For tests that
    // serve from their own process.
    void StartAccepting() { NewSession(); }

    void SessionEnded(std::shared_ptr<Session> session)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sessions.erase(session);
    }

    // Number of worker threads started so far (they are never removed).
    size_t ThreadCount()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_threads.size();
    }
    size_t SessionCount()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sessions.size();
    }

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
        m_threadsDone.wait_for(lock, std::chrono::seconds(30), [this] { return m_running == 0; });
        if (m_acceptor)
            Traits::Close(*m_acceptor);
        for (const auto& session : m_sessions) {
            std::error_code ignored;
            session->Socket().close(ignored);
        }
        m_sessions.clear();
        lock.unlock();
        // Handlers that never ran still hold sessions; run them down here.
        m_service->restart();
        m_service->poll();
    }

private:
    void MakeAcceptor(std::error_code& ec) { m_acceptor = Traits::MakeAcceptor(*m_service, m_endpoint, ec); }

    void NewSession()
    {
        m_logger.LogVerb("%s\n", __PRETTY_FUNCTION__);
        std::shared_ptr<Session> session;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            session = std::make_shared<Session>(m_service, *this, ++m_sessionCounter);
            m_sessions.insert(session);
        }
        // The handler keeps the session alive while the accept is pending.
        m_acceptor->async_accept(session->Socket(), [this, session](const std::error_code& ec) {
            HandleAccept(session, ec);
        });
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_threads.size() < m_sessions.size() && !m_stopped) {
            ++m_running;
            auto thread = std::make_shared<std::thread>(&CJTAGServerImpl::ThreadFunc, this, m_service);
            thread->detach();
            m_threads.push_back(thread);
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
        Traits::Accepted(session->Socket());
        m_logger.Log("Session:%d: A new session started.\n", session->getIdSession());
        session->Reply(std::make_shared<CReplyVersion>());
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

    void ThreadFunc(std::shared_ptr<asio::io_context> service)
    {
        m_logger.LogVerb("Thread started.\n");
        for (;;) {
            try {
                service->run();
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
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_running;
        m_threadsDone.notify_all();
    }

    COptions<bool> m_options;
    CStreamContainer* m_streams;
    CLogger m_logger;
    CJTAGHolder m_holder;
    CDescription m_description;
    std::shared_ptr<asio::io_context> m_service;
    std::shared_ptr<Acceptor> m_acceptor;
    std::set<std::shared_ptr<Session>> m_sessions;
    std::vector<std::shared_ptr<std::thread>> m_threads;
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
