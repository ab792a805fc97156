// The hash of the pass's texts: one for the value cache, the missing-value markers and the
// workers that hash ahead of their lookups.
//
// A text of 16 bytes or fewer is hashed from two whole words masked to its length, with no
// branch on the length, which needs 16 readable bytes from the text's start (kReadableSlack):
// the tokenizer's block and the batches' arenas keep that room after their ends. Any text can
// be hashed with hashBytes, which gives the same value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace velmira {

inline std::uint64_t mix64(std::uint64_t v) {
    v ^= v >> 32;
    v *= 0xd6e8feb86659fd93ULL;
    v ^= v >> 32;
    v *= 0xd6e8feb86659fd93ULL;
    v ^= v >> 32;
    return v;
}

// The two halves of a 64 x 64-bit product, folded: one multiplication mixes
// every input bit into the result.
inline std::uint64_t fold(std::uint64_t a, std::uint64_t b) {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

inline std::uint64_t load64(const char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline std::uint64_t load32(const char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// Texts of the pass live where the 16 bytes from a text's start may always be read
// (the tokenizer's block and the batch arenas keep that much room after their ends),
// so a short text is hashed from two whole words, masked to its length, with no
// branch on the length; other texts are copied out first. Both give the same hash.
constexpr std::size_t kReadableSlack = 16;

inline std::uint64_t lowBytes(std::uint64_t word, std::size_t count) {
    return count >= 8 ? word : word & ~(~std::uint64_t{0} << (8 * count));
}

// Longer texts go 16 bytes a step and are mixed once more at the end.
inline std::uint64_t hashLong(const char* p, std::size_t len) {
    constexpr std::uint64_t k1 = 0xe7037ed1a0b428dbULL;
    std::uint64_t seed = 0xa0761d6478bd642fULL ^ (static_cast<std::uint64_t>(len) * 0x8ebc6af09c88c6e3ULL);
    for (; len > 16; p += 16, len -= 16) seed = fold(load64(p) ^ k1, load64(p + 8) ^ seed);
    return mix64(fold(load64(p + len - 16) ^ k1, load64(p + len - 8) ^ seed));
}

// The hash of a text whose 16 bytes from its start may be read, whatever its length.
__attribute__((always_inline)) inline std::uint64_t hashReadable(const char* p, std::size_t len) {
    if (len > 16) return hashLong(p, len);
    constexpr std::uint64_t k1 = 0xe7037ed1a0b428dbULL;
    const std::uint64_t seed = 0xa0761d6478bd642fULL ^ (static_cast<std::uint64_t>(len) * 0x8ebc6af09c88c6e3ULL);
    const std::uint64_t a = lowBytes(load64(p), len);
    const std::uint64_t b = lowBytes(load64(p + 8), len > 8 ? len - 8 : 0);
    return fold(a ^ k1, b ^ seed);
}

// The same hash for a text anywhere.
inline std::uint64_t hashBytes(std::string_view s) {
    if (s.size() > 16) return hashLong(s.data(), s.size());
    char padded[16] = {};
    if (!s.empty()) std::memcpy(padded, s.data(), s.size());
    return hashReadable(padded, s.size());
}

}  // namespace velmira
