// ValueCache: field text -> small integer, the engine's memo of classification
// results (and, read-only, its set of missing-value markers).
//
// Open addressing with linear probing over a table of 8-byte slots of any size (a
// multiply and a shift find a hash's home slot), grown at three quarters full. A
// slot holds a 15-bit tag of the key's hash, the value, its state and a 32-bit
// reference to the key, which lives in a key store of 2 MiB blocks: its length and
// its bytes. Where nearly every text is new, the memory a text costs is what the
// pass pays for (first touches of fresh pages are slow), so both halves are kept
// small, and a table sized for a known number of keys is not rounded up to a power
// of two. Emptying the cache is a reset that keeps the memory for the next window,
// not a free per key.
//
// Concurrency: lookups, inserts and fills may run on many threads at once; they
// only ever claim an empty slot or fill an empty value, with atomic operations,
// and never move a slot. Everything that moves or drops slots (reserve, clear,
// setWriters) must run while no other thread uses the cache. The caller reserves
// room for the inserts it is about to allow, so the table never grows under
// concurrent use. A text that hits the cache costs only reads of shared memory:
// no lock, no write, nothing for the cores to fight over. Each writer fills key
// blocks of its own, claimed with one atomic increment per block.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "hash.hpp"

namespace velmira {

// Whether a cached key equals a text of the same `length`, both readable for 16 bytes
// from their start (see kReadableSlack), compared as two words masked to the length. A
// key is read only within its own entry, which its writer filled before publishing it (the
// bytes after an entry may be another key being written): the key store gives a key of up
// to 8 bytes an entry that holds 8 bytes from its start, and one of up to 16 bytes 16.
__attribute__((always_inline)) inline bool sameKey(const char* key, const char* text, std::size_t length) {
    if (length > 16) return std::memcmp(key, text, length) == 0;
    const std::uint64_t k0 = load64(key);
    const std::uint64_t k1 = load64(key + (length > 8 ? 8 : 0));  // masked off for short keys
    return (lowBytes(k0 ^ load64(text), length) | lowBytes(k1 ^ load64(text + 8), length > 8 ? length - 8 : 0)) == 0;
}

class ValueCache {
public:
    using Value = std::uint32_t;
    static constexpr Value kEmpty = 0;  // "no value stored"; what a new entry holds
    static constexpr Value kMaxValue = (Value{1} << 15) - 1;

    class Slot {
    public:
        Value value() const {
            return static_cast<Value>(word_.load(std::memory_order_acquire) >> kValueShift) & kMaxValue;
        }

    private:
        friend class ValueCache;
        // word_, low to high: state (2 bits), value (15), tag (15), key reference (32).
        static constexpr std::uint64_t kFree = 0, kClaimed = 1, kReady = 2, kStateMask = 3;
        static constexpr unsigned kValueShift = 2;
        static constexpr unsigned kTagShift = 17;
        static constexpr std::uint64_t kTagMask = std::uint64_t{0x7fff} << kTagShift;
        static constexpr unsigned kRefShift = 32;
        static std::uint64_t tagOf(std::uint64_t hash) { return (hash >> 32) & kTagMask; }
        std::atomic<std::uint64_t> word_{kFree};
    };
    static_assert(sizeof(Slot) == 8, "slots are one word");

    explicit ValueCache(std::size_t writers = 1) { setWriters(writers); }
    ValueCache(const ValueCache&) = delete;
    ValueCache& operator=(const ValueCache&) = delete;

    // The number of threads that will insert, each with its own index below that.
    void setWriters(std::size_t writers) {
        if (writers > writers_.size()) writers_.resize(writers);
    }

    // Makes room for `more` inserts, so that the table does not grow while they run.
    // Growing at least doubles the table, unless the room asked for is larger still.
    void reserve(std::size_t more) {
        keys_.prepare();
        const std::size_t needed = size() + more;
        if (needed * 4 <= capacity_ * 3) return;
        rehash(std::max({std::size_t{64}, capacity_ * 2, needed / 3 * 4 + 4}));
    }

    // The text's entry, created empty if missing. The caller must have reserved room. Here
    // and in contains(), the 16 bytes from the text's start must be readable (see
    // kReadableSlack).
    __attribute__((always_inline)) Slot& findOrInsert(std::string_view key, std::uint64_t hash, std::size_t writer) {
        const std::uint64_t tag = Slot::tagOf(hash);
        for (std::size_t i = home(hash);; i = next(i)) {
            Slot& slot = slots_.get()[i];
            std::uint64_t word = slot.word_.load(std::memory_order_acquire);
            if (word == Slot::kFree) {
                if (slot.word_.compare_exchange_strong(word, Slot::kClaimed, std::memory_order_acquire)) {
                    const std::uint64_t ref = keys_.store(writers_[writer], key);
                    slot.word_.store((ref << Slot::kRefShift) | tag | Slot::kReady, std::memory_order_release);
                    ++writers_[writer].inserted;
                    return slot;
                }
                // Another thread claimed it first: it may be this very text.
            }
            while ((word & Slot::kStateMask) != Slot::kReady) word = slot.word_.load(std::memory_order_acquire);
            if ((word & Slot::kTagMask) == tag && keys_.equals(word >> Slot::kRefShift, key)) return slot;
        }
    }

    // Stores a value in an empty entry. If another thread filled it first, that
    // value stays: an entry, once filled, never changes until the cache is cleared.
    static void fill(Slot& slot, Value value) {
        std::uint64_t word = slot.word_.load(std::memory_order_acquire);
        const std::uint64_t bits = std::uint64_t{value & kMaxValue} << Slot::kValueShift;
        while (((word >> Slot::kValueShift) & kMaxValue) == kEmpty) {
            if (slot.word_.compare_exchange_weak(word, word | bits, std::memory_order_acq_rel)) return;
        }
    }

    // fill for a cache no other thread touches meanwhile: no locked instruction.
    static void fillAlone(Slot& slot, Value value) {
        const std::uint64_t word = slot.word_.load(std::memory_order_relaxed);
        if (((word >> Slot::kValueShift) & kMaxValue) != kEmpty) return;
        slot.word_.store(word | (std::uint64_t{value & kMaxValue} << Slot::kValueShift), std::memory_order_relaxed);
    }

    // Pure membership test; never inserts.
    __attribute__((always_inline)) bool contains(std::string_view key, std::uint64_t hash) const {
        if (capacity_ == 0) return false;
        const std::uint64_t tag = Slot::tagOf(hash);
        for (std::size_t i = home(hash);; i = next(i)) {
            const std::uint64_t word = slots_.get()[i].word_.load(std::memory_order_acquire);
            if ((word & Slot::kStateMask) != Slot::kReady) return false;
            if ((word & Slot::kTagMask) == tag && keys_.equals(word >> Slot::kRefShift, key)) return true;
        }
    }

    // Starts loading the slot where a lookup of `hash` begins: rows of many distinct
    // texts make nearly every lookup a cache miss, and issuing the loads early
    // overlaps them.
    // (An empty table has a null base and a zero size: the address is null + 0,
    // and a prefetch never faults.) Written without a branch: GCC 12 drops a
    // prefetch guarded by one here.
    void prefetch(std::uint64_t hash) const { __builtin_prefetch(slots_.get() + home(hash)); }

    void clear() {
        if (size() == 0) return;
        ++generation_;
        for (std::size_t i = 0; i < capacity_; ++i) slots_.get()[i].word_.store(Slot::kFree, std::memory_order_relaxed);
        keys_.reset();
        for (Writer& w : writers_) w = Writer();
    }

    // Changes whenever entries move or go (rehash, clear); within one generation an entry's
    // address stands for its text, since entries are only ever added.
    std::uint64_t generation() const { return generation_; }

    std::size_t size() const {
        std::size_t total = 0;
        for (const Writer& w : writers_) total += w.inserted;
        return total;
    }

private:
    // A writer's own place in the key store, on a cache line of its own.
    struct alignas(64) Writer {
        std::uint32_t block = kNoBlock;  // the block it fills
        std::size_t used = 0;           // bytes used in it
        std::size_t inserted = 0;       // keys it inserted since the last clear
    };
    static constexpr std::uint32_t kNoBlock = ~std::uint32_t{0};

    // Append-only key storage in blocks that never move. A key is referred to by 32
    // bits: the block's index (14 bits) and the offset in it in 8-byte units (18
    // bits), which addresses 32 GiB of keys. A key longer than a quarter of a block
    // gets a block of its own, of its own size. A reset keeps the blocks for reuse.
    class KeyStore {
    public:
        static constexpr std::size_t kBlockBytes = std::size_t{1} << 21;  // one huge page
        static constexpr unsigned kOffsetBits = 18;
        static constexpr std::uint32_t kMaxBlocks = std::uint32_t{1} << (32 - kOffsetBits);
        static constexpr std::size_t kHeader = 4;  // the length

        KeyStore() = default;
        KeyStore(const KeyStore&) = delete;
        KeyStore& operator=(const KeyStore&) = delete;
        ~KeyStore() {
            if (!blocks_) return;
            for (std::uint32_t b = 0; b < kMaxBlocks; ++b) std::free(blocks_[b].data);
        }

        std::uint64_t store(Writer& w, std::string_view key) {
            if (key.size() > 0xffffffffULL - kHeader) {
                throw std::length_error("A field of 4 GiB or more cannot be cached");
            }
            // Room for sameKey's word reads: 8 bytes from a short key's start, 16 from a longer one's.
            const std::size_t readable = key.size() <= 8 ? 8 : std::max<std::size_t>(key.size(), 16);
            const std::size_t need = (kHeader + readable + 7) & ~std::size_t{7};
            // Offsets must stay below kBlockBytes, also in a block larger than that, and the
            // last key of a block keeps readable room after it.
            std::size_t room = 0;
            if (w.block != kNoBlock) {
                const std::size_t limit = std::min(blocks_[w.block].size - kReadableSlack, kBlockBytes);
                room = w.used < limit ? limit - w.used : 0;
            }
            if (need > room) {
                w.block = claim(need > kBlockBytes / 4 ? need : kBlockBytes);
                w.used = 0;
            }
            char* out = blocks_[w.block].data + w.used;
            const auto length = static_cast<std::uint32_t>(key.size());
            std::memcpy(out, &length, 4);
            if (!key.empty()) std::memcpy(out + kHeader, key.data(), key.size());
            const std::uint64_t ref = (std::uint64_t{w.block} << kOffsetBits) | (w.used >> 3);
            w.used += need;
            return ref;
        }

        const char* at(std::uint64_t ref) const {
            return blocks_[ref >> kOffsetBits].data + ((ref & ((std::uint64_t{1} << kOffsetBits) - 1)) << 3);
        }

        __attribute__((always_inline)) bool equals(std::uint64_t ref, std::string_view key) const {
            const char* entry = at(ref);
            std::uint32_t length;
            std::memcpy(&length, entry, 4);
            return length == key.size() && sameKey(entry + kHeader, key.data(), length);
        }

        std::string_view key(std::uint64_t ref) const {
            const char* entry = at(ref);
            std::uint32_t length;
            std::memcpy(&length, entry, 4);
            return {entry + kHeader, length};
        }

        void reset() { next_.store(0, std::memory_order_relaxed); }

        // Must run before the first store, with no other thread using the store.
        void prepare() {
            if (!blocks_) blocks_.reset(new Block[kMaxBlocks]);
        }

    private:
        struct Block {
            char* data = nullptr;
            std::size_t size = 0;
        };

        // The next block index, with room for `bytes`; blocks of an earlier window are reused.
        std::uint32_t claim(std::size_t bytes) {
            const std::uint32_t index = next_.fetch_add(1, std::memory_order_relaxed);
            if (index >= kMaxBlocks) {
                throw std::length_error(
                    "The value cache holds more than 32 GiB of texts; set a smaller rolling cache window");
            }
            Block& block = blocks_[index];
            if (block.size < bytes) {
                std::free(block.data);
                block = Block();
                const std::size_t size = (bytes + kReadableSlack + kBlockBytes - 1) / kBlockBytes * kBlockBytes;
                void* memory = std::aligned_alloc(kBlockBytes, size);
                if (memory == nullptr) throw std::bad_alloc();
                ::madvise(memory, size, MADV_HUGEPAGE);  // keys are read at random, like slots
                block = Block{static_cast<char*>(memory), size};
            }
            return index;
        }

        std::unique_ptr<Block[]> blocks_;  // kMaxBlocks entries, from prepare() on
        std::atomic<std::uint32_t> next_{0};  // blocks handed out since the last reset
    };

    // The table is large and probed at random: on huge pages, a probe costs one
    // cache miss instead of a cache miss and a page walk.
    struct SlotsDeleter {
        std::size_t capacity;
        void operator()(Slot* slots) const {
            for (std::size_t i = 0; i < capacity; ++i) slots[i].~Slot();
            std::free(slots);
        }
    };
    using Slots = std::unique_ptr<Slot, SlotsDeleter>;

    static Slots allocate(std::size_t capacity) {
        constexpr std::size_t kHugePage = std::size_t{1} << 21;
        std::size_t bytes = capacity * sizeof(Slot);
        const std::size_t alignment = bytes >= kHugePage ? kHugePage : alignof(std::max_align_t);
        bytes = (bytes + alignment - 1) / alignment * alignment;
        void* memory = std::aligned_alloc(alignment, bytes);
        if (memory == nullptr) throw std::bad_alloc();
        if (alignment == kHugePage) ::madvise(memory, bytes, MADV_HUGEPAGE);  // a hint; failure is harmless
        Slot* slots = static_cast<Slot*>(memory);
        for (std::size_t i = 0; i < capacity; ++i) new (slots + i) Slot();
        return Slots(slots, SlotsDeleter{capacity});
    }

    // Every key moves to where a lookup of it begins in the larger table. Only a tag
    // of its hash is kept, so each key is hashed again; with the table sized from the
    // first batch of a pass, that is rare.
    void rehash(std::size_t capacity) {
        if (capacity > (std::size_t{1} << 32)) throw std::length_error("The value cache cannot grow further");
        Slots old = allocate(capacity);
        old.swap(slots_);
        ++generation_;
        const std::size_t oldCapacity = capacity_;
        capacity_ = capacity;
        for (std::size_t j = 0; j < oldCapacity; ++j) {
            const std::uint64_t word = old.get()[j].word_.load(std::memory_order_relaxed);
            if ((word & Slot::kStateMask) != Slot::kReady) continue;
            const std::string_view key = keys_.key(word >> Slot::kRefShift);
            std::size_t i = home(hashReadable(key.data(), key.size()));
            while (slots_.get()[i].word_.load(std::memory_order_relaxed) != Slot::kFree) i = next(i);
            slots_.get()[i].word_.store(word, std::memory_order_relaxed);
        }
    }

    // The slot where a lookup of `hash` starts: the low half of the hash scaled to the
    // table's size. (The tag comes from the high half.)
    std::size_t home(std::uint64_t hash) const {
        return static_cast<std::size_t>(((hash & 0xffffffffULL) * capacity_) >> 32);
    }
    std::size_t next(std::size_t i) const { return i + 1 == capacity_ ? 0 : i + 1; }

    Slots slots_{nullptr, SlotsDeleter{0}};
    std::uint64_t generation_ = 0;
    std::size_t capacity_ = 0;
    KeyStore keys_;
    std::vector<Writer> writers_;  // one per thread that inserts
};

// The missing-value markers: a set of texts read only through contains(), behind a
// 1024-bit filter of their hashes that settles nearly every other text without a probe.
class MarkerSet {
public:
    void add(std::string_view text) {
        const std::uint64_t hash = hashBytes(text);
        std::vector<char> readable(text.size() + kReadableSlack);
        if (!text.empty()) std::memcpy(readable.data(), text.data(), text.size());
        set_.reserve(1);
        ValueCache::fill(set_.findOrInsert({readable.data(), text.size()}, hash, 0), 1);
        const unsigned bit = static_cast<unsigned>(hash >> 54);
        filter_[bit >> 6] |= std::uint64_t{1} << (bit & 63);
    }
    __attribute__((always_inline)) bool contains(std::string_view text, std::uint64_t hash) const {
        const unsigned bit = static_cast<unsigned>(hash >> 54);
        return ((filter_[bit >> 6] >> (bit & 63)) & 1) != 0 && set_.contains(text, hash);
    }

private:
    ValueCache set_;
    std::uint64_t filter_[16] = {};
};

}  // namespace velmira
