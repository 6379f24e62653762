#include "storage/core_index.h"

#include "common/check.h"
#include "storage/id_hash.h"

#include <algorithm>

namespace vesko::storage {

namespace {

bool skipped(const std::vector<std::string>* skip_index, std::string_view field) {
    // A batch's common case: nothing to skip.
    if (skip_index == nullptr || skip_index->empty()) return false;
    return skip_index != nullptr &&
           std::find(skip_index->begin(), skip_index->end(), field) != skip_index->end();
}

void index_string(StrIndex& str_index, std::string_view field, std::string_view value,
                  std::uint32_t int_id) {
    auto outer = str_index.find(field);
    if (outer == str_index.end())
        outer = str_index.emplace(std::string(field), StringMap<Bitmap>{}).first;
    auto inner = outer->second.find(value);
    if (inner == outer->second.end())
        inner = outer->second.emplace(std::string(value), Bitmap()).first;
    inner->second.add(int_id);
}

void index_number(CoreIndex& index, std::string_view field, float value, std::uint32_t int_id,
                  DeferredIndexes* deferred) {
    if (deferred != nullptr) {
        auto it = deferred->numbers.find(field);
        if (it == deferred->numbers.end())
            it = deferred->numbers.try_emplace(std::string(field)).first;
        it->second.first.push_back(int_id);
        it->second.second.push_back(value);
        return;
    }
    auto it = index.num_index.find(field);
    if (it == index.num_index.end())
        it = index.num_index.emplace(std::string(field), filter::NumericBsiIndex()).first;
    it->second.set_value(int_id, value);
}

void index_fields(CoreIndex& index, const filter::Json& meta,
                  const std::vector<std::string>* skip_index, std::uint32_t int_id,
                  DeferredIndexes* deferred) {
    for (const auto& [field, value] : meta.items()) {
        if (skipped(skip_index, field)) continue;
        if (value.is_string()) {
            index_string(index.str_index, field, value.get_ref<const std::string&>(), int_id);
        } else if (value.is_boolean()) {
            index_string(index.str_index, field, value.get<bool>() ? "true" : "false", int_id);
        } else if (value.is_number()) {
            index_number(index, field, filter::json_number_as_f32(value), int_id, deferred);
        }
    }
}

// The same for flat members, which come in the object's (ascending) key order.
void index_fields(CoreIndex& index, std::span<const FlatMember> meta,
                  const std::vector<std::string>* skip_index, std::uint32_t int_id,
                  DeferredIndexes* deferred) {
    using Kind = FlatMember::Kind;
    for (const FlatMember& m : meta) {
        if (skipped(skip_index, m.key)) continue;
        switch (m.kind) {
            case Kind::String:
            case Kind::True:
            case Kind::False:
                // A boolean's literal is its index text, "true" or "false".
                index_string(index.str_index, m.key, m.raw, int_id);
                break;
            case Kind::Unsigned:
            case Kind::Negative:
            case Kind::Float:
                index_number(index, m.key, flat_number_as_f32(m), int_id, deferred);
                break;
            case Kind::Null:
                break;
        }
    }
}

// The half of apply_insert before the metadata's fields are indexed.
void apply_point(CoreIndex& index, const PreparedInsert& prepared, float lat_deg, float lon_deg,
                 DeferredIndexes* deferred) {
    const std::uint32_t n = prepared.int_id;
    index.files.commit_external_id(n, prepared.id_record);
    index.files.commit_metadata(n, prepared.meta_record);
    index.files.write_coords(n, lat_deg, lon_deg);
    index.ext_to_int.insert(prepared.hash, n);
    index.valid_ids.add(n);
    index.deleted.remove(n);
    if (deferred != nullptr) {
        deferred->grid_cells.emplace_back(spatial::grid_cell_key(lat_deg, lon_deg), n);
    } else {
        index.grid_index.file_point(n, lat_deg, lon_deg);
    }
    if (!regular_position(lat_deg, lon_deg)) index.irregular_ids.add(n);
}

}  // namespace

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
                                      std::string_view meta_text, AppendMode mode, bool replacing) {
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
    for (std::size_t i = 0; i < ext_ids.size(); ++i) {
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
    std::vector<StagedRecord> id_records;
    VESKO_TRY(index.files.stage_external_ids(id_texts, id_records));
    std::vector<StagedRecord> meta_records;
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

void apply_insert(CoreIndex& index, const PreparedInsert& prepared, const Metadata& meta,
                  const std::vector<std::string>* skip_index, float lat_deg, float lon_deg,
                  DeferredIndexes* deferred) {
    if (!prepared.needed) return;
    apply_point(index, prepared, lat_deg, lon_deg, deferred);
    index_fields(index, meta.object(), skip_index, prepared.int_id, deferred);
}

void apply_insert(CoreIndex& index, const PreparedInsert& prepared,
                  std::span<const FlatMember> meta, const std::vector<std::string>* skip_index,
                  float lat_deg, float lon_deg, DeferredIndexes* deferred) {
    if (!prepared.needed) return;
    apply_point(index, prepared, lat_deg, lon_deg, deferred);
    index_fields(index, meta, skip_index, prepared.int_id, deferred);
}

void file_deferred(CoreIndex& index, DeferredIndexes& deferred) {
    index.grid_index.file_points(deferred.grid_cells);
    deferred.grid_cells.clear();
    for (auto& [field, batch] : deferred.numbers) {
        auto it = index.num_index.find(field);
        if (it == index.num_index.end())
            it = index.num_index.emplace(field, filter::NumericBsiIndex()).first;
        it->second.set_new_values(batch.first, batch.second);
    }
    deferred.numbers.clear();
}

void insert_in_mem(CoreIndex& index, std::string_view ext_id, const Metadata& meta,
                   const std::vector<std::string>* skip_index, float lat_deg, float lon_deg,
                   AppendMode mode) {
    auto prepared = prepare_insert(index, ext_id, meta.text(), mode);
    if (!prepared)
        fail_internal("cannot insert " + std::string(ext_id) + ": " + prepared.error().message);
    apply_insert(index, *prepared, meta, skip_index, lat_deg, lon_deg);
}

bool apply_upsert(CoreIndex& index, std::string_view ext_id, const PreparedInsert& prepared,
                  const Metadata& meta, const std::vector<std::string>* skip_index, float lat_deg,
                  float lon_deg) {
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

}  // namespace vesko::storage
