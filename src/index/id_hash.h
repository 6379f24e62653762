// hash_id: the 64-bit identity of an external id. It keys ext_to_int and is persisted in
// snapshots, so its value is part of the file format and must never change.
#pragma once

#include <cstdint>
#include <string_view>

namespace vesko::index {

// SipHash-1-3 with an all-zero key over the id's UTF-8 bytes followed by one 0xFF byte.
// hash_id("abc") == 0xef09e0f4895a251d.
std::uint64_t hash_id(std::string_view ext_id);

}  // namespace vesko::index
