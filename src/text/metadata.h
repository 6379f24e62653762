// Metadata: one point's metadata as the store keeps it, the JSON object together with its
// compact text (what meta.bin holds and the searches hand back). The two are made together,
// here only, so that they always describe the same object.
#pragma once

#include "common/result.h"
#include "text/flat_metadata.h"
#include "text/json_text.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesko::text {

// The longest compact text a point's metadata may have; the data files' reader hands back
// "{}" for a longer record.
inline constexpr std::uint32_t max_metadata_bytes = 10000000;

class Metadata {
  public:
    // A caller's text: InvalidJson when it is not JSON or not an object, InvalidArgument when
    // its compact text is longer than max_metadata_bytes.
    static Result<Metadata> parse(std::string_view text);
    // Whether parse() accepts the text, decided without building the value when the text has
    // the common flat shape (then nothing comes back, and parse() gives the value later);
    // otherwise parse()'s value or error. For a batch that checks every text before it uses
    // any, without holding every value at once.
    static Result<std::optional<Metadata>> check(std::string_view text);
    // The members of a text that check() vouches for without building the value (a flat
    // text, read_flat_metadata, short enough that its compact form is within the limit),
    // appended to `members`; false for any other text, with `members` as it was.
    static bool read_flat(std::string_view text, std::vector<FlatMember>& members);
    // An object read back from the log, where only texts that passed parse() are written.
    // Must be an object.
    static Metadata from_object(Json object);

    const Json& object() const { return object_; }
    const std::string& text() const { return text_; }

  private:
    Metadata(Json object, std::string text) : object_(std::move(object)), text_(std::move(text)) {}

    Json object_;
    std::string text_;  // object_.dump(): compact, keys in ascending byte order
};

}  // namespace vesko::text
