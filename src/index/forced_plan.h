// Test-only forcing of the plans that cost models choose between: a numeric comparison read
// id by id or combined with whole slices, a search's window gathered first or its filter
// evaluated over the store first, its ids thinned by a numeric comparison before they are sorted, a
// k-nearest walk narrowing the cells it meets or taking the filter's ids over the store. Every plan
// gives the same answer, and the tests check that each does. Exists only in builds configured with
// VESKO_FAULT_HOOKS (the C++ test build); the module never contains it. Meant for one test thread
// at a time.
#pragma once

#ifndef VESKO_FAULT_HOOKS
#error "forced_plan.h is for builds with VESKO_FAULT_HOOKS only"
#endif

#include <optional>

namespace vesko::index::plan {

enum class Comparison { PerId, Slices };
// CellsFirst gathers the window's ids and narrows them by the whole filter; CodesFirst does so
// after a numeric comparison of the filter's conjunction has thinned them, whatever it costs.
enum class Window { CellsFirst, FilterFirst, CodesFirst };
enum class Walk { Narrowing, Whole };

// Unset: the cost model chooses.
inline std::optional<Comparison> forced_comparison;
inline std::optional<Window> forced_window;
inline std::optional<Walk> forced_walk;

}  // namespace vesko::index::plan
