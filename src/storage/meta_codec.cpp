#include "storage/meta_codec.h"

#include <string_view>
#include <type_traits>

namespace vesko::storage {

namespace {

enum Tag : std::uint8_t {
    tag_null = 0,
    tag_false = 1,
    tag_true = 2,
    tag_unsigned = 3,
    tag_signed = 4,
    tag_float = 5,
    tag_string = 6,
    tag_array = 7,
    tag_object = 8,
};

// Texts are refused beyond max_json_depth levels; a little slack, and nothing deeper decodes.
constexpr int max_decode_depth = text::max_json_depth + 8;

// Stands in for a JSON value when a record is only checked: takes every assignment and keeps
// nothing, so checking a log costs no allocation per value.
struct Skipped {
    template <class T>
    Skipped& operator=(T&&) {
        return *this;
    }
    static Skipped array() { return {}; }
    static Skipped object() { return {}; }
    void push_back(Skipped&&) {}
    Skipped& operator[](std::string_view) { return *this; }
};

template <class Out>
bool decode_value(ByteReader& reader, Out& out, int depth);

template <class Out>
bool decode_object_body(ByteReader& reader, Out& out, int depth) {
    std::uint64_t count;
    // Entries are decoded one by one and nothing is reserved, so a damaged count costs no
    // memory: it runs into the end of the bytes, or into bytes that are not an entry.
    if (!reader.u64(count) || count > max_log_length) return false;
    out = Out::object();
    for (std::uint64_t i = 0; i < count; ++i) {
        std::string_view key;
        Out value;
        if (!read_log_text(reader, key) || !decode_value(reader, value, depth + 1)) return false;
        if constexpr (std::is_same_v<Out, text::Json>) {
            out[std::string(key)] = std::move(value);
        }
    }
    return true;
}

template <class Out>
bool decode_value(ByteReader& reader, Out& out, int depth) {
    if (depth > max_decode_depth) return false;
    std::uint8_t tag;
    if (!reader.u8(tag)) return false;
    switch (tag) {
        case tag_null:
            out = nullptr;
            return true;
        case tag_false:
            out = false;
            return true;
        case tag_true:
            out = true;
            return true;
        case tag_unsigned: {
            std::uint64_t v;
            if (!reader.u64(v)) return false;
            out = v;
            return true;
        }
        case tag_signed: {
            std::uint64_t v;
            if (!reader.u64(v)) return false;
            out = static_cast<std::int64_t>(v);
            return true;
        }
        case tag_float: {
            double v;
            if (!reader.f64(v)) return false;
            out = v;
            return true;
        }
        case tag_string: {
            std::string_view text;
            if (!read_log_text(reader, text)) return false;
            if constexpr (std::is_same_v<Out, text::Json>) out = std::string(text);
            return true;
        }
        case tag_array: {
            std::uint64_t count;
            if (!reader.u64(count) || count > max_log_length) return false;
            out = Out::array();
            for (std::uint64_t i = 0; i < count; ++i) {
                Out element;
                if (!decode_value(reader, element, depth + 1)) return false;
                out.push_back(std::move(element));
            }
            return true;
        }
        case tag_object:
            return decode_object_body(reader, out, depth);
        default:
            return false;
    }
}

}  // namespace

void encode_meta_object(std::string& out, const text::Json& object) {
    put_u64(out, object.size());
    for (const auto& [key, value] : object.items()) {
        put_string(out, key);
        encode_meta_value(out, value);
    }
}

void encode_meta_value(std::string& out, const text::Json& value) {
    switch (value.type()) {
        case text::Json::value_t::null:
            put_u8(out, tag_null);
            break;
        case text::Json::value_t::boolean:
            put_u8(out, value.get<bool>() ? tag_true : tag_false);
            break;
        case text::Json::value_t::number_unsigned:
            put_u8(out, tag_unsigned);
            put_u64(out, value.get<std::uint64_t>());
            break;
        case text::Json::value_t::number_integer:
            put_u8(out, tag_signed);
            put_u64(out, static_cast<std::uint64_t>(value.get<std::int64_t>()));
            break;
        case text::Json::value_t::number_float:
            put_u8(out, tag_float);
            put_f64(out, value.get<double>());
            break;
        case text::Json::value_t::string:
            put_u8(out, tag_string);
            put_string(out, value.get_ref<const std::string&>());
            break;
        case text::Json::value_t::array:
            put_u8(out, tag_array);
            put_u64(out, value.size());
            for (const auto& element : value) encode_meta_value(out, element);
            break;
        case text::Json::value_t::object:
            put_u8(out, tag_object);
            encode_meta_object(out, value);
            break;
        default:
            // Parsed text never yields binary or discarded values.
            put_u8(out, tag_null);
            break;
    }
}

void encode_flat_meta_object(std::string& out, std::span<const text::FlatMember> members) {
    using Kind = text::FlatMember::Kind;
    put_u64(out, members.size());
    for (const text::FlatMember& m : members) {
        put_string(out, m.key);
        switch (m.kind) {
            case Kind::String:
                put_u8(out, tag_string);
                put_string(out, m.raw);
                break;
            case Kind::Unsigned:
                put_u8(out, tag_unsigned);
                put_u64(out, static_cast<std::uint64_t>(m.int_value));
                break;
            case Kind::Negative:
                put_u8(out, tag_signed);
                put_u64(out, static_cast<std::uint64_t>(m.int_value));
                break;
            case Kind::Float:
                put_u8(out, tag_float);
                put_f64(out, m.float_value);
                break;
            case Kind::True:
                put_u8(out, tag_true);
                break;
            case Kind::False:
                put_u8(out, tag_false);
                break;
            case Kind::Null:
                put_u8(out, tag_null);
                break;
        }
    }
}

bool decode_meta_value(ByteReader& reader, text::Json& out) { return decode_value(reader, out, 0); }

bool decode_meta_object(ByteReader& reader, text::Json& out) {
    return decode_object_body(reader, out, 0);
}

bool skip_meta_object(ByteReader& reader) {
    Skipped out;
    return decode_object_body(reader, out, 0);
}

}  // namespace vesko::storage
