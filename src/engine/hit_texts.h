// How a search's answer leaves the engine: hits as internal ids, handed to the caller's reader
// while the index lock is still held shared, with their external ids and metadata read
// straight from the mapped bytes of ids.bin and meta.bin. Nothing is copied on the way; the
// reader builds whatever it needs from the views before it returns.
#pragma once

#include "spatial/search.h"
#include "storage/data_files.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vesko::engine {

// Texts of the hits of one answer, by the hit's index in it. The record offsets of every hit
// are read from the slot files first, in one pass (independent loads the processor overlaps),
// and each record is fetched a few hits ahead of its use. A view stays valid until the reader
// returns, except that a record read into the spill buffer (one the mapping does not reach)
// is valid only until the next call of the same method.
class HitTexts {
  public:
    template <class Hit, class IdOf>
    HitTexts(const storage::DataFiles& files, std::span<const Hit> hits, IdOf id_of)
        : files_(files) {
        offsets_.reserve(hits.size());
        for (const Hit& h : hits) offsets_.push_back(files.record_offsets(id_of(h)));
    }

    // "" when the record cannot be read back.
    std::string_view ext_id(std::size_t hit) {
        if (hit + prefetch_distance < offsets_.size()) {
            files_.prefetch_records(offsets_[hit + prefetch_distance]);
        }
        return files_.external_id_at(offsets_[hit].ext_id, ext_id_spill_)
            .value_or(std::string_view());
    }
    // "{}" when the record cannot be read back.
    std::string_view metadata(std::size_t hit) {
        return files_.metadata_at(offsets_[hit].metadata, metadata_spill_);
    }

  private:
    static constexpr std::size_t prefetch_distance = 8;

    const storage::DataFiles& files_;
    std::vector<storage::DataFiles::RecordOffsets> offsets_;
    std::string ext_id_spill_;
    std::string metadata_spill_;
};

// Hits of search_radius and search_knn, ascending by id, each with its place in the answer;
// texts are asked for by the hit's index in the span.
using DistanceHitsReader = std::function<void(std::span<const spatial::DistanceHit>, HitTexts&)>;
// Hits of search_box and search_polygon, ascending by id, which is the answer's order.
using HitsReader = std::function<void(std::span<const std::uint32_t>, HitTexts&)>;

}  // namespace vesko::engine
