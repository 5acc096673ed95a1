// Control-character mnemonics such as "<CR>" and hexadecimal escapes such as
// "<0d>", and the encoder that turns them into bytes.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace lorvane {

struct Mnemonic {
  unsigned char value;
  std::string_view mnemonic;
};

// Thirteen rows, ascending by value. Every mnemonic begins with "<", ends
// with ">" and holds no other angle bracket, so at most one row matches at
// any position of a text.
inline constexpr std::array<Mnemonic, 13> mnemonicTable{{
    {0x00, "<NUL>"},
    {0x01, "<SOH>"},
    {0x02, "<STX>"},
    {0x03, "<ETX>"},
    {0x04, "<EOT>"},
    {0x05, "<ENQ>"},
    {0x06, "<ACK>"},
    {0x0A, "<LF>"},
    {0x0D, "<CR>"},
    {0x15, "<NAK>"},
    {0x16, "<SYN>"},
    {0x17, "<ETB>"},
    {0x1B, "<ESC>"},
}};

// Encodes the first `length` bytes of `input` into `output`: a mnemonic
// (matched case-sensitively) becomes its byte, "<" two hexadecimal digits
// ">" becomes the byte they give, every other byte passes unchanged. Returns
// the number of bytes written, never more than `length`; no byte at or past
// `input + length` is read. The two buffers must not overlap.
std::size_t textToBinary(char* output, const char* input, std::size_t length);

std::string textToBinary(std::string_view input);

}  // namespace lorvane
