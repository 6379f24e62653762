#include "storage/metadata.h"

#include "storage/data_files.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <vector>

namespace vesko::storage {

namespace {

bool is_json_space(char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r'; }

// One member of a flat object as read_flat found it.
struct FlatMember {
    enum class Kind { String, Unsigned, Negative, Float, True, False, Null };
    std::string_view key;
    // A string's bytes between its quotes, or the literal as written.
    std::string_view raw;
    Kind kind;
    double float_value = 0.0;  // for Float
};

// A string literal at text[at] == '"' whose bytes are printable ASCII without escapes, for
// which the JSON text and the value are the same bytes; `at` moves past its closing quote.
std::optional<std::string_view> plain_string(std::string_view text, std::size_t& at) {
    const std::size_t start = at + 1;
    for (std::size_t i = start; i < text.size(); ++i) {
        const char ch = text[i];
        if (ch == '"') {
            at = i + 1;
            return text.substr(start, i - start);
        }
        if (ch < 0x20 || ch > 0x7E || ch == '\\') return std::nullopt;
    }
    return std::nullopt;
}

// The common shape of metadata, read without the general parser: one object whose keys and
// string values are plain strings (above) and whose other values are numbers (integers of at
// most 18 digits other than "-0"; numbers with a fraction or an exponent as the nearest
// double, as the general parser reads them), true, false or null. Anything else -- nesting,
// escapes, other bytes, a number out of range, any syntax error -- returns false and is left to
// the general parser, which gives the same value for every text accepted here.
bool read_flat(std::string_view text, std::vector<FlatMember>& members) {
    using Kind = FlatMember::Kind;
    std::size_t at = 0;
    const std::size_t n = text.size();
    auto skip_space = [&] {
        while (at < n && is_json_space(text[at])) ++at;
    };
    auto is_digit = [&](std::size_t i) { return i < n && text[i] >= '0' && text[i] <= '9'; };
    skip_space();
    if (at >= n || text[at] != '{') return false;
    ++at;
    skip_space();
    if (at < n && text[at] == '}') {
        ++at;
        skip_space();
        return at == n;
    }
    for (;;) {
        if (at >= n || text[at] != '"') return false;
        auto key = plain_string(text, at);
        if (!key) return false;
        skip_space();
        if (at >= n || text[at] != ':') return false;
        ++at;
        skip_space();
        if (at >= n) return false;
        FlatMember member{*key, {}, Kind::Null};
        const char first = text[at];
        if (first == '"') {
            auto value = plain_string(text, at);
            if (!value) return false;
            member.raw = *value;
            member.kind = Kind::String;
        } else if (first == '-' || is_digit(at)) {
            // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?, the grammar of a JSON number.
            const std::size_t start = at;
            if (first == '-') ++at;
            const std::size_t digits = at;
            while (is_digit(at)) ++at;
            const std::size_t count = at - digits;
            if (count == 0 || (text[digits] == '0' && count > 1)) return false;
            bool is_float = false;
            if (at < n && text[at] == '.') {
                ++at;
                if (!is_digit(at)) return false;
                while (is_digit(at)) ++at;
                is_float = true;
            }
            if (at < n && (text[at] == 'e' || text[at] == 'E')) {
                ++at;
                if (at < n && (text[at] == '+' || text[at] == '-')) ++at;
                if (!is_digit(at)) return false;
                while (is_digit(at)) ++at;
                is_float = true;
            }
            member.raw = text.substr(start, at - start);
            if (is_float) {
                const auto [end, ec] = std::from_chars(
                    member.raw.data(), member.raw.data() + member.raw.size(), member.float_value);
                if (ec != std::errc() || end != member.raw.data() + member.raw.size()) return false;
                member.kind = Kind::Float;
            } else {
                if (count > 18 || (first == '-' && text[digits] == '0')) return false;
                member.kind = first == '-' ? Kind::Negative : Kind::Unsigned;
            }
        } else {
            static constexpr std::pair<std::string_view, Kind> literals[] = {
                {"true", Kind::True}, {"false", Kind::False}, {"null", Kind::Null}};
            bool matched = false;
            for (const auto& [literal, kind] : literals) {
                if (text.substr(at, literal.size()) == literal) {
                    member.raw = literal;
                    member.kind = kind;
                    at += literal.size();
                    matched = true;
                    break;
                }
            }
            if (!matched) return false;
        }
        members.push_back(member);
        skip_space();
        if (at < n && text[at] == ',') {
            ++at;
            skip_space();
            continue;
        }
        if (at < n && text[at] == '}') {
            ++at;
            skip_space();
            return at == n;
        }
        return false;
    }
}

filter::Json flat_value(const FlatMember& member) {
    using Kind = FlatMember::Kind;
    switch (member.kind) {
        case Kind::String:
            return filter::Json(std::string(member.raw));
        case Kind::Unsigned:
        case Kind::Negative: {
            // At most 18 digits: every value fits, and the general parser gives the same kinds
            // (unsigned without a sign, signed with one).
            std::int64_t v = 0;
            std::from_chars(member.raw.data(), member.raw.data() + member.raw.size(), v);
            if (member.kind == Kind::Unsigned) return filter::Json(static_cast<std::uint64_t>(v));
            return filter::Json(v);
        }
        case Kind::Float:
            return filter::Json(member.float_value);
        case Kind::True:
            return filter::Json(true);
        case Kind::False:
            return filter::Json(false);
        case Kind::Null:
            break;
    }
    return filter::Json(nullptr);
}

Error too_long(std::size_t bytes) {
    return make_error(ErrorKind::InvalidArgument,
                      "metadata is " + std::to_string(bytes) + " bytes as compact JSON; at most " +
                          std::to_string(max_metadata_bytes) + " bytes can be stored");
}

}  // namespace

Result<Metadata> Metadata::parse(std::string_view text) {
    thread_local std::vector<FlatMember> members;
    members.clear();
    if (read_flat(text, members)) {
        // Keys in ascending byte order, and of a repeated key its last value, as the general
        // parser's object holds them.
        // Insertion sort: stable, and without the buffer std::stable_sort allocates per call
        // (metadata has a handful of members).
        for (std::size_t i = 1; i < members.size(); ++i) {
            for (std::size_t j = i; j > 0 && members[j].key < members[j - 1].key; --j)
                std::swap(members[j], members[j - 1]);
        }
        filter::Json object(filter::Json::value_t::object);
        auto& fields = object.get_ref<filter::Json::object_t&>();
        // Every value but a double is written as it was read; a double as the general
        // writer writes it, through the same routine (its shortest round-trip form).
        std::string compact;
        compact.reserve(text.size() + 16);
        compact += '{';
        for (std::size_t i = 0; i < members.size(); ++i) {
            const FlatMember& m = members[i];
            if (i + 1 < members.size() && members[i + 1].key == m.key) continue;
            fields.emplace_hint(fields.end(), std::string(m.key), flat_value(m));
            if (compact.size() > 1) compact += ',';
            compact += '"';
            compact += m.key;
            compact += "\":";
            if (m.kind == FlatMember::Kind::Float) {
                std::array<char, 64> digits;
                char* end = nlohmann::detail::to_chars(digits.data(), digits.data() + digits.size(),
                                                       m.float_value);
                compact.append(digits.data(), static_cast<std::size_t>(end - digits.data()));
            } else if (m.kind == FlatMember::Kind::String) {
                compact += '"';
                compact += m.raw;
                compact += '"';
            } else {
                compact += m.raw;
            }
        }
        compact += '}';
        if (compact.size() > max_metadata_bytes) return too_long(compact.size());
        return Metadata(std::move(object), std::move(compact));
    }
    auto parsed = filter::parse_json(text);
    if (!parsed) return parsed.error();
    if (!parsed->is_object()) {
        return make_error(ErrorKind::InvalidJson, std::string("expected a JSON object, found ") +
                                                      filter::json_type_phrase(*parsed));
    }
    std::string compact = parsed->dump();
    if (compact.size() > max_metadata_bytes) return too_long(compact.size());
    return Metadata(std::move(parsed).value(), std::move(compact));
}

Result<std::optional<Metadata>> Metadata::check(std::string_view text) {
    thread_local std::vector<FlatMember> members;
    members.clear();
    // A flat text's compact form is at most a few times as long as the text (a number such as
    // 1e9 is written out in full), so a short one is within the limit.
    if (text.size() <= max_metadata_bytes / 8 && read_flat(text, members))
        return std::optional<Metadata>();
    auto parsed = parse(text);
    if (!parsed) return parsed.error();
    return std::optional<Metadata>(std::move(parsed).value());
}

Metadata Metadata::from_object(filter::Json object) {
    std::string compact = object.dump();
    return Metadata(std::move(object), std::move(compact));
}

}  // namespace vesko::storage
