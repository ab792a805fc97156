// ValueCache: field text -> small integer, the engine's memo of classification
// results and its set of missing-value markers.
//
// Open addressing over a power-of-two table, split into shards by the high bits
// of the hash so that worker threads classifying different fields rarely meet on
// one lock. Keys live in one byte arena per shard, so inserting a new text costs
// no allocation of its own and emptying the cache is a reset, not a free per key.
// The caller hashes a text once (hashBytes) and passes the hash to every lookup.
//
// Thread safety: the *Locked operations take the shard's mutex; the plain ones
// take none and are for single-threaded use.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <mutex>
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

// Fast hash for short texts: eight bytes at a time, strong final mix.
inline std::uint64_t hashBytes(std::string_view s) {
    const char* p = s.data();
    std::size_t len = s.size();
    std::uint64_t h = 0x9e3779b97f4a7c15ULL ^ (len * 0xff51afd7ed558ccdULL);
    while (len >= 8) {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        h = (h ^ v) * 0xbf58476d1ce4e5b9ULL;
        h ^= h >> 29;
        p += 8;
        len -= 8;
    }
    if (len > 0) {
        std::uint64_t v = 0;
        std::memcpy(&v, p, len);
        h = (h ^ v) * 0x94d049bb133111ebULL;
    }
    return mix64(h);
}

class ValueCache {
public:
    using Value = std::uint32_t;
    static constexpr Value kEmpty = 0;  // "no value stored"; also what a new entry holds

    // Finds the text's entry, creating it with kEmpty if it is missing; returns its value.
    Value findOrInsert(std::string_view key, std::uint64_t hash) {
        Shard& s = shardOf(hash);
        return s.slots[s.findOrInsert(key, hash)].value;
    }
    Value findOrInsertLocked(std::string_view key, std::uint64_t hash) {
        Shard& s = shardOf(hash);
        std::lock_guard<std::mutex> lock(s.mutex);
        return s.slots[s.findOrInsert(key, hash)].value;
    }

    void assign(std::string_view key, std::uint64_t hash, Value value) {
        Shard& s = shardOf(hash);
        s.slots[s.findOrInsert(key, hash)].value = value;
    }
    void assignLocked(std::string_view key, std::uint64_t hash, Value value) {
        Shard& s = shardOf(hash);
        std::lock_guard<std::mutex> lock(s.mutex);
        s.slots[s.findOrInsert(key, hash)].value = value;
    }

    // Pure membership test; never inserts. Safe from many threads while nobody writes.
    bool contains(std::string_view key, std::uint64_t hash) const {
        const Shard& s = shards[shardIndex(hash)];
        if (s.used == 0) return false;
        for (std::size_t i = hash & s.mask;; i = (i + 1) & s.mask) {
            const Slot& slot = s.slots[i];
            if (!slot.occupied) return false;
            if (slot.hash == hash && s.keyEquals(slot, key)) return true;
        }
    }

    void clear() {
        for (Shard& s : shards) s.clear();
    }

    std::size_t size() const {
        std::size_t total = 0;
        for (const Shard& s : shards) total += s.used;
        return total;
    }

private:
    static constexpr unsigned kShardBits = 4;

    struct Slot {
        std::uint64_t hash;
        std::uint64_t offset;  // of the key in the shard's arena
        std::size_t length;
        Value value;
        bool occupied;
    };

    struct Shard {
        std::mutex mutex;
        std::vector<Slot> slots;
        std::vector<char> arena;
        std::size_t mask = 0;
        std::size_t used = 0;

        bool keyEquals(const Slot& slot, std::string_view key) const {
            return slot.length == key.size() &&
                   (key.empty() || std::memcmp(arena.data() + slot.offset, key.data(), key.size()) == 0);
        }

        std::size_t findOrInsert(std::string_view key, std::uint64_t hash) {
            if ((used + 1) * 2 > slots.size()) grow();
            std::size_t i = hash & mask;
            for (;; i = (i + 1) & mask) {
                Slot& slot = slots[i];
                if (!slot.occupied) break;
                if (slot.hash == hash && keyEquals(slot, key)) return i;
            }
            Slot& slot = slots[i];
            slot.hash = hash;
            slot.offset = arena.size();
            slot.length = key.size();
            slot.value = kEmpty;
            slot.occupied = true;
            arena.insert(arena.end(), key.begin(), key.end());
            ++used;
            return i;
        }

        void grow() {
            std::size_t capacity = slots.empty() ? 64 : slots.size() * 2;
            std::vector<Slot> old(capacity, Slot{0, 0, 0, kEmpty, false});
            old.swap(slots);
            mask = capacity - 1;
            for (const Slot& slot : old) {
                if (!slot.occupied) continue;
                std::size_t i = slot.hash & mask;
                while (slots[i].occupied) i = (i + 1) & mask;
                slots[i] = slot;
            }
        }

        void clear() {
            if (used == 0) return;
            for (Slot& slot : slots) slot.occupied = false;
            arena.clear();
            used = 0;
        }
    };

    static std::size_t shardIndex(std::uint64_t hash) {
        return static_cast<std::size_t>(hash >> (64 - kShardBits));
    }
    Shard& shardOf(std::uint64_t hash) { return shards[shardIndex(hash)]; }

    std::array<Shard, std::size_t{1} << kShardBits> shards;
};

}  // namespace velmira
