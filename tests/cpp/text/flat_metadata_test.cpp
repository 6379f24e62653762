#include "text/flat_metadata.h"

#include "index/batch_indexes.h"
#include "index/grid.h"
#include "storage/meta_codec.h"
#include "text/indexed_value.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace vesko::text {
namespace {

// Random flat texts (and a few that are not flat), with repeated keys and every value kind.
// The numbers include each form the writer lays a double out in (integers as floats, 1e16 and
// beyond, small exponents, denormals) and doubles whose shortest form is not the writer's
// (91.778219, which it writes as 91.77821900000001).
std::vector<std::string> random_texts(unsigned seed, int count) {
    std::mt19937 rng(seed);
    const std::vector<std::string> tokens = {R"("x")",
                                             R"("")",
                                             R"("a b")",
                                             "0",
                                             "7",
                                             "0.5",
                                             "-1.75e3",
                                             "3.40",
                                             "1e-7",
                                             "-0.0",
                                             "-3",
                                             "42",
                                             "1.25",
                                             "2e2",
                                             "true",
                                             "false",
                                             "null",
                                             "[]",
                                             R"("\n")",
                                             "1e39",
                                             "123456789012345678",
                                             "-123456789012345678",
                                             "16777217",
                                             "3.0",
                                             "-0",
                                             "1e16",
                                             "12345678901234567.5",
                                             "1e21",
                                             "-2.5e-7",
                                             "0.0001",
                                             "1e-5",
                                             "5e-324",
                                             "2.2250738585072014e-308",
                                             "1.7976931348623157e308",
                                             "91.778219",
                                             "0.58847526",
                                             "879451332190362.75",
                                             "\"caf\xc3\xa9\"",
                                             "\"\xf0\x9f\x98\x80\xe6\x97\xa5\""};
    const std::vector<std::string> keys = {"a",  "b",   "kind", "n",        "A",
                                           "_k", "a b", "",     "\xc3\xa9", "\xd0\xba\xd0\xbb"};
    std::vector<std::string> out;
    for (int round = 0; round < count; ++round) {
        std::string text = "{";
        const std::size_t members = rng() % 6;
        for (std::size_t m = 0; m < members; ++m) {
            if (m > 0) text += ", ";
            text += "\"" + keys[rng() % keys.size()] + "\": " + tokens[rng() % tokens.size()];
        }
        out.push_back(text + "}");
    }
    return out;
}

// Everything derived from a flat text equals what the general parser's object gives: the
// compact text meta.bin holds, the log's encoding, what the indexes hold.
TEST(FlatMetadata, MembersGiveWhatTheGeneralParsersObjectGives) {
    int flat = 0;
    for (const std::string& text : random_texts(11, 4000)) {
        SCOPED_TRACE(text);
        std::vector<FlatMember> members = {FlatMember{}};  // appended after what is there
        const bool is_flat = read_flat_metadata(text, members);
        auto general = text::parse_json(text);
        ASSERT_TRUE(general);
        if (!is_flat) {
            EXPECT_EQ(members.size(), 1U) << "a refused text leaves the members as they were";
            continue;
        }
        ++flat;
        const std::span<const FlatMember> read = std::span<const FlatMember>(members).subspan(1);
        std::string compact;
        append_flat_compact(compact, read);
        EXPECT_EQ(compact, general->dump());
        std::string flat_log;
        std::string general_log;
        storage::encode_flat_meta_object(flat_log, read);
        storage::encode_meta_object(general_log, *general);
        EXPECT_EQ(flat_log, general_log);
        ASSERT_EQ(read.size(), general->size());
        for (const FlatMember& m : read) {
            const text::Json& value = (*general)[std::string(m.key)];
            EXPECT_EQ(flat_json_value(m), value);
            EXPECT_EQ(flat_json_value(m).type(), value.type());
            EXPECT_TRUE(indexed_value(m) == indexed_value(value));
        }
    }
    EXPECT_GT(flat, 1000) << "the generator should make mostly flat texts";
}

// Strings and keys of well-formed UTF-8 are flat, byte for byte; any other bytes are left to
// the general parser, which refuses them.
TEST(FlatMetadata, TakesWellFormedUtf8AndLeavesOtherBytes) {
    struct Case {
        const char* name;
        std::string text;
        bool flat;
    };
    const Case cases[] = {
        {"two-byte value", "{\"s\": \"caf\xc3\xa9\"}", true},
        {"three- and four-byte value", "{\"s\": \"\xe6\x97\xa5 \xf0\x9f\x98\x80\"}", true},
        {"non-ASCII key", "{\"\xd0\xba\": 1}", true},
        {"largest code point", "{\"s\": \"\xf4\x8f\xbf\xbf\"}", true},
        {"overlong", "{\"s\": \"\xc0\x80\"}", false},
        {"surrogate", "{\"s\": \"\xed\xa0\x80\"}", false},
        {"above U+10FFFF", "{\"s\": \"\xf4\x90\x80\x80\"}", false},
        {"lone continuation byte", "{\"s\": \"a\x80\"}", false},
        {"cut short by the quote", "{\"s\": \"\xe6\x97\"}", false},
        {"cut short key", "{\"\xc3\": 1}", false},
        {"byte 0xFF", "{\"s\": \"\xff\"}", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<FlatMember> members;
        EXPECT_EQ(read_flat_metadata(c.text, members), c.flat);
        EXPECT_EQ(static_cast<bool>(text::parse_json(c.text)), c.flat);
        if (!c.flat) continue;
        std::string compact;
        append_flat_compact(compact, members);
        EXPECT_EQ(compact, text::parse_json(c.text)->dump());
    }
}

// Thousands of distinct values (a name per point) among repeated ones: each (field, value) has
// one group, in the order points first meet it, holding exactly its places.
TEST(BatchIndexes, ManyDistinctValuesKeepOneGroupEach) {
    index::BatchIndexes batch;
    std::vector<std::string> texts;
    const std::uint32_t n = 5000;
    for (std::uint32_t i = 0; i < n; ++i) {
        texts.push_back("{\"r\": \"" + std::to_string(i % 7) + "\", \"u\": \"v" +
                        std::to_string(i % 3000) + "\"}");
    }
    std::vector<std::pair<std::string, std::string>> order;
    std::map<std::pair<std::string, std::string>, std::vector<std::uint32_t>> places;
    for (int round = 0; round < 2; ++round) {  // the second batch reuses the first's memory
        batch.clear();
        order.clear();
        places.clear();
        for (std::uint32_t i = 0; i < n; ++i) {
            std::vector<FlatMember> members;
            ASSERT_TRUE(read_flat_metadata(texts[i], members));
            batch.add_point(1.0f, 2.0f, members, nullptr);
            for (const FlatMember& m : members) {
                auto& at = places[{std::string(m.key), std::string(m.raw)}];
                if (at.empty()) order.emplace_back(m.key, m.raw);
                at.push_back(i);
            }
        }
        batch.finish();
        ASSERT_EQ(batch.strings().size(), order.size());
        for (std::size_t g = 0; g < order.size(); ++g) {
            const auto& group = batch.strings()[g];
            ASSERT_EQ(group.field, order[g].first);
            ASSERT_EQ(group.value, order[g].second);
            ASSERT_EQ(group.places, places[order[g]]);
        }
    }
}

// Points 0..3: strings and numbers are grouped in the order their group first appears (then
// by field), blocks by their first point; skipped fields are left out, nulls are not indexed.
TEST(BatchIndexes, GroupsComeInTheOrderPointsFirstMeetThem) {
    const std::vector<std::string> texts = {R"({"z": "q", "n": 1, "s": null})",
                                            R"({"a": "v", "z": "q", "skip": "x"})",
                                            R"({"a": "w", "b": true, "n": 2.5})", R"({"z": "r"})"};
    const std::vector<std::pair<float, float>> at = {
        {10.005f, 20.005f}, {-5.5f, 3.25f}, {10.5f, 20.5f}, {-5.25f, 3.75f}};
    const std::vector<std::string> skip = {"skip"};
    index::BatchIndexes batch;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        std::vector<FlatMember> members;
        ASSERT_TRUE(read_flat_metadata(texts[i], members));
        batch.add_point(at[i].first, at[i].second, members, &skip);
    }
    batch.finish();
    ASSERT_EQ(batch.size(), 4U);
    struct Group {
        std::string field;
        std::string value;
        std::vector<std::uint32_t> places;
    };
    const std::vector<Group> strings = {
        {"z", "q", {0, 1}}, {"a", "v", {1}}, {"a", "w", {2}}, {"b", "true", {2}}, {"z", "r", {3}}};
    ASSERT_EQ(batch.strings().size(), strings.size());
    for (std::size_t g = 0; g < strings.size(); ++g) {
        SCOPED_TRACE(strings[g].field + "=" + strings[g].value);
        EXPECT_EQ(batch.strings()[g].field, strings[g].field);
        EXPECT_EQ(batch.strings()[g].value, strings[g].value);
        EXPECT_EQ(batch.strings()[g].places, strings[g].places);
    }
    ASSERT_EQ(batch.numbers().size(), 1U);
    EXPECT_EQ(batch.numbers()[0].field, "n");
    EXPECT_EQ(batch.numbers()[0].places, (std::vector<std::uint32_t>{0, 2}));
    EXPECT_EQ(batch.numbers()[0].values, (std::vector<float>{1.0f, 2.5f}));
    // Blocks: point 0 and 2 share the block of (10, 20), points 1 and 3 that of (-6, 3);
    // (10, 20) comes first although its block key is the larger.
    const auto runs = batch.block_runs();
    ASSERT_EQ(runs.size(), 2U);
    const auto block_of_run = [&](std::size_t r) {
        return index::block_of(batch.cells()[runs[r].first].first);
    };
    EXPECT_EQ(block_of_run(0), index::block_of(index::grid_cell_key(10.005f, 20.005f)));
    EXPECT_EQ(block_of_run(1), index::block_of(index::grid_cell_key(-5.5f, 3.25f)));
    EXPECT_GT(block_of_run(0), block_of_run(1));
    for (std::size_t r = 0; r < runs.size(); ++r) {
        for (std::size_t i = runs[r].first; i < runs[r].second; ++i)
            EXPECT_EQ(index::block_of(batch.cells()[i].first), block_of_run(r));
    }
    // Cleared, the batch starts again from place 0 with no group.
    batch.clear();
    EXPECT_EQ(batch.size(), 0U);
    EXPECT_TRUE(batch.strings().empty());
    EXPECT_TRUE(batch.numbers().empty());
    EXPECT_TRUE(batch.cells().empty());
}

}  // namespace
}  // namespace vesko::text
