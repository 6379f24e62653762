// Rebuilding the index state at open. Runs before the store object exists, so nothing else
// can see the state and no lock is taken.
#pragma once

#include "common/result.h"
#include "storage/core_index.h"

#include <cstdint>
#include <string>

namespace vesko::storage {

struct Replay {
    std::uint64_t valid_length = 0;  // bytes up to the end of the last record that decoded
    std::uint64_t file_length = 0;
};

// Loads snapshot.bin when it exists and is sound; a damaged one is ignored and the store is
// rebuilt from the log alone.
Result<void> load_snapshot(CoreIndex& index, const std::string& path);

// Applies every record of wal.bin up to the first one that does not decode (the clean end, a
// torn tail, or bytes that are not a record).
Result<Replay> replay_log(CoreIndex& index, const std::string& path);

}  // namespace vesko::storage
