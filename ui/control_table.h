// The layout tables of the main window and of the Reg save dialog: one
// ControlRow per control, in the order LayoutRow places them from the left.
// Captions are UTF-8 here (the window shows UTF-8); each fits the 32-byte
// caption row of the table in code page 932.
#pragma once

#include <cstdint>
#include <span>

namespace quelbrix::ui {

// Window styles of the tables that change what a control is or does.
constexpr uint32_t kWsDisabled = 0x08000000;
constexpr uint32_t kWsGroup = 0x00020000;
constexpr uint32_t kEsReadOnly = 0x00000800;
constexpr uint32_t kSsCenterImage = 0x00000200;
// The low nibble of a button's style is its kind.
constexpr uint32_t kBsTypeMask = 0x0000000F;
constexpr uint32_t kBsDefPushButton = 0x00000001;
constexpr uint32_t kBsAutoRadioButton = 0x00000009;

struct ControlRow {
  int32_t Weight;
  const char* Caption;
  int32_t ControlId;
  const char* ClassName;  // "Static", "ComboBox", "Button", "RichEdit20A"
  uint32_t Style;
  int32_t CheckState;
  const char* TipText;  // empty: the Caption is the tooltip
};

std::span<const ControlRow> ReadFileRowTable();
std::span<const ControlRow> LoadFileRowTable();
std::span<const ControlRow> OutputRowTable();
std::span<const ControlRow> ButtonRowTable();

std::span<const ControlRow> RegSaveRow1Table();
std::span<const ControlRow> RegSaveRow2Table();

// Ids of the dialog's controls.
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdRadioSystem = 1056;
constexpr int kIdRadioSoftware = 1057;
constexpr int kIdRadioSam = 1058;
constexpr int kIdRadioSecurity = 1059;
constexpr int kIdOutputPane = 0;

}  // namespace quelbrix::ui
