// The pieces of the FLAC format that joining separately encoded parts into one stream
// needs: the checksums of frames (CRC-8 of the header, CRC-16 of the frame), renumbering
// a frame, and the metadata blocks written for the whole stream (STREAMINFO, SEEKTABLE,
// APPLICATION).
//
// Pure functions on bytes; thread-safe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Vantor::Audio {

std::uint8_t FLACCrc8(const std::uint8_t* data, std::size_t size, std::uint8_t crc = 0);
std::uint16_t FLACCrc16(const std::uint8_t* data, std::size_t size, std::uint16_t crc = 0);

// Rewrites the frame at `frame` (size bytes, header to CRC-16) into out with its number
// raised by `add`: frames for a fixed block size, sample frames for a variable one. The
// number's coding may grow; both checksums are computed again. False (out untouched)
// when the bytes are not a frame with a valid header, or the number would not fit.
bool RenumberFrame(const std::uint8_t* frame, std::size_t size, std::uint64_t add, std::vector<std::uint8_t>& out);
// The number a frame header carries; false when it is not a valid frame header.
bool FrameNumber(const std::uint8_t* frame, std::size_t size, std::uint64_t& number);

struct StreamInfo {
  unsigned minBlock = 0, maxBlock = 0;
  unsigned minFrame = 0, maxFrame = 0;  // bytes; 0 for unknown
  unsigned sampleRate = 0;
  unsigned channels = 0;
  unsigned bits = 0;
  std::uint64_t totalFrames = 0;
  std::array<std::uint8_t, 16> md5{};
};

struct SeekPoint {
  std::uint64_t frame;   // first sample frame of the target frame; ~0 for a placeholder
  std::uint64_t offset;  // bytes from the first frame's header
  unsigned frames;       // sample frames in the target frame
};

// One metadata block, header included; last marks the block that ends the metadata.
std::string StreamInfoBlock(const StreamInfo& info, bool last);
std::string SeekTableBlock(const std::vector<SeekPoint>& points, bool last);
// An APPLICATION block with the 4-byte id; throws std::length_error when it cannot fit.
std::string ApplicationBlock(const char id[4], const std::string& data, bool last);

}  // namespace Vantor::Audio
