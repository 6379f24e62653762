// ValueIds: the ids of one value of a string field, as the string index holds them. Fields such
// as names or codes give most of their values to a single point, and a bitmap per value costs
// several allocations and about a hundred bytes. So one id is held in place and a bitmap made
// only when a second id arrives: filing, snapshotting and reading back such a value allocate
// nothing for its ids. What leaves a ValueIds (its bitmap, its stored bytes) is the same as a
// bitmap of its ids would give.
#pragma once

#include "common/bitmap.h"
#include "storage/bitmap_codec.h"
#include "storage/codec.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vesko::index {

class ValueIds {
  public:
    void add(std::uint32_t id) {
        if (many_) {
            many_->add(id);
        } else if (!has_single_) {
            single_ = id;
            has_single_ = true;
        } else if (id != single_) {
            make_many();
            many_->add(id);
        }
    }
    // Adds n ids; fastest when they ascend.
    void add_many(const std::uint32_t* ids, std::size_t n) {
        if (n == 0) return;
        if (n == 1) return add(ids[0]);
        if (!many_) make_many();
        many_->add_many(ids, n);
    }

    bool empty() const { return !has_single_ && !many_; }
    std::uint64_t cardinality() const {
        return many_ ? many_->cardinality() : static_cast<std::uint64_t>(has_single_);
    }
    // Largest id; 0 when empty.
    std::uint32_t maximum() const { return many_ ? many_->maximum() : single_; }

    // The ids as a bitmap, narrowed to `within` when given.
    Bitmap bitmap(const Bitmap* within = nullptr) const {
        if (many_) return within != nullptr ? *many_ & *within : *many_;
        Bitmap out;
        if (has_single_ && (within == nullptr || within->contains(single_))) out.add(single_);
        return out;
    }

    // Calls fn(id) for each id, ascending.
    template <class Fn>
    void for_each(Fn&& fn) const {
        if (many_) {
            many_->for_each(std::forward<Fn>(fn));
        } else if (has_single_) {
            fn(single_);
        }
    }

    // u64 length, then the portable bytes: what put_bitmap writes for a bitmap of the ids.
    void put(std::string& out) const {
        if (many_) {
            storage::put_bitmap(out, *many_);
        } else {
            storage::put_sorted_ids(out, &single_, has_single_ ? 1 : 0);
        }
    }

    // Reads a stored bitmap as read_bitmap does, refusing the same bytes; false on anything
    // malformed. A short one is walked without building a bitmap, and kept in place when it
    // holds one id or none.
    static bool read(storage::ByteReader& reader, ValueIds& out) {
        std::uint64_t length;
        std::string_view bytes;
        if (!reader.u64(length) || !reader.bytes(length, bytes)) return false;
        const std::span<const unsigned char> span(
            reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        out = ValueIds();
        if (span.size() <= walked_bytes) {
            std::size_t seen = 0;
            std::uint32_t first = 0;
            const std::function<void(std::uint32_t)> count = [&](std::uint32_t id) {
                if (seen++ == 0) first = id;
            };
            if (!storage::walk_portable(span, &count)) return false;
            if (seen <= 1) {
                out.single_ = first;
                out.has_single_ = seen == 1;
                return true;
            }
        } else if (!storage::is_well_formed_portable(span)) {
            return false;
        }
        Bitmap ids;
        if (!Bitmap::read_portable_bounded(span, ids)) return false;
        out.many_ = std::move(ids);
        return true;
    }

  private:
    // Stored bitmaps up to this size are walked first: one id takes 18 bytes.
    static constexpr std::size_t walked_bytes = 64;

    void make_many() {
        many_.emplace();
        if (has_single_) many_->add(single_);
        has_single_ = false;
    }

    std::uint32_t single_ = 0;
    bool has_single_ = false;
    std::optional<Bitmap> many_;  // set once a second id, or a batch of ids, is added
};

}  // namespace vesko::index
