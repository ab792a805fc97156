#include "stages.hpp"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <new>

namespace velmira {

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

}  // namespace

std::unique_ptr<InputStage> makeStage(Compression format, RawSource& raw, std::atomic<std::uint64_t>& counted,
                                      const std::string& head) {
    switch (format) {
        case Compression::Gzip: return std::make_unique<GzipStage>(raw, counted, head);
        case Compression::Zstd: return std::make_unique<ZstdStage>(raw, counted, head);
        case Compression::Bzip2: return std::make_unique<Bzip2Stage>(raw, counted, head);
        case Compression::Xz: return std::make_unique<XzStage>(raw, counted, head);
        case Compression::None: break;
    }
    return std::make_unique<PlainStage>(raw, counted, head, Compression::None);
}

}  // namespace velmira
