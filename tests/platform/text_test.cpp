// Text conversion between UTF-16, the ANSI code page and UTF-8: unmappable
// characters become '?', output is cut without splitting a character, and
// the one-unit upper-casing used by the name hashes.
#include "platform/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "support/hive_fixture.h"

namespace quelbrix::platform {
namespace {

using quelbrix::testing::CodePageScope;

TEST(AnsiText, UnmappableCharactersBecomeQuestionMarks) {
  CodePageScope cp(932);
  EXPECT_EQ(Utf16ToAnsi(u"caf\u00e9"), "caf?");
  EXPECT_EQ(Utf16ToAnsi(u"a\U0001F600b"), "a?b");  // a surrogate pair is one character
  EXPECT_EQ(Utf16ToAnsi(std::u16string(u"x") + char16_t(0xD800) + u"y"), "x?y");  // unpaired surrogate
  EXPECT_EQ(Utf16ToAnsi(u"\u65e5\u672c"), "\x93\xfa\x96\x7b");
  // Bytes that start no character of the code page come back as '?'.
  EXPECT_EQ(AnsiToUtf16("A\x80Z"), u"A?Z");
  EXPECT_EQ(AnsiToUtf16("\x93\xfa\x96\x7b"), u"\u65e5\u672c");
}

TEST(AnsiText, CuttingNeverSplitsADoubleByteCharacter) {
  CodePageScope cp(932);
  char out[8];
  std::memset(out, 'Z', sizeof out);
  bool truncated = false;
  const char16_t text[] = u"\u3042\u3044\u3046";
  EXPECT_EQ(Utf16ToAnsiBuffer(out, 4, text, 3, &truncated), 2u);
  EXPECT_TRUE(truncated);
  EXPECT_STREQ(out, "\x82\xa0");
  EXPECT_EQ(out[4], 'Z');
  EXPECT_EQ(Utf16ToAnsiBuffer(out, 7, text, 3, &truncated), 6u);
  EXPECT_FALSE(truncated);
  EXPECT_EQ(Utf16ToAnsiBuffer(out, 1, text, 3, &truncated), 0u);
  EXPECT_TRUE(truncated);
  EXPECT_EQ(out[0], '\0');
}

TEST(AnsiText, CodePageSwitchesAndRefusesUnknownOnes) {
  CodePageScope cp(932);
  EXPECT_FALSE(SetAnsiCodePage(123456));
  EXPECT_EQ(AnsiCodePage(), 932);
  ASSERT_TRUE(SetAnsiCodePage(65001));
  EXPECT_EQ(Utf16ToAnsi(u"caf\u00e9"), "caf\xc3\xa9");
  EXPECT_EQ(Utf8ToAnsi("\xe6\x97\xa5"), "\xe6\x97\xa5");
  ASSERT_TRUE(SetAnsiCodePage(1252));
  EXPECT_EQ(Utf16ToAnsi(u"caf\u00e9"), "caf\xe9");
  EXPECT_EQ(AnsiToUtf8("caf\xe9"), "caf\xc3\xa9");
}

TEST(UpcaseUnit, FoldsOneUnitAtATime) {
  EXPECT_EQ(UpcaseUnit(u'a'), u'A');
  EXPECT_EQ(UpcaseUnit(u'_'), u'_');
  EXPECT_EQ(UpcaseUnit(u'\u00e9'), u'\u00c9');
  EXPECT_EQ(UpcaseUnit(u'\u0436'), u'\u0416');
  EXPECT_EQ(UpcaseUnit(u'\u00df'), u'\u00df');  // no one-unit upper case
  EXPECT_EQ(UpcaseUnit(u'\u3042'), u'\u3042');
}

// Text of any length converts as its units do one by one: the sixteen-unit
// steps for ASCII hand over to the code page for any other unit, wherever it
// stands, and ASCII text is cut at the capacity like any other.
TEST(AnsiText, LongTextConvertsAsItsUnitsOneByOne) {
  CodePageScope japanese(932);
  std::mt19937 random(3);
  for (int round = 0; round < 5000; ++round) {
    std::u16string text(random() % 70, u'a');
    for (char16_t& c : text) c = static_cast<char16_t>(u' ' + random() % 95);
    if (random() % 2 == 0 && !text.empty()) text[random() % text.size()] = u'\u3042';
    std::string expected;
    for (char16_t c : text) expected += Utf16ToAnsi(std::u16string_view(&c, 1));
    ASSERT_EQ(Utf16ToAnsi(text), expected) << round;
    if (expected.size() == text.size()) {  // ASCII: cut at the capacity
      size_t capacity = 1 + random() % 80;
      char out[96];
      bool cut = false;
      size_t n = Utf16ToAnsiBuffer(out, capacity, text.data(), text.size(), &cut);
      ASSERT_EQ(std::string(out, n), expected.substr(0, capacity - 1)) << round;
      ASSERT_EQ(cut, capacity - 1 < text.size()) << round;
    }
  }
}

}  // namespace
}  // namespace quelbrix::platform
