#include "text/json_text.h"

#include "common/float_narrow.h"

#include <optional>
#include <string>

namespace vesko::text {

namespace {

// nlohmann reports "[json.exception.parse_error.101] parse error at line L, column C: <what>".
// Callers see "<what> at line L column C".
std::string describe_parse_error(const std::string& what) {
    const std::string marker = "parse error at line ";
    std::size_t at = what.find(marker);
    std::size_t colon = at == std::string::npos ? std::string::npos : what.find(": ", at);
    if (colon == std::string::npos) {
        std::size_t bracket = what.find("] ");
        return bracket == std::string::npos ? what : what.substr(bracket + 2);
    }
    std::string position = what.substr(at + marker.size(), colon - at - marker.size());
    std::size_t comma = position.find(", column ");
    std::string line = position.substr(0, comma);
    std::string column = comma == std::string::npos ? "" : position.substr(comma + 9);
    return what.substr(colon + 2) + " at line " + line + " column " + column;
}

// Calls visit(index, line, column) for every byte outside string literals, until visit
// returns true; line and column (1-based, counting bytes) are those of the byte.
template <class Visit>
void scan_outside_strings(std::string_view text, Visit&& visit) {
    std::size_t line = 1;
    std::size_t line_start = 0;
    bool in_string = false;
    bool escaped = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char ch = text[i];
        if (ch == '\n') {
            ++line;
            line_start = i + 1;
        }
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (ch == '\\') {
                escaped = true;
            } else if (ch == '"') {
                in_string = false;
            }
        } else if (ch == '"') {
            in_string = true;
        } else if (visit(i, line, i - line_start + 1)) {
            return;
        }
    }
}

std::string at_position(std::size_t line, std::size_t column) {
    return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

// Position of the end of the first number token equal to `literal`: the parser names the
// literal of an overflowing number but not where it stands.
std::string position_of_number(std::string_view text, std::string_view literal) {
    std::string found;
    scan_outside_strings(text, [&](std::size_t i, std::size_t line, std::size_t column) {
        const bool starts_token = i == 0 || std::string_view("-+.0123456789eE").find(text[i - 1]) ==
                                                std::string_view::npos;
        if (!starts_token || text.compare(i, literal.size(), literal) != 0) return false;
        found = at_position(line, column + literal.size() - 1);
        return true;
    });
    return found;
}

// Position of the first bracket that opens nesting level max_json_depth + 1, if any.
std::optional<std::string> too_deep(std::string_view text) {
    int depth = 0;
    std::optional<std::string> found;
    scan_outside_strings(text, [&](std::size_t i, std::size_t line, std::size_t column) {
        if (text[i] == '[' || text[i] == '{') {
            if (++depth > max_json_depth) {
                found = at_position(line, column);
                return true;
            }
        } else if (text[i] == ']' || text[i] == '}') {
            --depth;
        }
        return false;
    });
    return found;
}

}  // namespace

Result<Json> parse_json(std::string_view text) {
    if (auto position = too_deep(text))
        return make_error(ErrorKind::InvalidJson, "recursion limit exceeded" + *position);
    try {
        return Json::parse(text.begin(), text.end());
    } catch (const Json::parse_error& e) {
        return make_error(ErrorKind::InvalidJson, describe_parse_error(e.what()));
    } catch (const Json::exception& e) {
        // "number overflow parsing '<literal>'": add where the literal stands.
        std::string message = describe_parse_error(e.what());
        const std::size_t open = message.find('\'');
        const std::size_t close = message.rfind('\'');
        if (open != std::string::npos && close > open) {
            message += position_of_number(
                text, std::string_view(message).substr(open + 1, close - open - 1));
        }
        return make_error(ErrorKind::InvalidJson, message);
    }
}

float json_number_as_f32(const Json& number) {
    if (number.is_number_unsigned()) {
        return narrow_to_f32(static_cast<double>(number.get<std::uint64_t>()));
    }
    if (number.is_number_integer()) {
        return narrow_to_f32(static_cast<double>(number.get<std::int64_t>()));
    }
    return narrow_to_f32(number.get<double>());
}

const char* json_type_phrase(const Json& value) {
    switch (value.type()) {
        case Json::value_t::null:
            return "null";
        case Json::value_t::boolean:
            return "a boolean";
        case Json::value_t::string:
            return "a string";
        case Json::value_t::array:
            return "an array";
        case Json::value_t::object:
            return "an object";
        case Json::value_t::binary:
            return "binary data";
        case Json::value_t::discarded:
            return "nothing";
        default:
            return "a number";
    }
}

}  // namespace vesko::text
