// The texts of the status bar's owner-drawn parts: IdlePartText (9 rows of
// 10 bytes; rows 1 to 7 the done-flag labels) and BusyPartText (2 rows of
// 260 bytes).  Texts arrive in the ANSI code page; one longer than its row is
// cut at a character boundary, and a part outside the table is refused.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "app/frontend.h"

namespace quelbrix::ui {

constexpr size_t kIdleRowBytes = 10;
constexpr size_t kBusyRowBytes = 260;

class StatusPartTexts {
 public:
  StatusPartTexts();
  // StatusTextMessage: false (and nothing stored) for a part outside the
  // layout's table.
  bool Set(StatusLayout layout, int part, std::string_view ansi);
  std::string Text(StatusLayout layout, int part) const;

 private:
  std::array<std::string, 9> idle_;
  std::array<std::string, 2> busy_;
};

// The longest prefix of `ansi` that fits `rowBytes` with its NUL, never
// splitting a multi-byte character.
std::string CutToRow(std::string_view ansi, size_t rowBytes);

}  // namespace quelbrix::ui
