#include "storage/wal.h"

#include <gtest/gtest.h>

namespace vesko::storage {
namespace {

using filter::Json;

std::span<const unsigned char> as_bytes(const std::string& s) {
    return std::span(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

std::string hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

TEST(WalEncode, RecordsForAbcHaveTheirDocumentedBytes) {
    std::string del;
    encode_delete(del, "abc");
    EXPECT_EQ(hex(del),
              "01000000"
              "0300000000000000"
              "616263");
    std::string ins;
    encode_insert(ins, "abc", 1.0f, 2.0f, Json::object(), nullptr);
    EXPECT_EQ(hex(ins),
              "00000000"
              "0300000000000000"
              "616263"
              "0000803f"
              "00000040"
              "0000000000000000"
              "00");
}

TEST(WalDecode, InsertRoundTripsEveryField) {
    const std::vector<std::string> skip = {"a", ""};
    const Json meta = Json::parse(R"({"a":"x","b":-2,"c":[1.5,null]})");
    std::string bytes;
    encode_insert(bytes, "id-é", 12.34f, -56.78f, meta, &skip);
    ByteReader reader(as_bytes(bytes));
    auto entry = decode_wal_entry(reader);
    ASSERT_TRUE(entry.has_value());
    EXPECT_TRUE(reader.at_end());
    EXPECT_EQ(entry->kind, WalEntry::Kind::Insert);
    EXPECT_EQ(entry->ext_id, "id-é");
    EXPECT_EQ(entry->lat_deg, 12.34f);
    EXPECT_EQ(entry->lon_deg, -56.78f);
    EXPECT_EQ(entry->meta.dump(), meta.dump());
    ASSERT_TRUE(entry->skip_index.has_value());
    EXPECT_EQ(*entry->skip_index, skip);
}

TEST(WalDecode, EmptySkipListStaysPresent) {
    const std::vector<std::string> none;
    std::string bytes;
    encode_insert(bytes, "a", 0.0f, 0.0f, Json::object(), &none);
    ByteReader reader(as_bytes(bytes));
    auto entry = decode_wal_entry(reader);
    ASSERT_TRUE(entry.has_value());
    ASSERT_TRUE(entry->skip_index.has_value());
    EXPECT_TRUE(entry->skip_index->empty());
}

TEST(WalDecode, EveryCutOfARecordFailsAndWholeRecordsBeforeItDecode) {
    std::string log;
    encode_insert(log, "a", 1.0f, 2.0f, Json::parse(R"({"k":"v","n":3})"), nullptr);
    const std::size_t first = log.size();
    encode_delete(log, "a");
    for (std::size_t cut = 0; cut <= log.size(); ++cut) {
        SCOPED_TRACE(cut);
        ByteReader reader(as_bytes(log).first(cut));
        std::size_t decoded = 0;
        while (!reader.at_end() && decode_wal_entry(reader)) ++decoded;
        const std::size_t expected = cut == log.size() ? 2 : (cut >= first ? 1 : 0);
        EXPECT_EQ(decoded, expected);
    }
}

TEST(WalDecode, BytesThatAreNotARecordAreRefused) {
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"variant index 2", std::string("\x02\0\0\0\x01\0\0\0\0\0\0\0a", 13)},
        {"id length beyond the bytes",
         std::string("\x01\0\0\0\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x7F", 12)},
        {"id not UTF-8", std::string("\x01\0\0\0\x01\0\0\0\0\0\0\0\xC3", 13)},
        {"skip flag 2",
         std::string("\0\0\0\0\x01\0\0\0\0\0\0\0a\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x02", 30)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ByteReader reader(as_bytes(c.bytes));
        EXPECT_FALSE(decode_wal_entry(reader).has_value());
    }
}

}  // namespace
}  // namespace vesko::storage
