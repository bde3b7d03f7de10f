// MD5 (RFC 1321), for the signature of the audio that FLAC's STREAMINFO carries.
//
// One object is used by one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace Vantor::Audio {

class MD5 {
 public:
  MD5();
  void Update(const void* data, std::size_t size);
  // The digest of everything given; the object is spent afterwards.
  std::array<std::uint8_t, 16> Finish();

 private:
  void Block(const std::uint8_t* p);

  std::uint32_t state_[4];
  std::uint64_t length_ = 0;  // bytes given
  std::uint8_t buffer_[64];
};

}  // namespace Vantor::Audio
