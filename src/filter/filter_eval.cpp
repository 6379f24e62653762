#include "filter/filter_eval.h"

#include "index/id_hash.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>
#include <vector>

namespace vesko::filter {

namespace {

// The cost model of the string index, in nanoseconds: a bitmap operation's fixed part, and
// each id it copies or intersects. Measured through exists() on the 2,000,000-point store of
// bench/filters.py: a category of 200,000 ids costs 0.08 ms (0.4 ns an id).
constexpr double bitmap_op_ns = 60.0;
constexpr double bitmap_id_ns = 0.5;

// A set intersected with a value's ids meets them block by block (65,536 ids). A block's ids
// are a bitset when more than 4,096, else a sorted array. Where either side is a bitset, each
// id of the other is a lookup (two bitsets combine word by word, for less). Two arrays are
// merged, both walked whole, unless one holds under a 64th as many as the other, when each of
// its ids is searched for instead. So a value's ids cost only in the blocks the set meets, and
// walked only as an array the set is not much smaller than. On bench/compare.py's clustered
// store (1,000,000 points, 20 categories of 3,100 ids a block) a 10 km window of 1,950
// candidates over all 16 blocks spent 27 us merging with a category (0.5 ns for each id of
// both), where reading its numeric codes id by id costs about 10 us: reading them first, then
// searching the category's arrays for the ids left, took the whole search from 77 to 65 us.
constexpr double array_max_ids = 4096.0;
constexpr double skewed_ratio = 64.0;
constexpr double searched_id_ns = 2.0;

// The blocks that `ids` ids span when spread over the live ones (counted, not looked up: a
// bitmap's largest id is a scan of its last block's words, which cost more than the rest of
// a small search's planning).
double blocks_spread(const index::CoreIndex& index, double ids) {
    return std::min(ids, std::floor(static_cast<double>(index.count()) / 65536.0) + 1.0);
}

// Each side is taken to spread over as many blocks as the live ids span, or as it has ids when
// fewer.
double intersection_ns(const index::CoreIndex& index, double set_ids, double value_ids) {
    const double set_blocks = blocks_spread(index, set_ids);
    if (set_blocks < 1.0) return bitmap_op_ns;
    const double value_blocks = std::max(blocks_spread(index, value_ids), 1.0);
    const double value_per_block = value_ids / value_blocks;
    const double set_per_block = set_ids / set_blocks;
    const double value_met = value_per_block * std::min(set_blocks, value_blocks);
    if (value_per_block > array_max_ids || set_per_block > array_max_ids)
        return bitmap_op_ns + bitmap_id_ns * std::min(set_ids, value_met);
    if (set_per_block * skewed_ratio < value_per_block)
        return bitmap_op_ns + searched_id_ns * set_ids;
    if (value_per_block * skewed_ratio < set_per_block)
        return bitmap_op_ns + searched_id_ns * value_met;
    return bitmap_op_ns + bitmap_id_ns * (set_ids + value_met);
}

const text::Json* member_array(const text::Json& object, const char* key) {
    auto it = object.find(key);
    return it != object.end() && it->is_array() ? &*it : nullptr;
}

bool is_comparison(std::string_view op) {
    return op == "$eq" || op == "$ne" || op == "$gt" || op == "$gte" || op == "$lt" || op == "$lte";
}

Bitmap live_within(const index::CoreIndex& index, const Bitmap* within) {
    return within != nullptr ? index.valid_ids & *within : index.valid_ids;
}

Bitmap union_of_conditions(const index::CoreIndex& index, std::string_view field,
                           const text::Json& elements, const Bitmap* within) {
    Bitmap r;
    for (const text::Json& element : elements) {
        r |= evaluate_field_condition(index, field, element, within);
    }
    return r;
}

// The ids one operator admits, narrowed to `within` when given: the caller intersects the
// result with a subset of them, so the narrowing changes no answer, only the cost.
Bitmap operator_bitmap(const index::CoreIndex& index, std::string_view field, std::string_view op,
                       const text::Json& operand, const Bitmap* within) {
    if (operand.is_number() && is_comparison(op)) {
        return evaluate_numeric_op(index, field, op, text::json_number_as_f32(operand), within);
    }
    if (op == "$eq") return get_bitmap_str_eq(index, field, operand, within);
    if (op == "$ne") {
        Bitmap r = live_within(index, within);
        r -= get_bitmap_str_eq(index, field, operand, &r);
        return r;
    }
    if (op == "$in") {
        return operand.is_array() ? union_of_conditions(index, field, operand, within) : Bitmap();
    }
    if (op == "$nin") {
        Bitmap r = live_within(index, within);
        if (operand.is_array()) r -= union_of_conditions(index, field, operand, &r);
        return r;
    }
    return Bitmap();  // an unknown operator, or a range with an operand that is not a number
}

// One element of a conjunction: a filter of an "$and" array, or a field condition of an
// object (key and condition).
struct Part {
    const std::string* field;  // null for a filter element
    const text::Json* value;
};

std::vector<Part> conjunction_parts(const text::Json& filter) {
    std::vector<Part> parts;
    if (const text::Json* elements = member_array(filter, "$and")) {
        for (const text::Json& element : *elements) parts.push_back({nullptr, &element});
        return parts;
    }
    for (const auto& [field, condition] : filter.items()) {
        if (!field.empty() && field[0] == '$') continue;
        parts.push_back({&field, &condition});
    }
    return parts;
}

bool is_conjunction(const text::Json& filter) {
    return member_array(filter, "$and") != nullptr ||
           (member_array(filter, "$or") == nullptr && !filter.contains("$not"));
}

Estimate estimate_field_condition(const index::CoreIndex& index, std::string_view field,
                                  const text::Json& condition, double within_ids);

Estimate estimate_part(const index::CoreIndex& index, const Part& part, double within_ids) {
    if (part.field == nullptr) {
        return estimate_filter(index, *part.value, static_cast<std::uint64_t>(within_ids));
    }
    return estimate_field_condition(index, *part.field, *part.value, within_ids);
}

// The parts in the order they are evaluated: fewest possible matches first, then cheapest,
// then as written. Each narrows the set the next is evaluated within.
std::vector<Part> planned_order(const index::CoreIndex& index, std::vector<Part> parts,
                                double within_ids) {
    if (parts.size() < 2) return parts;
    std::vector<Estimate> estimates;
    estimates.reserve(parts.size());
    for (const Part& part : parts) estimates.push_back(estimate_part(index, part, within_ids));
    std::vector<std::size_t> order(parts.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (estimates[a].matches != estimates[b].matches)
            return estimates[a].matches < estimates[b].matches;
        return estimates[a].cost_ns < estimates[b].cost_ns;
    });
    std::vector<Part> ordered;
    ordered.reserve(parts.size());
    for (std::size_t i : order) ordered.push_back(parts[i]);
    return ordered;
}

Estimate conjunction_estimate(const index::CoreIndex& index, const std::vector<Part>& parts,
                              double within_ids) {
    Estimate total{within_ids, 0.0};
    for (const Part& part : planned_order(index, parts, within_ids)) {
        if (total.matches <= 0.0) break;
        const Estimate e = estimate_part(index, part, total.matches);
        total.cost_ns += e.cost_ns;
        total.matches = std::min(total.matches, e.matches);
    }
    return total;
}

Estimate estimate_str_eq(const index::CoreIndex& index, std::string_view field,
                         const text::Json& value, double within_ids) {
    if (!value.is_string() && !value.is_boolean()) return {};
    if (field == "_id" || field == "id") return {std::min(within_ids, 1.0), bitmap_op_ns};
    auto outer = index.str_index.find(field);
    if (outer == index.str_index.end()) return {};
    auto inner = outer->second.find(value.is_string() ? value.get_ref<const std::string&>()
                                                      : (value.get<bool>() ? "true" : "false"));
    if (inner == outer->second.end()) return {};
    const auto value_ids = static_cast<double>(inner->second.cardinality());
    return {std::min(within_ids, value_ids), intersection_ns(index, within_ids, value_ids)};
}

Estimate estimate_numeric(const index::CoreIndex& index, std::string_view field,
                          std::string_view op, double within_ids) {
    auto it = index.num_index.find(field);
    if (it == index.num_index.end()) return {};
    const index::NumericBsiIndex& bsi = it->second;
    const double present = static_cast<double>(bsi.existence().cardinality());
    const bool whole = within_ids >= static_cast<double>(index.count());
    const double cost = whole ? bsi.index_wide_ns() : bsi.comparison_ns(within_ids);
    return {op == "$ne" ? within_ids : std::min(within_ids, present), cost};
}

Estimate estimate_operator(const index::CoreIndex& index, std::string_view field,
                           std::string_view op, const text::Json& operand, double within_ids) {
    if (operand.is_number() && is_comparison(op)) {
        return estimate_numeric(index, field, op, within_ids);
    }
    if (op == "$eq") return estimate_str_eq(index, field, operand, within_ids);
    const double complement_ns = bitmap_op_ns + bitmap_id_ns * within_ids;
    if (op == "$ne") {
        return {within_ids,
                estimate_str_eq(index, field, operand, within_ids).cost_ns + complement_ns};
    }
    if (op != "$in" && op != "$nin") return {};
    Estimate any;
    if (operand.is_array()) {
        for (const text::Json& element : operand) {
            const Estimate e = estimate_field_condition(index, field, element, within_ids);
            any.matches += e.matches;
            any.cost_ns += e.cost_ns;
        }
    }
    if (op == "$in") return {std::min(within_ids, any.matches), any.cost_ns};
    return {within_ids, any.cost_ns + complement_ns};
}

Estimate estimate_field_condition(const index::CoreIndex& index, std::string_view field,
                                  const text::Json& condition, double within_ids) {
    if (condition.is_string() || condition.is_boolean())
        return estimate_str_eq(index, field, condition, within_ids);
    if (condition.is_number()) return estimate_numeric(index, field, "$eq", within_ids);
    if (!condition.is_object()) return {};
    Estimate total{within_ids, 0.0};
    for (const auto& [op, operand] : condition.items()) {
        if (total.matches <= 0.0) break;
        const Estimate e = estimate_operator(index, field, op, operand, total.matches);
        total.cost_ns += e.cost_ns;
        total.matches = std::min(total.matches, e.matches);
    }
    return total;
}

// A numeric comparison of a conjunction that every id must pass: its field's index and the
// codes it keeps, [lo, hi].
struct CodeRange {
    const index::NumericBsiIndex* bsi;
    std::uint32_t lo;
    std::uint32_t hi;
};

// The codes an operator keeps, as evaluate_numeric_op decides; none for "$ne" (it keeps ids
// without a value) and anything else. Code 0 (no value) is never kept.
std::optional<CodeRange> comparison_codes(const index::CoreIndex& index, std::string_view field,
                                          std::string_view op, const text::Json& operand) {
    if (!operand.is_number() || !is_comparison(op) || op == "$ne") return std::nullopt;
    auto it = index.num_index.find(field);
    if (it == index.num_index.end()) return std::nullopt;
    const float value = text::json_number_as_f32(operand);
    const std::uint32_t e = index::sortable_bits(value);
    if (std::isnan(value)) return CodeRange{&it->second, 1, 0};
    if (op == "$eq") return CodeRange{&it->second, e, e};
    if (op == "$gt") {
        return e == 0xFFFFFFFFU ? CodeRange{&it->second, 1, 0}
                                : CodeRange{&it->second, e + 1, 0xFFFFFFFFU};
    }
    if (op == "$gte") return CodeRange{&it->second, std::max(e, 1U), 0xFFFFFFFFU};
    if (op == "$lt") return CodeRange{&it->second, 1, e - 1};
    return CodeRange{&it->second, 1, e};  // "$lte"
}

// The first numeric comparison of the conjunction's plan over `within_ids` ids that is reached
// with all of them (the estimated matches before it) and read id by id over them (its own
// cost model), or with `whatever_the_cost` simply the first one.
std::optional<CodeRange> code_range_of(const index::CoreIndex& index, const text::Json& filter,
                                       double within_ids, bool whatever_the_cost) {
    if (!filter.is_object() || !is_conjunction(filter)) return std::nullopt;
    auto read_by_id = [within_ids](const CodeRange& r) {
        return r.bsi->per_id_ns(within_ids) <= r.bsi->comparison_ns(within_ids);
    };
    for (const Part& part : planned_order(index, conjunction_parts(filter), within_ids)) {
        if (part.field == nullptr) {
            if (auto r = code_range_of(index, *part.value, within_ids, whatever_the_cost)) return r;
        } else if (part.value->is_number()) {
            // A number stands for "$eq" of it.
            const std::optional<CodeRange> r =
                comparison_codes(index, *part.field, "$eq", *part.value);
            if (r && (whatever_the_cost || read_by_id(*r))) return r;
        } else if (part.value->is_object()) {
            // Its operators narrow one after the other, each a member of the conjunction.
            for (const auto& [op, operand] : part.value->items()) {
                const std::optional<CodeRange> r =
                    comparison_codes(index, *part.field, op, operand);
                if (r && (whatever_the_cost || read_by_id(*r))) return r;
                if (!whatever_the_cost &&
                    estimate_operator(index, *part.field, op, operand, within_ids).matches <
                        within_ids)
                    return std::nullopt;
            }
        }
        if (!whatever_the_cost && estimate_part(index, part, within_ids).matches < within_ids)
            return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

bool thin_by_codes(const index::CoreIndex& index, const text::Json& filter,
                   std::uint64_t within_ids, bool whatever_the_cost,
                   std::vector<std::uint32_t>& ids) {
    const std::optional<CodeRange> r =
        code_range_of(index, filter, static_cast<double>(within_ids), whatever_the_cost);
    if (!r) return false;
    r->bsi->keep_codes_between(ids, r->lo, r->hi);
    return true;
}

Estimate estimate_filter(const index::CoreIndex& index, const text::Json& filter,
                         std::uint64_t within_ids) {
    const auto n = static_cast<double>(within_ids);
    if (!filter.is_object()) return {};
    if (is_conjunction(filter)) return conjunction_estimate(index, conjunction_parts(filter), n);
    if (const text::Json* elements = member_array(filter, "$or")) {
        Estimate any;
        for (const text::Json& element : *elements) {
            const Estimate e = estimate_filter(index, element, within_ids);
            any.matches += e.matches;
            any.cost_ns += e.cost_ns;
        }
        return {std::min(n, any.matches), any.cost_ns};
    }
    const Estimate negated = estimate_filter(index, *filter.find("$not"), within_ids);
    return {n, negated.cost_ns + bitmap_op_ns + bitmap_id_ns * n};
}

// A filter object is read as the first of these that applies: an "$and" array, an "$or"
// array, a "$not" member, else its field conditions. Narrowed to `within`, each reads as the
// evaluation over the whole store intersected with it: an "$or" is the union of its
// elements within it, a "$not" what is left of it after its operand within it.
Bitmap evaluate_filter(const index::CoreIndex& index, const text::Json& filter,
                       const Bitmap* within) {
    if (!filter.is_object()) return Bitmap();
    return evaluate_filter(index, filter, Bitmap(within != nullptr ? *within : index.valid_ids));
}

Bitmap evaluate_filter(const index::CoreIndex& index, const text::Json& filter, Bitmap&& within) {
    if (!filter.is_object()) return Bitmap();
    Bitmap r = std::move(within);
    if (is_conjunction(filter)) {
        std::vector<Part> parts = conjunction_parts(filter);
        for (const Part& part :
             planned_order(index, std::move(parts), static_cast<double>(r.cardinality()))) {
            if (r.empty()) break;
            // Each part's answer lies within r already.
            r = part.field == nullptr
                    ? evaluate_filter(index, *part.value, std::move(r))
                    : evaluate_field_condition(index, *part.field, *part.value, &r);
        }
        return r;
    }
    if (const text::Json* elements = member_array(filter, "$or")) {
        Bitmap any;
        for (const text::Json& element : *elements) any |= evaluate_filter(index, element, &r);
        return any;
    }
    r -= evaluate_filter(index, *filter.find("$not"), &r);
    return r;
}

Bitmap evaluate_field_condition(const index::CoreIndex& index, std::string_view field,
                                const text::Json& condition, const Bitmap* within) {
    if (condition.is_string() || condition.is_boolean())
        return get_bitmap_str_eq(index, field, condition, within);
    if (condition.is_number()) {
        return evaluate_numeric_op(index, field, "$eq", text::json_number_as_f32(condition),
                                   within);
    }
    if (!condition.is_object()) return Bitmap();
    // Each operator's answer lies within the set it is given, so a lone operator is the
    // answer, and each later one is evaluated within what the earlier ones left.
    if (within != nullptr && condition.size() == 1) {
        const auto only = condition.items().begin();
        return operator_bitmap(index, field, only.key(), only.value(), within);
    }
    Bitmap r = within != nullptr ? *within : index.valid_ids;
    for (const auto& [op, operand] : condition.items()) {
        if (r.empty()) break;
        r = operator_bitmap(index, field, op, operand, &r);
    }
    return r;
}

Bitmap get_bitmap_str_eq(const index::CoreIndex& index, std::string_view field,
                         const text::Json& value, const Bitmap* within) {
    std::string_view text;
    if (value.is_string()) {
        text = value.get_ref<const std::string&>();
    } else if (value.is_boolean()) {
        text = value.get<bool>() ? "true" : "false";
    } else {
        return Bitmap();
    }
    if (field == "_id" || field == "id") {
        const std::uint32_t* found = index.ext_to_int.find(index::hash_id(text));
        Bitmap r;
        if (found != nullptr && index.valid_ids.contains(*found) &&
            (within == nullptr || within->contains(*found))) {
            r.add(*found);
        }
        return r;
    }
    auto outer = index.str_index.find(field);
    if (outer == index.str_index.end()) return Bitmap();
    auto inner = outer->second.find(text);
    if (inner == outer->second.end()) return Bitmap();
    return inner->second.bitmap(within);
}

Bitmap evaluate_numeric_op(const index::CoreIndex& index, std::string_view field,
                           std::string_view op, float value, const Bitmap* within) {
    auto it = index.num_index.find(field);
    if (it == index.num_index.end()) return Bitmap();
    const index::NumericBsiIndex& bsi = it->second;
    const std::uint32_t e = index::sortable_bits(value);
    const bool nan = std::isnan(value);
    // Every comparison starts from the narrowing set, so its cost follows it rather than the
    // whole field.
    if (op == "$eq") return bsi.equal_to(value, within);
    if (op == "$ne") {
        // "Not equal" includes live points that hold no value for the field.
        if (within != nullptr) return bsi.not_equal_to(value, *within);
        Bitmap r = index.valid_ids;
        r -= bsi.equal_to(value, &r);
        return r;
    }
    if (nan) return Bitmap();  // no value compares with NaN
    if (op == "$gt") return bsi.greater_than_encoded(e, within);
    // Only points that hold a value at or above the operand, as for "$gt".
    if (op == "$gte") return bsi.at_least_encoded(e, within);
    if (op == "$lt") return bsi.less_than_encoded(e, within);
    if (op == "$lte") {
        return e == 0xFFFFFFFFU ? bsi.existing(within) : bsi.less_than_encoded(e + 1, within);
    }
    return Bitmap();
}

}  // namespace vesko::filter
