#include "log/StreamContainer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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

// --------------------------------------------------------------- CLogFile

CLogFile::Buffer::~Buffer()
{
    ::close(m_fd);
}

std::streamsize CLogFile::Buffer::xsputn(const char* data, std::streamsize n)
{
    std::streamsize done = 0;
    while (done < n) {
        const ssize_t written = ::write(m_fd, data + done, static_cast<size_t>(n - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            break;  // the stream turns bad and reports no position
        done += written;
        m_size += static_cast<uint64_t>(written);
    }
    return done;
}

CLogFile::Buffer::int_type CLogFile::Buffer::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
}

// Only the write position is asked for (tellp): the file's length, as every
// write appends.
CLogFile::Buffer::pos_type CLogFile::Buffer::seekoff(off_type off, std::ios_base::seekdir dir,
                                                     std::ios_base::openmode which)
{
    if (off != 0 || dir != std::ios_base::cur || !(which & std::ios_base::out))
        return pos_type(off_type(-1));
    return pos_type(static_cast<off_type>(m_size));
}

CLogFile::CLogFile(int fd, uint64_t size) : std::ostream(nullptr), m_buffer(fd, size)
{
    rdbuf(&m_buffer);
}

CLogFile::~CLogFile() = default;

int OpenLogFile(const std::string& path, bool truncate, uint64_t& size, std::string& why)
{
    why.clear();
    // A file that vanishes between the two opens below is simply tried again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        // A new file: nobody else can have prepared it.
        int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
        if (fd >= 0) {
            ::fchmod(fd, 0640);  // the mode asked for, whatever the umask
            size = 0;
            return fd;
        }
        if (errno != EEXIST) {
            why = std::strerror(errno);
            return -1;
        }
        // An existing one: without following a link, and without waiting
        // for a reader should it be a FIFO; then it must prove to be a
        // regular file of ours with no other name.
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            const int err = errno;
            if (err == ENOENT)
                continue;
            if (err == ELOOP)
                why = "it is a symbolic link";
            else if (err == EISDIR)
                why = "it is a directory";
            else if (err == ENXIO)
                why = "it is not a regular file";
            else
                why = std::strerror(err);
            return -1;
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            why = std::strerror(errno);
        } else if (!S_ISREG(st.st_mode)) {
            why = "it is not a regular file";
        } else if (st.st_uid != ::geteuid()) {
            why = "it belongs to uid " + std::to_string(st.st_uid) + ", not to uid " + std::to_string(::geteuid()) +
                  " (kestrad's user)";
        } else if (st.st_nlink != 1) {
            why = "it has " + std::to_string(st.st_nlink) + " names (hard links)";
        } else {
            // Ours: nobody else may write it or read it from outside the group.
            if ((st.st_mode & 07777) != (st.st_mode & 0640))
                ::fchmod(fd, st.st_mode & 0640);
            const int flags = ::fcntl(fd, F_GETFL);
            if (flags >= 0)
                ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
            if (truncate && ::ftruncate(fd, 0) != 0) {
                why = std::strerror(errno);
            } else {
                size = truncate ? 0 : static_cast<uint64_t>(st.st_size);
                return fd;
            }
        }
        ::close(fd);
        return -1;
    }
    why = "it keeps disappearing";
    return -1;
}

namespace {

// "dir/", "name" of a path.
void SplitPath(const std::string& path, std::string& dir, std::string& name)
{
    const size_t slash = path.rfind('/');
    dir = slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// The highest N of the files base.N next to `base` (0 when there are none),
// so that the follow-up files of a new run come after those of the runs
// before it rather than overwrite them.
int HighestNumberedFile(const std::string& base)
{
    std::string dir, name;
    SplitPath(base, dir, name);
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
        return 0;
    int highest = 0;
    const std::string prefix = name + ".";
    while (const dirent* entry = ::readdir(d)) {
        const std::string file = entry->d_name;
        if (file.size() <= prefix.size() || file.size() > prefix.size() + 9 ||
            file.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string digits = file.substr(prefix.size());
        if (digits.find_first_not_of("0123456789") != std::string::npos || digits[0] == '0')
            continue;
        highest = std::max(highest, std::stoi(digits));
    }
    ::closedir(d);
    return highest;
}

// Removes a follow-up file that fell out of the kept ones, if it is a
// regular file of ours (never what someone else put under that name).
void RemoveOldFile(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid())
        ::unlink(path.c_str());
}

}  // namespace

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

    m_target.reset();
    m_file.reset();
    if (fileName.empty()) {
        m_lastError = "no file name";
        return false;
    }
    // Output alone empties the file, as std::ofstream would; app appends.
    uint64_t size = 0;
    const int fd = OpenLogFile(fileName, !(mode & std::ios_base::app), size, m_lastError);
    if (fd < 0)
        return false;
    auto file = std::make_shared<CLogFile>(fd, size);
    m_target = file;
    m_file = file;

    m_baseName = name;
    if (numbered) {
        ++m_counter;
        if (m_keptFiles != 0 && m_counter > static_cast<int>(m_keptFiles))
            RemoveOldFile(m_baseName + "." + std::to_string(m_counter - static_cast<int>(m_keptFiles)));
    } else {
        m_counter = HighestNumberedFile(m_baseName);
    }
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

    std::shared_ptr<CLogFile> file = m_file.lock();
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

void CFileStream::setKeptFiles(unsigned int n)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_keptFiles = n;
}

std::string CFileStream::lastError() const
{
    return m_lastError;
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
    if (!stream->openFile(name, false, true, mode)) {
        m_lastOpenError = stream->lastError();
        return NoStream;
    }
    m_lastOpenError.clear();

    m_streams.push_back(std::move(stream));
    const int id = static_cast<int>(m_streams.size() - 1);
    nameToStreamId.insert(NameToIdMap::value_type(name, id));
    m_latestAddedStreamId = id;
    return id;
}

bool CStreamContainer::setKeptFiles(int id, unsigned int n)
{
    if (id <= 1 || static_cast<size_t>(id) >= m_streams.size())
        return false;
    static_cast<CFileStream*>(m_streams[static_cast<size_t>(id)].get())->setKeptFiles(n);
    return true;
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
