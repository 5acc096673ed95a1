// portrecv: see receiver.h.
#include <string_view>
#include <vector>

#include "platform/process.h"
#include "receiver/receiver.h"
#include "spool/layout.h"

int main(int argc, char** argv) {
  // A reader that goes away early (a pipe into head, say) makes the write
  // fail instead of ending the program: the exit code stays 0.
  lorvane::platform::ignoreBrokenPipe();
  std::vector<std::string_view> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  const auto output =
      lorvane::receiver::runReceiver(lorvane::installDirectory(), arguments);
  if (!output.out.empty()) lorvane::platform::writeStandardOutput(output.out);
  if (!output.err.empty()) lorvane::platform::writeStandardError(output.err);
  return output.exitCode;
}
