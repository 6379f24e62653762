// The filter language: any text is parsed and evaluated against a small store (opened once per
// process) through exists and a world box search. For every text that parses as a filter F:
//   exists(F) holds exactly when F matches some point;
//   {"$not": F} matches exactly the points F does not match;
//   {"$and": [F]} and {"$or": [F]} match what F matches.
#include "engine/store.h"
#include "fuzz/fuzz_support.h"
#include "tests/cpp/support/answers.h"

#include <memory>
#include <optional>
#include <set>
#include <string>

namespace {

// "p" followed by the number (built by appending: gcc 12 warns falsely on "p" + string).
std::string point_id(std::size_t i) {
    std::string id = "p";
    id += std::to_string(i);
    return id;
}

std::unique_ptr<vesko::engine::Store> make_store(const vesko::fuzz::ScratchDir& dir) {
    auto opened = vesko::engine::Store::open(dir.path());
    FUZZ_CHECK(opened, "opening the filter fixture");
    std::unique_ptr<vesko::engine::Store> store = std::move(opened).value();
    const char* metas[] = {
        R"({"c": "x", "n": 1, "flag": true})",
        R"({"c": "y", "n": 2.5, "flag": false, "tags": ["a", "b"]})",
        R"({"c": "z", "n": -7, "nested": {"k": "v"}})",
        R"({"c": "", "n": 1e30, "s": "é✓"})",
        R"({"n": 0, "flag": null, "big": 18446744073709551615})",
        R"({"c": "x", "n": -0.0, "m": -9223372036854775808})",
        R"({})",
        R"({"id": "shadow", "_id": "p1", "c": "true"})",
    };
    std::uint32_t i = 0;
    for (const char* meta : metas) {
        const std::vector<std::string> skip = {"flag"};
        for (int copy = 0; copy < 3; ++copy, ++i) {
            const float lat = static_cast<float>(i % 170) - 85.0f;
            const float lon = static_cast<float>(i * 7 % 350) - 175.0f;
            auto added = store->add(point_id(i), lat, lon, meta, copy == 2 ? &skip : nullptr);
            FUZZ_CHECK(added, "adding a fixture point");
        }
    }
    FUZZ_CHECK(store->remove("p4"), "deleting a fixture point");
    return store;
}

const vesko::engine::Store& fixture() {
    static vesko::fuzz::ScratchDir dir;
    static std::unique_ptr<vesko::engine::Store> store = make_store(dir);
    return *store;
}

// The ids a filter matches, or nothing when the text is not JSON.
std::optional<std::set<std::string>> matching(const vesko::engine::Store& store,
                                              const std::string& filter) {
    auto hits = vesko::engine::box_answer(store, {90.0f, -180.0f}, {-90.0f, 180.0f}, filter);
    if (!hits) return std::nullopt;
    std::set<std::string> ids;
    for (const auto& hit : hits.value()) ids.insert(hit.ext_id);
    return ids;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const vesko::engine::Store& store = fixture();
    const std::string text(reinterpret_cast<const char*>(data), size);
    auto exists = store.exists(text);
    auto hits = matching(store, text);
    FUZZ_CHECK(exists.operator bool() == hits.has_value(), "exists and search parse differently");
    if (!hits) return 0;
    FUZZ_CHECK(exists.value() == !hits->empty(), "exists disagrees with the search");

    const std::set<std::string> all = *matching(store, "{}");
    const auto negated = matching(store, R"({"$not": )" + text + "}");
    const auto conjunction = matching(store, R"({"$and": [)" + text + "]}");
    const auto disjunction = matching(store, R"({"$or": [)" + text + "]}");
    // Wrapping can only fail to parse when the text is not one JSON value on its own (for
    // example a trailing comment the parser tolerated at the end of the input).
    if (negated) {
        for (const std::string& id : all) {
            FUZZ_CHECK(hits->count(id) + negated->count(id) == 1, "$not is not the complement");
        }
    }
    if (conjunction) FUZZ_CHECK(*conjunction == *hits, "$and of one filter differs from it");
    if (disjunction) FUZZ_CHECK(*disjunction == *hits, "$or of one filter differs from it");
    return 0;
}
