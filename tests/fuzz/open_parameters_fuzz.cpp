// Fuzzes the parameters of an open command and the decimal numbers inside
// them: no crash, a port name that fits its field, a refusal that leaves
// the previous settings, and numbers read as strtoll reads them, saturated.
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

#include "spool/commands.h"

namespace {

using lorvane::OpenParameters;

// A field either came from the content, and is then the same whatever the
// previous settings were, or kept its previous value.
template <typename T>
bool consistent(const T& withPrevious, const T& previous, const T& fromNone,
                const T& none) {
  return withPrevious == fromNone ||
         (withPrevious == previous && fromNone == none);
}

void checkDecimal(std::string_view text) {
  // strtoll reads a terminated copy by the same rules and saturates on
  // overflow; the view ends at the first zero byte for it.
  const std::string terminated(text);
  errno = 0;
  const long long expected = std::strtoll(terminated.c_str(), nullptr, 10);
  if (lorvane::parseDecimal64(text.substr(0, text.find('\0'))) != expected) {
    std::abort();
  }
  const std::int32_t narrow = lorvane::parseDecimal(text);
  const long long clamped =
      expected > std::numeric_limits<std::int32_t>::max()
          ? std::numeric_limits<std::int32_t>::max()
      : expected < std::numeric_limits<std::int32_t>::min()
          ? std::numeric_limits<std::int32_t>::min()
          : expected;
  if (narrow != clamped) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  FuzzedDataProvider provider(data, size);
  OpenParameters previous;
  // As an earlier open command left it: no zero byte, no comma.
  previous.portName =
      provider.ConsumeRandomLengthString(lorvane::portNameLimit);
  std::erase_if(previous.portName,
                [](char c) { return c == '\0' || c == ','; });
  previous.baudRate = provider.ConsumeIntegral<std::int32_t>();
  previous.byteSize = provider.ConsumeIntegral<std::int32_t>();
  previous.stopBits = provider.ConsumeIntegral<std::int32_t>();
  previous.parity = provider.ConsumeIntegral<std::int32_t>();
  previous.xonXoffOut = previous.xonXoffIn =
      provider.ConsumeIntegral<std::int32_t>();
  std::string content;
  if (provider.ConsumeBool()) content = "@OPEN@@@@@";
  content += provider.ConsumeRemainingBytesAsString();

  const auto result = lorvane::parseOpenParameters(content, previous);
  const OpenParameters& p = result.parameters;
  if (p.portName.size() > lorvane::portNameLimit) std::abort();
  if (p.portName.find('\0') != std::string::npos) std::abort();
  if (p.portName.find(',') != std::string::npos) std::abort();
  if (p.xonXoffOut != p.xonXoffIn) std::abort();
  if (result.portNameTooLong && !(p == previous)) std::abort();

  // The content ends at its first zero byte: what follows never counts.
  const std::string_view head =
      std::string_view(content).substr(0, content.find('\0'));
  if (head.find(',') == std::string_view::npos &&
      (result.portNameTooLong || !(p == previous))) {
    std::abort();
  }
  const auto cut = lorvane::parseOpenParameters(head, previous);
  if (cut.portNameTooLong != result.portNameTooLong || !(cut.parameters == p)) {
    std::abort();
  }

  // The same content from the settings of a fresh start.
  const OpenParameters none;
  const auto fresh = lorvane::parseOpenParameters(content, none);
  if (fresh.portNameTooLong != result.portNameTooLong) std::abort();
  if (!result.portNameTooLong) {
    const OpenParameters& q = fresh.parameters;
    if (!consistent(p.portName, previous.portName, q.portName, none.portName) ||
        !consistent(p.baudRate, previous.baudRate, q.baudRate, none.baudRate) ||
        !consistent(p.byteSize, previous.byteSize, q.byteSize, none.byteSize) ||
        !consistent(p.stopBits, previous.stopBits, q.stopBits, none.stopBits) ||
        !consistent(p.parity, previous.parity, q.parity, none.parity) ||
        !consistent(p.xonXoffOut, previous.xonXoffOut, q.xonXoffOut,
                    none.xonXoffOut)) {
      std::abort();
    }
  }

  checkDecimal(content);
  if (content.size() > 10) checkDecimal(std::string_view(content).substr(10));
  return 0;
}
