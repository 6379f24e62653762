#include "text/indexed_value.h"

namespace vesko::text {

IndexedValue indexed_value(const Json& value) {
    using Kind = IndexedValue::Kind;
    if (value.is_string()) return {Kind::String, value.get_ref<const std::string&>()};
    if (value.is_boolean()) return {Kind::String, value.get<bool>() ? "true" : "false"};
    if (value.is_number()) return {Kind::Number, {}, json_number_as_f32(value)};
    return {};
}

IndexedValue indexed_value(const FlatMember& member) {
    using Kind = FlatMember::Kind;
    switch (member.kind) {
        case Kind::String:
        case Kind::True:
        case Kind::False:
            // A boolean's literal is its index text, "true" or "false".
            return {IndexedValue::Kind::String, member.raw};
        case Kind::Unsigned:
        case Kind::Negative:
        case Kind::Float:
            // Through the JSON value, so that the number rule has one home.
            return {IndexedValue::Kind::Number, {}, json_number_as_f32(flat_json_value(member))};
        case Kind::Null:
            break;
    }
    return {};
}

}  // namespace vesko::text
