// Four-character codes (RIFF chunk identifiers) as 32-bit values whose most significant
// byte is the first character: "RIFF" is 0x52494646.
#pragma once

#include <ostream>

namespace Vantor {

// The code of a four-character literal: FourCCValue("RIFF") == 0x52494646.
constexpr unsigned int FourCCValue(const char (&s)[5]) {
  return (static_cast<unsigned int>(static_cast<unsigned char>(s[0])) << 24) |
         (static_cast<unsigned int>(static_cast<unsigned char>(s[1])) << 16) |
         (static_cast<unsigned int>(static_cast<unsigned char>(s[2])) << 8) |
         static_cast<unsigned int>(static_cast<unsigned char>(s[3]));
}

struct FourCC {
  unsigned int value = 0;
  constexpr FourCC() = default;
  constexpr FourCC(unsigned int v) : value(v) {}  // NOLINT: implicit by design
  constexpr operator unsigned int() const { return value; }
};

// Writes 'RIFF' (with the quotes), the characters most significant byte first.
std::ostream& operator<<(std::ostream& os, FourCC code);

}  // namespace Vantor
