// Maps errno values to the system's texts. The only place that turns an
// error code into words.
#include <cerrno>
#include <cstring>

#include "platform/status.h"

namespace lorvane::platform {

Status Status::fromLastError() { return Status(errno == 0 ? EIO : errno); }

std::string Status::reason() const { return systemReason(code_); }

std::string systemReason(int code) {
  char buffer[256];
  // GNU strerror_r returns the text, which may not be in `buffer`.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return text ? std::string(text) : std::string("Unknown error");
}

namespace errc {
const int alreadyExists = EEXIST;
const int invalidArgument = EINVAL;
const int notATerminal = ENOTTY;
const int nameTooLong = ENAMETOOLONG;
const int wouldBlock = EAGAIN;
}  // namespace errc

}  // namespace lorvane::platform
