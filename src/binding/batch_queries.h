// Batch queries: one search per centre, answered as one batch of columns with a `query` column
// (the centre's position) before the others, rows grouped by query in centre order and, within
// a query, in the order its single call gives. Centres are searched nearby ones together (in
// the order of their cells along a Z curve), so that one search finds the cells, slots and
// coordinates the one before it read still in the processor's caches; each search's answer
// is the same in any order, and the rows go back to centre order at the end. The centres are
// shared out in parts of that order between the calling thread and the helper thread
// (SharedParts); each search holds the index lock shared for itself only, as a single call
// does, so writers wait no longer than for one search.
#pragma once

#include "binding/arrow.h"
#include "common/interrupt.h"
#include "common/result.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace vesko::binding {

// Appends the answer of the search for centre `query` to `out`.
using CentreSearch = std::function<Result<void>(std::size_t query, ColumnBatch& out)>;

// Searches every centre. When searches fail, the error of the failed centre with the lowest
// position comes back as the call's error. Runs without the interpreter lock; `search` must be
// safe on two threads at once. `interrupt` is polled before each search: when it asks, the call
// ends with an Interrupted error and no answer.
Result<std::shared_ptr<ColumnAnswer>> answer_many(std::span<const float> lats,
                                                  std::span<const float> lons,
                                                  const CentreSearch& search, Interrupt& interrupt);

}  // namespace vesko::binding
