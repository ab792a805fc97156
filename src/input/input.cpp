#include "input.hpp"

#include <bzlib.h>
#include <errno.h>
#include <fcntl.h>
#include <lzma.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <system_error>

namespace velmira {

// ---- raw sources ---------------------------------------------------------------------------

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

// ---- compression -----------------------------------------------------------------------------

const char* compressionName(Compression compression) {
    switch (compression) {
        case Compression::Gzip: return "gzip";
        case Compression::Zstd: return "zstd";
        case Compression::Bzip2: return "bzip2";
        case Compression::Xz: return "xz";
        case Compression::None: break;
    }
    return "";
}

Compression detectCompression(const unsigned char* head, std::size_t length) {
    auto starts = [&](std::initializer_list<unsigned char> magic) {
        return length >= magic.size() && std::equal(magic.begin(), magic.end(), head);
    };
    if (starts({0x1f, 0x8b})) return Compression::Gzip;
    if (starts({0x28, 0xb5, 0x2f, 0xfd})) return Compression::Zstd;
    if (starts({'B', 'Z', 'h'})) return Compression::Bzip2;
    if (starts({0xfd, '7', 'z', 'X', 'Z', 0x00})) return Compression::Xz;
    return Compression::None;
}

// The step from raw bytes to the bytes the pass reads. Compressed bytes go through a buffer
// of 256 KiB whose position in the raw input is known, so that errors can say where.
class InputStage {
public:
    InputStage(RawSource& raw, std::atomic<std::uint64_t>& counted, const std::string& head, Compression format)
        : raw_(raw), counted_(counted), format_(format), in_(std::max<std::size_t>(kInput, head.size())) {
        std::memcpy(in_.data(), head.data(), head.size());
        inLen_ = head.size();
    }
    virtual ~InputStage() = default;
    InputStage(const InputStage&) = delete;
    InputStage& operator=(const InputStage&) = delete;

    // Up to `capacity` bytes of output; 0 only at the end.
    virtual std::size_t produce(char* out, std::size_t capacity) = 0;

protected:
    static constexpr std::size_t kInput = std::size_t{1} << 18;

    // More raw bytes after those not yet used; false once the raw input has ended.
    bool refill() {
        if (rawEnded_) return false;
        if (inPos_ > 0) {
            std::memmove(in_.data(), in_.data() + inPos_, inLen_ - inPos_);
            base_ += inPos_;
            inLen_ -= inPos_;
            inPos_ = 0;
        }
        const std::size_t n = raw_.read(in_.data() + inLen_, in_.size() - inLen_);
        counted_.fetch_add(n, std::memory_order_relaxed);
        if (n == 0) {
            rawEnded_ = true;
            return false;
        }
        inLen_ += n;
        return true;
    }

    // At least `n` unused bytes, if the raw input has them.
    bool have(std::size_t n) {
        while (inLen_ - inPos_ < n) {
            if (!refill()) return false;
        }
        return true;
    }

    bool startsWith(std::initializer_list<unsigned char> magic) {
        return have(magic.size()) &&
               std::equal(magic.begin(), magic.end(), reinterpret_cast<const unsigned char*>(in_.data() + inPos_));
    }

    // Offset in the raw input of the next unused byte.
    std::uint64_t offset() const { return base_ + inPos_; }

    [[noreturn]] void corrupt(const std::string& why) const {
        throw InputError(std::string("the ") + compressionName(format_) + " input is corrupt at byte " +
                         std::to_string(offset()) + " (" + why + ")");
    }
    [[noreturn]] void truncated() const {
        throw InputError(std::string("the ") + compressionName(format_) + " input ends early, at byte " +
                         std::to_string(offset()) + ": the file is truncated");
    }
    [[noreturn]] void trailing() const {
        throw InputError(std::string("the ") + compressionName(format_) + " input has data that is not " +
                         compressionName(format_) + " after its end, at byte " + std::to_string(offset()));
    }

    RawSource& raw_;
    std::atomic<std::uint64_t>& counted_;
    const Compression format_;
    std::vector<char> in_;
    std::size_t inPos_ = 0;
    std::size_t inLen_ = 0;
    std::uint64_t base_ = 0;  // raw offset of in_[0]
    bool rawEnded_ = false;
};

namespace {

class PlainStage final : public InputStage {
public:
    using InputStage::InputStage;
    std::size_t produce(char* out, std::size_t capacity) override {
        if (inPos_ < inLen_) {  // the bytes read to recognise the format
            const std::size_t n = std::min(capacity, inLen_ - inPos_);
            std::memcpy(out, in_.data() + inPos_, n);
            inPos_ += n;
            return n;
        }
        if (rawEnded_) return 0;
        const std::size_t n = raw_.read(out, capacity);
        counted_.fetch_add(n, std::memory_order_relaxed);
        rawEnded_ = n == 0;
        return n;
    }
};

// gzip members, one after the other, as gzip -d reads them.
class GzipStage final : public InputStage {
public:
    GzipStage(RawSource& raw, std::atomic<std::uint64_t>& counted, const std::string& head)
        : InputStage(raw, counted, head, Compression::Gzip) {
        if (inflateInit2(&z_, 15 + 16) != Z_OK) throw std::bad_alloc();
    }
    ~GzipStage() override { inflateEnd(&z_); }

    std::size_t produce(char* out, std::size_t capacity) override {
        z_.next_out = reinterpret_cast<Bytef*>(out);
        z_.avail_out = static_cast<uInt>(std::min<std::size_t>(capacity, 1u << 30));
        const uInt room = z_.avail_out;
        while (z_.avail_out == room) {
            if (!inMember_) {
                if (!have(1)) return 0;
                if (!startsWith({0x1f, 0x8b})) trailing();
                inflateReset(&z_);
                inMember_ = true;
            }
            if (inPos_ == inLen_ && !refill()) truncated();
            z_.next_in = reinterpret_cast<Bytef*>(in_.data() + inPos_);
            z_.avail_in = static_cast<uInt>(inLen_ - inPos_);
            const int rc = inflate(&z_, Z_NO_FLUSH);
            inPos_ = inLen_ - z_.avail_in;
            if (rc == Z_STREAM_END) {
                inMember_ = false;
            } else if (rc == Z_MEM_ERROR) {
                throw std::bad_alloc();
            } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
                corrupt(z_.msg != nullptr ? z_.msg : "error " + std::to_string(rc));
            }
        }
        return room - z_.avail_out;
    }

private:
    z_stream z_{};
    bool inMember_ = true;
};

// zstd frames, one after the other; the library reads the next frame by itself.
class ZstdStage final : public InputStage {
public:
    ZstdStage(RawSource& raw, std::atomic<std::uint64_t>& counted, const std::string& head)
        : InputStage(raw, counted, head, Compression::Zstd), context_(ZSTD_createDCtx()) {
        if (context_ == nullptr) throw std::bad_alloc();
    }
    ~ZstdStage() override { ZSTD_freeDCtx(context_); }

    std::size_t produce(char* out, std::size_t capacity) override {
        ZSTD_outBuffer output{out, capacity, 0};
        while (output.pos == 0) {
            if (inPos_ == inLen_ && !refill()) {
                if (midFrame_) truncated();
                return 0;
            }
            ZSTD_inBuffer input{in_.data() + inPos_, inLen_ - inPos_, 0};
            const std::size_t rc = ZSTD_decompressStream(context_, &output, &input);
            inPos_ += input.pos;
            if (ZSTD_isError(rc)) {
                if (ZSTD_getErrorCode(rc) == ZSTD_error_frameParameter_windowTooLarge) {
                    // The library's default limit is the one zstd -d applies unless told more.
                    throw InputError("the zstd input was made with a window larger than the 128 MiB that "
                                     "zstd -d accepts by default (zstd --long); decompress it first: "
                                     "zstd -dc --long=31 FILE | velmira -");
                }
                corrupt(ZSTD_getErrorName(rc));
            }
            midFrame_ = rc != 0;
        }
        return output.pos;
    }

private:
    ZSTD_DCtx* context_;
    bool midFrame_ = true;
};

// bzip2 streams, one after the other, as bzip2 -d reads them.
class Bzip2Stage final : public InputStage {
public:
    Bzip2Stage(RawSource& raw, std::atomic<std::uint64_t>& counted, const std::string& head)
        : InputStage(raw, counted, head, Compression::Bzip2) {
        start();
    }
    ~Bzip2Stage() override { BZ2_bzDecompressEnd(&bz_); }

    std::size_t produce(char* out, std::size_t capacity) override {
        bz_.next_out = out;
        bz_.avail_out = static_cast<unsigned>(std::min<std::size_t>(capacity, 1u << 30));
        const unsigned room = bz_.avail_out;
        while (bz_.avail_out == room) {
            if (!inStream_) {
                if (!have(1)) return 0;
                if (!startsWith({'B', 'Z', 'h'})) trailing();
                char* const next = bz_.next_out;
                const unsigned left = bz_.avail_out;
                BZ2_bzDecompressEnd(&bz_);
                start();
                bz_.next_out = next;
                bz_.avail_out = left;
            }
            if (inPos_ == inLen_ && !refill()) truncated();
            bz_.next_in = in_.data() + inPos_;
            bz_.avail_in = static_cast<unsigned>(inLen_ - inPos_);
            const int rc = BZ2_bzDecompress(&bz_);
            inPos_ = inLen_ - bz_.avail_in;
            if (rc == BZ_STREAM_END) {
                inStream_ = false;
            } else if (rc == BZ_MEM_ERROR) {
                throw std::bad_alloc();
            } else if (rc != BZ_OK) {
                corrupt(rc == BZ_DATA_ERROR_MAGIC ? "not bzip2 data" : "damaged data (error " + std::to_string(rc) + ")");
            }
        }
        return room - bz_.avail_out;
    }

private:
    void start() {
        bz_ = bz_stream{};
        if (BZ2_bzDecompressInit(&bz_, 0, 0) != BZ_OK) throw std::bad_alloc();
        inStream_ = true;
    }
    bz_stream bz_{};
    bool inStream_ = true;
};

// xz streams, one after the other (and their padding), as xz -d reads them.
class XzStage final : public InputStage {
public:
    XzStage(RawSource& raw, std::atomic<std::uint64_t>& counted, const std::string& head)
        : InputStage(raw, counted, head, Compression::Xz) {
        if (lzma_stream_decoder(&lz_, kMemoryLimit, LZMA_CONCATENATED) != LZMA_OK) throw std::bad_alloc();
    }
    ~XzStage() override { lzma_end(&lz_); }

    std::size_t produce(char* out, std::size_t capacity) override {
        if (finished_) return 0;
        lz_.next_out = reinterpret_cast<uint8_t*>(out);
        lz_.avail_out = capacity;
        while (lz_.avail_out == capacity) {
            if (inPos_ == inLen_) refill();
            lz_.next_in = reinterpret_cast<const uint8_t*>(in_.data() + inPos_);
            lz_.avail_in = inLen_ - inPos_;
            const lzma_ret rc = lzma_code(&lz_, rawEnded_ && inPos_ == inLen_ ? LZMA_FINISH : LZMA_RUN);
            inPos_ = inLen_ - lz_.avail_in;
            if (rc == LZMA_STREAM_END) {
                finished_ = true;
                break;
            }
            if (rc == LZMA_OK) continue;
            if (rc == LZMA_MEM_ERROR) throw std::bad_alloc();
            if (rc == LZMA_MEMLIMIT_ERROR) {
                throw InputError("the xz input needs more than " + std::to_string(kMemoryLimit >> 20) +
                                 " MiB of memory to decompress (its dictionary is larger than any xz preset "
                                 "uses); decompress it first: xz -dc FILE | velmira -");
            }
            if (rc == LZMA_BUF_ERROR) truncated();
            corrupt(rc == LZMA_FORMAT_ERROR ? "not xz data"
                    : rc == LZMA_DATA_ERROR ? "damaged data"
                    : rc == LZMA_OPTIONS_ERROR ? "unsupported options"
                                               : "error " + std::to_string(static_cast<int>(rc)));
        }
        return capacity - lz_.avail_out;
    }

private:
    // A few bytes of header may ask the decoder for a dictionary of 1.5 GiB; the largest
    // preset (xz -9) needs 65 MiB.
    static constexpr std::uint64_t kMemoryLimit = std::uint64_t{256} << 20;
    lzma_stream lz_ = LZMA_STREAM_INIT;
    bool finished_ = false;
};

constexpr std::size_t kChunk = std::size_t{1} << 20;
constexpr std::size_t kChunks = 4;

}  // namespace

// ---- the stream ---------------------------------------------------------------------------

Input::Input(std::unique_ptr<RawSource> raw, bool readAhead, const std::function<void()>* checkpoint)
    : raw_(std::move(raw)), checkpoint_(checkpoint) {
    rawSize_ = raw_->size();
    // A pipe or a terminal may give nothing for a long time, before the first byte too.
    raw_->setWaitHook(checkpoint);
    // The first bytes say the format; a short read (a pipe) is not the end.
    std::string head(6, '\0');
    std::size_t got = 0;
    while (got < head.size()) {
        const std::size_t n = raw_->read(&head[got], head.size() - got);
        if (n == 0) break;
        got += n;
    }
    raw_->setWaitHook(nullptr);  // the read-ahead thread must not call it
    head.resize(got);
    rawBytes_.store(got, std::memory_order_relaxed);
    compression_ = detectCompression(reinterpret_cast<const unsigned char*>(head.data()), head.size());
    switch (compression_) {
        case Compression::Gzip: stage_ = std::make_unique<GzipStage>(*raw_, rawBytes_, head); break;
        case Compression::Zstd: stage_ = std::make_unique<ZstdStage>(*raw_, rawBytes_, head); break;
        case Compression::Bzip2: stage_ = std::make_unique<Bzip2Stage>(*raw_, rawBytes_, head); break;
        case Compression::Xz: stage_ = std::make_unique<XzStage>(*raw_, rawBytes_, head); break;
        case Compression::None:
            stage_ = std::make_unique<PlainStage>(*raw_, rawBytes_, head, Compression::None);
            break;
    }
    threaded_ = readAhead && (compression_ != Compression::None || raw_->mayBlock());
    if (threaded_) {
        for (std::size_t i = 0; i < kChunks; ++i) free_.push_back(std::make_unique<Chunk>());
        thread_ = std::thread([this] { readAheadLoop(); });
    }
}

Input::~Input() { close(); }

void Input::close() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        raw_->stop();
        changed_.notify_all();
        thread_.join();
    }
    ended_ = true;
    setg(nullptr, nullptr, nullptr);
}

std::size_t Input::produce(Chunk& chunk) {
    if (chunk.bytes.size() != kChunk) chunk.bytes.resize(kChunk);
    chunk.size = stage_->produce(chunk.bytes.data(), chunk.bytes.size());
    return chunk.size;
}

void Input::readAheadLoop() {
    for (;;) {
        std::unique_ptr<Chunk> chunk;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return stop_ || !free_.empty(); });
            if (stop_) return;
            chunk = std::move(free_.back());
            free_.pop_back();
        }
        std::size_t n = 0;
        std::exception_ptr error;
        try {
            n = produce(*chunk);
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (error || n == 0) {
            error_ = error;
            producerDone_ = true;
            free_.push_back(std::move(chunk));
            changed_.notify_all();
            return;
        }
        full_.push_back(std::move(chunk));
        changed_.notify_all();
    }
}

bool Input::fill() {
    if (!peekedServed_) {
        peekedServed_ = true;
        if (!peeked_.empty()) {
            setg(&peeked_[0], &peeked_[0], &peeked_[0] + peeked_.size());
            return true;
        }
    }
    if (ended_) return false;
    // Once a chunk (1 MiB), whether the pass waits or not: a field of a gigabyte is one
    // long read for the tokenizer, and Ctrl-C must still be heard within it.
    if (checkpoint_ != nullptr) (*checkpoint_)();
    if (!threaded_) {
        if (produce(current_) == 0) {
            ended_ = true;
            return false;
        }
        setg(current_.bytes.data(), current_.bytes.data(), current_.bytes.data() + current_.size);
        return true;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (reading_) {
        free_.push_back(std::move(reading_));
        changed_.notify_all();
    }
    while (full_.empty()) {
        if (producerDone_) {
            ended_ = true;
            if (error_) std::rethrow_exception(error_);
            return false;
        }
        if (changed_.wait_for(lock, std::chrono::milliseconds(100)) == std::cv_status::timeout &&
            checkpoint_ != nullptr && full_.empty()) {
            lock.unlock();
            (*checkpoint_)();
            lock.lock();
        }
    }
    reading_ = std::move(full_.front());
    full_.erase(full_.begin());
    setg(reading_->bytes.data(), reading_->bytes.data(), reading_->bytes.data() + reading_->size);
    return true;
}

Input::int_type Input::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    if (!fill()) return traits_type::eof();
    return traits_type::to_int_type(*gptr());
}

std::string Input::peek(std::size_t n) {
    // What is not read yet: what an earlier peek kept, or what the get area still shows;
    // then more chunks, all kept in peeked_ to be served before anything else.
    std::string kept;
    if (!peekedServed_) {
        kept = std::move(peeked_);
        peekedServed_ = true;
    } else if (gptr() != nullptr) {
        kept.assign(gptr(), egptr());
    }
    setg(nullptr, nullptr, nullptr);
    while (kept.size() < n && fill()) kept.append(gptr(), egptr());
    peeked_ = std::move(kept);
    peekedServed_ = false;
    setg(nullptr, nullptr, nullptr);
    return peeked_.substr(0, std::min(n, peeked_.size()));
}

}  // namespace velmira
