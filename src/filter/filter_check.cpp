#include "filter/filter_check.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace vesko::filter {

namespace {

constexpr std::array<std::string_view, 8> operators = {"$eq", "$ne",  "$gt", "$gte",
                                                       "$lt", "$lte", "$in", "$nin"};

bool is_logical(std::string_view key) { return key == "$and" || key == "$or" || key == "$not"; }

std::string named(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    out.append(text);
    out.push_back('"');
    return out;
}

std::optional<std::string> object_problem(const text::Json& filter, const std::string& where);

// A field's condition: only an operator object can hide a skipped member.
std::optional<std::string> condition_problem(const text::Json& condition,
                                             const std::string& where) {
    if (!condition.is_object()) return std::nullopt;
    for (const auto& [op, operand] : condition.items()) {
        if (op.empty() || op[0] != '$') continue;
        const std::string at = where + "." + op;
        if (std::find(operators.begin(), operators.end(), op) == operators.end())
            return "unknown operator " + named(op) + " at " + where;
        if (op != "$in" && op != "$nin") continue;
        if (!operand.is_array()) return named(op) + " needs an array at " + where;
        for (std::size_t i = 0; i < operand.size(); ++i) {
            if (auto problem = condition_problem(operand[i], at + "[" + std::to_string(i) + "]"))
                return problem;
        }
    }
    return std::nullopt;
}

std::optional<std::string> logical_problem(std::string_view key, const text::Json& value,
                                           const std::string& where) {
    const std::string at = where.empty() ? std::string(key) : where + "." + std::string(key);
    if (key == "$not") {
        if (!value.is_object()) return named(key) + " needs an object at " + at;
        return object_problem(value, at);
    }
    if (!value.is_array()) return named(key) + " needs an array of objects at " + at;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const std::string element = at + "[" + std::to_string(i) + "]";
        if (!value[i].is_object()) return named(key) + " needs an array of objects at " + element;
        if (auto problem = object_problem(value[i], element)) return problem;
    }
    return std::nullopt;
}

std::optional<std::string> object_problem(const text::Json& filter, const std::string& where) {
    for (const auto& [key, value] : filter.items()) {
        const std::string at = where.empty() ? key : where + "." + key;
        if (is_logical(key)) {
            if (filter.size() > 1) {
                return "member " + named(key) + " at " + (where.empty() ? "the top" : where) +
                       " stands beside other members, which the filter would skip";
            }
            return logical_problem(key, value, where);
        }
        if (!key.empty() && key[0] == '$') return "unknown member " + named(key) + " at " + at;
        if (auto problem = condition_problem(value, at)) return problem;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> deletion_filter_problem(const text::Json& filter) {
    if (!filter.is_object()) return std::nullopt;
    return object_problem(filter, "");
}

}  // namespace vesko::filter
