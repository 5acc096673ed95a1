// Turns a byte stream in which the terminal driver marks parity errors
// (0xFF 0x00 X for a bad byte X, 0xFF 0xFF for a genuine 0xFF) into plain
// bytes with every marked byte replaced by an error character. Sequences
// may be split across reads; the decoder keeps its place between calls.
#pragma once

#include <cstddef>

namespace lorvane::platform {

class ParityMarkDecoder {
 public:
  // Decodes `count` bytes of `data` in place and returns the decoded count,
  // never more than `count`.
  std::size_t decode(char* data, std::size_t count, char errorChar) {
    std::size_t out = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const auto byte = static_cast<unsigned char>(data[i]);
      switch (state_) {
        case State::plain:
          if (byte == 0xFF) {
            state_ = State::marked;
          } else {
            data[out++] = data[i];
          }
          break;
        case State::marked:
          if (byte == 0xFF) {
            data[out++] = data[i];
            state_ = State::plain;
          } else if (byte == 0x00) {
            state_ = State::bad;
          } else {
            // Not a sequence the driver produces; keep both bytes rather
            // than lose one.
            data[out++] = static_cast<char>(0xFF);
            data[out++] = data[i];
            state_ = State::plain;
          }
          break;
        case State::bad:
          data[out++] = errorChar;
          state_ = State::plain;
          break;
      }
    }
    return out;
  }

 private:
  enum class State { plain, marked, bad };
  State state_ = State::plain;
};

}  // namespace lorvane::platform
