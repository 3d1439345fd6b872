#include "ui/status_texts.h"

#include <vector>

#include "platform/text.h"

namespace quelbrix::ui {

StatusPartTexts::StatusPartTexts()
    : idle_{"", "read", "repair", "defrag", "write", "load", "delete", "rebuild", ""}, busy_{"", ""} {}

std::string CutToRow(std::string_view ansi, size_t rowBytes) {
  if (rowBytes == 0) return std::string();
  if (ansi.size() < rowBytes) return std::string(ansi);
  std::u16string wide = platform::AnsiToUtf16(ansi);
  std::vector<char> row(rowBytes);
  size_t n = platform::Utf16ToAnsiBuffer(row.data(), row.size(), wide.data(), wide.size());
  return std::string(row.data(), n);
}

bool StatusPartTexts::Set(StatusLayout layout, int part, std::string_view ansi) {
  if (layout == StatusLayout::kBusy) {
    if (part < 0 || part >= static_cast<int>(busy_.size())) return false;
    busy_[part] = CutToRow(ansi, kBusyRowBytes);
  } else {
    if (part < 0 || part >= static_cast<int>(idle_.size())) return false;
    idle_[part] = CutToRow(ansi, kIdleRowBytes);
  }
  return true;
}

std::string StatusPartTexts::Text(StatusLayout layout, int part) const {
  if (layout == StatusLayout::kBusy) return part >= 0 && part < 2 ? busy_[part] : std::string();
  return part >= 0 && part < 9 ? idle_[part] : std::string();
}

}  // namespace quelbrix::ui
