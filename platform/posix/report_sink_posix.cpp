// Report lines on POSIX. Standard output may lead to a terminal someone has
// stopped or a pipe nobody reads; the system log daemon may be absent or
// stuck. Neither may hold up the server, so standard output is only written
// when poll says it can take the line, and the system log gets one
// non-blocking datagram.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <string>

#include "platform/posix/eintr.h"
#include "platform/report_sink.h"

namespace lorvane::platform {

namespace {

constexpr std::size_t pendingLimit = 256;
std::deque<std::string> pending;

bool standardOutputReady() {
  pollfd entry{1, POLLOUT, 0};
  return retryOnInterrupt([&] { return ::poll(&entry, 1, 0); }) > 0 &&
         (entry.revents & POLLOUT);
}

bool writeLine(const std::string& line) {
  if (!standardOutputReady()) return false;
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = retryOnInterrupt(
        [&] { return ::write(1, line.data() + done, line.size() - done); });
    if (n <= 0) return true;  // a closed or broken output: nothing to keep
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void sendToSystemLog(std::string_view text) {
  const int fd =
      ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, "/dev/log", sizeof address.sun_path - 1);
  // Priority 11: facility user (8), severity error (3).
  std::string message = "<11>Lorvane[" + std::to_string(::getpid()) + "]: ";
  message.append(text);
  ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr*>(&address), sizeof address);
  ::close(fd);
}

}  // namespace

bool reportLinesPending() { return !pending.empty(); }

void flushReportLines() {
  while (!pending.empty() && writeLine(pending.front())) pending.pop_front();
}

namespace {

void queueLine(std::string text) {
  flushReportLines();
  if (!pending.empty() || !writeLine(text)) {
    if (pending.size() == pendingLimit) pending.pop_front();
    pending.push_back(std::move(text));
  }
}

std::string asLine(std::string_view line) {
  std::string text(line);
  if (text.empty() || text.back() != '\n') text.push_back('\n');
  return text;
}

}  // namespace

void emitReportLine(std::string_view line) {
  std::string text = asLine(line);
  sendToSystemLog(std::string_view(text).substr(0, text.size() - 1));
  queueLine(std::move(text));
}

void emitInformationLine(std::string_view line) { queueLine(asLine(line)); }

}  // namespace lorvane::platform
