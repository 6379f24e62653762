#include "storage/wal_sums.h"

#include "storage/crc32c.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

namespace vesko::storage {
namespace {

std::span<const unsigned char> as_bytes(const std::string& s) {
    return std::span(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

// The CRC one bit at a time, as the polynomial defines it.
std::uint32_t bitwise_crc32c(const std::string& s) {
    std::uint32_t crc = 0xFFFFFFFFU;
    for (const char ch : s) {
        crc ^= static_cast<unsigned char>(ch);
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1U) ? 0x82F63B78U : 0U);
    }
    return ~crc;
}

TEST(Crc32c, MatchesTheCheckValueAndTheBitwiseDefinitionAtEveryLengthAndSplit) {
    EXPECT_EQ(crc32c(as_bytes("123456789")), 0xE3069283U);
    std::string text;
    for (int i = 0; i < 100; ++i) text.push_back(static_cast<char>(i * 37 + 11));
    for (std::size_t n = 0; n <= text.size(); ++n) {
        const std::string part = text.substr(0, n);
        SCOPED_TRACE(n);
        EXPECT_EQ(crc32c(as_bytes(part)), bitwise_crc32c(part));
        // Continued from a prefix, as one write's checksum could be built in pieces.
        EXPECT_EQ(crc32c(as_bytes(part.substr(n / 3)), crc32c(as_bytes(part.substr(0, n / 3)))),
                  bitwise_crc32c(part));
    }
}

TEST(Crc32c, LargeInputsTakenInParallelStreamsGiveTheSameValue) {
    // Past three streams of 8 KiB the processor's instruction runs three streams at once and
    // joins them: every length around a block's edge, continued or not, against the bit rule.
    std::string text(3 * 3 * 8192 + 64, '\0');
    std::uint32_t x = 12345;
    for (char& ch : text) ch = static_cast<char>((x = x * 1103515245U + 12345U) >> 24);
    const std::size_t lengths[] = {24575, 24576, 24577, 49160, 73792, text.size()};
    for (const std::size_t n : lengths) {
        const std::string part = text.substr(0, n);
        SCOPED_TRACE(n);
        EXPECT_EQ(crc32c(as_bytes(part)), bitwise_crc32c(part));
        EXPECT_EQ(crc32c(as_bytes(part.substr(7)), crc32c(as_bytes(part.substr(0, 7)))),
                  bitwise_crc32c(part));
    }
}

// A log of three writes, a sync, and two writes after it, with its wal.crc.
struct Logged {
    std::string log;
    std::string sums;
    std::size_t synced_log = 0;
    std::size_t synced_sums = 0;
    std::size_t first_write_end = 0;
};

Logged make_logged() {
    Logged out;
    auto write = [&](const std::string& bytes) {
        out.log += bytes;
        encode_written(out.sums, out.log.size(), as_bytes(bytes));
    };
    write(std::string(30, 'a'));
    out.first_write_end = out.log.size();
    write(std::string(12, 'b'));
    write(std::string(50, 'c'));
    encode_synced(out.sums, out.log.size());
    out.synced_log = out.log.size();
    out.synced_sums = out.sums.size();
    write(std::string(40, 'd'));
    write(std::string(9, 'e'));
    return out;
}

TEST(WalSums, ValidPrefixEndsAtTheFirstUnvouchedWriteAndDamageOnlyWithinWhatWasSynced) {
    const Logged base = make_logged();
    struct Case {
        const char* name;
        std::function<void(Logged&)> edit;
        std::optional<std::uint64_t> verified_end;  // the whole log when empty
        bool damage;
    };
    auto zero = [](std::string& s, std::size_t from, std::size_t n) {
        for (std::size_t i = from; i < std::min(s.size(), from + n); ++i) s[i] = '\0';
    };
    const Case cases[] = {
        {"intact", [](Logged&) {}, std::nullopt, false},
        {"unsynced log bytes zero-filled", [&](Logged& l) { zero(l.log, l.synced_log + 3, 80); },
         base.synced_log, false},
        {"unsynced log bytes cut", [](Logged& l) { l.log.resize(l.synced_log + 10); },
         base.synced_log, false},
        {"unsynced wal.crc records zero-filled",
         [&](Logged& l) { zero(l.sums, l.synced_sums, 100); }, base.synced_log, false},
        {"wal.crc cut inside its last record", [](Logged& l) { l.sums.pop_back(); },
         base.synced_log + 40, false},
        {"log bytes past every record", [](Logged& l) { l.log += std::string(20, '\0'); },
         std::nullopt, false},
        {"synced log byte changed", [](Logged& l) { l.log[35] ^= 1; }, base.first_write_end, true},
        {"synced log cut", [](Logged& l) { l.log.resize(40); }, base.first_write_end, true},
        {"a wal.crc record before the sync mark damaged", [](Logged& l) { l.sums[25] ^= 1; },
         base.first_write_end, true},
        {"wal.crc emptied (persist, power loss before wal.bin was)",
         [](Logged& l) { l.sums.clear(); }, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Logged l = base;
        c.edit(l);
        const LogSums found = check_log_sums(as_bytes(l.log), as_bytes(l.sums));
        EXPECT_EQ(found.verified_end, c.verified_end.value_or(base.log.size()));
        EXPECT_EQ(found.damage.has_value(), c.damage);
        EXPECT_EQ(found.sums_end % wal_sum_bytes, 0U);
    }
}

}  // namespace
}  // namespace vesko::storage
