// The mnemonic table and the text-to-binary encoder.
#include "spool/mnemonics.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <string_view>

namespace lorvane {
namespace {

using namespace std::string_literals;

// Encodes `input` from a heap buffer of exactly its size, so that the
// address sanitizer catches any read past the input.
std::string encode(std::string_view input) {
  const auto in = std::make_unique<char[]>(input.size());
  if (!input.empty()) std::memcpy(in.get(), input.data(), input.size());
  const auto out = std::make_unique<char[]>(input.size());
  const std::size_t n = textToBinary(out.get(), in.get(), input.size());
  EXPECT_LE(n, input.size());
  const std::string result(out.get(), std::min(n, input.size()));
  EXPECT_EQ(textToBinary(input), result) << "the string form differs";
  return result;
}

TEST(MnemonicTable, HoldsTheThirteenRowsInOrder) {
  const Mnemonic expected[] = {
      {0x00, "<NUL>"}, {0x01, "<SOH>"}, {0x02, "<STX>"}, {0x03, "<ETX>"},
      {0x04, "<EOT>"}, {0x05, "<ENQ>"}, {0x06, "<ACK>"}, {0x0A, "<LF>"},
      {0x0D, "<CR>"},  {0x15, "<NAK>"}, {0x16, "<SYN>"}, {0x17, "<ETB>"},
      {0x1B, "<ESC>"},
  };
  ASSERT_EQ(mnemonicTable.size(), std::size(expected));
  for (std::size_t i = 0; i < mnemonicTable.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(mnemonicTable[i].value, expected[i].value);
    EXPECT_EQ(mnemonicTable[i].mnemonic, expected[i].mnemonic);
  }
}

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
         (c >= 'A' && c <= 'F');
}

TEST(MnemonicTable, KeepsItsInvariants) {
  std::set<unsigned char> values;
  std::set<std::string_view> texts;
  for (std::size_t i = 0; i < mnemonicTable.size(); ++i) {
    const auto& row = mnemonicTable[i];
    const std::string_view text = row.mnemonic;
    SCOPED_TRACE(std::string(text));
    if (i > 0) {
      EXPECT_LT(mnemonicTable[i - 1].value, row.value);
    }
    values.insert(row.value);
    texts.insert(text);
    ASSERT_TRUE(text.size() == 4 || text.size() == 5);
    EXPECT_EQ(text.front(), '<');
    EXPECT_EQ(text.back(), '>');
    const std::string_view name = text.substr(1, text.size() - 2);
    EXPECT_EQ(name.find_first_of("<>"), std::string_view::npos);
    EXPECT_EQ(name.find('\0'), std::string_view::npos);
    for (const char c : name) {
      EXPECT_TRUE(c >= 'A' && c <= 'Z') << c;
    }
    // No mnemonic is also a hexadecimal escape.
    if (name.size() == 2) {
      EXPECT_FALSE(isHexDigit(name[0]) && isHexDigit(name[1]));
    }
  }
  EXPECT_EQ(values.size(), mnemonicTable.size());
  EXPECT_EQ(texts.size(), mnemonicTable.size());
}

TEST(TextToBinary, EveryMnemonicGivesItsByte) {
  for (const auto& row : mnemonicTable) {
    const std::string text(row.mnemonic);
    SCOPED_TRACE(text);
    const std::string one(1, static_cast<char>(row.value));
    EXPECT_EQ(encode(text), one);
    EXPECT_EQ(encode("a" + text + "b"), "a" + one + "b");
    EXPECT_EQ(encode(text + text), one + one);
    // Cut short by one byte, it passes unchanged.
    const std::string cut = text.substr(0, text.size() - 1);
    EXPECT_EQ(encode(cut), cut);
  }
}

TEST(TextToBinary, EveryHexadecimalEscapeGivesItsByte) {
  const char* digits = "0123456789abcdefABCDEF";
  for (const char* high = digits; *high; ++high) {
    for (const char* low = digits; *low; ++low) {
      const std::string text = "<"s + *high + *low + ">";
      SCOPED_TRACE(text);
      const int value = std::stoi(std::string{*high, *low}, nullptr, 16);
      EXPECT_EQ(encode(text), std::string(1, static_cast<char>(value)));
    }
  }
}

TEST(TextToBinary, TurnsOnlyWhatMatchesExactly) {
  struct Case {
    std::string input;
    std::string expected;
  };
  const Case cases[] = {
      {"<CR>", "\r"},
      {"<LF>", "\n"},
      {"<NUL>", "\0"s},
      {"<CR><LF>", "\r\n"},
      {"AT<CR>", "AT\r"},
      {"<0d>", "\r"},
      {"<0D>", "\r"},
      {"<Ff>", "\xff"},
      {"<fF>", "\xff"},
      {"<00>", "\0"s},
      {"<09>", "\t"},
      {"<7f>", "\x7f"},
      {"<7F>", "\x7f"},
      // Mnemonics are matched case-sensitively.
      {"<cr>", "<cr>"},
      {"<esc>", "<esc>"},
      {"<Cr>", "<Cr>"},
      // Two hexadecimal letters are an escape, three letters a mnemonic.
      {"<AC>", "\xac"},
      {"<ACK>", "\x06"},
      {"<ac>", "\xac"},
      // An escape has exactly two digits.
      {"<7>", "<7>"},
      {"<123>", "<123>"},
      {"<>", "<>"},
      {"<0g>", "<0g>"},
      {"< 1>", "< 1>"},
      {"<+1>", "<+1>"},
      {"<-1>", "<-1>"},
      {"<0x>", "<0x>"},
      // A produced byte never takes part in a later match.
      {"<3C>CR>", "<CR>"},
      {"<3c>0d>", "<0d>"},
      {"<<CR>", "<\r"},
      {"<<0d>", "<\r"},
      {"<<<>>>", "<<<>>>"},
      {"<<NUL>>", "<\0>"s},
      {"<C<CR>", "<C\r"},
      {"<CR>>", "\r>"},
      {"<TAB>", "<TAB>"},
      {"<BEL>", "<BEL>"},
      // Unterminated at the end of the input.
      {"<", "<"},
      {"abc<", "abc<"},
      {"<C", "<C"},
      {"abc<CR", "abc<CR"},
      {"abc<0d", "abc<0d"},
      {"<NUL", "<NUL"},
      {"<ESC", "<ESC"},
      // Zero bytes and bytes above 0x7F pass unchanged.
      {"a\0b"s, "a\0b"s},
      {"\x80\xff\xfe<CR>\x80"s, "\x80\xff\xfe\r\x80"s},
      {"\0<\0CR>"s, "\0<\0CR>"s},
      {"x<ESC>[0m", "x\x1b[0m"},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(encode(c.input), c.expected);
  }
}

TEST(TextToBinary, TextWithoutAngleBracketIsIdentical) {
  std::string text;
  for (int i = 0; i < 4096; ++i) {
    const char c = static_cast<char>((i * 131 + i / 256) & 0xff);
    if (c != '<') text.push_back(c);
  }
  const std::string out = encode(text);
  EXPECT_EQ(out.size(), text.size());
  EXPECT_EQ(out, text);
}

TEST(TextToBinary, ReadsNothingPastTheLength) {
  // Each buffer would encode differently if the bytes after `length`
  // counted.
  struct Case {
    std::string memory;
    std::size_t length;
    std::string expected;
  };
  const Case cases[] = {
      {"<CR>", 3, "<CR"},       {"<CR>", 2, "<C"}, {"<NUL>", 4, "<NUL"},
      {"<0d>", 3, "<0d"},       {"<0d>", 1, "<"},  {"ab<ESC>", 6, "ab<ESC"},
      {"<CR><LF>", 7, "\r<LF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.memory + " / " + std::to_string(c.length));
    ASSERT_LT(c.length, c.memory.size());
    std::string out(c.memory.size(), '#');
    const std::size_t n = textToBinary(out.data(), c.memory.data(), c.length);
    EXPECT_EQ(out.substr(0, n), c.expected);
    // Nothing is written past what was produced.
    EXPECT_EQ(out.substr(n), std::string(out.size() - n, '#'));
  }
}

TEST(TextToBinary, ZeroLengthWritesNothing) {
  char out[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(textToBinary(out, "<CR>", 0), 0u);
  EXPECT_EQ(std::string(out, 4), "####");
}

}  // namespace
}  // namespace lorvane
