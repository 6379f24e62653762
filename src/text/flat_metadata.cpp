#include "text/flat_metadata.h"

#include "common/float_narrow.h"
#include "common/utf8.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>

namespace vesko::text {

namespace {

bool is_json_space(char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r'; }

// A string literal at text[at] == '"' without escapes or control characters whose bytes are
// well-formed UTF-8 (the general parser refuses any other bytes), for which the JSON text and
// the value are the same bytes; `at` moves past its closing quote.
std::optional<std::string_view> plain_string(std::string_view text, std::size_t& at) {
    const std::size_t start = at + 1;
    bool ascii = true;
    for (std::size_t i = start; i < text.size(); ++i) {
        const auto ch = static_cast<unsigned char>(text[i]);
        if (ch == '"') {
            const std::string_view bytes = text.substr(start, i - start);
            if (!ascii && !is_valid_utf8(bytes)) return std::nullopt;
            at = i + 1;
            return bytes;
        }
        if (ch < 0x20 || ch == 0x7F || ch == '\\') return std::nullopt;
        ascii = ascii && ch < 0x80;
    }
    return std::nullopt;
}

// The members in the order written; false on anything that is not the flat shape.
bool read_members(std::string_view text, std::vector<FlatMember>& members) {
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
        FlatMember member;
        member.key = *key;
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
            const char* raw_end = member.raw.data() + member.raw.size();
            if (is_float) {
                const auto [end, ec] =
                    std::from_chars(member.raw.data(), raw_end, member.float_value);
                if (ec != std::errc() || end != raw_end) return false;
                member.kind = Kind::Float;
            } else {
                if (count > 18 || (first == '-' && text[digits] == '0')) return false;
                // At most 18 digits: every value fits, and the general parser gives the same
                // kinds (unsigned without a sign, signed with one).
                std::from_chars(member.raw.data(), raw_end, member.int_value);
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

}  // namespace

bool read_flat_metadata(std::string_view text, std::vector<FlatMember>& members) {
    const std::size_t first = members.size();
    if (!read_members(text, members)) {
        members.resize(first);
        return false;
    }
    // Insertion sort: stable, and without the buffer std::stable_sort allocates per call
    // (metadata has a handful of members).
    for (std::size_t i = first + 1; i < members.size(); ++i) {
        for (std::size_t j = i; j > first && members[j].key < members[j - 1].key; --j)
            std::swap(members[j], members[j - 1]);
    }
    // Of a repeated key, stable order leaves its last value last: keep that one.
    std::size_t kept = first;
    for (std::size_t i = first; i < members.size(); ++i) {
        if (i + 1 < members.size() && members[i + 1].key == members[i].key) continue;
        members[kept++] = members[i];
    }
    members.resize(kept);
    return true;
}

void append_flat_compact(std::string& out, std::span<const FlatMember> members) {
    out += '{';
    for (std::size_t i = 0; i < members.size(); ++i) {
        const FlatMember& m = members[i];
        if (i > 0) out += ',';
        out += '"';
        out += m.key;
        out += "\":";
        if (m.kind == FlatMember::Kind::Float) {
            // A double as the general writer writes it, through the same routine (its
            // shortest round-trip form); every other value as it was read.
            std::array<char, 64> digits;
            char* end = nlohmann::detail::to_chars(digits.data(), digits.data() + digits.size(),
                                                   m.float_value);
            out.append(digits.data(), static_cast<std::size_t>(end - digits.data()));
        } else if (m.kind == FlatMember::Kind::String) {
            out += '"';
            out += m.raw;
            out += '"';
        } else {
            out += m.raw;
        }
    }
    out += '}';
}

Json flat_json_value(const FlatMember& member) {
    using Kind = FlatMember::Kind;
    switch (member.kind) {
        case Kind::String:
            return Json(std::string(member.raw));
        case Kind::Unsigned:
            return Json(static_cast<std::uint64_t>(member.int_value));
        case Kind::Negative:
            return Json(member.int_value);
        case Kind::Float:
            return Json(member.float_value);
        case Kind::True:
            return Json(true);
        case Kind::False:
            return Json(false);
        case Kind::Null:
            break;
    }
    return Json(nullptr);
}

float flat_number_as_f32(const FlatMember& member) {
    // As text::json_number_as_f32: integers through the nearest double first.
    if (member.kind == FlatMember::Kind::Float) return narrow_to_f32(member.float_value);
    return narrow_to_f32(static_cast<double>(member.int_value));
}

}  // namespace vesko::text
