// Row-major matrix of 32-bit floats shared by the filterbank (frames x 80 mel bins),
// the segmentation model (589 frames x 7 classes) and the window statistics, and the
// error type of the speaker feature algorithms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace quillfen::speakers {

// Error of the feature algorithms. Each kind sets only the fields its display text names.
struct [[nodiscard]] SpeakerFeatureError {
  enum class Kind : std::uint8_t {
    UnsupportedSampleRate,  // expected, actual
    NonFiniteAudioSample,   // index
    ShapeMismatch,          // frames, bins, len
    ShapeOverflow,          // frames, bins
    SampleBeyondRange,      // index: a sample whose magnitude exceeds kFilterbankSampleLimit
  };

  Kind kind = Kind::UnsupportedSampleRate;
  std::uint32_t expected = 0, actual = 0;
  std::size_t index = 0;
  std::size_t frames = 0, bins = 0, len = 0;

  static SpeakerFeatureError unsupported_sample_rate(std::uint32_t expected, std::uint32_t actual) {
    return {.kind = Kind::UnsupportedSampleRate, .expected = expected, .actual = actual};
  }
  static SpeakerFeatureError non_finite_audio_sample(std::size_t index) {
    return {.kind = Kind::NonFiniteAudioSample, .index = index};
  }
  static SpeakerFeatureError shape_mismatch(std::size_t frames, std::size_t bins, std::size_t len) {
    return {.kind = Kind::ShapeMismatch, .frames = frames, .bins = bins, .len = len};
  }
  static SpeakerFeatureError shape_overflow(std::size_t frames, std::size_t bins) {
    return {.kind = Kind::ShapeOverflow, .frames = frames, .bins = bins};
  }
  static SpeakerFeatureError sample_beyond_range(std::size_t index) {
    return {.kind = Kind::SampleBeyondRange, .index = index};
  }

  // Display text, for example "row-major matrix length mismatch: frames=2 bins=3 len=5".
  [[nodiscard]] std::string to_string() const;

  friend bool operator==(const SpeakerFeatureError&, const SpeakerFeatureError&) = default;
};

// frames rows of bins values each; value (t, b) is values()[t * bins + b].
// frames may be 0 (no values) while bins still carries the column count.
class FeatureMatrix {
 public:
  FeatureMatrix() = default;

  // Takes ownership of values. Fails with ShapeOverflow when frames * bins overflows
  // size_t, else with ShapeMismatch when values.size() != frames * bins.
  static std::expected<FeatureMatrix, SpeakerFeatureError> from_row_major(
      std::size_t frames, std::size_t bins, std::vector<float> values);

  std::size_t frames() const { return frames_; }
  std::size_t bins() const { return bins_; }
  const std::vector<float>& values() const { return values_; }
  std::span<const float> row(std::size_t t) const {
    return std::span<const float>(values_).subspan(t * bins_, bins_);
  }
  // Releases the values to the caller; the matrix is left empty (0 x bins).
  std::vector<float> take_values() &&;

 private:
  FeatureMatrix(std::size_t frames, std::size_t bins, std::vector<float> values)
      : frames_(frames), bins_(bins), values_(std::move(values)) {}

  std::size_t frames_ = 0;
  std::size_t bins_ = 0;
  std::vector<float> values_;
};

}  // namespace quillfen::speakers
