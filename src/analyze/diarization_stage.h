// The diarization stage of an analyze run with several speakers: speaker intervals from the
// averaged frame scores, one embedding per interval long enough to embed (cut from the full
// audio), agglomerative clustering of those embeddings, one speaker label per statement,
// and the optional interval-embedding payload.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "analyze/analyze_error.h"
#include "analyze/json.h"
#include "analyze/raw_files.h"
#include "analyze/request.h"
#include "speakers/feature_matrix.h"
#include "speakers_onnx/error.h"
#include "speakers_onnx/wespeaker.h"

namespace quillfen::analyze {

// Shortest interval audio embedded: 8000 samples (0.5 s at 16000 Hz).
inline constexpr std::uint64_t kMinIntervalSamples = 8000;

// One embedding of a feature matrix (frames x 80).
using EmbedFeatures = std::function<std::expected<onnx::SpeakerEmbedding, onnx::SpeakerOnnxError>(
    const speakers::FeatureMatrix& features)>;

struct DiarizationStageResult {
  json::Value diarization;                     // the response's "diarization" object
  std::optional<PayloadWrite> interval_write;  // present when an interval path was given and
                                               // at least one interval was found
};

// Filterbank features of the full-audio samples from floor(start_s * 16000) up to
// floor(end_s * 16000) (each truncated toward zero into the unsigned range; NaN and negative
// times give 0; the end is limited to the audio). None when that range is empty, shorter
// than 8000 samples, or yields no frame.
[[nodiscard]] std::expected<std::optional<speakers::FeatureMatrix>, speakers::SpeakerFeatureError>
interval_features(std::span<const float> full_audio, double start_s, double end_s);

// frame_log_probs: the segmentation pass's frames x 7 scores, row-major. Errors: feature
// failures (non-finite samples name full_audio_path), embedding failures (mapped as a failed
// "wespeaker interval embedding" run) and diarization failures (internal errors).
[[nodiscard]] std::expected<DiarizationStageResult, AnalyzeError> run_diarization_stage(
    std::span<const float> frame_log_probs, std::span<const float> full_audio,
    const std::string& full_audio_path, std::span<const StatementSpan> diarization_spans,
    const std::optional<std::string>& interval_payload_path, const EmbedFeatures& embed);

// The same stage embedding with the embedding model.
[[nodiscard]] std::expected<DiarizationStageResult, AnalyzeError> run_diarization_stage(
    std::span<const float> frame_log_probs, std::span<const float> full_audio,
    const std::string& full_audio_path, std::span<const StatementSpan> diarization_spans,
    const std::optional<std::string>& interval_payload_path,
    const onnx::WespeakerEmbedder& embedder);

}  // namespace quillfen::analyze
