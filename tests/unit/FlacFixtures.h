// FLAC fixtures for the unit tests, made at test time: files encoded by libFLAC from
// integer samples or by the flac tool from WAV files, metadata edited with libFLAC,
// WAV files restored by the flac tool, and a byte comparison that names the first
// difference instead of printing whole images.
#pragma once

#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "TestUtil.h"

namespace TestUtil {

// Interleaved samples of the given depth: a sine with noise (predicted and verbatim
// subframes) and both extremes of the depth at a few places. Deterministic for a seed.
inline std::vector<int32_t> TestSignal(int channels, int bits, long frames, uint64_t seed) {
  const int64_t top = 1LL << (bits - 1);
  const std::string noise = RandomBytes(static_cast<std::size_t>(frames * channels), seed);
  std::vector<int32_t> s(noise.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    const double wave = 0.6 * static_cast<double>(top) * std::sin(0.01 * static_cast<double>(i % channels + 1) *
                                                                  static_cast<double>(i / channels));
    s[i] = static_cast<int32_t>(static_cast<int64_t>(wave) + noise[i] * top / 2048);
  }
  for (std::size_t i : {std::size_t{0}, std::size_t{1}, s.size() / 2, s.size() - 1})
    s[i] = static_cast<int32_t>(i % 2 ? top - 1 : -top);
  return s;
}

// Encodes samples into a FLAC file at 44100 Hz with libFLAC, 4096 frames per block.
inline void EncodeFLAC(const std::string& path, const std::vector<int32_t>& samples, int channels, int bits) {
  std::unique_ptr<FLAC__StreamEncoder, decltype(&FLAC__stream_encoder_delete)> e(FLAC__stream_encoder_new(),
                                                                                 FLAC__stream_encoder_delete);
  FLAC__stream_encoder_set_streamable_subset(e.get(), false);  // 32 bits are outside the subset
  FLAC__stream_encoder_set_channels(e.get(), static_cast<unsigned>(channels));
  FLAC__stream_encoder_set_bits_per_sample(e.get(), static_cast<unsigned>(bits));
  FLAC__stream_encoder_set_sample_rate(e.get(), 44100);
  FLAC__stream_encoder_set_blocksize(e.get(), 4096);
  ASSERT_EQ(FLAC__stream_encoder_init_file(e.get(), path.c_str(), nullptr, nullptr),
            FLAC__STREAM_ENCODER_INIT_STATUS_OK);
  ASSERT_TRUE(FLAC__stream_encoder_process_interleaved(e.get(), samples.data(),
                                                       static_cast<unsigned>(samples.size()) / channels));
  ASSERT_TRUE(FLAC__stream_encoder_finish(e.get()));
}

// With libFLAC: sets STREAMINFO's total samples (when total >= 0) and inserts
// APPLICATION blocks (id, body) behind STREAMINFO, in order.
inline void EditMetadata(const std::string& path, long long total,
                         const std::vector<std::pair<std::string, std::string>>& blocks = {}) {
  std::unique_ptr<FLAC__Metadata_Chain, decltype(&FLAC__metadata_chain_delete)> chain(FLAC__metadata_chain_new(),
                                                                                       FLAC__metadata_chain_delete);
  std::unique_ptr<FLAC__Metadata_Iterator, decltype(&FLAC__metadata_iterator_delete)> it(
      FLAC__metadata_iterator_new(), FLAC__metadata_iterator_delete);
  ASSERT_TRUE(FLAC__metadata_chain_read(chain.get(), path.c_str()));
  FLAC__metadata_iterator_init(it.get(), chain.get());
  if (total >= 0) FLAC__metadata_iterator_get_block(it.get())->data.stream_info.total_samples = total;
  for (const auto& [id, body] : blocks) {
    FLAC__StreamMetadata* block = FLAC__metadata_object_new(FLAC__METADATA_TYPE_APPLICATION);
    std::memcpy(block->data.application.id, id.data(), 4);
    std::vector<FLAC__byte> bytes(body.begin(), body.end());
    ASSERT_TRUE(
        FLAC__metadata_object_application_set_data(block, bytes.data(), static_cast<unsigned>(bytes.size()), true));
    ASSERT_TRUE(FLAC__metadata_iterator_insert_block_after(it.get(), block));
  }
  ASSERT_TRUE(FLAC__metadata_chain_write(chain.get(), true, false));
}

// Stored chunks as "riff" APPLICATION blocks, for EditMetadata.
inline std::vector<std::pair<std::string, std::string>> RiffBlocks(const std::vector<std::string>& elements) {
  std::vector<std::pair<std::string, std::string>> blocks;
  for (const std::string& e : elements) blocks.emplace_back("riff", e);
  return blocks;
}

// Encodes wav into the FLAC file at flac with the flac tool, keeping its other chunks
// when keep; returns flac.
inline std::string FlacEncode(const std::string& wav, const std::string& flac, bool keep = true) {
  const std::string src = flac.substr(0, flac.rfind('/') + 1) + "oracle-in.wav";
  WriteFile(src, wav);
  EXPECT_EQ(Run("flac -s -f --channel-map=none" + std::string(keep ? " --keep-foreign-metadata" : "") + " -o " +
                Quote(flac) + " " + Quote(src) + " 2>/dev/null"), 0);
  unlink(src.c_str());
  return flac;
}

// The WAV file the flac tool restores from flac: its other chunks (if kept) in place, its
// fmt chunk a plain one.
inline std::string FlacDecode(const std::string& flac) {
  const std::string out = flac.substr(0, flac.rfind('/') + 1) + "oracle-out.wav";
  EXPECT_EQ(Run("flac -s -f -d --keep-foreign-metadata-if-present --force-legacy-wave-format -o " + Quote(out) + " " +
                Quote(flac) + " 2>/dev/null"), 0);
  std::string bytes = FileExists(out) ? ReadFile(out) : "";
  unlink(out.c_str());
  return bytes;
}

inline testing::AssertionResult SameBytes(const std::string& got, const std::string& want) {
  if (got == want) return testing::AssertionSuccess();
  size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  return testing::AssertionFailure() << "sizes " << got.size() << " and " << want.size()
                                     << ", first difference at byte " << i;
}

}  // namespace TestUtil
