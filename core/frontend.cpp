#include "core/frontend.h"

namespace quelbrix {

std::string ControlCaptionUtf8(int id) {
  switch (id) {
    case 2: return "終了";
    case 3: return "中止";
    case 9: return "Version";
    case 1024: return "読込";
    case 1025: return "検索(日付有)";
    case 1026: return "検索(日付無)";
    case 1027: return "修正";
    case 1028: return "デフラグ";
    case 1029: return "書込";
    case 1030: return "Ｒｅｇ保存";
    case 1031: return "ハイブロード";
    case 1032: return "サブキー削除";
    case 1033: return "ハイブ再構築";
    case 1034: return "ハイブアンロード";
    case 1036: return "読込先開く";
    case 1037: return "出力先開く";
    case 1038: return "ロード先開く";
    case 1039: return "エディタ開く";
    case 1088: return "読込ファイル";
    case 1089: return "ロードファイル";
    default: return "";
  }
}

std::string Frontend::ControlCaption(int id) { return ControlCaptionUtf8(id); }

}  // namespace quelbrix
