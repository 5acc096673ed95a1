// The one way platform operations tell success from failure. A failure
// carries the system's error code; its text is the system's own reason
// (strerror on POSIX), formed once here at the platform boundary.
#pragma once

#include <string>

namespace lorvane::platform {

class Status {
 public:
  Status() = default;
  static Status ok() { return Status(); }
  static Status fromCode(int code) { return Status(code); }
  // The calling thread's last system error.
  static Status fromLastError();

  bool isOk() const { return code_ == 0; }
  explicit operator bool() const { return isOk(); }
  int code() const { return code_; }
  // The system's reason, for example "No such file or directory".
  std::string reason() const;

 private:
  explicit Status(int code) : code_(code) {}
  int code_ = 0;
};

// The system's text for an error code.
std::string systemReason(int code);

// Error codes the portable code needs to tell apart.
namespace errc {
extern const int alreadyExists;
extern const int invalidArgument;
extern const int notATerminal;
extern const int nameTooLong;
extern const int wouldBlock;
}  // namespace errc

}  // namespace lorvane::platform
