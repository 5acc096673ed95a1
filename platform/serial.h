// The serial port as the server sees it. The POSIX backend drives a terminal
// device through termios; tests put a fake port behind the same interface
// for what a pseudo-terminal cannot show (modem lines, driver failures).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/status.h"
#include "platform/wakeup.h"

namespace lorvane::platform {

// The settings of one open. Codes as the command language gives them:
// stopBits 0 one, 1 one and a half, 2 two; parity 0 none, 1 odd, 2 even,
// 3 mark, 4 space; bit 0 of xonXoffOut / xonXoffIn switches XON/XOFF.
struct PortSettings {
  int baudRate = 0;
  int byteSize = 0;
  int stopBits = 0;
  int parity = 0;
  int xonXoffOut = 0;
  int xonXoffIn = 0;
  char errorChar = '?';  // replaces bytes received with a parity error
};

// The modem control commands, with their classic numeric codes.
enum class ControlLine { setRts = 3, clearRts = 4, setDtr = 5, clearDtr = 6 };

// Bits of the modem status word.
inline constexpr unsigned modemCts = 0x10;
inline constexpr unsigned modemDsr = 0x20;
inline constexpr unsigned modemRing = 0x40;
inline constexpr unsigned modemRlsd = 0x80;

enum class WaitResult {
  input,  // bytes are waiting
  timeout,
  woken,   // the wake-up was signalled
  hangup,  // the device went away
  failed,  // the wait itself failed; see the status
};

struct IoResult {
  std::size_t count = 0;
  bool wouldBlock = false;  // nothing could be moved now; not an error
  Status status;            // a real failure (hang-up included)
  bool isOk() const { return status.isOk(); }
};

class SerialPort {
 public:
  // Closing drops what the driver still holds for transmission (bytes the
  // device has already taken stay), so that a close never waits for a
  // device that does not take them.
  virtual ~SerialPort() = default;

  // Applies the settings. A device that is not a terminal, or a value the
  // driver refuses, fails with the system's reason.
  virtual Status configure(const PortSettings& settings) = 0;
  virtual void controlLine(ControlLine line) = 0;
  // The modem status word, or nullopt when the driver cannot report lines
  // (pseudo-terminals cannot).
  virtual std::optional<unsigned> modemStatus() = 0;

  // Waits until input is waiting, `wake` is signalled, or `timeoutMillis`
  // pass (-1: no limit). Never consumes the wake-up.
  virtual WaitResult waitInput(int timeoutMillis, const Wakeup& wake,
                               Status& status) = 0;
  // Reads what is waiting, at most `max` bytes, without blocking. With
  // parity checking on, a byte the driver marks as a parity error arrives as
  // the error character.
  virtual IoResult read(char* into, std::size_t max) = 0;
  // Writes without blocking; `count` is what the driver took.
  virtual IoResult write(std::string_view data) = 0;
  // Waits at most `timeoutMillis` until the port takes output again.
  virtual bool waitWritable(int timeoutMillis) = 0;
  // Bytes the driver still holds for transmission.
  virtual std::size_t outputQueued() = 0;
};

class PortDriver {
 public:
  virtual ~PortDriver() = default;
  // Opens the named device for exclusive use. On failure returns null and
  // sets `status`.
  virtual std::unique_ptr<SerialPort> open(const std::string& name,
                                           Status& status) = 0;
};

// The driver of this platform's serial devices.
PortDriver& systemPortDriver();

}  // namespace lorvane::platform
