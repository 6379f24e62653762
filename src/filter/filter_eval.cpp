#include "filter/filter_eval.h"

#include "index/id_hash.h"

#include <cmath>

namespace vesko::filter {

namespace {

const text::Json* member_array(const text::Json& object, const char* key) {
    auto it = object.find(key);
    return it != object.end() && it->is_array() ? &*it : nullptr;
}

Bitmap start_from(const index::CoreIndex& index, const Bitmap* restrict) {
    return restrict != nullptr ? * restrict : index.valid_ids;
}

Bitmap union_of_conditions(const index::CoreIndex& index, std::string_view field,
                           const text::Json& elements, const Bitmap* candidates) {
    Bitmap r;
    for (const text::Json& element : elements) {
        r |= evaluate_field_condition(index, field, element, candidates);
    }
    return r;
}

Bitmap live_within(const index::CoreIndex& index, const Bitmap* candidates) {
    return candidates != nullptr ? index.valid_ids & *candidates : index.valid_ids;
}

// The ids one operator admits, restricted to `candidates` when given: the caller intersects
// the result with a subset of them, so the restriction changes no answer, only the cost.
Bitmap operator_bitmap(const index::CoreIndex& index, std::string_view field, std::string_view op,
                       const text::Json& operand, const Bitmap* candidates) {
    const bool numeric = operand.is_number();
    const bool comparison =
        op == "$eq" || op == "$ne" || op == "$gt" || op == "$gte" || op == "$lt" || op == "$lte";
    if (numeric && comparison) {
        return evaluate_numeric_op(index, field, op, text::json_number_as_f32(operand), candidates);
    }
    if (op == "$eq") return get_bitmap_str_eq(index, field, operand, candidates);
    if (op == "$ne") {
        Bitmap r = live_within(index, candidates);
        r -= get_bitmap_str_eq(index, field, operand, &r);
        return r;
    }
    if (op == "$in") {
        return operand.is_array() ? union_of_conditions(index, field, operand, candidates)
                                  : Bitmap();
    }
    if (op == "$nin") {
        Bitmap r = live_within(index, candidates);
        if (operand.is_array()) r -= union_of_conditions(index, field, operand, &r);
        return r;
    }
    return Bitmap();  // an unknown operator, or a range with an operand that is not a number
}

}  // namespace

// A filter object is read as the first of these that applies: an "$and" array, an "$or"
// array, a "$not" member, else its field conditions.
Bitmap evaluate_filter(const index::CoreIndex& index, const text::Json& filter,
                       const Bitmap* restrict) {
    if (!filter.is_object()) return Bitmap();
    if (member_array(filter, "$and") == nullptr) {
        if (const text::Json* parts = member_array(filter, "$or")) {
            Bitmap r;
            for (const text::Json& element : *parts) r |= evaluate_filter(index, element, nullptr);
            if (restrict != nullptr) r &= * restrict;
            return r;
        }
        if (auto negated = filter.find("$not"); negated != filter.end()) {
            Bitmap r = index.valid_ids - evaluate_filter(index, *negated, nullptr);
            if (restrict != nullptr) r &= * restrict;
            return r;
        }
    }
    return evaluate_filter(index, filter, start_from(index, restrict));
}

Bitmap evaluate_filter(const index::CoreIndex& index, const text::Json& filter, Bitmap&& restrict) {
    if (!filter.is_object()) return Bitmap();
    Bitmap r = std::move(restrict);
    if (const text::Json* parts = member_array(filter, "$and")) {
        // Each element narrows what is left: evaluating it against r gives r ∩ element.
        for (const text::Json& element : *parts) {
            if (r.empty()) break;
            r = evaluate_filter(index, element, std::move(r));
        }
        return r;
    }
    // "$or" and "$not" start from their own sets, not from r.
    if (member_array(filter, "$or") != nullptr || filter.contains("$not"))
        return evaluate_filter(index, filter, &r);
    for (const auto& [field, condition] : filter.items()) {
        if (!field.empty() && field[0] == '$') continue;
        // The condition's answer lies within r already.
        r = evaluate_field_condition(index, field, condition, &r);
        if (r.empty()) return r;
    }
    return r;
}

Bitmap evaluate_field_condition(const index::CoreIndex& index, std::string_view field,
                                const text::Json& condition, const Bitmap* candidates) {
    if (condition.is_string() || condition.is_boolean())
        return get_bitmap_str_eq(index, field, condition, candidates);
    if (condition.is_number()) {
        return evaluate_numeric_op(index, field, "$eq", text::json_number_as_f32(condition),
                                   candidates);
    }
    if (!condition.is_object()) return Bitmap();
    // Each operator's answer lies within the candidates, so a lone operator is the answer.
    if (candidates != nullptr && condition.size() == 1) {
        const auto only = condition.items().begin();
        return operator_bitmap(index, field, only.key(), only.value(), candidates);
    }
    Bitmap r = start_from(index, candidates);
    for (const auto& [op, operand] : condition.items()) {
        if (r.empty()) break;
        r &= operator_bitmap(index, field, op, operand, candidates);
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
                           std::string_view op, float value, const Bitmap* restrict) {
    auto it = index.num_index.find(field);
    if (it == index.num_index.end()) return Bitmap();
    const index::NumericBsiIndex& bsi = it->second;
    const std::uint32_t e = index::sortable_bits(value);
    const bool nan = std::isnan(value);
    // Every comparison starts from the restricting set, so its cost follows the candidates
    // rather than the whole field.
    if (op == "$eq") return bsi.equal_to(value, restrict);
    if (op == "$ne") {
        // "Not equal" includes live points that hold no value for the field.
        Bitmap r = restrict != nullptr ? index.valid_ids & * restrict : index.valid_ids;
        r -= bsi.equal_to(value, &r);
        return r;
    }
    if (nan) return Bitmap();  // no value compares with NaN
    if (op == "$gt") return bsi.greater_than_encoded(e, restrict);
    // Only points that hold a value at or above the operand, as for "$gt".
    if (op == "$gte") return bsi.at_least_encoded(e, restrict);
    if (op == "$lt") return bsi.less_than_encoded(e, restrict);
    if (op == "$lte") {
        return e == 0xFFFFFFFFU ? bsi.existing(restrict) : bsi.less_than_encoded(e + 1, restrict);
    }
    return Bitmap();
}

}  // namespace vesko::filter
