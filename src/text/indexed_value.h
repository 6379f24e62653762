// What the indexes hold of a point's metadata, decided here only. A single insertion, a batch's
// indexes and the log's replay all go through it, whether the value was read by the general
// parser (a JSON value) or by the quick reader (a flat member), so they never disagree.
#pragma once

#include "text/flat_metadata.h"
#include "text/json_text.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vesko::text {

struct IndexedValue {
    // String: in the string index under `text`; Number: in the field's numeric index as
    // `number`; None: in no index.
    enum class Kind : std::uint8_t { None, String, Number };
    Kind kind = Kind::None;
    std::string_view text;  // a string's value, "true" or "false" for a boolean
    float number = 0.0f;    // json_number_as_f32 of the number

    bool operator==(const IndexedValue&) const = default;
};

// Strings and booleans go to the string index, numbers to the numeric index; null, arrays and
// objects to none. The text views the value (or a literal), valid as long as it is.
IndexedValue indexed_value(const Json& value);
IndexedValue indexed_value(const FlatMember& member);

// Whether the caller's list of fields to leave unindexed (null for none) names the field.
inline bool skipped_field(const std::vector<std::string>* skip_index, std::string_view field) {
    return skip_index != nullptr && !skip_index->empty() &&
           std::find(skip_index->begin(), skip_index->end(), field) != skip_index->end();
}

// Calls visit(field, IndexedValue) for every member of a metadata object that goes to an
// index, in ascending byte order of the fields.
template <class Visit>
void for_each_indexed(const Json& object, const std::vector<std::string>* skip_index,
                      Visit&& visit) {
    for (const auto& [field, value] : object.items()) {
        const IndexedValue indexed = indexed_value(value);
        if (indexed.kind != IndexedValue::Kind::None && !skipped_field(skip_index, field))
            visit(std::string_view(field), indexed);
    }
}
// The same for the members read_flat_metadata gives, which come in that order too.
template <class Visit>
void for_each_indexed(std::span<const FlatMember> members,
                      const std::vector<std::string>* skip_index, Visit&& visit) {
    for (const FlatMember& member : members) {
        const IndexedValue indexed = indexed_value(member);
        if (indexed.kind != IndexedValue::Kind::None && !skipped_field(skip_index, member.key))
            visit(member.key, indexed);
    }
}

}  // namespace vesko::text
