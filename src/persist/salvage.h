// Salvage of a snapshot that opening refused: the points whose records are lost are written
// aside to salvage-lost.jsonl and the snapshot is written again without them, or, when the
// snapshot cannot be trusted at all and the caller asks for it, a new one is built from the
// records of the data files. Runs under the directory's lock, before the store is opened.
#pragma once

#include "common/result.h"
#include "persist/recovery.h"

namespace vesko::persist {

// One JSON object per line, appended and forced to disk before any snapshot changes: a line
// {"salvage": what was done, "points": N} per run, then one line per point that is not
// served, {"slot", "id", "lat", "lon", "metadata", "why"}, where "id" and "metadata" are the
// record texts and appear only when they are readable UTF-8, "lat" and "lon" only when the
// point's slot is in coords.bin (null for a NaN or an infinity).
inline constexpr const char* lost_points_file_name = "salvage-lost.jsonl";

// For a store whose snapshot opening refused (found.snapshot_damage, no vacuum pending):
//   - a snapshot that decodes, and is sound once the live points whose records are lost are
//     dropped from it (a slot beyond the end of coords.bin, offsets.bin or meta_offsets.bin;
//     an id record cut short or not UTF-8, or whose hash is not the id map's; a metadata
//     record cut short or not a JSON object), is written again without them (the old one
//     copied aside first), with its grid rebuilt from coords.bin and its used lengths held
//     to the records. The shorter slot files
//     grow with zeros to the longest one's slots, so the dropped ids keep theirs;
//   - otherwise, with `rebuild`, a snapshot is built from the records alone (every slot in
//     use whose records are whole and whose id no later slot holds), the old one copied
//     aside first; the log is then replayed over it as over any snapshot;
//   - otherwise the snapshot is set aside, and the store opens from its log alone.
Result<void> salvage_snapshot(const Inspection& found, bool rebuild);

}  // namespace vesko::persist
