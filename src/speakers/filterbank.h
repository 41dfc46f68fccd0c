// Log-mel filterbank front end of the speaker-embedding model: 16 kHz mono audio in,
// 80 mean-normalised natural-log mel energies per 25 ms frame (10 ms shift) out.
//
// The result is reproducible to the last bit: every single-precision operation runs in a
// fixed order (see filterbank.cpp), whichever instruction set the machine offers.
#pragma once

#include <cstdint>
#include <expected>
#include <span>

#include "speakers/feature_matrix.h"
#include "speakers/model_contract.h"

namespace quillfen::speakers {

inline constexpr std::size_t kFilterbankFrameLength = 400;  // samples (25 ms)
inline constexpr std::size_t kFilterbankFrameShift = 160;   // samples (10 ms)

// Number of frames the filterbank makes of sample_count samples: 0 below one frame length,
// else 1 + (sample_count - 400) / 160; trailing samples that do not fill a frame are ignored.
[[nodiscard]] constexpr std::size_t filterbank_frame_count(std::size_t sample_count) {
  if (sample_count < kFilterbankFrameLength) return 0;
  return (sample_count - kFilterbankFrameLength) / kFilterbankFrameShift + 1;
}

// Features of samples (mono, nominally in [-1, 1]) as a frames x 80 row-major matrix.
// Fails with UnsupportedSampleRate unless sample_rate_hz is 16000 (checked first), then
// with NonFiniteAudioSample at the first infinite or NaN sample of the whole input, even
// one that no frame covers. Fewer than 400 samples give a 0 x 80 matrix. Pure: no state
// is kept between calls.
[[nodiscard]] std::expected<FeatureMatrix, SpeakerFeatureError> compute_wespeaker_filterbank_cmn(
    std::span<const float> samples, std::uint32_t sample_rate_hz);

}  // namespace quillfen::speakers
