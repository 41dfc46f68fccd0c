// Log-mel filterbank front end of the speaker-embedding model: 16 kHz mono audio in,
// 80 mean-normalised natural-log mel energies per 25 ms frame (10 ms shift) out.
//
// The result is reproducible to the last bit: every single-precision operation runs in a
// fixed order (see filterbank.cpp), whichever instruction set the machine offers.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
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

// Largest sample magnitude the filterbank takes: 2^100. Up to it, its 32-bit arithmetic can
// overflow only into +infinity, in the power spectrum of audio louder than about 10^12, and the
// infinity reaches the features (non-finite after mean normalisation); beyond it the transform
// of a frame can hold NaN, which the floored logarithm would turn into the silence floor.
inline constexpr float kFilterbankSampleLimit = 0x1p100f;

// Features of samples (mono, nominally in [-1, 1]) as a frames x 80 row-major matrix.
// Fails with UnsupportedSampleRate unless sample_rate_hz is 16000 (checked first), then
// with NonFiniteAudioSample at the first infinite or NaN sample of the whole input, even
// one that no frame covers, then with SampleBeyondRange at the first sample whose magnitude
// exceeds kFilterbankSampleLimit. Fewer than 400 samples give a 0 x 80 matrix. Pure: no state
// is kept between calls.
[[nodiscard]] std::expected<FeatureMatrix, SpeakerFeatureError> compute_wespeaker_filterbank_cmn(
    std::span<const float> samples, std::uint32_t sample_rate_hz);

// The first frame (as compute_wespeaker_filterbank_cmn cuts them) whose log-mel energies are not
// finite before mean normalisation, or that covers a sample beyond kFilterbankSampleLimit: the
// frames of audio too loud for 32-bit features. nullopt when there is none. samples must be
// finite. Computes the frames a thousand at a time, keeping none.
[[nodiscard]] std::optional<std::size_t> first_overflowing_filterbank_frame(
    std::span<const float> samples);

}  // namespace quillfen::speakers
