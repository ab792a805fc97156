// Input: the bytes of a pass, read once from a file, a pipe or anything that fills a buffer,
// and decompressed when their first bytes are those of a gzip, zstd, bzip2 or xz stream.
//
// An Input is a std::streambuf, so the tokenizer reads it like any stream. It is the one way
// the package's pass takes its bytes:
//  - Compression is recognised by magic bytes, never by a file name. Concatenated gzip
//    members, zstd frames, bzip2 streams and xz streams are read one after the other, as the
//    command-line tools do; anything else after the last one is an error.
//  - Memory stays bounded: compressed bytes are read 256 KiB at a time and decompressed into
//    at most four 1 MiB chunks ahead of the pass.
//  - Compressed input, and input from a pipe or terminal, is read and decompressed on a
//    thread of its own, ahead of the pass. While the pass waits for it, it calls the
//    checkpoint every 100 ms, so that a stalled pipe cannot keep a pass from being stopped.
//  - A damaged stream raises InputError, which says which format, what is wrong and at which
//    byte offset of the compressed input.
//
// The caller must keep the stream reading from an Input with badbit in its exceptions mask:
// then an error (or the checkpoint's exception) reaches the caller as it was thrown, instead
// of being turned into a failed read.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

namespace velmira {

// Bytes as they come: read() fills up to `size` bytes and returns how many, 0 only at the
// end. Errors are thrown.
class RawSource {
public:
    virtual ~RawSource() = default;
    virtual std::size_t read(char* buffer, std::size_t size) = 0;
    // The total length, when known (a regular file); else 0.
    virtual std::uint64_t size() const { return 0; }
    // Whether a read may wait for a writer (a pipe, a terminal): such input is read ahead.
    virtual bool mayBlock() const { return false; }
    // Asks a read that waits for a writer to give up soon; from another thread.
    void stop() { stopping_.store(true, std::memory_order_relaxed); }
    // Called every 100 ms while a read waits for a writer, in the reading thread; what it
    // throws ends the read. Null: nothing is called.
    void setWaitHook(const std::function<void()>* hook) { waitHook_ = hook; }

protected:
    bool stopping() const { return stopping_.load(std::memory_order_relaxed); }
    void waiting() const {
        if (waitHook_ != nullptr) (*waitHook_)();
    }

private:
    std::atomic<bool> stopping_{false};
    const std::function<void()>* waitHook_ = nullptr;
};

// A file descriptor: a file opened by path, or one given (standard input).
class FdSource final : public RawSource {
public:
    // Throws std::system_error (with errno) if the path cannot be opened or is a directory.
    explicit FdSource(const std::string& path);
    FdSource(int fd, bool owned);
    ~FdSource() override;
    FdSource(const FdSource&) = delete;
    FdSource& operator=(const FdSource&) = delete;

    std::size_t read(char* buffer, std::size_t size) override;
    std::uint64_t size() const override { return size_; }
    bool mayBlock() const override { return !regular_; }

private:
    void inspect();
    int fd_;
    bool owned_;
    bool regular_ = false;
    std::uint64_t size_ = 0;      // a regular file's size when opened
    std::uint64_t expected_ = 0;  // bytes of it to read: its size less what was read before
    std::uint64_t done_ = 0;      // bytes read so far
};

enum class Compression { None, Gzip, Zstd, Bzip2, Xz };
class InputStage;  // the decompressor, or a plain copy (input.cpp)
const char* compressionName(Compression compression);  // "gzip", ...; "" for None
Compression detectCompression(const unsigned char* head, std::size_t length);

// A damaged or truncated compressed stream.
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Input : public std::streambuf {
public:
    // `readAhead`: allow a thread of its own where it helps (compressed input, or a source
    // that may block). A source that calls back into an interpreter should not allow it.
    // `checkpoint`: see setCheckpoint; it is called while the first bytes are awaited too.
    Input(std::unique_ptr<RawSource> raw, bool readAhead, const std::function<void()>* checkpoint = nullptr);
    ~Input() override;
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    Compression compression() const { return compression_; }
    // Bytes taken from the raw source so far (compressed bytes, for compressed input).
    std::uint64_t rawBytes() const { return rawBytes_.load(std::memory_order_relaxed); }
    // The raw source's length, when known; else 0.
    std::uint64_t rawSize() const { return rawSize_; }
    // Up to `n` bytes from the start of what has not been read yet, without consuming them.
    std::string peek(std::size_t n);
    // Drops up to `n` bytes of what comes next (lines above a table); returns how many.
    std::size_t skip(std::size_t n);
    // Puts `bytes` before what comes next (a header the file does not have).
    void prepend(const std::string& bytes);
    // Called in the reading thread once per chunk taken and every 100 ms while the reader
    // waits for the read-ahead thread; may throw to give up. It must be cheap when it has
    // nothing to do (it is a clock check in the package).
    void setCheckpoint(const std::function<void()>* checkpoint) { checkpoint_ = checkpoint; }
    const std::function<void()>* checkpoint() const { return checkpoint_; }
    // Stops the read-ahead thread and waits for it; reads after this find the end.
    void close();

protected:
    int_type underflow() override;

private:
    struct Chunk {
        std::vector<char> bytes;
        std::size_t size = 0;
    };

    bool fill();                 // the next chunk into the get area; false at the end
    std::size_t produce(Chunk& chunk);
    void readAheadLoop();

    std::unique_ptr<RawSource> raw_;
    std::unique_ptr<InputStage> stage_;
    Compression compression_ = Compression::None;
    std::atomic<std::uint64_t> rawBytes_{0};
    std::uint64_t rawSize_ = 0;
    const std::function<void()>* checkpoint_ = nullptr;

    Chunk current_;               // what the get area shows, without read-ahead
    std::string peeked_;          // bytes peek() took, served before anything else
    bool peekedServed_ = true;
    bool ended_ = false;

    // Read-ahead: chunks travel from the thread to the reader through `full_`, and back
    // through `free_`.
    bool threaded_ = false;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<Chunk>> free_;
    std::vector<std::unique_ptr<Chunk>> full_;  // oldest first
    std::unique_ptr<Chunk> reading_;            // the chunk the get area shows
    bool producerDone_ = false;
    bool stop_ = false;
    std::exception_ptr error_;
};

}  // namespace velmira
