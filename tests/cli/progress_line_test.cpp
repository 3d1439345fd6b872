// The progress line never wraps: whatever the path and the terminal's width,
// what is shown fits, keeps both ends of the text and marks the cut.
#include <gtest/gtest.h>

#include <string>

#include "cli/cli_frontend.h"

namespace quelbrix {
namespace {

// Columns of UTF-8 text where every non-ASCII code point in these samples is wide.
size_t Width(const std::string& s) {
  size_t w = 0;
  for (unsigned char c : s) {
    if (c < 0x80) ++w;
    else if ((c & 0xC0) != 0x80) w += 2;
  }
  return w;
}

TEST(ProgressLine, FitsEveryWidthAndKeepsBothEnds) {
  const std::string ascii = "ROOT\\ControlSet001\\Services\\Tcpip\\Parameters\\Interfaces\\{4d36e972-e325-11ce}";
  const std::string wide = "検索(日付有) ROOT\\ソフトウェア\\マイクロソフト\\ウィンドウズ\\現在のバージョン\\実行";
  for (const std::string& text : {ascii, wide}) {
    for (size_t columns = 8; columns <= 120; ++columns) {
      std::string fitted = FitProgressLine(text, columns);
      if (Width(text) < columns) {
        EXPECT_EQ(fitted, text);
        continue;
      }
      EXPECT_LT(Width(fitted), columns) << columns << ": " << fitted;
      size_t cut = fitted.find("...");
      ASSERT_NE(cut, std::string::npos) << fitted;
      EXPECT_EQ(text.compare(0, cut, fitted, 0, cut), 0) << fitted;
      std::string tail = fitted.substr(cut + 3);
      EXPECT_EQ(text.compare(text.size() - tail.size(), tail.size(), tail), 0) << fitted;
      EXPECT_GE(Width(fitted) + 4, columns) << "more was cut than needed: " << fitted;
    }
  }
}

}  // namespace
}  // namespace quelbrix
