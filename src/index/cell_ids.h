// CellIds: the ids filed in one grid cell, ascending. Most cells hold one or two points, and a
// compressed bitmap per cell would cost several allocations each; two ids fit inline here, and
// larger cells keep one array. Ids arrive in ascending order (insertion hands out increasing
// ids; a stored grid and compaction are read in order), so adding is an append.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace vesko::index {

class CellIds {
  public:
    CellIds() = default;
    CellIds(const CellIds&) = delete;
    CellIds& operator=(const CellIds&) = delete;
    CellIds(CellIds&& other) noexcept { take(other); }
    CellIds& operator=(CellIds&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    ~CellIds() { release(); }

    // Adds an id; false, changing nothing, when it is present already.
    bool add(std::uint32_t id) {
        std::uint32_t* d = data();
        if (size_ == 0 || d[size_ - 1] < id) {
            grow_for(size_ + 1);
            data()[size_++] = id;
            return true;
        }
        std::uint32_t* at = std::lower_bound(d, d + size_, id);
        if (*at == id) return false;
        const std::size_t index = static_cast<std::size_t>(at - d);
        grow_for(size_ + 1);
        d = data();
        std::memmove(d + index + 1, d + index, (size_ - index) * sizeof(std::uint32_t));
        d[index] = id;
        ++size_;
        return true;
    }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const std::uint32_t* begin() const { return data(); }
    const std::uint32_t* end() const { return data() + size_; }

  private:
    static constexpr std::uint32_t inline_capacity = 2;

    bool on_heap() const { return capacity_ > inline_capacity; }
    std::uint32_t* data() { return on_heap() ? heap_ : inline_; }
    const std::uint32_t* data() const { return on_heap() ? heap_ : inline_; }

    void grow_for(std::uint32_t wanted) {
        if (wanted <= capacity_) return;
        const std::uint32_t capacity = std::max(wanted, capacity_ * 2);
        auto* fresh = static_cast<std::uint32_t*>(::operator new(capacity * sizeof(std::uint32_t)));
        std::memcpy(fresh, data(), size_ * sizeof(std::uint32_t));
        release();
        heap_ = fresh;
        capacity_ = capacity;
    }
    void release() {
        if (on_heap()) ::operator delete(heap_);
        capacity_ = inline_capacity;
    }
    void take(CellIds& other) {
        size_ = other.size_;
        capacity_ = other.capacity_;
        if (other.on_heap()) {
            heap_ = other.heap_;
        } else {
            std::memcpy(inline_, other.inline_, sizeof inline_);
        }
        other.size_ = 0;
        other.capacity_ = inline_capacity;
    }

    std::uint32_t size_ = 0;
    std::uint32_t capacity_ = inline_capacity;
    union {
        std::uint32_t inline_[inline_capacity];
        std::uint32_t* heap_;
    };
};

}  // namespace vesko::index
