// How a search's answer leaves the engine: hits as internal ids, handed to the caller's reader
// while the index lock is still held shared, with their external ids and metadata gathered
// from the mapped bytes of ids.bin and meta.bin into one buffer. The reader builds whatever it
// needs from the views before it returns.
#pragma once

#include "spatial/search.h"
#include "storage/data_files.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vesko::engine {

// Texts of the hits of one answer, by the hit's index in it, all gathered before the reader
// runs. The reader builds objects with the interpreter lock held, and the loads that miss the
// processor's caches (a slot, then a record, of each hit, scattered over the files) are the
// largest part of an answer's cost, so they happen here, without that lock: the record
// offsets of every hit are read from the slot files in one pass (independent loads the
// processor overlaps), then each record, with the record a few hits ahead already asked for,
// is checked and copied to the end of one buffer. The reader then reads the texts front to
// back from memory the caches hold.
class HitTexts {
  public:
    template <class Hit, class IdOf>
    HitTexts(const storage::DataFiles& files, std::span<const Hit> hits, IdOf id_of) {
        std::vector<storage::DataFiles::RecordOffsets> offsets;
        offsets.reserve(hits.size());
        for (const Hit& h : hits) offsets.push_back(files.record_offsets(id_of(h)));
        spans_.reserve(2 * hits.size());
        texts_.reserve(hits.size() * typical_texts_bytes);
        std::string spill;
        for (std::size_t i = 0; i < std::min(prefetch_distance, offsets.size()); ++i) {
            files.prefetch_records(offsets[i]);
        }
        for (std::size_t i = 0; i < offsets.size(); ++i) {
            if (i + prefetch_distance < offsets.size()) {
                files.prefetch_records(offsets[i + prefetch_distance]);
            }
            append(files.external_id_at(offsets[i].ext_id, spill).value_or(std::string_view()));
            append(files.metadata_at(offsets[i].metadata, spill));
        }
    }

    // "" when the record cannot be read back.
    std::string_view ext_id(std::size_t hit) const { return text(2 * hit); }
    // "{}" when the record cannot be read back.
    std::string_view metadata(std::size_t hit) const { return text(2 * hit + 1); }

  private:
    // Far enough ahead to keep the memory system busy with the two or three cache lines of
    // each hit's records: at 16 the loop still waited on loads for answers of thousands.
    static constexpr std::size_t prefetch_distance = 32;
    static constexpr std::size_t typical_texts_bytes = 96;

    struct Span {
        std::size_t at;
        std::size_t size;
    };

    void append(std::string_view bytes) {
        spans_.push_back({texts_.size(), bytes.size()});
        texts_.append(bytes);
    }
    std::string_view text(std::size_t n) const {
        return std::string_view(texts_).substr(spans_[n].at, spans_[n].size);
    }

    std::vector<Span> spans_;  // ext_id then metadata of each hit
    std::string texts_;
};

// Hits of search_radius and search_knn, ascending by id, each with its place in the answer;
// texts are asked for by the hit's index in the span.
using DistanceHitsReader = std::function<void(std::span<const spatial::DistanceHit>, HitTexts&)>;
// Hits of search_box and search_polygon, ascending by id, which is the answer's order.
using HitsReader = std::function<void(std::span<const std::uint32_t>, HitTexts&)>;

}  // namespace vesko::engine
