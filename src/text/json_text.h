// Parsing of the JSON texts callers hand in (metadata, filters). Objects come back with their
// keys in ascending byte order, a repeated key holding its last value.
#pragma once

#include "common/result.h"

#include <nlohmann/json.hpp>

#include <string_view>

namespace vesko::text {

using Json = nlohmann::json;

// Deeper nesting is refused: writing and evaluating JSON recurse, and a caller's text must not
// be able to exhaust the stack.
inline constexpr int max_json_depth = 128;

// Parses the text; on failure an InvalidJson Error carries the parser's description of the
// problem, ending with its line and column where the parser knows them.
Result<Json> parse_json(std::string_view text);

// A JSON number as the f32 the indexes hold: integers of either sign go through the nearest
// double first, so every number means the same to insertion and to filters.
float json_number_as_f32(const Json& number);

// "a string", "an array", ... for messages.
const char* json_type_phrase(const Json& value);

}  // namespace vesko::text
