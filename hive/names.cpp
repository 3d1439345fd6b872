#include "hive/names.h"

#include <cstring>
#include <vector>

#include "platform/text.h"

namespace quelbrix {

size_t NameUnits(const uint8_t* stored, uint32_t length, uint32_t available, bool eightBit, char16_t* dest,
                 size_t capacity) {
  uint32_t usable = length < available ? length : available;
  if (stored == nullptr) usable = 0;
  size_t n = 0;
  if (eightBit) {
    for (uint32_t i = 0; i < usable && n < capacity && stored[i] != 0; ++i) dest[n++] = stored[i];
  } else {
    // The stored bytes are read with a UTF-16 NUL after them: the last byte
    // of an odd length is a unit of its own with a zero high byte.
    for (uint32_t i = 0; i < usable && n < capacity; i += 2) {
      uint8_t high = i + 1 < usable ? stored[i + 1] : 0;
      char16_t unit = static_cast<char16_t>(stored[i] | high << 8);
      if (unit == 0) break;
      dest[n++] = unit;
    }
  }
  return n;
}

DecodedName DecodeName(const uint8_t* stored, uint32_t length, uint32_t available, bool eightBit, char* dest,
                       size_t capacity) {
  DecodedName result;
  if (capacity == 0) return result;
  // Names of sound hives are short; the fixed buffer covers them and the
  // heap only sees damaged or value names.
  char16_t fixed[512];
  std::vector<char16_t> heap;
  char16_t* units = fixed;
  size_t room = eightBit ? length : (length + 1) / 2;
  if (room > kMaxNameUnits * 2) room = kMaxNameUnits * 2;
  if (eightBit) {
    // Most names are 8-bit ASCII: their bytes are already the text.
    uint32_t usable = stored == nullptr ? 0 : length < available ? length : available;
    size_t n = 0;
    bool ascii = true;
    for (; n < usable && n < room && stored[n] != 0; ++n) ascii = ascii && stored[n] < 0x80;
    if (ascii) {
      size_t m = n < capacity - 1 ? n : capacity - 1;
      if (m > 0) std::memcpy(dest, stored, m);
      dest[m] = '\0';
      result.ComputedLength = static_cast<uint32_t>(n);
      result.AnsiLength = static_cast<uint32_t>(m);
      result.Truncated = m < n;
      return result;
    }
  }
  if (room > sizeof fixed / sizeof fixed[0]) {
    heap.resize(room);
    units = heap.data();
  }
  size_t n = NameUnits(stored, length, available, eightBit, units, room);
  result.ComputedLength = static_cast<uint32_t>(eightBit ? n : 2 * n);
  bool truncated = false;
  result.AnsiLength = static_cast<uint32_t>(platform::Utf16ToAnsiBuffer(dest, capacity, units, n, &truncated));
  result.Truncated = truncated;
  return result;
}

bool EvenUpUtf16Name(uint8_t* name, uint32_t length, uint32_t computed, uint64_t room) {
  if (name == nullptr || length % 2 == 0 || computed != length + 1 || room < computed) return false;
  name[length] = 0;
  return true;
}

uint32_t LfNameHint(std::u16string_view w) {
  uint8_t hint[4] = {0, 0, 0, 0};
  for (size_t i = 0; i < w.size() && i < 4; ++i) {
    // Units below 0x100 are the bytes of an 8-bit (Latin-1) name, which the
    // format's own writers store as they are.
    if (w[i] < 0x100) {
      hint[i] = static_cast<uint8_t>(w[i]);
    } else {
      hint[0] = hint[1] = hint[2] = hint[3] = 0;
    }
  }
  return static_cast<uint32_t>(hint[0]) | static_cast<uint32_t>(hint[1]) << 8 | static_cast<uint32_t>(hint[2]) << 16 |
         static_cast<uint32_t>(hint[3]) << 24;
}

uint32_t LhNameHash(std::u16string_view w) {
  uint32_t h = 0;
  for (char16_t unit : w) h = h * 37 + platform::UpcaseUnit(unit);
  return h;
}

int CompareSiblingOrder(std::u16string_view a, std::u16string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    char16_t x = platform::UpcaseUnit(a[i]);
    char16_t y = platform::UpcaseUnit(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

}  // namespace quelbrix
