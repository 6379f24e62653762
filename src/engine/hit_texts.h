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

namespace vesko::engine {

// Texts of hits. A view stays valid until the reader returns, except that a record read into
// the spill buffer (one the mapping does not reach) is valid only until the next call of the
// same method.
class HitTexts {
  public:
    explicit HitTexts(const storage::DataFiles& files) : files_(files) {}

    // "" when the record cannot be read back.
    std::string_view ext_id(std::uint32_t int_id) {
        return files_.external_id_view(int_id, ext_id_spill_).value_or(std::string_view());
    }
    // "{}" when the record cannot be read back.
    std::string_view metadata(std::uint32_t int_id) {
        return files_.metadata_view(int_id, metadata_spill_);
    }

  private:
    const storage::DataFiles& files_;
    std::string ext_id_spill_;
    std::string metadata_spill_;
};

// Hits of search_radius and search_knn, ascending by id, each with its place in the answer.
using DistanceHitsReader = std::function<void(std::span<const spatial::DistanceHit>, HitTexts&)>;
// Hits of search_box and search_polygon, ascending by id, which is the answer's order.
using HitsReader = std::function<void(std::span<const std::uint32_t>, HitTexts&)>;

}  // namespace vesko::engine
