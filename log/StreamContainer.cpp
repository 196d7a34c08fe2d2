#include "log/StreamContainer.h"

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

namespace {
// The standard streams live for the whole process; a stream object must
// never destroy them.
struct NoDelete {
    void operator()(std::ostream*) const {}
};
}  // namespace

// ---------------------------------------------------------------- CStream

CStream::CStream(std::shared_ptr<std::ostream> target) : m_target(std::move(target)) {}

CStream::~CStream() = default;

std::unique_ptr<CStream> CStream::createStream(Type type, std::string name, unsigned int maxSize)
{
    switch (type) {
    case StdOut:
        return std::make_unique<CStdOutStream>();
    case StdErr:
        return std::make_unique<CStdErrStream>();
    case File:
        return std::make_unique<CFileStream>(std::move(name), maxSize);
    }
    return nullptr;
}

void CStream::write(const char* data, unsigned int length)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_target)
        m_target->write(data, static_cast<std::streamsize>(length));
}

void CStream::flush()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_target)
        m_target->flush();
}

// ---------------------------------------------------------- console

namespace {
// One lock for both standard streams (see CConsoleStream).
std::mutex& ConsoleMutex()
{
    static std::mutex mutex;
    return mutex;
}
}  // namespace

CConsoleStream::CConsoleStream(std::ostream& target) : CStream(std::shared_ptr<std::ostream>(&target, NoDelete())) {}

void CConsoleStream::write(const char* data, unsigned int length)
{
    std::lock_guard<std::mutex> guard(ConsoleMutex());
    m_target->write(data, static_cast<std::streamsize>(length));
}

void CConsoleStream::flush()
{
    std::lock_guard<std::mutex> guard(ConsoleMutex());
    m_target->flush();
}

CStdOutStream::CStdOutStream() : CConsoleStream(std::cout) {}

CStdErrStream::CStdErrStream() : CConsoleStream(std::cerr) {}

// ------------------------------------------------------------ CFileStream

CFileStream::CFileStream(std::string name, unsigned int maxSize)
    : m_baseName(std::move(name)), m_maxSize(maxSize)
{
}

bool CFileStream::openFile(std::string name, bool numbered, bool lock, std::ios_base::openmode mode)
{
    // The "already open" check is made under the lock (when asked for) so a
    // concurrent roll-over cannot slip between the check and the open.
    std::unique_lock<std::mutex> guard(m_mutex, std::defer_lock);
    if (lock)
        guard.lock();

    if (!m_file.expired())
        return false;

    std::string fileName;
    if (numbered) {
        name = m_baseName;
        if (!name.empty())
            fileName = name + "." + std::to_string(m_counter + 1);
    } else {
        fileName = name;
    }

    auto file = std::make_shared<std::ofstream>();
    if (!fileName.empty())
        file->open(fileName, mode | std::ios_base::out);
    m_target = file;
    m_file = file;

    if (!file->is_open()) {
        m_target.reset();
        m_file.reset();
        return false;
    }
    m_baseName = name;
    if (numbered)
        ++m_counter;
    m_reopenPending = false;
    return true;
}

void CFileStream::closeFile()
{
    // A write in progress holds its own reference; the file closes when it ends.
    m_target.reset();
    m_file.reset();
}

void CFileStream::write(const char* data, unsigned int length)
{
    std::lock_guard<std::mutex> guard(m_mutex);

    std::shared_ptr<std::ofstream> file = m_file.lock();
    if (!file) {
        // Without a pending reopen the stream was never opened or was closed
        // on purpose: there is nowhere to write. After a failed roll-over we
        // try the next numbered file again; if that fails too the text is
        // dropped for this stream (the console still has it).
        if (!m_reopenPending)
            return;
        if (!openFile(std::string(), true, false, std::ios_base::out)) {
            m_reopenPending = true;
            return;
        }
        file = m_file.lock();
    }

    // A failed stream reports -1, read as 0xFFFFFFFF, and thus rolls over.
    const std::streamoff pos = file->tellp();
    const uint64_t position =
        (pos < 0 || static_cast<uint64_t>(pos) > 0xFFFFFFFFu) ? 0xFFFFFFFFu : static_cast<uint64_t>(pos);
    const uint64_t end = position + length;

    if (end > 0xFFFFFFFFu || end > m_maxSize) {
        const bool broken = file->fail();
        closeFile();
        const bool opened = openFile(std::string(), true, false, std::ios_base::out);
        if (!opened)
            m_reopenPending = true;
        // The crossing text normally ends the old file. A broken old file
        // would swallow it, so it goes to the new file instead.
        if (broken && opened)
            file = m_file.lock();
    }

    file->write(data, static_cast<std::streamsize>(length));
}

bool CFileStream::changeEndpoint(std::string name, unsigned int size)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_file.expired())
        return false;
    closeFile();
    const bool opened = openFile(std::move(name), false, false, std::ios_base::out);
    // The new limit comes with the new file: a caller naming a size expects it
    // to apply. If the new file cannot be opened the old limit stays, and the
    // next write retries the next numbered file of the old base name.
    if (opened)
        m_maxSize = size;
    else
        m_reopenPending = true;
    return opened;
}

std::string CFileStream::getName() const
{
    return m_baseName;
}

// ------------------------------------------------------- CStreamContainer

CStreamContainer* CStreamContainer::pInstance_ = nullptr;

CStreamContainer* CStreamContainer::getInstance()
{
    // A function-local static makes the first call safe even if it should
    // come from two threads at once.
    static CStreamContainer* const instance = pInstance_ = new CStreamContainer();
    return instance;
}

CStreamContainer::CStreamContainer()
{
    m_streams.push_back(CStream::createStream(CStream::StdOut, std::string(), 0));
    m_streams.push_back(CStream::createStream(CStream::StdErr, std::string(), 0));
    m_latestAddedStreamId = 1;
}

int CStreamContainer::getStreamId(CStream::Type type, std::string name)
{
    switch (type) {
    case CStream::StdOut:
        return 0;
    case CStream::StdErr:
        return 1;
    case CStream::File: {
        auto it = nameToStreamId.left.find(name);
        return it == nameToStreamId.left.end() ? NoStream : it->second;
    }
    }
    return NoStream;
}

std::unique_ptr<CStreamHandler> CStreamContainer::getStreamHandler(int id)
{
    if (id < 0 || static_cast<size_t>(id) >= m_streams.size())
        return nullptr;
    return std::make_unique<CStreamHandler>(m_streams[static_cast<size_t>(id)].get());
}

int CStreamContainer::initFStream(std::string name, unsigned int maxSize, std::ios_base::openmode mode)
{
    if (name.empty())
        return NoStream;

    auto known = nameToStreamId.left.find(name);
    if (known != nameToStreamId.left.end()) {
        const int id = known->second;
        if (id < 0)
            throw std::out_of_range("stream id " + std::to_string(id) + " of '" + name + "' out of range");
        m_streams.at(static_cast<size_t>(id));
        return id;
    }

    auto stream = std::make_unique<CFileStream>(name, maxSize);
    if (!stream->openFile(name, false, true, mode))
        return NoStream;

    m_streams.push_back(std::move(stream));
    const int id = static_cast<int>(m_streams.size() - 1);
    nameToStreamId.insert(NameToIdMap::value_type(name, id));
    m_latestAddedStreamId = id;
    return id;
}

bool CStreamContainer::changeFStreamEndpoint(int id, std::string name, unsigned int size)
{
    if (id <= 1 || static_cast<size_t>(id) >= m_streams.size())
        return false;

    // Ids above 1 are file streams only.
    auto* stream = static_cast<CFileStream*>(m_streams[static_cast<size_t>(id)].get());
    const bool changed = stream->changeEndpoint(name, size);

    auto entry = nameToStreamId.right.find(id);
    if (entry == nameToStreamId.right.end())
        throw std::runtime_error("nameToStreamId isn't synchronized.");
    // Refused (map unchanged) when another stream already has that name.
    nameToStreamId.right.replace_data(entry, name);
    return changed;
}

// ------------------------------------------------------------------------

std::string getLogDirPath()
{
    const char* temp = std::getenv("TEMP");
    if (temp == nullptr || *temp == '\0')
        return std::string();
    return std::string(temp) + "/";
}
