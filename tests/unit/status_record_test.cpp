// The status record of "LineStatus.dat".
#include "spool/status_record.h"

#include <gtest/gtest.h>

#include <string>

namespace lorvane {
namespace {

using namespace std::string_literals;

TEST(FormatStatusRecord, MapsTheFourModemBits) {
  struct Case {
    unsigned status;
    const char* expected;
  };
  const Case cases[] = {
      {0x00, "0,0,0,0"},        {0x10, "1,0,0,0"},        {0x20, "0,1,0,0"},
      {0x30, "1,1,0,0"},  // CTS and DSR on
      {0x40, "0,0,1,0"},        {0x80, "0,0,0,1"},        {0xF0, "1,1,1,1"},
      {0x0F, "0,0,0,0"},  // the low bits are no lines
      {0xFFFFFF0Fu, "0,0,0,0"}, {0xFFFFFFFFu, "1,1,1,1"}, {0x1A0, "0,1,0,1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    EXPECT_EQ(formatStatusRecord(c.status), c.expected);
  }
}

TEST(FormatStatusRecord, IsSevenBytesAndRoundTripsForEveryStatusWord) {
  for (unsigned status = 0; status < 256; ++status) {
    SCOPED_TRACE(status);
    const std::string record = formatStatusRecord(status);
    ASSERT_EQ(record.size(), 7u);
    const LineStates states = parseStatusRecord(record);
    EXPECT_EQ(states.cts, (status & 0x10) ? 1 : 0);
    EXPECT_EQ(states.dsr, (status & 0x20) ? 1 : 0);
    EXPECT_EQ(states.ring, (status & 0x40) ? 1 : 0);
    EXPECT_EQ(states.rlsd, (status & 0x80) ? 1 : 0);
  }
}

TEST(ParseStatusRecord, SplitsAtCommaRunsAndDefaultsToZero) {
  struct Case {
    std::string text;
    LineStates expected;
  };
  const Case cases[] = {
      {"1,1,0,0", {1, 1, 0, 0}},
      {"0,1,0,1", {0, 1, 0, 1}},
      {"", {0, 0, 0, 0}},
      {"1", {1, 0, 0, 0}},
      {"1,1", {1, 1, 0, 0}},
      {"0,0,1", {0, 0, 1, 0}},
      {",,1,,,1", {1, 1, 0, 0}},  // runs of commas are one separator
      {",,,,", {0, 0, 0, 0}},
      {"1,1,1,1,1,1", {1, 1, 1, 1}},
      {"1,1,0,0\r\n", {1, 1, 0, 0}},
      {" 1, 0 ,1,x", {1, 0, 1, 0}},
      {"12,-3,+4,0", {12, -3, 4, 0}},
      {"a,b,c,d", {0, 0, 0, 0}},
      {"1\0,1,1,1"s, {1, 0, 0, 0}},  // the text ends at a zero byte
      {"\0"s
       "1,1,1,1",
       {0, 0, 0, 0}},
      {"99999999999,1,1,1", {2147483647, 1, 1, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parseStatusRecord(c.text), c.expected);
  }
}

TEST(ParseStatusRecord, ReadsNothingPastTheView) {
  const std::string memory = "1,1,1,1";
  EXPECT_EQ(parseStatusRecord(std::string_view(memory.data(), 3)),
            (LineStates{1, 1, 0, 0}));
}

}  // namespace
}  // namespace lorvane
