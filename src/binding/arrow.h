// Answers as columns: buffers laid out as the Arrow columnar format lays them out, and their
// export through the Arrow C data interface. No Python here: a batch is filled by the engine's
// readers with the index lock held shared and the interpreter lock let go, and a consumer may
// release what it was handed on any thread, with or without the interpreter lock.
//
// Ownership: a ColumnAnswer is immutable once built and shared (std::shared_ptr) by the Python
// object that answered and by every structure exported from it; each exported array keeps the
// answer alive until its release callback runs, so the buffers outlive the store's changes,
// vacuum and close, and the object that answered.
#pragma once

#include "engine/hit_texts.h"
#include "engine/store.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The C data interface's structures, as the Arrow format lays them out; the guards let this
// header meet another copy of them.
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

extern "C" {
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};
}
#endif

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE
extern "C" {
struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};
}
#endif

namespace vesko::binding {

// A text column: row r is bytes[offsets[r], offsets[r + 1]). Built with 64-bit offsets (Arrow's
// large_utf8) and narrowed to 32-bit ones (utf8) when the whole answer's texts allow it, so an
// answer of any size stays one batch and every batch of an answer has the same type.
class TextColumn {
  public:
    // Rows appended in order.
    void append(std::string_view text) {
        bytes_.append(text);
        wide_.push_back(static_cast<std::int64_t>(bytes_.size()));
    }
    // Rows written out of order: every new row's length first, then each text at its row.
    // Returns the first new row.
    std::size_t add_rows(std::span<const std::uint32_t> lengths);
    void write(std::size_t row, std::string_view text) {
        text.copy(bytes_.data() + wide_[row], text.size());
    }
    // Appends rows [begin, end) of `other`; neither is narrowed yet.
    void append_rows(const TextColumn& other, std::size_t begin, std::size_t end);
    void reserve(std::size_t rows, std::size_t bytes);
    std::size_t byte_size() const { return bytes_.size(); }
    bool fits_narrow() const;
    void narrow();

    bool large() const { return narrow_.empty(); }
    const void* offsets() const;
    const char* bytes() const;
    std::string_view at(std::size_t row) const;

  private:
    std::vector<std::int64_t> wide_{0};
    std::vector<std::int32_t> narrow_;  // after narrow(), which empties wide_
    std::string bytes_;
};

// The columns an answer has, in this order; `id`, `lat`, `lon` and `metadata` always.
struct ColumnKinds {
    bool query = false;       // int32, the centre's position (batch queries)
    bool distance_m = false;  // float32 (radius and k-nearest)
    // Last, `geometry`: GeoArrow's point in its separated layout, struct<x: double, y: double>
    // (longitude, latitude: the stored values widened), with the `geoarrow.point` extension.
    bool geometry = false;
};

// One record batch. Column vectors hold `rows` values each, or none when their kind is off.
struct ColumnBatch {
    std::size_t rows = 0;
    std::vector<std::int32_t> query;
    TextColumn ext_ids;
    std::vector<float> lat_deg;
    std::vector<float> lon_deg;
    std::vector<float> dist_m;
    TextColumn metadata;
    // The geometry's x and y, filled by ColumnAnswer::seal() when the kind is on.
    std::vector<double> x_deg;
    std::vector<double> y_deg;
};

// An answer: one batch for a search or get_many, a batch per stretch of points for items.
struct ColumnAnswer {
    ColumnKinds kinds;
    std::vector<ColumnBatch> batches;
    bool large_texts = false;  // set by seal(): text columns are large_utf8

    // Chooses the text columns' type once every batch is in; nothing changes afterwards.
    void seal();
    std::size_t rows() const;
};

// Readers that append a search's hits to `out`, in the tuple answer's order. They need no
// interpreter lock.
engine::DistanceHitsReader distance_columns_into(ColumnBatch& out);
engine::HitsReader columns_into(ColumnBatch& out);
// Appends rows [begin, end) of `part` (a batch of the same kinds, not sealed) to `out`, all
// but the query column.
void append_rows(ColumnBatch& out, const ColumnBatch& part, std::size_t begin, std::size_t end);
// Appends stored points to `out`, in their order.
void append_points(ColumnBatch& out, std::span<const engine::StoredPoint> points);

// Exports, each filling a structure the consumer provided and will release. `batch` must be
// an index into answer->batches.
void export_schema(const ColumnAnswer& answer, ArrowSchema* out);
void export_batch(std::shared_ptr<const ColumnAnswer> answer, std::size_t batch, ArrowArray* out);
void export_stream(std::shared_ptr<const ColumnAnswer> answer, ArrowArrayStream* out);

}  // namespace vesko::binding
