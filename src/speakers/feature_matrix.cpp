#include "speakers/feature_matrix.h"

#include <utility>

namespace quillfen::speakers {

std::string SpeakerFeatureError::to_string() const {
  switch (kind) {
    case Kind::UnsupportedSampleRate:
      return "unsupported sample rate: expected " + std::to_string(expected) + ", got " +
             std::to_string(actual);
    case Kind::NonFiniteAudioSample:
      return "audio sample at index " + std::to_string(index) + " is not finite";
    case Kind::ShapeMismatch:
      return "row-major matrix length mismatch: frames=" + std::to_string(frames) +
             " bins=" + std::to_string(bins) + " len=" + std::to_string(len);
    case Kind::ShapeOverflow:
      return "row-major matrix shape overflow: frames=" + std::to_string(frames) +
             " bins=" + std::to_string(bins);
    case Kind::SampleBeyondRange:
      return "audio sample at index " + std::to_string(index) +
             " is beyond the filterbank's range (magnitude above 2^100)";
  }
  return {};
}

std::expected<FeatureMatrix, SpeakerFeatureError> FeatureMatrix::from_row_major(
    std::size_t frames, std::size_t bins, std::vector<float> values) {
  std::size_t product = 0;
  if (__builtin_mul_overflow(frames, bins, &product)) {
    return std::unexpected(SpeakerFeatureError::shape_overflow(frames, bins));
  }
  if (values.size() != product) {
    return std::unexpected(SpeakerFeatureError::shape_mismatch(frames, bins, values.size()));
  }
  return FeatureMatrix(frames, bins, std::move(values));
}

std::vector<float> FeatureMatrix::take_values() && {
  frames_ = 0;
  return std::exchange(values_, {});
}

}  // namespace quillfen::speakers
