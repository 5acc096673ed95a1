// Serial ports through termios. This file isolates everything the server
// needs of a terminal device: exclusive opening, raw mode with the requested
// framing, parity and flow control, the modem lines, and non-blocking
// transfer with waits that a wake-up descriptor can cut short.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <utility>

#include "platform/parity_marks.h"
#include "platform/posix/eintr.h"
#include "platform/posix/unique_fd.h"
#include "platform/serial.h"

namespace lorvane::platform {

#ifdef __linux__
int setArbitraryBaud(int fd, unsigned rate);
#endif

namespace {

struct StandardRate {
  int rate;
  speed_t code;
};

constexpr std::array standardRates = {
    StandardRate{50, B50},           StandardRate{75, B75},
    StandardRate{110, B110},         StandardRate{134, B134},
    StandardRate{150, B150},         StandardRate{200, B200},
    StandardRate{300, B300},         StandardRate{600, B600},
    StandardRate{1200, B1200},       StandardRate{1800, B1800},
    StandardRate{2400, B2400},       StandardRate{4800, B4800},
    StandardRate{9600, B9600},       StandardRate{19200, B19200},
    StandardRate{38400, B38400},     StandardRate{57600, B57600},
    StandardRate{115200, B115200},   StandardRate{230400, B230400},
#ifdef B460800
    StandardRate{460800, B460800},   StandardRate{921600, B921600},
    StandardRate{1000000, B1000000}, StandardRate{2000000, B2000000},
    StandardRate{3000000, B3000000}, StandardRate{4000000, B4000000},
#endif
};

class PosixSerialPort final : public SerialPort {
 public:
  explicit PosixSerialPort(UniqueFd fd) : fd_(std::move(fd)) {}

  ~PosixSerialPort() override {
    // Closing a terminal waits until its output has drained; a device that
    // never takes it would hold the server for good. Only what is still
    // queued is dropped: on a pseudo-terminal a flush would also discard
    // what the far end has not read yet, which a close must keep.
    if (outputQueued() > 0) ::tcflush(fd_.get(), TCOFLUSH);
  }

  Status configure(const PortSettings& settings) override {
    if (!::isatty(fd_.get())) return Status::fromCode(ENOTTY);
    termios tio{};
    if (::tcgetattr(fd_.get(), &tio) != 0) return Status::fromLastError();

    const int byteSize = settings.byteSize & 0xFF;
    const int stopBits = settings.stopBits & 0xFF;
    const int parity = settings.parity & 0xFF;
    tcflag_t size = 0;
    switch (byteSize) {
      case 5:
        size = CS5;
        break;
      case 6:
        size = CS6;
        break;
      case 7:
        size = CS7;
        break;
      case 8:
        size = CS8;
        break;
      default:
        return Status::fromCode(EINVAL);
    }
    tcflag_t stop = 0;
    switch (stopBits) {
      case 0:
        break;
      // A UART sends one and a half stop bits for "two" with 5 data bits;
      // with other sizes the driver cannot express it.
      case 1:
        if (byteSize != 5) return Status::fromCode(EINVAL);
        stop = CSTOPB;
        break;
      case 2:
        stop = CSTOPB;
        break;
      default:
        return Status::fromCode(EINVAL);
    }
    tcflag_t parityFlags = 0;
    switch (parity) {
      case 0:
        break;
      case 1:
        parityFlags = PARENB | PARODD;
        break;
      case 2:
        parityFlags = PARENB;
        break;
#ifdef CMSPAR
      case 3:
        parityFlags = PARENB | PARODD | CMSPAR;
        break;
      case 4:
        parityFlags = PARENB | CMSPAR;
        break;
#endif
      default:
        return Status::fromCode(EINVAL);
    }
    if (settings.baudRate <= 0) return Status::fromCode(EINVAL);

    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP |
                                          INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                          IXANY | INPCK | IGNPAR);
#ifdef IUCLC
    tio.c_iflag &= ~static_cast<tcflag_t>(IUCLC);
#endif
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &=
        ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tcflag_t cleared = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;
#ifdef CMSPAR
    cleared |= CMSPAR;
#endif
    tio.c_cflag &= ~cleared;
    tio.c_cflag |= size | stop | parityFlags | CLOCAL | CREAD;
    if (parity != 0) tio.c_iflag |= INPCK | PARMRK;
    if (settings.xonXoffOut & 1) tio.c_iflag |= IXON;
    if (settings.xonXoffIn & 1) tio.c_iflag |= IXOFF;
    // With VMIN 1 a non-blocking read of an empty queue says EAGAIN, so that
    // a read of zero bytes can only mean a hang-up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;

    bool standard = false;
    for (const auto& entry : standardRates) {
      if (entry.rate == settings.baudRate) {
        ::cfsetispeed(&tio, entry.code);
        ::cfsetospeed(&tio, entry.code);
        standard = true;
      }
    }
    if (!standard) {
      ::cfsetispeed(&tio, B38400);
      ::cfsetospeed(&tio, B38400);
    }
    if (::tcsetattr(fd_.get(), TCSANOW, &tio) != 0)
      return Status::fromLastError();
    if (!standard) {
#ifdef __linux__
      if (int rc = setArbitraryBaud(fd_.get(),
                                    static_cast<unsigned>(settings.baudRate));
          rc != 0) {
        return Status::fromCode(rc);
      }
#else
      return Status::fromCode(EINVAL);
#endif
    }
    markParity_ = parity != 0;
    errorChar_ = settings.errorChar;
    decoder_ = ParityMarkDecoder();
    return Status::ok();
  }

  void controlLine(ControlLine line) override {
    int bits = 0;
    unsigned long request = 0;
    switch (line) {
      case ControlLine::setRts:
        bits = TIOCM_RTS;
        request = TIOCMBIS;
        break;
      case ControlLine::clearRts:
        bits = TIOCM_RTS;
        request = TIOCMBIC;
        break;
      case ControlLine::setDtr:
        bits = TIOCM_DTR;
        request = TIOCMBIS;
        break;
      case ControlLine::clearDtr:
        bits = TIOCM_DTR;
        request = TIOCMBIC;
        break;
    }
    ::ioctl(fd_.get(), request, &bits);
  }

  std::optional<unsigned> modemStatus() override {
    int bits = 0;
    if (::ioctl(fd_.get(), TIOCMGET, &bits) != 0) return std::nullopt;
    unsigned word = 0;
    if (bits & TIOCM_CTS) word |= modemCts;
    if (bits & TIOCM_DSR) word |= modemDsr;
    if (bits & TIOCM_RNG) word |= modemRing;
    if (bits & TIOCM_CAR) word |= modemRlsd;
    return word;
  }

  WaitResult waitInput(int timeoutMillis, const Wakeup& wake,
                       Status& status) override {
    pollfd fds[2] = {{fd_.get(), POLLIN, 0}, {wake.handle(), POLLIN, 0}};
    const int n =
        retryOnInterrupt([&] { return ::poll(fds, 2, timeoutMillis); });
    if (n < 0) {
      status = Status::fromLastError();
      return WaitResult::failed;
    }
    if (fds[1].revents & POLLIN) return WaitResult::woken;
    if (n == 0) return WaitResult::timeout;
    if (fds[0].revents & POLLIN) return WaitResult::input;
    if (fds[0].revents & POLLNVAL) {
      status = Status::fromCode(EBADF);
      return WaitResult::failed;
    }
    status = Status::fromCode(EIO);
    return WaitResult::hangup;
  }

  IoResult read(char* into, std::size_t max) override {
    IoResult result;
    const ssize_t n =
        retryOnInterrupt([&] { return ::read(fd_.get(), into, max); });
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        result.wouldBlock = true;
      } else {
        result.status = Status::fromLastError();
      }
      return result;
    }
    if (n == 0) {
      // A terminal that reads end-of-file has been hung up.
      result.status = Status::fromCode(EIO);
      return result;
    }
    result.count = static_cast<std::size_t>(n);
    if (markParity_)
      result.count = decoder_.decode(into, result.count, errorChar_);
    return result;
  }

  IoResult write(std::string_view data) override {
    IoResult result;
    const ssize_t n = retryOnInterrupt(
        [&] { return ::write(fd_.get(), data.data(), data.size()); });
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        result.wouldBlock = true;
      } else {
        result.status = Status::fromLastError();
      }
      return result;
    }
    result.count = static_cast<std::size_t>(n);
    return result;
  }

  bool waitWritable(int timeoutMillis) override {
    pollfd entry{fd_.get(), POLLOUT, 0};
    return retryOnInterrupt([&] { return ::poll(&entry, 1, timeoutMillis); }) >
           0;
  }

  std::size_t outputQueued() override {
    int queued = 0;
    if (::ioctl(fd_.get(), TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
    return static_cast<std::size_t>(queued);
  }


 private:
  UniqueFd fd_;
  bool markParity_ = false;
  char errorChar_ = '?';
  ParityMarkDecoder decoder_;
};

class PosixPortDriver final : public PortDriver {
 public:
  std::unique_ptr<SerialPort> open(const std::string& name,
                                   Status& status) override {
    auto openNamed = [](const std::string& path) {
      return UniqueFd(retryOnInterrupt([&] {
        return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      }));
    };
    UniqueFd fd = openNamed(name);
    if (!fd && !name.empty() && name.find('/') == std::string::npos) {
      fd = openNamed("/dev/" + name);
    }
    if (!fd) {
      status = Status::fromLastError();
      return nullptr;
    }
    // Exclusive use, as a serial port has on other systems: the lock keeps
    // out cooperating programs, TIOCEXCL keeps out further opens.
    if (retryOnInterrupt(
            [&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) {
      status = Status::fromLastError();
      return nullptr;
    }
    ::ioctl(fd.get(), TIOCEXCL);
    status = Status::ok();
    return std::make_unique<PosixSerialPort>(std::move(fd));
  }
};

}  // namespace

PortDriver& systemPortDriver() {
  static PosixPortDriver driver;
  return driver;
}

}  // namespace lorvane::platform
