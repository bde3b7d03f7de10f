#include "audio/FourCC.h"

namespace Vantor {

std::ostream& operator<<(std::ostream& os, FourCC code) {
  os << '\'';
  for (int shift = 24; shift >= 0; shift -= 8) os << static_cast<char>((code.value >> shift) & 0xFF);
  return os << '\'';
}

}  // namespace Vantor
