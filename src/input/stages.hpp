// The step from a raw source's bytes to the bytes a pass reads: a plain copy, or one of the
// decompressors, chosen by the first bytes. Internal to the input (input.cpp).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "input.hpp"

namespace velmira {

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

// The stage for `format`, starting with the `head` bytes already read from `raw`.
std::unique_ptr<InputStage> makeStage(Compression format, RawSource& raw, std::atomic<std::uint64_t>& counted,
                                      const std::string& head);

}  // namespace velmira
