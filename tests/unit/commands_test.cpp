// The ten-byte keywords, the decimal numbers of the command language and
// the parameters of an open command.
#include "spool/commands.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace lorvane {
namespace {

using namespace std::string_literals;

TEST(Keywords, AreTheNineTenByteTexts) {
  const std::pair<Keyword, std::string_view> expected[] = {
      {Keyword::nop, "@NOP@@@@@@"},      {Keyword::open, "@OPEN@@@@@"},
      {Keyword::close, "@CLOSE@@@@"},    {Keyword::logStart, "@LOG_ST@@@"},
      {Keyword::logEnd, "@LOG_ED@@@"},   {Keyword::setRts, "@SETRTS@@@"},
      {Keyword::clearRts, "@CLRRTS@@@"}, {Keyword::setDtr, "@SETDTR@@@"},
      {Keyword::clearDtr, "@CLRDTR@@@"},
  };
  ASSERT_EQ(keywords.size(), std::size(expected));
  for (const auto& [keyword, text] : expected) {
    SCOPED_TRACE(std::string(text));
    EXPECT_EQ(text.size(), keywordLength);
    EXPECT_EQ(keywordText(keyword), text);
    EXPECT_EQ(isControlCommand(text), keyword);
  }
}

TEST(IsControlCommand, ComparesExactlyTheFirstTenBytes) {
  for (const auto& entry : keywords) {
    const std::string text(entry.text);
    SCOPED_TRACE(text);
    // Whatever follows the ten bytes does not matter.
    EXPECT_EQ(isControlCommand(text + "tail"), entry.keyword);
    EXPECT_EQ(isControlCommand(text + ",COM1,9600\r\n"), entry.keyword);
    EXPECT_EQ(isControlCommand(text + "\0\0"s), entry.keyword);
    EXPECT_EQ(isControlCommand(text + text), entry.keyword);
    // Anything shorter is data, however much of the keyword it holds.
    for (std::size_t n = 0; n < keywordLength; ++n) {
      EXPECT_EQ(isControlCommand(text.substr(0, n)), std::nullopt) << n;
    }
    // One changed byte anywhere in the ten makes it data.
    for (std::size_t i = 0; i < keywordLength; ++i) {
      std::string changed = text;
      changed[i] = '#';
      EXPECT_EQ(isControlCommand(changed), std::nullopt) << i;
    }
  }
}

TEST(IsControlCommand, DataLooksLikeKeywordsOnlyAtFirstSight) {
  const std::string data[] = {
      "",
      "@close@@@@",  // case matters
      "@Open@@@@@",
      "@NOP@@@@@",  // nine characters
      "@NOP@@@@@\0"s,
      " @NOP@@@@@@",  // not at the start
      "x@NOP@@@@@@",
      "@OPEN@@@@,COM1,9600",  // three trailing at signs, then the comma
      "@OPEN@@@@@"s.substr(0, 9) + ",",
      "@CLOSE@@@",
      "@CLOSE@@@@"s.substr(1),
      "@LOG_ST@@",
      "@NOP@@@@@@"s.replace(9, 1, 1, '\0'),
      "hello",
      "<CR>",
  };
  for (const auto& content : data) {
    SCOPED_TRACE(content);
    EXPECT_EQ(isControlCommand(content), std::nullopt);
  }
}

TEST(IsControlCommand, ReadsNothingPastTheView) {
  // The view ends after nine bytes; the tenth in memory must not count.
  const std::string memory = "@NOP@@@@@@";
  EXPECT_EQ(isControlCommand(std::string_view(memory.data(), 9)), std::nullopt);
}

struct DecimalCase {
  std::string text;
  std::int64_t expected64;
  std::int32_t expected32;
};

constexpr auto max32 = std::numeric_limits<std::int32_t>::max();
constexpr auto min32 = std::numeric_limits<std::int32_t>::min();
constexpr auto max64 = std::numeric_limits<std::int64_t>::max();
constexpr auto min64 = std::numeric_limits<std::int64_t>::min();

TEST(ParseDecimal, ReadsAsTheCommandLanguageDoes) {
  const DecimalCase cases[] = {
      {"", 0, 0},
      {"0", 0, 0},
      {"9600", 9600, 9600},
      {"  42", 42, 42},
      {" \t\n\v\f\r7", 7, 7},
      {"+5", 5, 5},
      {"-5", -5, -5},
      {"   -12x", -12, -12},
      {"- 5", 0, 0},  // a sign must be followed by the digits
      {"+-5", 0, 0},
      {"--5", 0, 0},
      {"abc", 0, 0},  // no digits
      {"12abc", 12, 12},
      {"9600\r\n", 9600, 9600},  // a line end after a number is ignored
      {"1 2", 1, 1},
      {"0x10", 0, 0},
      {"1.5", 1, 1},
      {"00000000000000000000000000000000000012", 12, 12},
      {"-0", 0, 0},
      {"\0"s
       "5",
       0, 0},
      {"5\0"
       "6"s,
       5, 5},
      // Saturation at the ends of the range, never undefined behaviour.
      {"2147483647", 2147483647, max32},
      {"2147483648", 2147483648, max32},
      {"-2147483648", -2147483648LL, min32},
      {"-2147483649", -2147483649LL, min32},
      {"9223372036854775806", 9223372036854775806LL, max32},
      {"9223372036854775807", max64, max32},
      {"9223372036854775808", max64, max32},
      {"-9223372036854775807", -9223372036854775807LL, min32},
      {"-9223372036854775808", min64, min32},
      {"-9223372036854775809", min64, min32},
      {"99999999999999999999999999999999999999", max64, max32},
      {"-99999999999999999999999999999999999999", min64, min32},
      {"18446744073709551616", max64, max32},  // 2^64 does not wrap to 0
      {"18446744073709551617", max64, max32},
      {"-18446744073709551616", min64, min32},
      {"92233720368547758070", max64, max32},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parseDecimal64(c.text), c.expected64);
    EXPECT_EQ(parseDecimal(c.text), c.expected32);
  }
}

TEST(ParseDecimal, ReadsNothingPastTheView) {
  const std::string memory = "123456";
  EXPECT_EQ(parseDecimal(std::string_view(memory.data(), 3)), 123);
  EXPECT_EQ(parseDecimal64(std::string_view(memory.data(), 0)), 0);
}

OpenParameters someSettings() {
  OpenParameters p;
  p.portName = "COM9";
  p.baudRate = 19200;
  p.byteSize = 7;
  p.stopBits = 2;
  p.parity = 1;
  p.xonXoffOut = 1;
  p.xonXoffIn = 1;
  return p;
}

OpenParameters settings(std::string port, std::int32_t baud, std::int32_t size,
                        std::int32_t stop, std::int32_t parity,
                        std::int32_t xon) {
  OpenParameters p;
  p.portName = std::move(port);
  p.baudRate = baud;
  p.byteSize = size;
  p.stopBits = stop;
  p.parity = parity;
  p.xonXoffOut = xon;
  p.xonXoffIn = xon;
  return p;
}

struct OpenCase {
  std::string content;
  OpenParameters expected;  // from someSettings()
};

TEST(ParseOpenParameters, FillsPresentFieldsAndKeepsTheOthers) {
  const OpenCase cases[] = {
      {"@OPEN@@@@@,COM2,9600,8,0,0,0", settings("COM2", 9600, 8, 0, 0, 0)},
      // A run of commas is one separator: the 8 moves into the baud rate.
      {"@OPEN@@@@@,COM2,,8", settings("COM2", 8, 7, 2, 1, 1)},
      {"@OPEN@@@@@,,,COM2,,,,9600,,", settings("COM2", 9600, 7, 2, 1, 1)},
      // The first piece runs up to the first comma and is dropped whole.
      {"@OPEN@@@@@COM2,9600", settings("9600", 19200, 7, 2, 1, 1)},
      {"@OPEN@@@@@", someSettings()},
      {"@OPEN@@@@@,", someSettings()},
      {"@OPEN@@@@@,,,,", someSettings()},
      {"@OPEN@@@@@ trailing text", someSettings()},
      {"@OPEN@@@@@,COM2", settings("COM2", 19200, 7, 2, 1, 1)},
      {"@OPEN@@@@@,/dev/ttyUSB0,115200",
       settings("/dev/ttyUSB0", 115200, 7, 2, 1, 1)},
      // The sixth field goes to both directions as it is; bit 0 decides.
      {"@OPEN@@@@@,COM2,9600,8,0,0,1", settings("COM2", 9600, 8, 0, 0, 1)},
      {"@OPEN@@@@@,COM2,9600,8,0,0,2", settings("COM2", 9600, 8, 0, 0, 2)},
      {"@OPEN@@@@@,COM2,9600,8,0,0,3", settings("COM2", 9600, 8, 0, 0, 3)},
      // Fields after the sixth are ignored.
      {"@OPEN@@@@@,COM2,9600,8,0,0,1,5,6,7",
       settings("COM2", 9600, 8, 0, 0, 1)},
      // A line end after a number is ignored...
      {"@OPEN@@@@@,COM2,9600\r\n", settings("COM2", 9600, 7, 2, 1, 1)},
      {"@OPEN@@@@@,COM2,9600,8,1,2,1\r\n", settings("COM2", 9600, 8, 1, 2, 1)},
      // ...but after the port name it is part of the name.
      {"@OPEN@@@@@,COM2\r\n", settings("COM2\r\n", 19200, 7, 2, 1, 1)},
      {"@OPEN@@@@@, COM2 , 9600 ", settings(" COM2 ", 9600, 7, 2, 1, 1)},
      {"@OPEN@@@@@,COM2,fast,8", settings("COM2", 0, 8, 2, 1, 1)},
      {"@OPEN@@@@@,COM2,-1,+8", settings("COM2", -1, 8, 2, 1, 1)},
      {"@OPEN@@@@@,COM2,99999999999", settings("COM2", max32, 7, 2, 1, 1)},
      // The content ends at its first zero byte.
      {"@OPEN@@@@@,COM2,9600\0,8,0"s, settings("COM2", 9600, 7, 2, 1, 1)},
      {"@OPEN@@@@@,CO\0M2,9600"s, settings("CO", 19200, 7, 2, 1, 1)},
      {"@OPEN@@@@@\0,COM2"s, someSettings()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    const auto result = parseOpenParameters(c.content, someSettings());
    EXPECT_FALSE(result.portNameTooLong);
    EXPECT_EQ(result.parameters, c.expected);
  }
}

TEST(ParseOpenParameters, SixthFieldSwitchesFlowControlByBitZero) {
  const std::pair<const char*, bool> cases[] = {
      {"0", false}, {"1", true}, {"2", false}, {"3", true}, {"-1", true}};
  for (const auto& [field, on] : cases) {
    SCOPED_TRACE(field);
    const auto result = parseOpenParameters(
        "@OPEN@@@@@,COM2,9600,8,0,0,"s + field, OpenParameters{});
    EXPECT_EQ((result.parameters.xonXoffOut & 1) != 0, on);
    EXPECT_EQ((result.parameters.xonXoffIn & 1) != 0, on);
  }
}

TEST(ParseOpenParameters, StartsFromNothingAfterStartUp) {
  const auto bare = parseOpenParameters("@OPEN@@@@@", OpenParameters{});
  EXPECT_EQ(bare.parameters, OpenParameters{});
  EXPECT_TRUE(bare.parameters.portName.empty());
  EXPECT_EQ(
      parseOpenParameters("@OPEN@@@@@,COM2,,8", OpenParameters{}).parameters,
      settings("COM2", 8, 0, 0, 0, 0));
}

TEST(ParseOpenParameters, PortNameBeyondItsFieldIsRefusedWhole) {
  const std::string fits(portNameLimit, 'A');
  const std::string tooLong(portNameLimit + 1, 'A');

  const auto accepted =
      parseOpenParameters("@OPEN@@@@@," + fits + ",9600", someSettings());
  EXPECT_FALSE(accepted.portNameTooLong);
  EXPECT_EQ(accepted.parameters, settings(fits, 9600, 7, 2, 1, 1));

  for (const std::string& content : {
           "@OPEN@@@@@," + tooLong,
           "@OPEN@@@@@," + tooLong + ",9600,8,0,0,0",
           "@OPEN@@@@@," + fits + "\n",  // the line end makes 64
           "@OPEN@@@@@," + std::string(4000, 'B') + ",1",
       }) {
    SCOPED_TRACE(content.size());
    const auto refused = parseOpenParameters(content, someSettings());
    EXPECT_TRUE(refused.portNameTooLong);
    EXPECT_EQ(refused.parameters, someSettings());
  }

  // A zero byte ends the content and with it the name.
  const auto cut = parseOpenParameters(
      "@OPEN@@@@@," + fits + "\0"s + "AAAA,9600", someSettings());
  EXPECT_FALSE(cut.portNameTooLong);
  EXPECT_EQ(cut.parameters, settings(fits, 19200, 7, 2, 1, 1));
}

TEST(ParseOpenParameters, ReadsNothingPastTheView) {
  const std::string memory = "@OPEN@@@@@,COM2,9600,8";
  const auto result = parseOpenParameters(
      std::string_view(memory.data(), memory.size() - 2), someSettings());
  EXPECT_EQ(result.parameters, settings("COM2", 9600, 7, 2, 1, 1));
}

}  // namespace
}  // namespace lorvane
