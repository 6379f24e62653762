#include "storage/metadata.h"

#include "storage/data_files.h"

namespace vesko::storage {

Result<Metadata> Metadata::parse(std::string_view text) {
    auto parsed = filter::parse_json(text);
    if (!parsed) return parsed.error();
    if (!parsed->is_object()) {
        return make_error(ErrorKind::InvalidJson, std::string("expected a JSON object, found ") +
                                                      filter::json_type_phrase(*parsed));
    }
    std::string compact = parsed->dump();
    if (compact.size() > max_metadata_bytes) {
        return make_error(ErrorKind::InvalidArgument,
                          "metadata is " + std::to_string(compact.size()) +
                              " bytes as compact JSON; at most " +
                              std::to_string(max_metadata_bytes) + " bytes can be stored");
    }
    return Metadata(std::move(parsed).value(), std::move(compact));
}

Metadata Metadata::from_object(filter::Json object) {
    std::string compact = object.dump();
    return Metadata(std::move(object), std::move(compact));
}

}  // namespace vesko::storage
