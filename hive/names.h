// Key, value and class names: decoding into the ANSI code page with the
// computed length the checks compare, and the name as UTF-16 units (W) from
// which the lf name hint, the lh name hash and the sibling order key come.
// 8-bit names are Latin-1: each byte is one UTF-16 unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quelbrix {

constexpr size_t kKeyNameBuffer = 256;
constexpr size_t kValueNameBuffer = 16384;
// W is kept for at most this many units: a key name has at most 255 characters
// in a sound hive, and the hash rule needs all of them.
constexpr size_t kMaxNameUnits = 32768;

struct DecodedName {
  // Bytes before the first NUL (8-bit), or 2 x the UTF-16 units before it.
  uint32_t ComputedLength = 0;
  // Length of the ANSI text written into the buffer.
  uint32_t AnsiLength = 0;
  // The ANSI text did not fit the buffer and was cut at its end.
  bool Truncated = false;
};

// Decodes `length` stored bytes (of which only `available` lie in the image)
// into dest (capacity bytes, NUL-terminated).
DecodedName DecodeName(const uint8_t* stored, uint32_t length, uint32_t available, bool eightBit, char* dest,
                       size_t capacity);

// The name as UTF-16 units up to its first NUL (at most capacity units); a
// UTF-16 name of odd length ends in a unit of its last byte alone.  Returns
// the number of units.
size_t NameUnits(const uint8_t* stored, uint32_t length, uint32_t available, bool eightBit, char16_t* dest,
                 size_t capacity);

// lf name hint: the first four units below 0x100 as bytes; any unit at or
// above 0x100 among the first four zeroes all four.
uint32_t LfNameHint(std::u16string_view w);
// lh name hash: h = 37 h + upcase(unit), modulo 2^32.
uint32_t LhNameHash(std::u16string_view w);
// Sibling order: units upper-cased, compared as unsigned 16-bit, a proper
// prefix first.  <0, 0 (duplicates), >0.
int CompareSiblingOrder(std::u16string_view a, std::u16string_view b);

// A UTF-16 name of odd length reads as one unit more, its high byte zero
// (see NameUnits).  Repair makes that byte real when the cell has room for
// it, so the name keeps what it read as and its length becomes even.
// `name` is the stored name, `room` its bytes inside the cell.  True when
// `computed` is that one unit more and the byte was written.
bool EvenUpUtf16Name(uint8_t* name, uint32_t length, uint32_t computed, uint64_t room);

}  // namespace quelbrix
