#include "prefilter.hpp"

#include <algorithm>

namespace velmira {
namespace {

// A byte's bit in a text's 64-bit summary. Punctuation, the space and the digits, which
// separate the forms of typed values, get bits of their own; letters share bits in pairs
// of cases and by fours beyond; control and high bytes share the last bit.
struct PresenceBits {
    std::uint64_t bit[256];
    PresenceBits() : bit() {
        unsigned next = 0;
        for (unsigned b = 0x20; b < 0x7F; ++b) {
            const bool letter = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
            if (!letter) bit[b] = std::uint64_t{1} << next++;  // 43 bits: 0..42
        }
        for (unsigned b = 'A'; b <= 'Z'; ++b) {
            const unsigned index = 43 + (b - 'A') % 20;  // 43..62
            bit[b] = bit[b + ('a' - 'A')] = std::uint64_t{1} << index;
        }
        for (unsigned b = 0; b < 256; ++b) {
            if (bit[b] == 0) bit[b] = std::uint64_t{1} << 63;
        }
    }
};

const PresenceBits kPresence;

}  // namespace

Prefilter::Prefilter(const std::vector<const std::vector<Pattern>*>& types)
    : types_(types.size()), words_((types.size() + 63) / 64) {
    anywhere_.assign(256 * words_, 0);
    first_.assign(256 * words_, 0);
    length_.assign((kTabledLengths + 1) * words_, 0);
    needsSome_.assign(words_, 0);
    needs_.assign(types.size(), 0);
    for (std::size_t t = 0; t < types.size(); ++t) {
        const std::vector<Pattern>& patterns = *types[t];
        if (patterns.empty()) continue;  // never matches: never a candidate
        PatternFacts facts = patterns.front().facts();
        for (std::size_t i = 1; i < patterns.size(); ++i) facts |= patterns[i].facts();
        const std::size_t word = t / 64;
        const std::uint64_t bit = std::uint64_t{1} << (t % 64);
        for (unsigned b = 0; b < 256; ++b) {
            const auto byte = static_cast<unsigned char>(b);
            if (facts.any.has(byte)) anywhere_[b * words_ + word] |= bit;
            if (facts.first.has(byte)) first_[b * words_ + word] |= bit;
            if (facts.must.has(byte)) {
                needs_[t] |= kPresence.bit[b];
                needsSome_[word] |= bit;
            }
        }
        for (std::size_t n = facts.minLength; n <= std::min(facts.maxLength, kTabledLengths); ++n) {
            length_[n * words_ + word] |= bit;
        }
        if (facts.maxLength > kTabledLengths) long_.push_back(LongType{t, facts.minLength, facts.maxLength});
    }
}

void Prefilter::longCandidates(std::size_t length, std::uint64_t* out) const {
    std::fill(out, out + words_, 0);
    for (const LongType& t : long_) {
        if (length >= t.minLength && length <= t.maxLength) out[t.type / 64] |= std::uint64_t{1} << (t.type % 64);
    }
}

template <std::size_t W>
std::uint64_t Prefilter::walk(const unsigned char* bytes, std::size_t length, std::uint64_t* out,
                              std::uint64_t& present) const {
    // The candidate words stay in registers for tables of up to 256 types.
    std::uint64_t m[W];
    std::uint64_t live = 0;
    for (std::size_t w = 0; w < W; ++w) live |= (m[w] = out[w]);
    for (std::size_t i = 0; i < length && live != 0; ++i) {
        const std::uint64_t* allowed = anywhere_.data() + std::size_t{bytes[i]} * W;
        live = 0;
        for (std::size_t w = 0; w < W; ++w) live |= (m[w] &= allowed[w]);
        present |= kPresence.bit[bytes[i]];
    }
    for (std::size_t w = 0; w < W; ++w) out[w] = m[w];
    return live;
}

void Prefilter::candidates(std::string_view text, std::uint64_t* out) const {
    const std::size_t length = text.size();
    if (length <= kTabledLengths) {
        std::copy_n(length_.data() + length * words_, words_, out);
    } else {
        longCandidates(length, out);
    }
    if (length == 0 || words_ == 0) return;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::uint64_t live = 0;
    const std::uint64_t* first = first_.data() + std::size_t{bytes[0]} * words_;
    for (std::size_t w = 0; w < words_; ++w) live |= (out[w] &= first[w]);
    if (live == 0) return;
    std::uint64_t present = 0;
    switch (words_) {
        case 1: live = walk<1>(bytes, length, out, present); break;
        case 2: live = walk<2>(bytes, length, out, present); break;
        case 3: live = walk<3>(bytes, length, out, present); break;
        case 4: live = walk<4>(bytes, length, out, present); break;
        default:
            for (std::size_t i = 0; i < length && live != 0; ++i) {
                const std::uint64_t* allowed = anywhere_.data() + std::size_t{bytes[i]} * words_;
                live = 0;
                for (std::size_t w = 0; w < words_; ++w) live |= (out[w] &= allowed[w]);
                present |= kPresence.bit[bytes[i]];
            }
    }
    if (live == 0) return;
    for (std::size_t w = 0; w < words_; ++w) {
        for (std::uint64_t needy = out[w] & needsSome_[w]; needy != 0; needy &= needy - 1) {
            const std::size_t t = w * 64 + static_cast<std::size_t>(__builtin_ctzll(needy));
            if ((needs_[t] & ~present) != 0) out[w] &= ~(std::uint64_t{1} << (t % 64));
        }
    }
}

}  // namespace velmira
