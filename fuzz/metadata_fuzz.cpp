// Metadata texts: the quick reader of flat objects held to the general parser. For any bytes:
//   a text the quick reader takes is an object the general parser makes, and its members give
//   that object's compact text, log encoding, values and what the indexes hold of them;
//   Metadata::parse takes exactly the objects the general parser makes (refusing only those
//   too long to store), with the general parser's compact text and object.
#include "fuzz/fuzz_support.h"
#include "storage/data_files.h"
#include "storage/meta_codec.h"
#include "text/flat_metadata.h"
#include "text/indexed_value.h"
#include "text/metadata.h"

#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vesko;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto general = text::parse_json(text);
    const bool object = general && general->is_object();

    std::vector<text::FlatMember> members;
    if (text::read_flat_metadata(text, members)) {
        FUZZ_CHECK(object,
                   "the quick reader took a text the general parser does not make into "
                   "an object");
        std::string compact;
        text::append_flat_compact(compact, members);
        FUZZ_CHECK(compact == general->dump(), "compact texts differ");
        std::string flat_log;
        std::string general_log;
        storage::encode_flat_meta_object(flat_log, members);
        storage::encode_meta_object(general_log, *general);
        FUZZ_CHECK(flat_log == general_log, "log encodings differ");
        FUZZ_CHECK(members.size() == general->size(), "member counts differ");
        for (const text::FlatMember& m : members) {
            const text::Json& value = general->at(std::string(m.key));
            const text::Json mine = text::flat_json_value(m);
            FUZZ_CHECK(mine == value && mine.type() == value.type(), "a value differs");
            FUZZ_CHECK(text::indexed_value(m) == text::indexed_value(value),
                       "what the indexes hold differs");
        }
    }

    auto meta = text::Metadata::parse(text);
    if (!object) {
        FUZZ_CHECK(!meta, "parse took a text the general parser does not make into an object");
    } else if (meta) {
        FUZZ_CHECK(meta->text() == general->dump(), "parse's compact text differs");
        FUZZ_CHECK(meta->object() == *general, "parse's object differs");
    } else {
        FUZZ_CHECK(general->dump().size() > text::max_metadata_bytes,
                   "parse refused an object that fits");
    }
    return 0;
}
