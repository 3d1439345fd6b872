#include "core/texts.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace quelbrix {
namespace {

std::atomic<Language> g_language{Language::kJapanese};

struct TextRow {
  TextId id;
  const char* japanese;
  const char* english;
};

constexpr TextRow kTexts[] = {
    {TextId::kDone, "%s完了", "%s done"},
    {TextId::kAborted, "%s中止", "%s aborted"},
    {TextId::kFailed, "%sに失敗しました", "%s failed"},
    {TextId::kDoneWithSize, "%s完了 FileSize=%d", "%s done FileSize=%d"},
    {TextId::kDeleteDone, "%s完了 残りキー=%d アクセスキー=%d アクセスデータ=%d",
     "%s done RemainingKeys=%d AccessedKeys=%d AccessedValues=%d"},
    {TextId::kCannotOpenOutput, "出力ファイルを開けません", "Cannot open the output file"},
    {TextId::kCannotReadFile, "ファイルが読めません", "Cannot read the file"},
    {TextId::kLogsApplied, " (トランザクションログ適用済)", " (transaction logs applied)"},
};

struct CaptionRow {
  int id;
  const char* japanese;
  const char* english;
};

constexpr CaptionRow kCaptions[] = {
    {2, "終了", "Exit"},
    {3, "中止", "Abort"},
    {9, "Version", "Version"},
    {1024, "読込", "Read"},
    {1025, "検索(日付有)", "Search (dates)"},
    {1026, "検索(日付無)", "Search (no dates)"},
    {1027, "修正", "Repair"},
    {1028, "デフラグ", "Defrag"},
    {1029, "書込", "Write"},
    {1030, "Ｒｅｇ保存", "Reg save"},
    {1031, "ハイブロード", "Hive load"},
    {1032, "サブキー削除", "Delete subkeys"},
    {1033, "ハイブ再構築", "Hive rebuild"},
    {1034, "ハイブアンロード", "Hive unload"},
    {1036, "読込先開く", "Open read folder"},
    {1037, "出力先開く", "Open output folder"},
    {1038, "ロード先開く", "Open load folder"},
    {1039, "エディタ開く", "Open editor"},
    {1088, "読込ファイル", "Read file"},
    {1089, "ロードファイル", "Load file"},
};

const TextRow& RowOf(TextId id) {
  for (const TextRow& row : kTexts)
    if (row.id == id) return row;
  return kTexts[0];
}

}  // namespace

void SetLanguage(Language language) { g_language.store(language); }
Language CurrentLanguage() { return g_language.load(std::memory_order_relaxed); }

bool LanguageFromName(std::string_view name, Language* language) {
  if (name == "ja") *language = Language::kJapanese;
  else if (name == "en") *language = Language::kEnglish;
  else return false;
  return true;
}

Language LocaleLanguage() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    return std::strncmp(value, "ja", 2) == 0 ? Language::kJapanese : Language::kEnglish;
  }
  // No locale at all: the program's own language, as it always was.
  return Language::kJapanese;
}

const char* ShownText(TextId id) {
  const TextRow& row = RowOf(id);
  return CurrentLanguage() == Language::kEnglish ? row.english : row.japanese;
}

const char* JapaneseText(TextId id) { return RowOf(id).japanese; }

std::string CaptionIn(Language language, int id) {
  for (const CaptionRow& row : kCaptions)
    if (row.id == id) return language == Language::kEnglish ? row.english : row.japanese;
  return std::string();
}

std::string ShownCaption(int id) { return CaptionIn(CurrentLanguage(), id); }

std::string FormatShown(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text;
  if (n > 0) {
    std::vector<char> buffer(static_cast<size_t>(n) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, again);
    text.assign(buffer.data(), static_cast<size_t>(n));
  }
  va_end(again);
  return text;
}

}  // namespace quelbrix
