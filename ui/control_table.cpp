#include "ui/control_table.h"

#include <QtGlobal>

namespace quelbrix::ui {
namespace {

constexpr uint32_t kCombo = 0x00210043;
constexpr uint32_t kPush = 0x00000F00;
constexpr uint32_t kPushOff = 0x08000F00;

constexpr ControlRow kReadFileRow[] = {
    {3, QT_TRANSLATE_NOOP("Controls", "読込ファイル"), 1088, "Static", kSsCenterImage, 0, ""},
    {21, "", 1136, "ComboBox", kCombo, 0, ""},
    {2, QT_TRANSLATE_NOOP("Controls", "読込先開く"), 1036, "Button", kPush, 0, ""},
    {2, QT_TRANSLATE_NOOP("Controls", "出力先開く"), 1037, "Button", kPush, 0, ""},
};

constexpr ControlRow kLoadFileRow[] = {
    {3, QT_TRANSLATE_NOOP("Controls", "ロードファイル"), 1089, "Static", kSsCenterImage, 0, ""},
    {21, "", 1143, "ComboBox", kCombo, 0, ""},
    {2, QT_TRANSLATE_NOOP("Controls", "ロード先開く"), 1038, "Button", kPush, 0, ""},
    {2, QT_TRANSLATE_NOOP("Controls", "エディタ開く"), 1039, "Button", kPushOff, 0, ""},
};

constexpr ControlRow kOutputRow[] = {
    {1, "", kIdOutputPane, "RichEdit20A", 0x00200844, 0, ""},
};

constexpr ControlRow kButtonRow[] = {
    {1, QT_TRANSLATE_NOOP("Controls", "読込"), 1024, "Button", kPush, 0, ""},
    {1, QT_TRANSLATE_NOOP("Controls", "検索(日付有)"), 1025, "Button", kPushOff, 0, ""},
    {1, QT_TRANSLATE_NOOP("Controls", "検索(日付無)"), 1026, "Button", kPushOff, 0, ""},
    {1, QT_TRANSLATE_NOOP("Controls", "修正"), 1027, "Button", kPushOff, 0, ""},
    {1, QT_TRANSLATE_NOOP("Controls", "デフラグ"), 1028, "Button", kPushOff, 0, ""},
    {1, QT_TRANSLATE_NOOP("Controls", "書込"), 1029, "Button", kPushOff, 0, ""},
    {1, QT_TRANSLATE_NOOP("Controls", "Ｒｅｇ保存"), 1030, "Button", kPushOff, 0, ""},
    {1, QT_TRANSLATE_NOOP("Controls", "ハイブロード"), 1031, "Button", kPushOff, 0, ""},
    {1, QT_TRANSLATE_NOOP("Controls", "サブキー削除"), 1032, "Button", kPushOff, 0, ""},
    {1, QT_TRANSLATE_NOOP("Controls", "ハイブ再構築"), 1033, "Button", kPushOff, 0, ""},
    {1, QT_TRANSLATE_NOOP("Controls", "ハイブアンロード"), 1034, "Button", kPushOff, 0, ""},
    {1, QT_TRANSLATE_NOOP("Controls", "中止"), 3, "Button", kPushOff, 0, ""},
    {1, QT_TRANSLATE_NOOP("Controls", "終了"), 2, "Button", kPush, 0, ""},
    {1, "Version", 9, "Button", kPush, 0, ""},
};

constexpr ControlRow kRegSaveRow1[] = {
    {1, "SYSTEM", kIdRadioSystem, "Button", 0x00020C09, 1, ""},
    {1, "SOFTWARE", kIdRadioSoftware, "Button", 0x00000C09, 0, ""},
    {1, "SAM", kIdRadioSam, "Button", 0x00000C09, 0, ""},
    {1, "SECURITY", kIdRadioSecurity, "Button", 0x00000C09, 0, ""},
};

constexpr ControlRow kRegSaveRow2[] = {
    {2, QT_TRANSLATE_NOOP("Controls", "出力先に保存(～.tmp)"), 1090, "Static", kSsCenterImage, 0, ""},
    {1, QT_TRANSLATE_NOOP("Controls", "ＯＫ"), kIdOk, "Button", 0x00000C01, 0, ""},
    {1, QT_TRANSLATE_NOOP("Controls", "キャンセル"), kIdCancel, "Button", 0x00000C00, 0, ""},
};

}  // namespace

std::span<const ControlRow> ReadFileRowTable() { return kReadFileRow; }
std::span<const ControlRow> LoadFileRowTable() { return kLoadFileRow; }
std::span<const ControlRow> OutputRowTable() { return kOutputRow; }
std::span<const ControlRow> ButtonRowTable() { return kButtonRow; }
std::span<const ControlRow> RegSaveRow1Table() { return kRegSaveRow1; }
std::span<const ControlRow> RegSaveRow2Table() { return kRegSaveRow2; }

}  // namespace quelbrix::ui
