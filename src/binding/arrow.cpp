#include "binding/arrow.h"

#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>

namespace vesko::binding {

namespace {

// Any non-null address for a buffer of no bytes: some consumers refuse a null data buffer
// even when the column is empty.
const std::int64_t empty_buffer[1] = {0};

const void* buffer_of(const void* data) { return data != nullptr ? data : empty_buffer; }

}  // namespace

std::size_t TextColumn::add_rows(std::span<const std::uint32_t> lengths) {
    const std::size_t first = wide_.size() - 1;
    std::int64_t at = wide_.back();
    for (std::uint32_t length : lengths) wide_.push_back(at += length);
    bytes_.resize(static_cast<std::size_t>(at));
    return first;
}

void TextColumn::append_rows(const TextColumn& other, std::size_t begin, std::size_t end) {
    const std::int64_t from = other.wide_[begin];
    const std::int64_t base = wide_.back() - from;
    for (std::size_t row = begin + 1; row <= end; ++row) wide_.push_back(base + other.wide_[row]);
    bytes_.append(other.bytes_, static_cast<std::size_t>(from),
                  static_cast<std::size_t>(other.wide_[end] - from));
}

void TextColumn::reserve(std::size_t rows, std::size_t bytes) {
    wide_.reserve(rows + 1);
    bytes_.reserve(bytes);
}

bool TextColumn::fits_narrow() const {
    return bytes_.size() <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
}

void TextColumn::narrow() {
    narrow_.resize(wide_.size());
    for (std::size_t i = 0; i < wide_.size(); ++i) narrow_[i] = static_cast<std::int32_t>(wide_[i]);
    std::vector<std::int64_t>().swap(wide_);
}

const void* TextColumn::offsets() const {
    return large() ? static_cast<const void*>(wide_.data()) : narrow_.data();
}

const char* TextColumn::bytes() const { return static_cast<const char*>(buffer_of(bytes_.data())); }

std::string_view TextColumn::at(std::size_t row) const {
    const auto begin = static_cast<std::size_t>(large() ? wide_[row] : narrow_[row]);
    const auto end = static_cast<std::size_t>(large() ? wide_[row + 1] : narrow_[row + 1]);
    return std::string_view(bytes_).substr(begin, end - begin);
}

void ColumnAnswer::seal() {
    for (ColumnBatch& batch : batches) {
        if (!kinds.geometry) break;
        batch.x_deg.assign(batch.lon_deg.begin(), batch.lon_deg.end());
        batch.y_deg.assign(batch.lat_deg.begin(), batch.lat_deg.end());
    }
    for (const ColumnBatch& batch : batches) {
        if (!batch.ext_ids.fits_narrow() || !batch.metadata.fits_narrow()) large_texts = true;
    }
    if (large_texts) return;
    for (ColumnBatch& batch : batches) {
        batch.ext_ids.narrow();
        batch.metadata.narrow();
    }
}

std::size_t ColumnAnswer::rows() const {
    std::size_t n = 0;
    for (const ColumnBatch& batch : batches) n += batch.rows;
    return n;
}

namespace {

// Adds `rows` rows to the coordinate columns; returns the first.
std::size_t add_coordinate_rows(ColumnBatch& out, std::size_t rows) {
    const std::size_t first = out.rows;
    out.rows += rows;
    out.lat_deg.resize(out.rows);
    out.lon_deg.resize(out.rows);
    return first;
}

}  // namespace

// Hits arrive in internal-id order and go to their place in the answer, so each text column
// is laid out from its rows' lengths first and then filled; the hits' texts are all at hand
// once every run has been read.
engine::DistanceHitsReader distance_columns_into(ColumnBatch& out) {
    return [&out](std::span<const spatial::DistanceHit> hits, engine::HitTexts& texts) {
        const std::size_t n = hits.size();
        const std::size_t first = add_coordinate_rows(out, n);
        out.dist_m.resize(out.rows);
        std::vector<std::uint32_t> id_lengths(n);
        std::vector<std::uint32_t> metadata_lengths(n);
        texts.for_each_ready_run([&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                const std::uint32_t place = hits[i].place;
                id_lengths[place] = static_cast<std::uint32_t>(texts.ext_id(i).size());
                metadata_lengths[place] = static_cast<std::uint32_t>(texts.metadata(i).size());
            }
        });
        out.ext_ids.add_rows(id_lengths);
        out.metadata.add_rows(metadata_lengths);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t place = first + hits[i].place;
            const auto [lat_deg, lon_deg] = texts.coords(hits[i].int_id);
            out.lat_deg[place] = lat_deg;
            out.lon_deg[place] = lon_deg;
            out.dist_m[place] = hits[i].dist_m;
            out.ext_ids.write(place, texts.ext_id(i));
            out.metadata.write(place, texts.metadata(i));
        }
    };
}

engine::HitsReader columns_into(ColumnBatch& out) {
    return [&out](std::span<const std::uint32_t> int_ids, engine::HitTexts& texts) {
        const std::size_t n = int_ids.size();
        const std::size_t first = add_coordinate_rows(out, n);
        for (std::size_t i = 0; i < n; ++i) {
            const auto [lat_deg, lon_deg] = texts.coords(int_ids[i]);
            out.lat_deg[first + i] = lat_deg;
            out.lon_deg[first + i] = lon_deg;
        }
        // The answer's order is the hits' order, but runs may become ready in another one.
        std::vector<std::uint32_t> id_lengths(n);
        std::vector<std::uint32_t> metadata_lengths(n);
        texts.for_each_ready_run([&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                id_lengths[i] = static_cast<std::uint32_t>(texts.ext_id(i).size());
                metadata_lengths[i] = static_cast<std::uint32_t>(texts.metadata(i).size());
            }
        });
        out.ext_ids.add_rows(id_lengths);
        out.metadata.add_rows(metadata_lengths);
        for (std::size_t i = 0; i < n; ++i) {
            out.ext_ids.write(first + i, texts.ext_id(i));
            out.metadata.write(first + i, texts.metadata(i));
        }
    };
}

void append_rows(ColumnBatch& out, const ColumnBatch& part, std::size_t begin, std::size_t end) {
    out.rows += end - begin;
    out.ext_ids.append_rows(part.ext_ids, begin, end);
    auto append = [begin, end](std::vector<float>& to, const std::vector<float>& from) {
        if (from.empty()) return;
        to.insert(to.end(), from.begin() + static_cast<std::ptrdiff_t>(begin),
                  from.begin() + static_cast<std::ptrdiff_t>(end));
    };
    append(out.lat_deg, part.lat_deg);
    append(out.lon_deg, part.lon_deg);
    append(out.dist_m, part.dist_m);
    out.metadata.append_rows(part.metadata, begin, end);
}

void append_points(ColumnBatch& out, std::span<const engine::StoredPoint> points) {
    out.rows += points.size();
    for (const engine::StoredPoint& point : points) {
        out.lat_deg.push_back(point.lat_deg);
        out.lon_deg.push_back(point.lon_deg);
        out.ext_ids.append(point.ext_id);
        out.metadata.append(point.metadata);
    }
}

// ---- Export -------------------------------------------------------------------------------

namespace {

enum class Column { Query, Id, Lat, Lon, Distance, Metadata, Geometry };

std::vector<Column> columns_of_kinds(const ColumnKinds& kinds) {
    std::vector<Column> columns;
    if (kinds.query) columns.push_back(Column::Query);
    columns.insert(columns.end(), {Column::Id, Column::Lat, Column::Lon});
    if (kinds.distance_m) columns.push_back(Column::Distance);
    columns.push_back(Column::Metadata);
    if (kinds.geometry) columns.push_back(Column::Geometry);
    return columns;
}

// The field metadata that names a column's extension type (`metadata` as JSON text, `geometry`
// as GeoArrow points), in the format's encoding of key-value pairs (a count, then each key and
// value with its length, all int32 in native byte order).
std::string extension_metadata(std::string_view name, std::string_view metadata) {
    std::string out;
    auto put_int = [&out](std::int32_t value) {
        char bytes[sizeof value];
        std::memcpy(bytes, &value, sizeof value);
        out.append(bytes, sizeof value);
    };
    auto put_text = [&](std::string_view text) {
        put_int(static_cast<std::int32_t>(text.size()));
        out.append(text);
    };
    put_int(2);
    put_text("ARROW:extension:name");
    put_text(name);
    put_text("ARROW:extension:metadata");
    put_text(metadata);
    return out;
}

// A schema's storage: the struct's children and every text they point to. The format strings
// and names are literals; only the metadata is built.
struct SchemaParts {
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> child_pointers;
    std::string json_metadata = extension_metadata("arrow.json", "");
    // The geometry's x and y; its coordinates are longitude and latitude on WGS 84.
    std::vector<ArrowSchema> point_children;
    std::vector<ArrowSchema*> point_child_pointers;
    std::string point_metadata = extension_metadata("geoarrow.point", R"({"crs":"OGC:CRS84"})");
};

void release_child_schema(ArrowSchema* schema) { schema->release = nullptr; }

void release_schema(ArrowSchema* schema) {
    auto* parts = static_cast<SchemaParts*>(schema->private_data);
    for (ArrowSchema& child : parts->children) {
        if (child.release != nullptr) child.release(&child);
    }
    delete parts;
    schema->release = nullptr;
}

ArrowSchema leaf_schema(const char* format, const char* name, const char* metadata) {
    return ArrowSchema{format, name, metadata, 0, 0, nullptr, nullptr, &release_child_schema,
                       nullptr};
}

// Column buffers of one batch, and the columns' arrays, which reference them. A child array
// keeps the answer alive on its own, as a consumer may move it out of its parent.
struct ArrayParts {
    std::shared_ptr<const ColumnAnswer> answer;
    std::vector<const void*> buffers;
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> child_pointers;
};

void release_array(ArrowArray* array) {
    auto* parts = static_cast<ArrayParts*>(array->private_data);
    for (ArrowArray& child : parts->children) {
        if (child.release != nullptr) child.release(&child);
    }
    delete parts;
    array->release = nullptr;
}

ArrowArray array_over(std::shared_ptr<const ColumnAnswer> answer, std::size_t rows,
                      std::vector<const void*> buffers) {
    auto* parts = new ArrayParts{std::move(answer), std::move(buffers), {}, {}};
    return ArrowArray{static_cast<std::int64_t>(rows),
                      0,
                      0,
                      static_cast<std::int64_t>(parts->buffers.size()),
                      0,
                      parts->buffers.data(),
                      nullptr,
                      nullptr,
                      &release_array,
                      parts};
}

ArrowArray column_array(const std::shared_ptr<const ColumnAnswer>& answer, const ColumnBatch& batch,
                        Column column) {
    auto values = [&](const auto& vector) {
        return array_over(answer, batch.rows, {nullptr, buffer_of(vector.data())});
    };
    auto texts = [&](const TextColumn& text) {
        return array_over(answer, batch.rows, {nullptr, text.offsets(), text.bytes()});
    };
    switch (column) {
        case Column::Query:
            return values(batch.query);
        case Column::Id:
            return texts(batch.ext_ids);
        case Column::Lat:
            return values(batch.lat_deg);
        case Column::Lon:
            return values(batch.lon_deg);
        case Column::Distance:
            return values(batch.dist_m);
        case Column::Metadata:
            return texts(batch.metadata);
        case Column::Geometry: {
            ArrowArray point = array_over(answer, batch.rows, {nullptr});
            auto* parts = static_cast<ArrayParts*>(point.private_data);
            parts->children = {values(batch.x_deg), values(batch.y_deg)};
            for (ArrowArray& child : parts->children) parts->child_pointers.push_back(&child);
            point.n_children = 2;
            point.children = parts->child_pointers.data();
            return point;
        }
    }
    return values(batch.lat_deg);
}

struct StreamState {
    std::shared_ptr<const ColumnAnswer> answer;
    std::size_t next = 0;
    std::string last_error;
};

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    auto* state = static_cast<StreamState*>(stream->private_data);
    try {
        export_schema(*state->answer, out);
        return 0;
    } catch (const std::bad_alloc&) {
        state->last_error = "out of memory";
        return 12;  // ENOMEM, as the interface asks for an errno-compatible code
    }
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* state = static_cast<StreamState*>(stream->private_data);
    if (state->next == state->answer->batches.size()) {
        out->release = nullptr;  // the end of the stream
        return 0;
    }
    try {
        export_batch(state->answer, state->next, out);
        ++state->next;
        return 0;
    } catch (const std::bad_alloc&) {
        state->last_error = "out of memory";
        return 12;
    }
}

const char* stream_error(ArrowArrayStream* stream) {
    const auto* state = static_cast<StreamState*>(stream->private_data);
    return state->last_error.empty() ? nullptr : state->last_error.c_str();
}

void release_stream(ArrowArrayStream* stream) {
    delete static_cast<StreamState*>(stream->private_data);
    stream->release = nullptr;
}

const char* name_of(Column column) {
    switch (column) {
        case Column::Query:
            return "query";
        case Column::Id:
            return "id";
        case Column::Lat:
            return "lat";
        case Column::Lon:
            return "lon";
        case Column::Distance:
            return "distance_m";
        case Column::Metadata:
            return "metadata";
        case Column::Geometry:
            return "geometry";
    }
    return "";
}

}  // namespace

void export_schema(const ColumnAnswer& answer, ArrowSchema* out) {
    const std::vector<Column> columns = columns_of_kinds(answer.kinds);
    auto parts = std::make_unique<SchemaParts>();
    const char* text_format = answer.large_texts ? "U" : "u";
    for (Column column : columns) {
        const char* format = "f";
        const char* metadata = nullptr;
        if (column == Column::Query) format = "i";
        if (column == Column::Id) format = text_format;
        if (column == Column::Metadata) {
            format = text_format;
            metadata = parts->json_metadata.c_str();
        }
        if (column == Column::Geometry) {
            parts->point_children = {leaf_schema("g", "x", nullptr),
                                     leaf_schema("g", "y", nullptr)};
            for (ArrowSchema& child : parts->point_children) {
                parts->point_child_pointers.push_back(&child);
            }
            ArrowSchema point = leaf_schema("+s", name_of(column), parts->point_metadata.c_str());
            point.n_children = 2;
            point.children = parts->point_child_pointers.data();
            parts->children.push_back(point);
            continue;
        }
        parts->children.push_back(leaf_schema(format, name_of(column), metadata));
    }
    for (ArrowSchema& child : parts->children) parts->child_pointers.push_back(&child);
    *out = ArrowSchema{"+s",
                       "",
                       nullptr,
                       0,
                       static_cast<std::int64_t>(columns.size()),
                       parts->child_pointers.data(),
                       nullptr,
                       &release_schema,
                       parts.release()};
}

void export_batch(std::shared_ptr<const ColumnAnswer> answer, std::size_t batch, ArrowArray* out) {
    const ColumnBatch& b = answer->batches[batch];
    const std::vector<Column> columns = columns_of_kinds(answer->kinds);
    ArrowArray array = array_over(answer, b.rows, {nullptr});
    auto* parts = static_cast<ArrayParts*>(array.private_data);
    parts->children.reserve(columns.size());
    for (Column column : columns) parts->children.push_back(column_array(answer, b, column));
    for (ArrowArray& child : parts->children) parts->child_pointers.push_back(&child);
    array.n_children = static_cast<std::int64_t>(columns.size());
    array.children = parts->child_pointers.data();
    *out = array;
}

void export_stream(std::shared_ptr<const ColumnAnswer> answer, ArrowArrayStream* out) {
    *out = ArrowArrayStream{&stream_schema, &stream_next, &stream_error, &release_stream,
                            new StreamState{std::move(answer), 0, {}}};
}

}  // namespace vesko::binding
