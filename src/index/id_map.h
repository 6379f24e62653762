// IdMap: hash_id of an external id -> internal id, for every live point. An open-addressing
// table (linear probing, deletion by shifting back) in two flat arrays: at a million points it
// takes a third of the memory of a node-based map and fills without an allocation per entry.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

namespace vesko::index {

class IdMap {
  public:
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    const std::uint32_t* find(std::uint64_t key) const {
        if (size_ == 0) return nullptr;
        for (std::size_t i = home(key);; i = (i + 1) & mask()) {
            if (!used_[i]) return nullptr;
            if (keys_[i] == key) return &values_[i];
        }
    }
    bool contains(std::uint64_t key) const { return find(key) != nullptr; }
    // Hints that `key` will be looked up or inserted soon: a batch issues it some entries
    // ahead, so that the table's memory arrives while earlier entries are handled.
    void prefetch(std::uint64_t key) const {
        if (keys_.empty()) return;
        const std::size_t i = home(key);
        __builtin_prefetch(&used_[i]);
        __builtin_prefetch(&keys_[i]);
    }

    // Adds the entry; false, changing nothing, when the key is present.
    bool insert(std::uint64_t key, std::uint32_t value) {
        grow_if_needed();
        std::size_t i = home(key);
        for (; used_[i]; i = (i + 1) & mask()) {
            if (keys_[i] == key) return false;
        }
        place(i, key, value);
        return true;
    }
    // Adds the entry or replaces the value of a present key.
    void assign(std::uint64_t key, std::uint32_t value) {
        grow_if_needed();
        std::size_t i = home(key);
        for (; used_[i]; i = (i + 1) & mask()) {
            if (keys_[i] == key) {
                values_[i] = value;
                return;
            }
        }
        place(i, key, value);
    }
    // Removes the entry; false when the key is absent.
    bool erase(std::uint64_t key) {
        if (size_ == 0) return false;
        std::size_t i = home(key);
        for (;; i = (i + 1) & mask()) {
            if (!used_[i]) return false;
            if (keys_[i] == key) break;
        }
        // Shift later entries of the probe run back so that no lookup meets a gap before its
        // entry.
        for (std::size_t j = (i + 1) & mask(); used_[j]; j = (j + 1) & mask()) {
            const std::size_t h = home(keys_[j]);
            const bool stays = i <= j ? (i < h && h <= j) : (i < h || h <= j);
            if (stays) continue;
            keys_[i] = keys_[j];
            values_[i] = values_[j];
            i = j;
        }
        used_[i] = 0;
        --size_;
        return true;
    }

    void reserve(std::size_t entries) {
        std::size_t slots = 16;
        while (slots * 3 < entries * 4) slots *= 2;
        if (slots > keys_.size()) rehash(slots);
    }

    template <class Fn>
    void for_each(Fn&& fn) const {
        for (std::size_t i = 0; i < keys_.size(); ++i) {
            if (used_[i]) fn(keys_[i], values_[i]);
        }
    }

  private:
    std::size_t mask() const { return keys_.size() - 1; }
    // Fibonacci hashing: keys that differ only in low bits still land apart.
    std::size_t home(std::uint64_t key) const {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> shift_);
    }
    void place(std::size_t i, std::uint64_t key, std::uint32_t value) {
        keys_[i] = key;
        values_[i] = value;
        used_[i] = 1;
        ++size_;
    }
    // Keeps the table at most three quarters full.
    void grow_if_needed() {
        if (keys_.empty() || (size_ + 1) * 4 > keys_.size() * 3) {
            rehash(keys_.empty() ? 16 : keys_.size() * 2);
        }
    }
    void rehash(std::size_t slots) {
        std::vector<std::uint64_t> keys(slots);
        std::vector<std::uint32_t> values(slots);
        std::vector<std::uint8_t> used(slots, 0);
        keys.swap(keys_);
        values.swap(values_);
        used.swap(used_);
        shift_ = 64 - std::countr_zero(slots);
        size_ = 0;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            if (used[i]) insert(keys[i], values[i]);
        }
    }

    std::vector<std::uint64_t> keys_;
    std::vector<std::uint32_t> values_;
    std::vector<std::uint8_t> used_;  // one byte a slot: 0 empty, 1 holds an entry
    std::size_t size_ = 0;
    int shift_ = 64;
};

}  // namespace vesko::index
