// Staging and committing a record in one step, for tests that fill data files directly. Not
// part of the library, which always stages before it logs and commits after.
#pragma once

#include "common/check.h"
#include "storage/data_files.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace vesko::storage {

// A failed write is an internal failure.
inline void append_external_id(DataFiles& files, std::uint32_t int_id, std::string_view ext_id,
                               AppendMode mode) {
    auto staged = files.stage_external_id(int_id, ext_id, mode);
    if (!staged)
        fail_internal(std::string("cannot write ") + ids_file_name + ": " + staged.error().message);
    files.commit_external_id(int_id, *staged);
}

inline void append_metadata(DataFiles& files, std::uint32_t int_id, std::string_view meta_text,
                            AppendMode mode) {
    auto staged = files.stage_metadata(int_id, meta_text, mode);
    if (!staged)
        fail_internal(std::string("cannot write ") + meta_file_name + ": " +
                      staged.error().message);
    files.commit_metadata(int_id, *staged);
}

}  // namespace vesko::storage
