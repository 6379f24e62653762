#include "text/flat_metadata.h"

#include "common/utf8.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <utility>

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

// Reads a text as a flat object, one step per part of the grammar; every step returns false,
// at once, on anything that is not the flat shape.
class FlatReader {
  public:
    explicit FlatReader(std::string_view text) : text_(text) {}

    // The members in the order written.
    bool read_members(std::vector<FlatMember>& members) {
        skip_space();
        if (!take('{')) return false;
        if (!take('}')) {
            do {
                FlatMember member;
                if (!read_key(member) || !read_value(member)) return false;
                members.push_back(member);
            } while (take(','));
            if (!take('}')) return false;
        }
        return at_ == text_.size();
    }

  private:
    bool more() const { return at_ < text_.size(); }
    bool digit_next() const { return more() && text_[at_] >= '0' && text_[at_] <= '9'; }
    void skip_space() {
        while (more() && is_json_space(text_[at_])) ++at_;
    }
    // Takes `ch` and the space after it when `ch` comes next.
    bool take(char ch) {
        if (!more() || text_[at_] != ch) return false;
        ++at_;
        skip_space();
        return true;
    }
    // At least one digit.
    bool skip_digits() {
        if (!digit_next()) return false;
        while (digit_next()) ++at_;
        return true;
    }

    // A key and the colon after it.
    bool read_key(FlatMember& member) {
        if (!more() || text_[at_] != '"') return false;
        const auto key = plain_string(text_, at_);
        if (!key) return false;
        member.key = *key;
        skip_space();
        return take(':');
    }

    // A value and the space after it.
    bool read_value(FlatMember& member) {
        if (!more()) return false;
        const char first = text_[at_];
        bool read = false;
        if (first == '"') {
            const auto value = plain_string(text_, at_);
            read = value.has_value();
            if (read) {
                member.raw = *value;
                member.kind = FlatMember::Kind::String;
            }
        } else if (first == '-' || digit_next()) {
            read = read_number(member);
        } else {
            read = read_literal(member);
        }
        skip_space();
        return read;
    }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?, the grammar of a JSON number.
    bool read_number(FlatMember& member) {
        const std::size_t start = at_;
        const bool negative = text_[at_] == '-';
        if (negative) ++at_;
        const std::size_t digits = at_;
        if (!skip_digits() || (text_[digits] == '0' && at_ - digits > 1)) return false;
        const std::size_t integer_digits = at_ - digits;
        bool is_float = false;
        if (more() && text_[at_] == '.') {
            ++at_;
            if (!skip_digits()) return false;
            is_float = true;
        }
        if (more() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            ++at_;
            if (more() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
            if (!skip_digits()) return false;
            is_float = true;
        }
        member.raw = text_.substr(start, at_ - start);
        if (is_float) return read_float(member);
        return read_integer(member, negative, text_[digits] == '0', integer_digits);
    }

    static bool read_float(FlatMember& member) {
        const char* end = member.raw.data() + member.raw.size();
        const auto [stop, ec] = std::from_chars(member.raw.data(), end, member.float_value);
        member.kind = FlatMember::Kind::Float;
        return ec == std::errc() && stop == end;
    }

    static bool read_integer(FlatMember& member, bool negative, bool zero, std::size_t digits) {
        // At most 18 digits: every value fits, and the general parser gives the same kinds
        // (unsigned without a sign, signed with one). "-0" is the general parser's.
        if (digits > 18 || (negative && zero)) return false;
        std::from_chars(member.raw.data(), member.raw.data() + member.raw.size(), member.int_value);
        member.kind = negative ? FlatMember::Kind::Negative : FlatMember::Kind::Unsigned;
        return true;
    }

    bool read_literal(FlatMember& member) {
        static constexpr std::pair<std::string_view, FlatMember::Kind> literals[] = {
            {"true", FlatMember::Kind::True},
            {"false", FlatMember::Kind::False},
            {"null", FlatMember::Kind::Null}};
        for (const auto& [literal, kind] : literals) {
            if (text_.substr(at_, literal.size()) != literal) continue;
            member.raw = literal;
            member.kind = kind;
            at_ += literal.size();
            return true;
        }
        return false;
    }

    std::string_view text_;
    std::size_t at_ = 0;
};

}  // namespace

bool read_flat_metadata(std::string_view text, std::vector<FlatMember>& members) {
    const std::size_t first = members.size();
    if (!FlatReader(text).read_members(members)) {
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
            // A double as the general writer writes it, through the writer's own routine;
            // every other value as it was read. std::to_chars would not do: the routine's
            // digits are not always the shortest (91.778219 comes out as
            // 91.77821900000001, about 3 doubles in 1000 differ), and a flat text must give
            // the general writer's bytes.
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

}  // namespace vesko::text
