// The analyze request: its validated record, the structural validation of the request
// document (no file is read), and the lexical path comparison behind the output-path
// conflict rules.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analyze/analyze_error.h"
#include "speakers/statements.h"

namespace quillfen::analyze {

inline constexpr std::string_view kAnalyzeRequestSchema = "quillfen-speaker-analyze-request-v1";
// Keys of the two model paths inside "models"; also the model label of the errors of checking
// and opening them.
inline constexpr std::string_view kPyannoteModelKey = "pyannote_segmentation_onnx_path";
inline constexpr std::string_view kWespeakerModelKey = "wespeaker_onnx_path";

// One statement of the transcript, shared with the feature algorithms: times in seconds
// (absent when the request gave no number), stored as given; their order and sign are not
// examined here.
using StatementSpan = quillfen::speakers::StatementSpan;

// The validated analyze request. Paths are the exact texts of the request. The two span
// lists have equal lengths and equal statement ids index by index.
struct AnalyzeRequest {
  std::uint32_t sample_rate_hz = 0;
  std::string full_audio_f32le_path;
  std::optional<std::string> reduced_audio_f32le_path;
  std::string output_payload_f32le_path;
  std::optional<std::string> interval_embedding_payload_f32le_path;
  std::string pyannote_segmentation_onnx_path;
  std::string wespeaker_onnx_path;
  std::vector<StatementSpan> statement_spans;
  std::vector<StatementSpan> diarization_spans;

  friend bool operator==(const AnalyzeRequest&, const AnalyzeRequest&) = default;
};

// Parses and validates the analyze request text; stops at the first broken rule with a
// malformed-request or unknown-schema error.
[[nodiscard]] std::expected<AnalyzeRequest, AnalyzeError> parse_analyze_request(
    std::string_view text);

// The components of a path, compared lexically: split at "/", a leading "/" is a root
// component "/", empty components are dropped, "." is dropped unless it is the very first
// component, ".." is kept as an ordinary component.
[[nodiscard]] std::vector<std::string_view> path_components(std::string_view path);

// True when the two paths have equal component sequences (out//a.f32, out/./a.f32 and
// out/a.f32/ equal out/a.f32; ./out/a.f32 does not). Never touches the file system.
[[nodiscard]] bool paths_equal(std::string_view a, std::string_view b);

}  // namespace quillfen::analyze
