// Baud rates that have no B-constant, through the Linux termios2 interface.
// It lives in a file of its own because <asm/termbits.h> and <termios.h>
// cannot be included together.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cerrno>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace lorvane::platform {

int setArbitraryBaud(int fd, unsigned rate) {
  struct termios2 settings {};
  if (ioctl(fd, TCGETS2, &settings) != 0) return errno;
  settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD);
  settings.c_cflag |= BOTHER;
  settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD << IBSHIFT);
  settings.c_cflag |= BOTHER << IBSHIFT;
  settings.c_ispeed = rate;
  settings.c_ospeed = rate;
  if (ioctl(fd, TCSETS2, &settings) != 0) return errno;
  return 0;
}

}  // namespace lorvane::platform
