// The command language of spool files: the ten-byte keywords, the
// parameters of an open command, and the decimal numbers inside them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lorvane {

enum class Keyword {
  nop,
  open,
  close,
  logStart,
  logEnd,
  setRts,
  clearRts,
  setDtr,
  clearDtr,
};

inline constexpr std::size_t keywordLength = 10;

struct KeywordText {
  Keyword keyword;
  std::string_view text;
};

// In the order in which the server compares them.
inline constexpr std::array<KeywordText, 9> keywords{{
    {Keyword::nop, "@NOP@@@@@@"},
    {Keyword::open, "@OPEN@@@@@"},
    {Keyword::close, "@CLOSE@@@@"},
    {Keyword::logStart, "@LOG_ST@@@"},
    {Keyword::logEnd, "@LOG_ED@@@"},
    {Keyword::setRts, "@SETRTS@@@"},
    {Keyword::clearRts, "@CLRRTS@@@"},
    {Keyword::setDtr, "@SETDTR@@@"},
    {Keyword::clearDtr, "@CLRDTR@@@"},
}};

std::string_view keywordText(Keyword keyword);

// The keyword that the first ten bytes of `content` equal, byte for byte;
// content shorter than ten bytes is never a command.
std::optional<Keyword> isControlCommand(std::string_view content);

// A decimal integer as the command language reads it: leading white space
// skipped, an optional sign, the digits up to the first other byte; no
// digits give 0. Values beyond the range saturate at its ends.
std::int32_t parseDecimal(std::string_view text);
std::int64_t parseDecimal64(std::string_view text);

inline constexpr std::size_t portNameLimit = 63;

// The port and its settings as successive open commands leave them.
struct OpenParameters {
  std::string portName;
  std::int32_t baudRate = 0;
  std::int32_t byteSize = 0;
  std::int32_t stopBits = 0;
  std::int32_t parity = 0;
  std::int32_t xonXoffOut = 0;
  std::int32_t xonXoffIn = 0;
  bool operator==(const OpenParameters&) const = default;
};

struct OpenParseResult {
  OpenParameters parameters;     // unchanged from the input when refused
  bool portNameTooLong = false;  // refused: the name would not fit
};

// Cuts `content` (up to its first zero byte) at runs of commas, drops the
// first piece and fills port name, baud rate, data bits, stop bits, parity
// and XON/XOFF from the next six; missing fields keep their `previous`
// values. Bytes after a number (a line end, say) are ignored; in the port
// name they stay part of it.
OpenParseResult parseOpenParameters(std::string_view content,
                                    const OpenParameters& previous);

}  // namespace lorvane
