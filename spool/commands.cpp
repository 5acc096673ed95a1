#include "spool/commands.h"

#include <limits>

namespace lorvane {

std::string_view keywordText(Keyword keyword) {
  for (const auto& entry : keywords) {
    if (entry.keyword == keyword) return entry.text;
  }
  return {};
}

std::optional<Keyword> isControlCommand(std::string_view content) {
  if (content.size() < keywordLength) return std::nullopt;
  const auto head = content.substr(0, keywordLength);
  for (const auto& entry : keywords) {
    if (head == entry.text) return entry.keyword;
  }
  return std::nullopt;
}

namespace {

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

}  // namespace

std::int64_t parseDecimal64(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && isSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulate as a negative number, whose range is the larger one.
  constexpr auto lowest = std::numeric_limits<std::int64_t>::min();
  std::int64_t value = 0;
  bool saturated = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const int digit = text[i] - '0';
    if (saturated) continue;
    if (value < (lowest + digit) / 10) {
      saturated = true;
      continue;
    }
    value = value * 10 - digit;
  }
  if (saturated) {
    return negative ? lowest : std::numeric_limits<std::int64_t>::max();
  }
  if (negative) return value;
  return value == lowest ? std::numeric_limits<std::int64_t>::max() : -value;
}

std::int32_t parseDecimal(std::string_view text) {
  const std::int64_t value = parseDecimal64(text);
  if (value > std::numeric_limits<std::int32_t>::max()) {
    return std::numeric_limits<std::int32_t>::max();
  }
  if (value < std::numeric_limits<std::int32_t>::min()) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(value);
}

OpenParseResult parseOpenParameters(std::string_view content,
                                    const OpenParameters& previous) {
  const auto end = content.find('\0');
  if (end != std::string_view::npos) content = content.substr(0, end);

  OpenParseResult result{previous, false};
  OpenParameters& p = result.parameters;
  int piece = 0;
  std::size_t pos = 0;
  while (pos < content.size() && piece <= 6) {
    while (pos < content.size() && content[pos] == ',') ++pos;
    if (pos >= content.size()) break;
    auto next = content.find(',', pos);
    if (next == std::string_view::npos) next = content.size();
    const auto field = content.substr(pos, next - pos);
    pos = next;
    switch (piece++) {
      case 0:
        break;  // the keyword and whatever stands before the first comma
      case 1:
        if (field.size() > portNameLimit) {
          return OpenParseResult{previous, true};
        }
        p.portName = std::string(field);
        break;
      case 2:
        p.baudRate = parseDecimal(field);
        break;
      case 3:
        p.byteSize = parseDecimal(field);
        break;
      case 4:
        p.stopBits = parseDecimal(field);
        break;
      case 5:
        p.parity = parseDecimal(field);
        break;
      case 6:
        p.xonXoffOut = p.xonXoffIn = parseDecimal(field);
        break;
      default:
        break;
    }
  }
  return result;
}

}  // namespace lorvane
