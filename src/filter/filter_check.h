// The stricter reading delete_by_filter holds a filter to before it deletes anything. The
// searches and exists read a filter as evaluate_filter does, skipping what they do not
// recognise; a deletion must not, because a skipped member widens what the filter matches (to
// every point, for {"$and": {"k": "x"}}).
#pragma once

#include "text/json_text.h"

#include <optional>
#include <string>

namespace vesko::filter {

// What makes `filter` unfit for a deletion, naming the member, or nothing. Refused: an "$and"
// or "$or" whose value is not an array of objects; a "$not" whose value is not an object; a
// member beside "$and", "$or" or "$not" (evaluation reads those alone); any other "$" member
// of a filter object; a "$" key of an operator object that is not an operator ("$eq", "$ne",
// "$gt", "$gte", "$lt", "$lte", "$in", "$nin"); an "$in" or "$nin" whose operand is not an
// array. Everything else keeps the meaning evaluate_filter gives it.
std::optional<std::string> deletion_filter_problem(const text::Json& filter);

}  // namespace vesko::filter
