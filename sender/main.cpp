// portsend: hands data and control commands to the port server of its
// install directory as spool files.
#include <cstddef>
#include <span>

#include "sender/sender.h"

int main(int argc, char** argv) {
  return lorvane::sender::runSender(
      std::span<char* const>(argv, static_cast<std::size_t>(argc)));
}
