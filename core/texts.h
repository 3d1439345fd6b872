// The program's own words for people: the captions of the commands and the
// status texts, each in Japanese and English, chosen by one process-wide
// language (Japanese unless a front end sets another: the front ends take it
// from --lang, else from the locale).
// Reports never use this choice: their texts stay Japanese in every language.
#pragma once

#include <string>
#include <string_view>

namespace quelbrix {

enum class Language { kJapanese, kEnglish };

void SetLanguage(Language language);
Language CurrentLanguage();
// "ja" or "en"; false for any other name.
bool LanguageFromName(std::string_view name, Language* language);
// The language of the locale: the first of LC_ALL, LC_MESSAGES and LANG that
// is set and not empty decides, Japanese when it starts with "ja", English
// otherwise; Japanese when none is set.
Language LocaleLanguage();

enum class TextId {
  kDone,               // "%s完了"
  kAborted,            // "%s中止"
  kFailed,             // "%sに失敗しました"
  kDoneWithSize,       // "%s完了 FileSize=%d"
  kDeleteDone,         // "%s完了 残りキー=%d アクセスキー=%d アクセスデータ=%d"
  kCannotOpenOutput,   // "出力ファイルを開けません"
  kCannotReadFile,     // "ファイルが読めません"
  kLogsApplied,        // " (トランザクションログ適用済)", after a status text
};

// UTF-8 texts: in the current language, or in Japanese (the words of the
// report and of the ANSI texts the front ends are handed).
const char* ShownText(TextId id);
const char* JapaneseText(TextId id);

// Caption of a control by id in the current language, UTF-8; "" for an
// unknown id.  ControlCaptionUtf8 (core/frontend.h) is the Japanese one.
std::string ShownCaption(int id);
std::string CaptionIn(Language language, int id);

// printf-style formatting of a UTF-8 text into a std::string.
std::string FormatShown(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace quelbrix
