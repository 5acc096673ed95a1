// portrecv: see receiver.h.
#include <string_view>
#include <vector>

#include "platform/process.h"
#include "receiver/receiver.h"
#include "spool/layout.h"

int main(int argc, char** argv) {
  std::vector<std::string_view> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  const auto output =
      lorvane::receiver::runReceiver(lorvane::installDirectory(), arguments);
  if (!output.out.empty()) lorvane::platform::writeStandardOutput(output.out);
  if (!output.err.empty()) lorvane::platform::writeStandardError(output.err);
  return output.exitCode;
}
