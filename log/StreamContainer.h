// Output streams behind the logger: standard output, standard error and named
// log files, each a CStream guarded by its own mutex. One process-wide
// CStreamContainer owns them all; the logger only holds light handles
// (CStreamHandler) on them. A file stream rolls over to a numbered follow-up
// file (name.1, name.2, ...) when a text would carry it past its size limit,
// and keeps a bounded number of them.
//
// Log files usually live in a directory other users can write to ($TEMP), and
// kestrad often runs as root, so a log file is never opened through a
// symbolic link, never a FIFO, device or directory, never a file of another
// user or one with a second name (a hard link); it is created with mode 0640
// and written in append mode.
#pragma once

#include <boost/bimap.hpp>

#include <cstdint>
#include <ios>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

class CStream {
public:
    enum Type { StdOut = 0, StdErr = 1, File = 2 };

    // A CStdOutStream for StdOut, a CStdErrStream for StdErr, a closed
    // CFileStream(name, maxSize) for File, an empty pointer for any other value.
    static std::unique_ptr<CStream> createStream(Type type, std::string name, unsigned int maxSize);

    virtual ~CStream();

    CStream(const CStream&) = delete;
    CStream& operator=(const CStream&) = delete;

    // Both do nothing while the stream has no target.
    virtual void write(const char* data, unsigned int length);
    virtual void flush();

protected:
    CStream() = default;
    explicit CStream(std::shared_ptr<std::ostream> target);

    std::shared_ptr<std::ostream> m_target;
    std::mutex m_mutex;
};

// Standard output and standard error share one lock: std::cerr is tied to
// std::cout, so every write to std::cerr first flushes std::cout, and that
// flush must not run beside a write to std::cout.
class CConsoleStream : public CStream {
public:
    void write(const char* data, unsigned int length) override;
    void flush() override;

protected:
    explicit CConsoleStream(std::ostream& target);
};

class CStdOutStream : public CConsoleStream {
public:
    CStdOutStream();
};

class CStdErrStream : public CConsoleStream {
public:
    CStdErrStream();
};

// An open log file: an unbuffered output stream over a descriptor that
// OpenLogFile checked, appending, and knowing its size so that the write
// position (tellp) is the file's length.
class CLogFile : public std::ostream {
public:
    // Takes the descriptor; `size` is the file's length.
    CLogFile(int fd, uint64_t size);
    ~CLogFile() override;
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

private:
    class Buffer : public std::streambuf {
    public:
        Buffer(int fd, uint64_t size) : m_fd(fd), m_size(size) {}
        ~Buffer() override;

    protected:
        std::streamsize xsputn(const char* data, std::streamsize n) override;
        int_type overflow(int_type c) override;
        pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode which) override;

    private:
        int m_fd;
        uint64_t m_size;
    };
    Buffer m_buffer;
};

// Opens `path` for a log file (see the top of this file): creates it with mode
// 0640, or opens the existing one if it is a regular file of this process's
// user with one name, emptied when `truncate` is set. Returns the descriptor
// and the file's length, or -1 with the reason in `why` ("it is a symbolic
// link", or the system's text).
int OpenLogFile(const std::string& path, bool truncate, uint64_t& size, std::string& why);

class CFileStream : public CStream {
public:
    CFileStream(std::string name, unsigned int maxSize);

    // Opens `name`, or with `numbered` the next numbered follow-up of the base
    // name. Returns false, changing nothing, while a file is open.
    bool openFile(std::string name, bool numbered, bool lock, std::ios_base::openmode mode);
    void closeFile();
    void write(const char* data, unsigned int length) override;
    bool changeEndpoint(std::string name, unsigned int size);
    std::string getName() const;
    // How many numbered follow-up files stay on disk: a roll-over to name.N
    // removes name.(N - n). 0 (the default) keeps them all.
    void setKeptFiles(unsigned int n);
    // Why the last open failed (empty after a successful one).
    std::string lastError() const;

protected:
    // The target viewed as a file; alive exactly while a file is open.
    std::weak_ptr<CLogFile> m_file;

private:
    std::string m_baseName;
    int m_counter = 0;
    unsigned int m_maxSize;
    unsigned int m_keptFiles = 0;
    std::string m_lastError;
    // Set when a roll-over or a change of endpoint could not open its new
    // file; the next write tries the next numbered file again.
    bool m_reopenPending = false;
};

// A handle on a stream owned by someone else (the container).
class CStreamHandler {
public:
    explicit CStreamHandler(CStream* stream) : m_stream(stream) {}

    void write(const char* data, unsigned int length) { m_stream->write(data, length); }
    void flush() { m_stream->flush(); }

private:
    CStream* m_stream;
};

class CStreamContainer {
public:
    // Returned wherever an id is asked for and there is no such stream.
    static constexpr int NoStream = 0x7FFFFFFF;

    using NameToIdMap = boost::bimap<std::string, int>;

    // Created at the first call, which must happen before other threads
    // exist; never destroyed.
    static CStreamContainer* getInstance();

    int getStreamId(CStream::Type type, std::string name);
    std::unique_ptr<CStreamHandler> getStreamHandler(int id);
    // Opens a log file stream. Appends to an existing file when `mode` has
    // app, empties it otherwise. On failure returns NoStream, and
    // lastOpenError() says why.
    int initFStream(std::string name, unsigned int maxSize, std::ios_base::openmode mode);
    const std::string& lastOpenError() const { return m_lastOpenError; }
    // CFileStream::setKeptFiles on a file stream; false for any other id.
    bool setKeptFiles(int id, unsigned int n);
    bool changeFStreamEndpoint(int id, std::string name, unsigned int size);
    const NameToIdMap& getFstreamNameToId() const { return nameToStreamId; }
    int getLatestAddedStreamId() const { return m_latestAddedStreamId; }

    CStreamContainer(const CStreamContainer&) = delete;
    CStreamContainer& operator=(const CStreamContainer&) = delete;

private:
    CStreamContainer();

    // The list and the map are only changed at start-up on the main thread,
    // so they carry no lock of their own; each stream locks itself.
    std::vector<std::unique_ptr<CStream>> m_streams;
    NameToIdMap nameToStreamId;
    int m_latestAddedStreamId = 1;
    std::string m_lastOpenError;

    static CStreamContainer* pInstance_;
};

// $TEMP followed by "/", or the empty string (the current directory) when
// TEMP is unset or empty.
std::string getLogDirPath();
