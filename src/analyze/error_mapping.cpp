#include "analyze/error_mapping.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <optional>
#include <utility>

namespace quillfen::analyze {
namespace {

using OnnxKind = onnx::SpeakerOnnxError::Kind;

// The kinds that map the same way whether the model was being opened or run.
std::optional<AnalyzeError> map_common_model_error(const onnx::SpeakerOnnxError& error) {
  switch (error.kind) {
    case OnnxKind::EmptyProviderPlan:
    case OnnxKind::ProviderUnavailable:
      return AnalyzeError::provider_unavailable(error.to_string());
    case OnnxKind::InvalidFeatures:
    case OnnxKind::InvalidAudioWindow:
      return AnalyzeError::internal_error(error.to_string());
    case OnnxKind::ModelIoMismatch:
    case OnnxKind::MissingOutput:
    case OnnxKind::Runtime:
      break;
  }
  return std::nullopt;
}

bool is_interface_error(const onnx::SpeakerOnnxError& error) {
  return error.kind == OnnxKind::ModelIoMismatch || error.kind == OnnxKind::MissingOutput;
}

}  // namespace

AnalyzeError map_model_open_error(std::string_view model_key, const onnx::SpeakerOnnxError& error) {
  if (auto common = map_common_model_error(error)) return std::move(*common);
  if (is_interface_error(error)) {
    return AnalyzeError::model_io_mismatch(std::string(model_key), error.to_string());
  }
  return AnalyzeError::model_invalid(std::string(model_key), error.to_string());
}

AnalyzeError map_model_run_error(std::string_view run_label, const onnx::SpeakerOnnxError& error) {
  if (auto common = map_common_model_error(error)) return std::move(*common);
  if (is_interface_error(error)) {
    return AnalyzeError::model_io_mismatch(std::string(kRunningModelLabel), error.to_string());
  }
  return AnalyzeError::onnx_runtime_error(std::string(run_label) + " failed: " + error.to_string());
}

AnalyzeError derived_value_not_finite(const std::string& audio_path, std::span<const float> audio,
                                     std::string_view what) {
  float largest = 0.0f;
  for (const float sample : audio) largest = std::max(largest, std::fabs(sample));
  // The shortest decimal that reads back as the same 32-bit float, without exponent.
  char digits[64];
  const auto written = std::to_chars(std::begin(digits), std::end(digits), largest,
                                     std::chars_format::fixed);
  std::string message(what);
  message += " (the file's largest sample magnitude is ";
  message.append(digits, written.ptr);
  message += ')';
  return AnalyzeError::audio_invalid(audio_path, std::move(message));
}

AnalyzeError map_feature_error(const speakers::SpeakerFeatureError& error,
                               const std::string& full_audio_path) {
  using Kind = speakers::SpeakerFeatureError::Kind;
  switch (error.kind) {
    case Kind::UnsupportedSampleRate:
      return AnalyzeError::unsupported_sample_rate(error.expected, error.actual);
    case Kind::NonFiniteAudioSample:
      return AnalyzeError::audio_non_finite(error.index, full_audio_path);
    case Kind::SampleBeyondRange:
      return AnalyzeError::audio_invalid(full_audio_path, error.to_string());
    case Kind::ShapeMismatch:
    case Kind::ShapeOverflow:
      break;
  }
  return AnalyzeError::internal_error(error.to_string());
}

AnalyzeError map_diarization_error(const speakers::diarization::DiarizationError& error) {
  return AnalyzeError::internal_error(error.to_string());
}

}  // namespace quillfen::analyze
