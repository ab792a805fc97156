// The types file of a pass: one line per row, the row's type names joined by commas.
//
// Lines are buffered in large blocks and written with the file system's own calls, so that
// a failure has its errno. By default a file that cannot be opened or written is not
// reported (the engine's documented behaviour): its lines then go nowhere. A strict file
// throws TypesFileError instead, so that a full disk is never taken for a complete file.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <system_error>

// A types file that could not be opened, written or closed, from a pass that reports it
// (Inf::StreamOptions::strictTypesFile). what() names the file.
class TypesFileError : public std::system_error {
public:
    TypesFileError(int error, const std::string& file)
        : std::system_error(error, std::generic_category(), file), path(file) {}
    std::string path;
};

namespace velmira {

// One entry of the types file. Names holding the separator, a quote or a line
// break are quoted CSV-style, so that they cannot shift columns or lines; every
// other name is written as it is.
inline std::string typesFileEntry(const std::string& name) {
    if (name.find_first_of(",\"\r\n") == std::string::npos) return name;
    std::string quoted = "\"";
    for (char ch : name) {
        if (ch == '"') quoted += '"';
        quoted += ch;
    }
    quoted += '"';
    return quoted;
}

// The types file, buffered in large blocks. Rows completed before a failure are
// still written, since the destructor flushes. By default a file that cannot be opened
// or written is not reported: every write then goes nowhere. A strict file (the
// package's pass) throws TypesFileError instead, from open, a write or the close, so
// that a full disk is never taken for a complete file.
class TypesFile {
public:
    TypesFile() = default;
    TypesFile(const TypesFile&) = delete;
    TypesFile& operator=(const TypesFile&) = delete;
    ~TypesFile() {
        try {
            flush();
        } catch (const TypesFileError&) {
            // Only while an error unwinds the pass; that error is the one reported.
        }
        if (fd_ >= 0) ::close(fd_);
    }

    void open(const std::string& path, bool strict) {
        path_ = path;
        strict_ = strict;
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_ < 0) fail(errno);
    }
    bool enabled() const { return fd_ >= 0; }

    void entry(std::size_t position, const std::string& text) {
        if (position > 0) buffer_ += ',';
        buffer_ += text;
    }
    void endLine() {
        buffer_ += '\n';
        if (buffer_.size() >= kFlushAt) flush();
    }
    void close() {
        flush();
        if (fd_ < 0) return;
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0 && errno != EINTR) fail(errno);
    }

private:
    static constexpr std::size_t kFlushAt = std::size_t{1} << 16;
    void flush() {
        const char* data = buffer_.data();
        std::size_t left = fd_ >= 0 ? buffer_.size() : 0;
        while (left > 0) {
            const ssize_t n = ::write(fd_, data, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                const int error = n < 0 ? errno : EIO;
                buffer_.clear();
                ::close(fd_);
                fd_ = -1;
                fail(error);
                return;
            }
            data += n;
            left -= static_cast<std::size_t>(n);
        }
        buffer_.clear();
    }
    void fail(int error) {
        if (strict_) throw TypesFileError(error, path_);
    }

    std::string path_;
    std::string buffer_;
    int fd_ = -1;          // open file, or -1: closed, never opened, or given up on
    bool strict_ = false;  // report failures instead of dropping the file's lines
};

}  // namespace velmira
