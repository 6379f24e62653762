#include "index/value_ids.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vesko::index {
namespace {

Bitmap bitmap_of(const std::vector<std::uint32_t>& ids) {
    Bitmap b;
    b.add_many(ids.data(), ids.size());
    return b;
}

std::string stored(const Bitmap& b) {
    std::string out;
    storage::put_bitmap(out, b);
    return out;
}

storage::ByteReader reader_of(const std::string& bytes) {
    return storage::ByteReader(
        std::span(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
}

// Whatever way the ids arrived, a value must answer, and store, as a bitmap of them would:
// snapshots are compared byte for byte, and filters combine the bitmap it gives.
TEST(ValueIds, AnswersAndStoresAsABitmapOfItsIds) {
    struct Case {
        const char* name;
        std::vector<std::vector<std::uint32_t>> additions;  // one add_many each; size 1: add
        std::vector<std::uint32_t> expected;
    };
    const Case cases[] = {
        {"none", {}, {}},
        {"one id", {{7}}, {7}},
        {"id zero", {{0}}, {0}},
        {"the largest id", {{4294967295u}}, {4294967295u}},
        {"the same id twice", {{7}, {7}}, {7}},
        {"a second id, lower", {{70000}, {5}}, {5, 70000}},
        {"a batch after one id", {{9}, {1, 2, 3}}, {1, 2, 3, 9}},
        {"a batch of one", {{1}, {4}}, {1, 4}},
        {"an empty batch", {{3}, {}}, {3}},
        {"a large batch",
         {{0},
          [] {
              std::vector<std::uint32_t> v;
              for (std::uint32_t i = 1; i < 5000; ++i) v.push_back(i);
              return v;
          }()},
         [] {
             std::vector<std::uint32_t> v;
             for (std::uint32_t i = 0; i < 5000; ++i) v.push_back(i);
             return v;
         }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ValueIds value;
        for (const auto& batch : c.additions) {
            if (batch.size() == 1) {
                value.add(batch[0]);
            } else {
                value.add_many(batch.data(), batch.size());
            }
        }
        const Bitmap expected = bitmap_of(c.expected);
        EXPECT_EQ(value.bitmap(), expected);
        EXPECT_EQ(value.empty(), c.expected.empty());
        EXPECT_EQ(value.cardinality(), c.expected.size());
        EXPECT_EQ(value.maximum(), expected.maximum());
        std::vector<std::uint32_t> walked;
        value.for_each([&walked](std::uint32_t id) { walked.push_back(id); });
        EXPECT_EQ(walked, c.expected);
        const Bitmap within = bitmap_of({0, 5, 9, 4294967295u});
        EXPECT_EQ(value.bitmap(&within), expected & within);

        std::string bytes;
        value.put(bytes);
        EXPECT_EQ(bytes, stored(expected));
        storage::ByteReader reader = reader_of(bytes);
        ValueIds back;
        ASSERT_TRUE(ValueIds::read(reader, back));
        EXPECT_EQ(back.bitmap(), expected);
        std::string again;
        back.put(again);
        EXPECT_EQ(again, bytes);
    }
}

// Reading a value must refuse exactly the bytes a stored bitmap is refused for, short ones
// (walked without the library) included: every single-byte change and every cut of a few
// encodings is read both ways.
TEST(ValueIds, RefusesWhatABitmapReadRefuses) {
    const std::vector<std::vector<std::uint32_t>> sets = {{}, {7}, {3, 70000}, {1, 2, 3, 4}};
    for (const auto& ids : sets) {
        const std::string good = stored(bitmap_of(ids));
        std::vector<std::string> variants;
        for (std::size_t cut = 0; cut < good.size(); ++cut) variants.push_back(good.substr(0, cut));
        for (std::size_t at = 0; at < good.size(); ++at) {
            for (const int to : {0x00, 0x01, 0x30, 0x3A, 0xFF}) {
                std::string changed = good;
                changed[at] = static_cast<char>(to);
                variants.push_back(changed);
            }
        }
        for (const std::string& bytes : variants) {
            storage::ByteReader as_bitmap = reader_of(bytes);
            Bitmap bitmap;
            const bool bitmap_read = storage::read_bitmap(as_bitmap, bitmap);
            storage::ByteReader as_value = reader_of(bytes);
            ValueIds value;
            const bool value_read = ValueIds::read(as_value, value);
            ASSERT_EQ(value_read, bitmap_read)
                << "ids " << ids.size() << ", bytes " << bytes.size();
            if (value_read) {
                EXPECT_EQ(value.bitmap(), bitmap);
            }
        }
    }
}

}  // namespace
}  // namespace vesko::index
