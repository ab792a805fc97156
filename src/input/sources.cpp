#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <system_error>

#include "input.hpp"

namespace velmira {

FdSource::FdSource(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)), owned_(true) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), path);
    inspect();
    if (!regular_) {
        struct stat st {};
        if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
            ::close(fd_);
            fd_ = -1;
            throw std::system_error(EISDIR, std::generic_category(), path);
        }
    }
}

FdSource::FdSource(int fd, bool owned) : fd_(fd), owned_(owned) { inspect(); }

FdSource::~FdSource() {
    if (owned_ && fd_ >= 0) ::close(fd_);
}

void FdSource::inspect() {
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
        regular_ = true;
        size_ = static_cast<std::uint64_t>(st.st_size);
        // Standard input may be a file that something read part of already.
        const off_t at = ::lseek(fd_, 0, SEEK_CUR);
        expected_ = at > 0 && static_cast<std::uint64_t>(at) <= size_ ? size_ - static_cast<std::uint64_t>(at) : size_;
    }
}

std::size_t FdSource::read(char* buffer, std::size_t size) {
    for (;;) {
        if (!regular_) {
            // A pipe may stay silent for good: wait in short steps, so that stop() is heard
            // and the caller's wait hook can give up.
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, 100);
            if (stopping()) return 0;
            if (ready == 0 || (ready < 0 && errno == EINTR)) {
                waiting();
                continue;
            }
        }
        const ssize_t n = ::read(fd_, buffer, size);
        if (n > 0) {
            done_ += static_cast<std::uint64_t>(n);
            return static_cast<std::size_t>(n);
        }
        if (n == 0) {
            // A file cut short while it was read would give counts of part of it as if whole.
            if (regular_ && done_ < expected_) {
                throw InputError("the file shrank while it was read: " + std::to_string(done_) + " of its " +
                                 std::to_string(expected_) + " bytes were read (was it rewritten or truncated?)");
            }
            return 0;
        }
        if (errno == EINTR) continue;
        throw std::system_error(errno, std::generic_category(), "could not read the input");
    }
}

}  // namespace velmira
