#include "text/metadata.h"

#include "text/flat_metadata.h"

#include <vector>

namespace vesko::text {

namespace {

Error too_long(std::size_t bytes) {
    return make_error(ErrorKind::InvalidArgument,
                      "metadata is " + std::to_string(bytes) + " bytes as compact JSON; at most " +
                          std::to_string(max_metadata_bytes) + " bytes can be stored");
}

}  // namespace

Result<Metadata> Metadata::parse(std::string_view text) {
    thread_local std::vector<FlatMember> members;
    members.clear();
    if (read_flat_metadata(text, members)) {
        Json object(Json::value_t::object);
        auto& fields = object.get_ref<Json::object_t&>();
        for (const FlatMember& m : members)
            fields.emplace_hint(fields.end(), std::string(m.key), flat_json_value(m));
        std::string compact;
        compact.reserve(text.size() + 16);
        append_flat_compact(compact, members);
        if (compact.size() > max_metadata_bytes) return too_long(compact.size());
        return Metadata(std::move(object), std::move(compact));
    }
    auto parsed = parse_json(text);
    if (!parsed) return parsed.error();
    if (!parsed->is_object()) {
        return make_error(ErrorKind::InvalidJson, std::string("expected a JSON object, found ") +
                                                      json_type_phrase(*parsed));
    }
    std::string compact = parsed->dump();
    if (compact.size() > max_metadata_bytes) return too_long(compact.size());
    return Metadata(std::move(parsed).value(), std::move(compact));
}

Result<std::optional<Metadata>> Metadata::check(std::string_view text) {
    thread_local std::vector<FlatMember> members;
    members.clear();
    if (read_flat(text, members)) return std::optional<Metadata>();
    auto parsed = parse(text);
    if (!parsed) return parsed.error();
    return std::optional<Metadata>(std::move(parsed).value());
}

bool Metadata::read_flat(std::string_view text, std::vector<FlatMember>& members) {
    // A flat text's compact form is at most a few times as long as the text (a number such as
    // 1e9 is written out in full), so a short one is within the limit.
    return text.size() <= max_metadata_bytes / 8 && read_flat_metadata(text, members);
}

Metadata Metadata::from_object(Json object) {
    std::string compact = object.dump();
    return Metadata(std::move(object), std::move(compact));
}

}  // namespace vesko::text
