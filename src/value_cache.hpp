// ValueCache: field text -> small integer, the engine's memo of classification
// results (and, read-only, its set of missing-value markers).
//
// Open addressing with linear probing over a power-of-two table. Keys are copied
// into arenas, one per writing thread, so inserting a text costs no allocation of
// its own and emptying the cache is a reset, not a free per key.
//
// Concurrency: lookups, inserts and fills may run on many threads at once; they
// only ever claim an empty slot or fill an empty value, with atomic operations,
// and never move a slot. Everything that moves or drops slots (reserve, clear,
// setWriters) must run while no other thread uses the cache. The caller reserves
// room for the inserts it is about to allow, so the table never grows under
// concurrent use. A text that hits the cache costs only reads of shared memory:
// no lock, no write, nothing for the cores to fight over.
#pragma once

#include <sys/mman.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

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

// Fast hash for field texts, which are mostly short: up to 16 bytes take two
// (possibly overlapping) loads and no loop; longer texts go 16 bytes a step.
inline std::uint64_t hashBytes(std::string_view s) {
    constexpr std::uint64_t k0 = 0xa0761d6478bd642fULL, k1 = 0xe7037ed1a0b428dbULL,
                            k2 = 0x8ebc6af09c88c6e3ULL;
    const char* p = s.data();
    std::size_t len = s.size();
    std::uint64_t seed = k0 ^ (static_cast<std::uint64_t>(len) * k2);
    std::uint64_t a = 0, b = 0;
    if (len <= 16) {
        if (len >= 8) {
            a = load64(p);
            b = load64(p + len - 8);
        } else if (len >= 4) {
            a = load32(p);
            b = load32(p + len - 4);
        } else if (len > 0) {
            a = (std::uint64_t{static_cast<unsigned char>(p[0])} << 16) |
                (std::uint64_t{static_cast<unsigned char>(p[len / 2])} << 8) |
                std::uint64_t{static_cast<unsigned char>(p[len - 1])};
        }
    } else {
        for (; len > 16; p += 16, len -= 16) seed = fold(load64(p) ^ k1, load64(p + 8) ^ seed);
        a = load64(p + len - 16);
        b = load64(p + len - 8);
    }
    return mix64(fold(a ^ k1, b ^ seed));
}

class ValueCache {
public:
    using Value = std::uint32_t;
    static constexpr Value kEmpty = 0;         // "no value stored"; what a new entry holds
    static constexpr Value kMaxValue = (Value{1} << 30) - 1;

    // 16 bytes: half the memory (and half the cache misses) of a slot that kept the
    // full hash and the key's length beside its pointer.
    class Slot {
    public:
        Value value() const {
            return static_cast<Value>(word_.load(std::memory_order_acquire) >> kValueShift) & kMaxValue;
        }

    private:
        friend class ValueCache;
        // word_: the high 32 bits of the key's hash (a tag that settles most
        // mismatches without touching the key), the value, and the state.
        static constexpr std::uint64_t kFree = 0, kClaimed = 1, kReady = 2, kStateMask = 3;
        static constexpr unsigned kValueShift = 2;
        static std::uint64_t tagOf(std::uint64_t hash) { return hash & 0xffffffff00000000ULL; }
        std::atomic<std::uint64_t> word_{kFree};
        const char* key_ = nullptr;  // into a writer's arena: the length, then the bytes
    };

    explicit ValueCache(std::size_t writers = 1) { setWriters(writers); }
    ValueCache(const ValueCache&) = delete;
    ValueCache& operator=(const ValueCache&) = delete;

    // The number of threads that will insert, each with its own index below that.
    void setWriters(std::size_t writers) {
        if (writers > arenas_.size()) arenas_.resize(writers);
        if (writers > inserted_.size()) inserted_.resize(writers);
    }

    // Makes room for `more` inserts, so that the table does not grow while they run.
    void reserve(std::size_t more) {
        const std::size_t needed = (size() + more) * 2;
        if (needed <= capacity_) return;
        std::size_t capacity = capacity_ == 0 ? 64 : capacity_;
        while (capacity < needed) capacity *= 2;
        rehash(capacity);
    }

    // The text's entry, created empty if missing. The caller must have reserved room.
    Slot& findOrInsert(std::string_view key, std::uint64_t hash, std::size_t writer) {
        const std::uint64_t tag = Slot::tagOf(hash);
        for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
            Slot& slot = slots_.get()[i];
            std::uint64_t word = slot.word_.load(std::memory_order_acquire);
            if (word == Slot::kFree) {
                if (slot.word_.compare_exchange_strong(word, Slot::kClaimed, std::memory_order_acquire)) {
                    slot.key_ = arenas_[writer].store(key);
                    slot.word_.store(tag | Slot::kReady, std::memory_order_release);
                    ++inserted_[writer].count;
                    return slot;
                }
                // Another thread claimed it first: it may be this very text.
            }
            while ((word & Slot::kStateMask) != Slot::kReady) word = slot.word_.load(std::memory_order_acquire);
            if (Slot::tagOf(word) == tag && equals(slot, key)) return slot;
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

    // Pure membership test; never inserts.
    bool contains(std::string_view key, std::uint64_t hash) const {
        if (capacity_ == 0) return false;
        const std::uint64_t tag = Slot::tagOf(hash);
        for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
            const Slot& slot = slots_.get()[i];
            const std::uint64_t word = slot.word_.load(std::memory_order_acquire);
            if ((word & Slot::kStateMask) != Slot::kReady) return false;
            if (Slot::tagOf(word) == tag && equals(slot, key)) return true;
        }
    }

    // Starts loading the slot where a lookup of `hash` begins: rows of many distinct
    // texts make nearly every lookup a cache miss, and issuing a row's loads
    // together overlaps them.
    // (An empty table has a null base and a zero mask: the address is null + 0,
    // and a prefetch never faults.) Written without a branch: GCC 12 drops a
    // prefetch guarded by one here.
    void prefetch(std::uint64_t hash) const { __builtin_prefetch(slots_.get() + (hash & mask_)); }

    void clear() {
        if (size() == 0) return;
        for (std::size_t i = 0; i < capacity_; ++i) slots_.get()[i].word_.store(Slot::kFree, std::memory_order_relaxed);
        for (Arena& arena : arenas_) arena.reset();
        for (Counter& counter : inserted_) counter.count = 0;
    }

    std::size_t size() const {
        std::size_t total = 0;
        for (const Counter& counter : inserted_) total += counter.count;
        return total;
    }

private:
    // Append-only key storage in blocks that never move, so stored keys stay put as
    // it grows. A reset keeps the blocks for reuse.
    class Arena {
    public:
        // Stores the length (unaligned, in native order), then the bytes.
        const char* store(std::string_view key) {
            const std::size_t need = sizeof(std::size_t) + key.size();
            while (current_ < blocks_.size() && blocks_[current_].size - used_ < need) {
                ++current_;
                used_ = 0;
            }
            if (current_ == blocks_.size()) {
                const std::size_t size = (need + kBlockSize - 1) / kBlockSize * kBlockSize;
                void* memory = std::aligned_alloc(kBlockSize, size);
                if (memory == nullptr) throw std::bad_alloc();
                ::madvise(memory, size, MADV_HUGEPAGE);  // keys are read at random, like slots
                blocks_.push_back(Block{std::unique_ptr<char, FreeDeleter>(static_cast<char*>(memory)), size});
                used_ = 0;
            }
            char* out = blocks_[current_].data.get() + used_;
            const std::size_t length = key.size();
            std::memcpy(out, &length, sizeof length);
            if (length != 0) std::memcpy(out + sizeof length, key.data(), length);
            used_ += need;
            return out;
        }
        void reset() {
            current_ = 0;
            used_ = 0;
        }

    private:
        static constexpr std::size_t kBlockSize = std::size_t{1} << 21;  // one huge page
        struct FreeDeleter {
            void operator()(char* p) const { std::free(p); }
        };
        struct Block {
            std::unique_ptr<char, FreeDeleter> data;
            std::size_t size;
        };
        std::vector<Block> blocks_;
        std::size_t current_ = 0;  // the block being filled
        std::size_t used_ = 0;     // bytes used in it
    };

    // Inserts counted per writer, each on its own cache line.
    struct alignas(64) Counter {
        std::size_t count = 0;
    };

    static bool equals(const Slot& slot, std::string_view key) {
        std::size_t length;
        std::memcpy(&length, slot.key_, sizeof length);
        return length == key.size() &&
               (length == 0 || std::memcmp(slot.key_ + sizeof length, key.data(), length) == 0);
    }

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

    // Every key moves to where a lookup of it begins in the larger table. Only the
    // high half of its hash is kept in the slot, so the key is hashed again: a
    // cost paid once per key per doubling.
    void rehash(std::size_t capacity) {
        Slots old = allocate(capacity);
        old.swap(slots_);
        const std::size_t oldCapacity = capacity_;
        capacity_ = capacity;
        mask_ = capacity - 1;
        for (std::size_t j = 0; j < oldCapacity; ++j) {
            const Slot& from = old.get()[j];
            const std::uint64_t word = from.word_.load(std::memory_order_relaxed);
            if ((word & Slot::kStateMask) != Slot::kReady) continue;
            std::size_t i = home(from) & mask_;
            while (slots_.get()[i].word_.load(std::memory_order_relaxed) != Slot::kFree) i = (i + 1) & mask_;
            Slot& to = slots_.get()[i];
            to.key_ = from.key_;
            to.word_.store(word, std::memory_order_relaxed);
        }
    }

    // The full hash of a stored key, for moving it to a larger table.
    static std::uint64_t home(const Slot& slot) {
        std::size_t length;
        std::memcpy(&length, slot.key_, sizeof length);
        return hashBytes(std::string_view(slot.key_ + sizeof length, length));
    }

    Slots slots_{nullptr, SlotsDeleter{0}};
    std::size_t capacity_ = 0;
    std::size_t mask_ = 0;
    std::vector<Arena> arenas_;      // one per writer
    std::vector<Counter> inserted_;  // one per writer
};

}  // namespace velmira
