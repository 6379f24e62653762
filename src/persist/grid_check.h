// The grid against the coordinates it files. snapshot.bin has no checksum, so a damaged byte
// in its grid (a cell's key, or a container of a cell's ids) decodes as a sound grid that
// files whole groups of points under the wrong cells: searches would then miss them, or find
// them where they are not, without a word. The grid holds nothing that coords.bin does not
// determine, so it can be held against coords.bin, and rebuilt from it.
#pragma once

#include "common/bitmap.h"
#include "index/core_index.h"
#include "index/grid.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vesko::persist {

// The bytes of coords.bin as a store about to open them sees them: slot i at byte 8i, and a
// slot beyond the bytes reads as latitude 0, longitude 0, since opening extends a short file
// with zeros.
class StoredCoords {
  public:
    explicit StoredCoords(std::span<const unsigned char> bytes) : bytes_(bytes) {}
    std::pair<float, float> at(std::uint32_t int_id) const;

  private:
    std::span<const unsigned char> bytes_;
};

// Why `indexes.grid_index` does not file the live points where their stored coordinates put
// them, or nothing when it does. Every live id must be filed exactly once, under the cell of
// its stored coordinates (grid_cell_key, which files points off the usual chart too, under
// their saturated cells). Ids that are not live are not judged: deletion leaves them in their
// cells and every reader intersects with valid_ids, so wherever they are filed changes no
// answer. One pass over the cells and one over the live coordinates in id order.
// When `irregular` is given it receives the live ids whose coordinates are off the usual chart
// (CoreIndex::irregular_ids), gathered on the same pass; it is complete only when the grid is
// sound.
std::optional<std::string> grid_damage(const index::PersistedIndexes& indexes, StoredCoords coords,
                                       Bitmap* irregular = nullptr);

// The grid that filing each live id at its stored coordinates builds.
index::GridIndex grid_of_live_points(const Bitmap& valid_ids, StoredCoords coords);

}  // namespace vesko::persist
