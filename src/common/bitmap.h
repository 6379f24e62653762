// Bitmap: a compressed set of 32-bit internal ids, the unit in which every index, filter and
// search combines. This is the only file that includes CRoaring; it uses the C API only, in the
// subset that is the same in the 0.2 series and in current releases (which wrap the C API in
// the namespace roaring::api for C++ callers).
#pragma once

#include <roaring/roaring.h>

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace roaring::api {}

namespace vesko {

// Unqualified lookup inside this namespace finds the C API in the global namespace (0.2
// series) and in roaring::api (current releases) alike.
namespace bitmap_detail {
using namespace ::roaring::api;

// Value type with deep copies. A moved-from Bitmap may only be destroyed or assigned to.
class Bitmap {
  public:
    Bitmap() : r_(checked(roaring_bitmap_create())) {}
    Bitmap(const Bitmap& other) : r_(checked(roaring_bitmap_copy(other.r_))) {}
    Bitmap(Bitmap&& other) noexcept : r_(std::exchange(other.r_, nullptr)) {}
    Bitmap& operator=(const Bitmap& other) {
        if (this != &other) {
            Bitmap copy(other);
            std::swap(r_, copy.r_);
        }
        return *this;
    }
    Bitmap& operator=(Bitmap&& other) noexcept {
        std::swap(r_, other.r_);
        return *this;
    }
    ~Bitmap() {
        if (r_ != nullptr) roaring_bitmap_free(r_);
    }

    void add(std::uint32_t id) { roaring_bitmap_add(r_, id); }
    // Adds n ids; fastest when they ascend.
    void add_many(const std::uint32_t* ids, std::size_t n) {
        if (n > 0) roaring_bitmap_add_many(r_, n, ids);
    }
    void remove(std::uint32_t id) { roaring_bitmap_remove(r_, id); }
    bool contains(std::uint32_t id) const { return roaring_bitmap_contains(r_, id); }
    std::uint64_t cardinality() const { return roaring_bitmap_get_cardinality(r_); }
    bool empty() const { return roaring_bitmap_is_empty(r_); }
    // Largest id; 0 for an empty bitmap.
    std::uint32_t maximum() const { return roaring_bitmap_maximum(r_); }
    // Smallest id; UINT32_MAX for an empty bitmap.
    std::uint32_t minimum() const { return roaring_bitmap_minimum(r_); }
    // The ids that follow `after` (every id when it is empty), at most `limit` of them.
    Bitmap next_after(std::optional<std::uint32_t> after, std::uint32_t limit) const {
        const std::uint64_t skipped = after ? roaring_bitmap_rank(r_, *after) : 0;
        if (limit == 0 || skipped >= cardinality()) return Bitmap();
        std::uint32_t last = maximum();
        if (skipped + limit < cardinality()) {
            roaring_bitmap_select(r_, static_cast<std::uint32_t>(skipped + limit - 1), &last);
        }
        const std::uint64_t first = after ? std::uint64_t{*after} + 1 : 0;
        Bitmap out(checked(roaring_bitmap_from_range(first, std::uint64_t{last} + 1, 1)));
        out &= *this;
        return out;
    }

    Bitmap& operator&=(const Bitmap& other) {
        roaring_bitmap_and_inplace(r_, other.r_);
        return *this;
    }
    Bitmap& operator|=(const Bitmap& other) {
        roaring_bitmap_or_inplace(r_, other.r_);
        return *this;
    }
    // Set difference: removes every id of other.
    Bitmap& operator-=(const Bitmap& other) {
        roaring_bitmap_andnot_inplace(r_, other.r_);
        return *this;
    }
    friend Bitmap operator&(const Bitmap& a, const Bitmap& b) {
        return Bitmap(checked(roaring_bitmap_and(a.r_, b.r_)));
    }
    friend Bitmap operator|(const Bitmap& a, const Bitmap& b) {
        return Bitmap(checked(roaring_bitmap_or(a.r_, b.r_)));
    }
    friend Bitmap operator-(const Bitmap& a, const Bitmap& b) {
        return Bitmap(checked(roaring_bitmap_andnot(a.r_, b.r_)));
    }
    friend bool operator==(const Bitmap& a, const Bitmap& b) {
        return roaring_bitmap_equals(a.r_, b.r_);
    }

    // Calls fn(id) for every id in ascending order while fn returns true. Returns false when
    // fn stopped the walk. An exception from fn stops the walk and is rethrown here: it must
    // not unwind through the C library's frames.
    template <class Fn>
    bool for_each_until(Fn&& fn) const {
        Walk<Fn> walk{fn, nullptr};
        bool completed = roaring_iterate(r_, &trampoline<Fn>, &walk);
        if (walk.failure) std::rethrow_exception(walk.failure);
        return completed;
    }
    template <class Fn>
    void for_each(Fn&& fn) const {
        for_each_until([&fn](std::uint32_t id) {
            fn(id);
            return true;
        });
    }
    std::vector<std::uint32_t> to_vector() const {
        std::vector<std::uint32_t> out(static_cast<std::size_t>(cardinality()));
        if (!out.empty()) roaring_bitmap_to_uint32_array(r_, out.data());
        return out;
    }

    // Appends the library's portable serialization as it stands: cookie 12346 when no
    // container is a run, else 12347. Returns true when the bytes hold no run container.
    // Runs are never flattened through the library: the 0.2 series writes past its buffer
    // when it converts a run that ends at 65535, so callers that need the run-free form
    // rebuild it from the ids (storage/bitmap_codec.cpp).
    bool append_portable(std::string& out) const {
        const std::size_t at = out.size();
        serialize_into(r_, out);
        return (static_cast<unsigned>(static_cast<unsigned char>(out[at])) |
                static_cast<unsigned>(static_cast<unsigned char>(out[at + 1])) << 8) ==
               cookie_no_runs;
    }
    // Deserializes with the bounded reader, reading at most bytes.size() bytes. The caller must
    // have checked the bytes' structure first (the old bounded reader trusts array contents);
    // returns false when the reader refuses them anyway.
    static bool read_portable_bounded(std::span<const unsigned char> bytes, Bitmap& out) {
        roaring_bitmap_t* r = roaring_bitmap_portable_deserialize_safe(
            reinterpret_cast<const char*>(bytes.data()), bytes.size());
        if (r == nullptr) return false;
        out = Bitmap(r);
        return true;
    }

  private:
    explicit Bitmap(roaring_bitmap_t* r) : r_(r) {}

    static roaring_bitmap_t* checked(roaring_bitmap_t* r) {
        if (r == nullptr) throw std::bad_alloc();
        return r;
    }
    template <class Fn>
    struct Walk {
        Fn& fn;
        std::exception_ptr failure;
    };
    template <class Fn>
    static bool trampoline(std::uint32_t value, void* param) {
        auto* walk = static_cast<Walk<Fn>*>(param);
        try {
            return walk->fn(value);
        } catch (...) {
            walk->failure = std::current_exception();
            return false;
        }
    }
    static void serialize_into(const roaring_bitmap_t* r, std::string& out) {
        std::size_t n = roaring_bitmap_portable_size_in_bytes(r);
        std::size_t at = out.size();
        out.resize(at + n);
        roaring_bitmap_portable_serialize(r, out.data() + at);
    }

    static constexpr unsigned cookie_no_runs = 12346;

    roaring_bitmap_t* r_;
};

}  // namespace bitmap_detail

using bitmap_detail::Bitmap;

}  // namespace vesko
