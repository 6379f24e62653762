#include "binding/batch_queries.h"

#include "common/shared_parts.h"
#include "index/grid.h"
#include "index/key_sort.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace vesko::binding {

namespace {

// Enough centres that a part's work dwarfs handing it over, few enough that the two threads
// finish close together.
constexpr std::size_t part_queries = 256;

struct Part {
    ColumnBatch batch;
    // Where each searched centre's rows end in `batch`, in the part's order.
    std::vector<std::size_t> ends;
    // The part stops at its first failed search: that centre's position and error.
    std::optional<std::pair<std::size_t, Error>> error;
};

// A cell number squeezed into 16 bits: chart cells keep theirs, cells off the chart (and NaN
// positions, cell 0) only need to go somewhere.
std::uint32_t key_cell(std::uint32_t cell) { return std::min<std::uint32_t>(cell, 0xFFFF); }

// Spreads the 16 bits of `v` to the even bits of the result.
std::uint32_t spread_bits(std::uint32_t v) {
    v = (v | (v << 8)) & 0x00FF00FF;
    v = (v | (v << 4)) & 0x0F0F0F0F;
    v = (v | (v << 2)) & 0x33333333;
    v = (v | (v << 1)) & 0x55555555;
    return v;
}

// The centres' positions, nearby centres next to each other: ascending by the Z-curve key of
// their cells (centres off the chart last), equal keys in centre order.
std::vector<std::uint32_t> nearby_first(std::span<const float> lats, std::span<const float> lons) {
    struct Keyed {
        std::uint32_t key;
        std::uint32_t query;
    };
    std::vector<Keyed> keyed(lats.size());
    for (std::size_t query = 0; query < keyed.size(); ++query) {
        const std::uint32_t row = key_cell(index::lat_cell(lats[query]));
        const std::uint32_t column = key_cell(index::lon_cell(lons[query]));
        keyed[query] = {spread_bits(row) << 1 | spread_bits(column),
                        static_cast<std::uint32_t>(query)};
    }
    index::stable_sort_by_key(keyed, [](const Keyed& k) { return k.key; });
    std::vector<std::uint32_t> order(keyed.size());
    for (std::size_t i = 0; i < keyed.size(); ++i) order[i] = keyed[i].query;
    return order;
}

}  // namespace

Result<std::shared_ptr<ColumnAnswer>> answer_many(std::span<const float> lats,
                                                  std::span<const float> lons,
                                                  const CentreSearch& search,
                                                  Interrupt& interrupt) {
    const std::vector<std::uint32_t> order = nearby_first(lats, lons);
    const std::size_t queries = order.size();
    const std::size_t parts = (queries + part_queries - 1) / part_queries;
    SharedParts<Part> shared(
        parts,
        [&](std::size_t part, Part& out) {
            const std::size_t end = std::min(queries, (part + 1) * part_queries);
            for (std::size_t at = part * part_queries; at < end; ++at) {
                const std::size_t query = order[at];
                if (interrupt.requested()) {
                    out.error.emplace(query, make_error(ErrorKind::Interrupted,
                                                        "batch query interrupted: no answer"));
                    return;
                }
                auto done = search(query, out.batch);
                if (!done) {
                    out.error.emplace(query, done.error());
                    return;
                }
                out.ends.push_back(out.batch.rows);
            }
        },
        SharedParts<Part>::HelperStart::Back);
    std::size_t rows = 0;
    std::size_t id_bytes = 0;
    std::size_t metadata_bytes = 0;
    const std::pair<std::size_t, Error>* failed = nullptr;
    std::vector<const Part*> done(parts);
    for (std::size_t part = 0; part < parts; ++part) {
        const Part& got = *(done[part] = &shared.get(part));
        if (got.error && (failed == nullptr || got.error->first < failed->first)) {
            failed = &*got.error;
        }
        rows += got.batch.rows;
        id_bytes += got.batch.ext_ids.byte_size();
        metadata_bytes += got.batch.metadata.byte_size();
    }
    if (failed != nullptr) return failed->second;

    // Back to centre order, each centre's rows copied from its part.
    std::vector<std::uint32_t> place(queries);
    for (std::size_t at = 0; at < queries; ++at) place[order[at]] = static_cast<std::uint32_t>(at);
    auto answer = std::make_shared<ColumnAnswer>();
    answer->kinds = ColumnKinds{true, true};
    ColumnBatch& batch = answer->batches.emplace_back();
    batch.query.reserve(rows);
    batch.lat_deg.reserve(rows);
    batch.lon_deg.reserve(rows);
    batch.dist_m.reserve(rows);
    batch.ext_ids.reserve(rows, id_bytes);
    batch.metadata.reserve(rows, metadata_bytes);
    for (std::size_t query = 0; query < queries; ++query) {
        const Part& from = *done[place[query] / part_queries];
        const std::size_t at = place[query] % part_queries;
        const std::size_t begin = at == 0 ? 0 : from.ends[at - 1];
        append_rows(batch, from.batch, begin, from.ends[at]);
        batch.query.resize(batch.rows, static_cast<std::int32_t>(query));
    }
    answer->seal();
    return answer;
}

}  // namespace vesko::binding
