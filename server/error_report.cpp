#include "server/error_report.h"

namespace lorvane {

std::string cutAtCharacter(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t end = limit;
  // Step back over continuation bytes (10xxxxxx) to the start of the
  // character that would be cut.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
    --end;
  return std::string(text.substr(0, end));
}

std::string composeErrorText(std::string_view operation,
                             std::string_view reason) {
  std::string text;
  text.reserve(operation.size() + reason.size() + 2);
  text.append(operation);
  text.push_back('(');
  text.append(reason);
  text.push_back(')');
  return cutAtCharacter(text, errorTextLimit);
}

std::string reportLine(std::string_view caption, std::string_view text) {
  std::string line(caption);
  line.push_back(':');
  line.append(text);
  return line;
}

}  // namespace lorvane
