// Flat metadata: the common shape of a point's metadata (one object whose values are plain
// strings, numbers, booleans or null) read without the general JSON parser, as its members and
// its compact text. Everything the store derives from metadata -- the compact text, the log's
// encoding, the indexed values -- comes out of the members exactly as out of the object the
// general parser builds; texts of any other shape are that parser's (Metadata::parse).
#pragma once

#include "text/json_text.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vesko::text {

struct FlatMember {
    // Unsigned and Negative are integers (the general parser's unsigned and signed kinds),
    // Float a number with a fraction or an exponent.
    enum class Kind : std::uint8_t { String, Unsigned, Negative, Float, True, False, Null };
    // Views into the text that was read: the key's bytes, and a string's bytes between its
    // quotes or any other value's literal as written. Keys and strings have no escapes, so
    // these bytes are also their values.
    std::string_view key;
    std::string_view raw;
    Kind kind = Kind::Null;
    std::int64_t int_value = 0;  // Unsigned and Negative
    double float_value = 0.0;    // Float
};

// When `text` has the flat shape, appends its members to `members` in ascending byte order of
// their keys, a repeated key with the value of its last occurrence only (the object the
// general parser builds), and returns true. Otherwise returns false with `members` as it was.
// Flat: keys and string values of well-formed UTF-8 without escapes, control characters or
// DEL (what the general writer prints as it is, byte for byte); integers of at most 18
// digits other than "-0"; other numbers read as the nearest double; true, false, null; any
// whitespace the grammar allows. Nothing else, and no syntax error, is flat.
bool read_flat_metadata(std::string_view text, std::vector<FlatMember>& members);

// Appends the compact text of the members (as read_flat_metadata gives them) to `out`: the
// bytes the general writer prints for the same object.
void append_flat_compact(std::string& out, std::span<const FlatMember> members);

// The member's value as a JSON value.
Json flat_json_value(const FlatMember& member);

}  // namespace vesko::text
