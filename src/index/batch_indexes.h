// BatchIndexes: what a batch of new points (a chunk of add_many) adds to the grid, the string
// index and the numeric indexes, gathered from the points alone and keyed by each point's
// place in the batch. Gathering needs nothing of the store, so it can run on another thread
// while the store applies the previous batch; filing it (file_batch in core_index.h) then
// touches each cell block, bitmap and numeric index once per batch instead of once per point.
#pragma once

#include "text/flat_metadata.h"
#include "text/indexed_value.h"
#include "text/json_text.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vesko::index {

class BatchIndexes {
  public:
    // The ids of one (field, value) of the string index, or of one numeric field.
    struct Strings {
        std::string_view field;
        std::string_view value;
        std::vector<std::uint32_t> places;  // ascending
    };
    struct Numbers {
        std::string_view field;
        std::vector<std::uint32_t> places;  // ascending
        std::vector<float> values;          // values[i] belongs to places[i]
    };

    // The most points one batch holds (a chunk of add_many holds fewer).
    static constexpr std::uint32_t max_places = std::uint32_t{1} << 18;

    // Empties the batch and keeps its memory.
    void clear();

    // Adds the point at the next place (0, 1, ...). Fields named in skip_index are left out,
    // as insertion leaves them out. The views in `meta` (flat members, or a JSON object) must
    // stay valid until the batch is filed or cleared.
    void add_point(float lat_deg, float lon_deg, std::span<const text::FlatMember> meta,
                   const std::vector<std::string>* skip_index);
    void add_point(float lat_deg, float lon_deg, const text::Json& meta,
                   const std::vector<std::string>* skip_index);
    // Groups the cells by block; call once, after the last point.
    void finish();

    std::uint32_t size() const { return places_; }
    // (cell key, place), grouped by block (see block_runs), each block's cells sorted by cell,
    // then place.
    std::span<const std::pair<std::uint64_t, std::uint32_t>> cells() const { return cells_; }
    // Each block's stretch of cells() as [begin, end), in the order of the first place that
    // fell in the block.
    std::span<const std::pair<std::size_t, std::size_t>> block_runs() const { return runs_; }
    // In the order of their first place, then of field name (the order in which inserting the
    // points one by one meets them for the first time).
    std::span<const Strings> strings() const {
        return std::span<const Strings>(strings_).first(strings_used_);
    }
    std::span<const Numbers> numbers() const {
        return std::span<const Numbers>(numbers_).first(numbers_used_);
    }

  private:
    // A slot of the table that finds a (field, value)'s group: open addressing over group
    // numbers, so that a chunk of mostly distinct values (a name per point) allocates nothing
    // per value once the table has grown to fit.
    struct GroupSlot {
        std::uint32_t tag;    // the key's hash, cut to 32 bits
        std::uint32_t group;  // no_group when the slot is free
    };
    static constexpr std::uint32_t no_group = 0xFFFFFFFFU;

    // add_point for either form of metadata (for_each_indexed takes both).
    template <class Meta>
    void add_members(float lat_deg, float lon_deg, const Meta& meta,
                     const std::vector<std::string>* skip_index);
    void grow_string_slots();
    void add_string(std::string_view field, std::string_view value);
    void add_number(std::string_view field, float value);

    std::uint32_t places_ = 0;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> cells_;
    std::vector<std::pair<std::size_t, std::size_t>> runs_;
    // finish()'s working memory, kept across batches.
    struct SortKey {
        std::uint32_t key;  // block number (by first place), then the cell's number in it
        std::uint32_t place;
    };
    std::unordered_map<std::uint64_t, std::uint32_t> block_numbers_;
    std::vector<SortKey> sort_scratch_;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> sorted_cells_;
    // Groups are kept (with their memory) across clear(); only the first `used` are live.
    std::vector<Strings> strings_;
    std::size_t strings_used_ = 0;
    std::vector<Numbers> numbers_;
    std::size_t numbers_used_ = 0;
    std::vector<GroupSlot> string_slots_;  // a power of two long, at most half full
    std::unordered_map<std::string_view, std::size_t> number_at_;
};

}  // namespace vesko::index
