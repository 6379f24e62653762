#include "index/core_index.h"

#include "common/check.h"
#include "index/id_hash.h"
#include "text/indexed_value.h"

#include <algorithm>

namespace vesko::index {

void index_fields(PersistedIndexes& index, const text::Json& meta,
                  const std::vector<std::string>* skip_index, std::uint32_t int_id) {
    text::for_each_indexed(
        meta, skip_index, [&](std::string_view field, const text::IndexedValue& value) {
            if (value.kind == text::IndexedValue::Kind::String) {
                find_or_create(find_or_create(index.str_index, field), value.text).add(int_id);
            } else {
                find_or_create(index.num_index, field).set_value(int_id, value.number);
            }
        });
}

std::uint32_t next_internal_id(const CoreIndex& index) {
    if (index.valid_ids.empty() && index.deleted.empty()) return 0;
    const std::uint32_t largest = std::max(index.valid_ids.maximum(), index.deleted.maximum());
    VESKO_CHECK(largest != 0xFFFFFFFFU, "internal ids are exhausted; vacuum the store");
    return largest + 1;
}

void rebuild_irregular_ids(CoreIndex& index) {
    Bitmap irregular;
    for (std::uint32_t int_id : index.valid_ids.to_vector()) {
        auto [lat_deg, lon_deg] = index.files.coords(int_id);
        if (!regular_position(lat_deg, lon_deg)) irregular.add(int_id);
    }
    index.irregular_ids = std::move(irregular);
}

Result<PreparedInsert> prepare_insert(CoreIndex& index, std::string_view ext_id,
                                      std::string_view meta_text, storage::AppendMode mode,
                                      bool replacing) {
    PreparedInsert prepared;
    prepared.hash = hash_id(ext_id);
    if (!replacing && index.ext_to_int.contains(prepared.hash)) return prepared;
    prepared.needed = true;
    prepared.int_id = next_internal_id(index);
    VESKO_TRY(index.files.ensure_capacity(prepared.int_id));
    auto id_record = index.files.stage_external_id(prepared.int_id, ext_id, mode);
    if (!id_record) return id_record.error();
    prepared.id_record = *id_record;
    auto meta_record = index.files.stage_metadata(prepared.int_id, meta_text, mode);
    if (!meta_record) {
        index.files.drop_staged();
        return meta_record.error();
    }
    prepared.meta_record = *meta_record;
    return prepared;
}

Result<std::vector<PreparedInsert>> prepare_inserts(CoreIndex& index,
                                                    std::span<const std::string_view> ext_ids,
                                                    std::span<const std::uint64_t> hashes,
                                                    std::span<const std::string_view> meta_texts) {
    VESKO_CHECK(ext_ids.size() == meta_texts.size() && ext_ids.size() == hashes.size(),
                "a batch needs one hash and one metadata text per id");
    std::vector<PreparedInsert> prepared(ext_ids.size());
    // The hashes this batch inserts, so that a repeated id is left as a second add leaves it.
    IdMap batch;
    batch.reserve(ext_ids.size());
    std::vector<std::string_view> id_texts;
    std::vector<std::string_view> needed_meta;
    id_texts.reserve(ext_ids.size());
    needed_meta.reserve(ext_ids.size());
    std::uint64_t next =
        index.valid_ids.empty() && index.deleted.empty()
            ? 0
            : std::uint64_t{std::max(index.valid_ids.maximum(), index.deleted.maximum())} + 1;
    constexpr std::size_t lookahead = 8;
    for (std::size_t i = 0; i < ext_ids.size(); ++i) {
        if (i + lookahead < hashes.size()) index.ext_to_int.prefetch(hashes[i + lookahead]);
        PreparedInsert& p = prepared[i];
        p.hash = hashes[i];
        if (index.ext_to_int.contains(p.hash) || !batch.insert(p.hash, 0)) continue;
        VESKO_CHECK(next <= 0xFFFFFFFFULL, "internal ids are exhausted; vacuum the store");
        p.needed = true;
        p.int_id = static_cast<std::uint32_t>(next++);
        id_texts.push_back(ext_ids[i]);
        needed_meta.push_back(meta_texts[i]);
    }
    if (id_texts.empty()) return prepared;
    VESKO_TRY(index.files.ensure_capacity(static_cast<std::uint32_t>(next - 1)));
    std::vector<storage::StagedRecord> id_records;
    VESKO_TRY(index.files.stage_external_ids(id_texts, id_records));
    std::vector<storage::StagedRecord> meta_records;
    if (auto staged = index.files.stage_metadata_texts(needed_meta, meta_records); !staged) {
        index.files.drop_staged();
        return staged.error();
    }
    std::size_t k = 0;
    for (PreparedInsert& p : prepared) {
        if (!p.needed) continue;
        p.id_record = id_records[k];
        p.meta_record = meta_records[k];
        ++k;
    }
    return prepared;
}

void commit_point(CoreIndex& index, const PreparedInsert& prepared, float lat_deg, float lon_deg) {
    const std::uint32_t n = prepared.int_id;
    index.files.commit_external_id(n, prepared.id_record);
    index.files.commit_metadata(n, prepared.meta_record);
    index.files.write_coords(n, lat_deg, lon_deg);
    index.ext_to_int.insert(prepared.hash, n);
    index.valid_ids.add(n);
    index.deleted.remove(n);
    if (!regular_position(lat_deg, lon_deg)) index.irregular_ids.add(n);
}

void apply_insert(CoreIndex& index, const PreparedInsert& prepared, const text::Metadata& meta,
                  const std::vector<std::string>* skip_index, float lat_deg, float lon_deg) {
    if (!prepared.needed) return;
    commit_point(index, prepared, lat_deg, lon_deg);
    index.grid_index.file_point(prepared.int_id, lat_deg, lon_deg);
    index_fields(index, meta.object(), skip_index, prepared.int_id);
}

namespace {

// The groups of a batch that hold a point with an id, in the order of the first such point
// (ties, within one point, by field name): the order in which inserting the points one by one
// would first index each group. When every place has an id that is the batch's own order.
template <class Group>
std::vector<const Group*> groups_in_insert_order(std::span<const Group> groups,
                                                 std::span<const std::uint32_t> id_of_place,
                                                 bool every_place) {
    std::vector<const Group*> out;
    out.reserve(groups.size());
    if (every_place) {
        for (const Group& g : groups) out.push_back(&g);
        return out;
    }
    std::vector<std::pair<std::uint32_t, const Group*>> firsts;
    for (const Group& g : groups) {
        for (std::uint32_t place : g.places) {
            if (id_of_place[place] == no_batch_id) continue;
            firsts.emplace_back(place, &g);
            break;
        }
    }
    std::sort(firsts.begin(), firsts.end(), [](const auto& a, const auto& b) {
        if (a.first != b.first) return a.first < b.first;
        return a.second->field < b.second->field;
    });
    for (const auto& [place, g] : firsts) out.push_back(g);
    return out;
}

bool every_place_has_an_id(std::span<const std::uint32_t> id_of_place) {
    return std::find(id_of_place.begin(), id_of_place.end(), no_batch_id) == id_of_place.end();
}

}  // namespace

void file_batch_cells(CoreIndex& index, const BatchIndexes& batch,
                      std::span<const std::uint32_t> id_of_place) {
    VESKO_CHECK(id_of_place.size() == batch.size(), "a batch needs one id per place");
    const bool every_place = every_place_has_an_id(id_of_place);
    // The grid creates a block when its first point is filed, and its iteration order (which
    // a snapshot records) follows the order of creation: blocks are filed in the order of
    // their first point with an id, as one insertion at a time would create them.
    std::vector<std::pair<std::uint32_t, std::size_t>> run_order;
    const auto cells = batch.cells();
    const auto runs = batch.block_runs();
    for (std::size_t r = 0; r < runs.size(); ++r) {
        std::uint32_t first = no_batch_id;
        for (std::size_t i = runs[r].first; i < runs[r].second; ++i) {
            if (id_of_place[cells[i].second] != no_batch_id)
                first = std::min(first, cells[i].second);
        }
        if (first != no_batch_id) run_order.emplace_back(first, r);
    }
    if (!every_place) std::sort(run_order.begin(), run_order.end());
    std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed;
    for (const auto& [first, r] : run_order) {
        keyed.clear();
        for (std::size_t i = runs[r].first; i < runs[r].second; ++i) {
            const std::uint32_t int_id = id_of_place[cells[i].second];
            if (int_id != no_batch_id) keyed.emplace_back(cells[i].first, int_id);
        }
        index.grid_index.file_points(keyed);
    }
}

void file_batch_metadata(CoreIndex& index, const BatchIndexes& batch,
                         std::span<const std::uint32_t> id_of_place) {
    VESKO_CHECK(id_of_place.size() == batch.size(), "a batch needs one id per place");
    const bool every_place = every_place_has_an_id(id_of_place);
    std::vector<std::uint32_t> ids;
    auto ids_of = [&](const std::vector<std::uint32_t>& places) {
        ids.clear();
        for (std::uint32_t place : places) {
            if (id_of_place[place] != no_batch_id) ids.push_back(id_of_place[place]);
        }
    };
    for (const BatchIndexes::Strings* g :
         groups_in_insert_order(batch.strings(), id_of_place, every_place)) {
        ids_of(g->places);
        find_or_create(find_or_create(index.str_index, g->field), g->value)
            .add_many(ids.data(), ids.size());
    }
    std::vector<float> values;
    for (const BatchIndexes::Numbers* g :
         groups_in_insert_order(batch.numbers(), id_of_place, every_place)) {
        ids.clear();
        values.clear();
        for (std::size_t i = 0; i < g->places.size(); ++i) {
            const std::uint32_t int_id = id_of_place[g->places[i]];
            if (int_id == no_batch_id) continue;
            ids.push_back(int_id);
            values.push_back(g->values[i]);
        }
        find_or_create(index.num_index, g->field).set_new_values(ids, values);
    }
}

bool apply_upsert(CoreIndex& index, std::string_view ext_id, const PreparedInsert& prepared,
                  const text::Metadata& meta, const std::vector<std::string>* skip_index,
                  float lat_deg, float lon_deg) {
    const bool replaced = index.ext_to_int.contains(prepared.hash);
    delete_in_mem(index, ext_id);
    apply_insert(index, prepared, meta, skip_index, lat_deg, lon_deg);
    return replaced;
}

bool delete_in_mem(CoreIndex& index, std::string_view ext_id) {
    const std::uint64_t h = hash_id(ext_id);
    const std::uint32_t* found = index.ext_to_int.find(h);
    if (found == nullptr) return false;
    const std::uint32_t n = *found;
    if (!index.valid_ids.contains(n)) return false;
    index.deleted.add(n);
    index.valid_ids.remove(n);
    index.ext_to_int.erase(h);
    for (auto& [field, bsi] : index.num_index) bsi.remove_id(n);
    return true;
}

}  // namespace vesko::index
