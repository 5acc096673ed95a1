// The texts of the server's reports.
#include <gtest/gtest.h>

#include "server/error_report.h"

namespace lorvane {
namespace {

TEST(ErrorText, OperationAndReasonInParenthesesCutAtACharacter) {
  EXPECT_EQ(composeErrorText("RS232C Open Error", "No such file or directory"),
            "RS232C Open Error(No such file or directory)");
  EXPECT_EQ(reportLine("ポートオープンエラー", "x(y)"),
            "ポートオープンエラー:x(y)");
  EXPECT_EQ(reportLine("データ受信エラー", ""), "データ受信エラー:");

  struct Case {
    std::string text;
    std::size_t limit;
    std::string expected;
  };
  const std::string kana = "データ";  // three bytes a character
  const Case cases[] = {
      {"short", 255, "short"},
      {std::string(300, 'a'), 255, std::string(255, 'a')},
      {"ab" + kana, 4, "ab"},  // the cut would split the first character
      {"ab" + kana, 5, "ab" + kana.substr(0, 3)},
      {"ab" + kana, 8, "ab" + kana.substr(0, 6)},
      {kana, 2, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cutAtCharacter(c.text, c.limit), c.expected)
        << c.text << " " << c.limit;
  }
  const std::string longReason(400, 'r');
  const auto text = composeErrorText("RS232C Write Error", longReason);
  EXPECT_EQ(text.size(), 255u);
  EXPECT_TRUE(text.starts_with("RS232C Write Error(rrr"));
  // A cut inside a multi-byte character never leaves half of it.
  std::string reason(85, 'x');
  for (int i = 0; i < 60; ++i) reason += "デ";
  EXPECT_EQ(composeErrorText("op", reason).size(), 253u);
}

}  // namespace
}  // namespace lorvane
