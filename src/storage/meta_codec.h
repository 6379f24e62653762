// Encoding of metadata values inside log records. Every value is self-delimiting and decodes
// back to the same JSON value, number kind included, so replay indexes exactly what add did.
//
//   u8 tag, then by tag:
//     0 null          no payload
//     1 false         no payload
//     2 true          no payload
//     3 unsigned int  u64
//     4 signed int    u64 holding the two's complement of an i64 (negative values, and -0)
//     5 float         f64 (IEEE 754 bits)
//     6 string        u64 byte length, then UTF-8 bytes
//     7 array         u64 element count, then each element
//     8 object        u64 entry count, then per entry in ascending key order:
//                       key (u64 byte length, UTF-8 bytes), value
// The metadata object of a record is written as its entry count and entries (tag 8 without
// the tag byte).
#pragma once

#include "storage/codec.h"
#include "text/flat_metadata.h"
#include "text/json_text.h"

#include <span>
#include <string>

namespace vesko::storage {

void encode_meta_value(std::string& out, const text::Json& value);
void encode_meta_object(std::string& out, const text::Json& object);
// The same bytes for flat members (read_flat_metadata) as for the object they describe.
void encode_flat_meta_object(std::string& out, std::span<const text::FlatMember> members);

// Decode at the reader's position; false on bytes that do not form a value. The reader is
// exhausted when the bytes ended inside a value whose bytes so far were sound; any other
// failure (an unknown tag, invalid UTF-8, a length or count of 2^32 or more, nesting deeper
// than any text we accept could produce) leaves it not exhausted.
bool decode_meta_value(ByteReader& reader, text::Json& out);
bool decode_meta_object(ByteReader& reader, text::Json& out);
// Checks the object at the reader's position exactly as decode_meta_object does, building
// nothing; the reader is left as decode_meta_object would leave it.
bool skip_meta_object(ByteReader& reader);

}  // namespace vesko::storage
