#include "storage/wal.h"

#include <gtest/gtest.h>

namespace vesko::storage {
namespace {

using text::Json;

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

TEST(WalEncode, UpsertIsVariantTwoFollowedByTheFieldsOfInsert) {
    const std::vector<std::string> skip = {"k"};
    const Json meta = Json::parse(R"({"k":"v"})");
    std::string ins;
    encode_insert(ins, "abc", 1.0f, 2.0f, meta, &skip);
    std::string ups;
    encode_upsert(ups, "abc", 1.0f, 2.0f, meta, &skip);
    EXPECT_EQ(hex(ups.substr(0, 4)), "02000000");
    EXPECT_EQ(hex(ups.substr(4)), hex(ins.substr(4)));
}

using PointEncoder = void (*)(std::string&, std::string_view, float, float, const Json&,
                              const std::vector<std::string>*);

TEST(WalDecode, InsertAndUpsertRoundTripEveryField) {
    struct Case {
        const char* name;
        PointEncoder encode;
        WalEntry::Kind kind;
    };
    const Case cases[] = {
        {"insert", &encode_insert, WalEntry::Kind::Insert},
        {"upsert", &encode_upsert, WalEntry::Kind::Upsert},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::string> skip = {"a", ""};
        const Json meta = Json::parse(R"({"a":"x","b":-2,"c":[1.5,null]})");
        std::string bytes;
        c.encode(bytes, "id-é", 12.34f, -56.78f, meta, &skip);
        ByteReader reader(as_bytes(bytes));
        auto entry = decode_wal_entry(reader);
        ASSERT_TRUE(entry.has_value());
        EXPECT_TRUE(reader.at_end());
        EXPECT_EQ(entry->kind, c.kind);
        EXPECT_EQ(entry->ext_id, "id-é");
        EXPECT_EQ(entry->lat_deg, 12.34f);
        EXPECT_EQ(entry->lon_deg, -56.78f);
        EXPECT_EQ(entry->meta.dump(), meta.dump());
        ASSERT_TRUE(entry->skip_index.has_value());
        EXPECT_EQ(*entry->skip_index, skip);
    }
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

TEST(WalDecode, EveryCutOfARecordIsATornTailAfterTheWholeRecordsBeforeIt) {
    std::string log;
    encode_insert(log, "a-\u00e9\u20ac", 1.0f, 2.0f,
                  Json::parse(R"({"k":"v\u00fc","n":3,"f":-1.5,"a":[null,{"x":false}]})"), nullptr);
    const std::size_t first = log.size();
    const std::vector<std::string> skip = {"k", "n"};
    encode_insert(log, "b", 3.0f, 4.0f, Json::object(), &skip);
    const std::size_t second = log.size();
    encode_delete(log, "a-\u00e9\u20ac");
    for (std::size_t cut = 0; cut <= log.size(); ++cut) {
        SCOPED_TRACE(cut);
        ByteReader reader(as_bytes(log).first(cut));
        std::size_t decoded = 0;
        WalEntry entry;
        WalRead last = WalRead::Record;
        while (!reader.at_end() && (last = decode_wal_entry(reader, entry)) == WalRead::Record)
            ++decoded;
        const std::size_t expected =
            cut == log.size() ? 3 : (cut >= second ? 2 : (cut >= first ? 1 : 0));
        EXPECT_EQ(decoded, expected);
        const bool on_boundary = cut == 0 || cut == first || cut == second || cut == log.size();
        EXPECT_EQ(last, on_boundary ? WalRead::Record : WalRead::TornTail);
        // The checking pass, which builds no metadata, judges every record the same way and
        // stops at the same byte.
        ByteReader checked(as_bytes(log).first(cut));
        WalRead checked_last = WalRead::Record;
        std::size_t stop = 0;
        while (!checked.at_end() && (checked_last = check_wal_entry(checked)) == WalRead::Record)
            stop = checked.position();
        EXPECT_EQ(checked_last, last);
        EXPECT_EQ(stop,
                  decoded == 0 ? 0 : (decoded == 1 ? first : (decoded == 2 ? second : log.size())));
    }
}

std::string u64_bytes(std::uint64_t v) {
    std::string out;
    put_u64(out, v);
    return out;
}

std::string insert_of(const std::string& ext_id, const Json& meta) {
    std::string out;
    encode_insert(out, ext_id, 1.0f, 2.0f, meta, nullptr);
    return out;
}

// What decoding the bytes as one record finds, with the bytes alone and with a whole record
// after them: damage is damage wherever it stands, while a record that merely runs out of bytes
// is a torn tail at the end of the file.
struct Classified {
    const char* name;
    std::string bytes;
    WalRead alone;
};

TEST(WalDecode, RecordsThatRunOutOfBytesAreTornAndBadBytesAreDamage) {
    const std::string ins = insert_of("abc", Json::parse(R"({"k":"v","n":[1,true]})"));
    std::string del;
    encode_delete(del, "abc");
    const std::string skip_head = ins.substr(0, ins.size() - 1);  // all but the skip byte
    const Classified cases[] = {
        {"variant cut", std::string("\x01\0", 2), WalRead::TornTail},
        {"delete cut inside its id", del.substr(0, del.size() - 1), WalRead::TornTail},
        {"insert cut before the skip byte", skip_head, WalRead::TornTail},
        {"insert cut inside its metadata", ins.substr(0, ins.size() - 4), WalRead::TornTail},
        {"id cut inside a two-byte character", std::string("\x01\0\0\0", 4) + u64_bytes(2) + "\xC3",
         WalRead::TornTail},
        {"skip count larger than the names that follow",
         skip_head + "\x01" + u64_bytes(3) + u64_bytes(1) + "a", WalRead::TornTail},
        {"upsert cut after its id", std::string("\x02\0\0\0", 4) + u64_bytes(1) + "a",
         WalRead::TornTail},
        {"unknown variant 3", std::string("\x03\0\0\0", 4) + u64_bytes(1) + "a", WalRead::Damaged},
        {"unknown variant 7", std::string("\x07\0\0\0", 4) + u64_bytes(1) + "a", WalRead::Damaged},
        {"unknown variant just the 4 bytes", std::string("\x07\0\0\0", 4), WalRead::Damaged},
        {"id not UTF-8", std::string("\x01\0\0\0", 4) + u64_bytes(2) + "\xC3\x28",
         WalRead::Damaged},
        {"id length beyond the bytes, which are not UTF-8",
         std::string("\x01\0\0\0", 4) + u64_bytes(100) + "a\xFF", WalRead::Damaged},
        {"id length of 2^32", std::string("\x01\0\0\0", 4) + u64_bytes(1ULL << 32) + "abc",
         WalRead::Damaged},
        {"skip flag 2", skip_head + "\x02", WalRead::Damaged},
        {"skip count of 2^40", skip_head + "\x01" + u64_bytes(1ULL << 40), WalRead::Damaged},
        {"metadata tag 9",
         std::string("\0\0\0\0", 4) + u64_bytes(1) + "a" + std::string(8, '\0') + u64_bytes(1) +
             u64_bytes(1) + "k" + "\x09",
         WalRead::Damaged},
    };
    for (const Classified& c : cases) {
        SCOPED_TRACE(c.name);
        WalEntry entry;
        std::string why;
        ByteReader alone(as_bytes(c.bytes));
        EXPECT_EQ(decode_wal_entry(alone, entry, &why), c.alone);
        ByteReader checked(as_bytes(c.bytes));
        EXPECT_EQ(check_wal_entry(checked), c.alone);
        // What torn bytes decode to once a whole record follows them is not fixed; damage
        // stays damage.
        if (c.alone != WalRead::Damaged) continue;
        EXPECT_FALSE(why.empty());
        const std::string followed = c.bytes + del;
        ByteReader reader(as_bytes(followed));
        EXPECT_EQ(decode_wal_entry(reader, entry), WalRead::Damaged);
    }
}

TEST(WalDecode, DamagedRecordNamesWhatIsWrong) {
    WalEntry entry;
    std::string why;
    const std::string bytes = std::string("\x07\0\0\0", 4) + u64_bytes(1) + "a";
    ByteReader reader(as_bytes(bytes));
    ASSERT_EQ(decode_wal_entry(reader, entry, &why), WalRead::Damaged);
    EXPECT_EQ(why, "unknown record variant 7");
}

}  // namespace
}  // namespace vesko::storage
