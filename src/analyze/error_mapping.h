// How the errors of the model runners, the feature algorithms and the diarization algorithms
// become the AnalyzeError of an analyze run, with the model label or path each one reports.
#pragma once

#include <string>
#include <string_view>

#include "analyze/analyze_error.h"
#include "speakers/diarization.h"
#include "speakers/feature_matrix.h"
#include "speakers_onnx/error.h"

namespace quillfen::analyze {

// Model label of an interface mismatch found while a model runs.
inline constexpr std::string_view kRunningModelLabel = "speaker model";
// Labels of the three kinds of model runs, prefixed to runtime failures.
inline constexpr std::string_view kSegmentationRunLabel = "pyannote segmentation";
inline constexpr std::string_view kStatementEmbeddingRunLabel = "wespeaker statement embedding";
inline constexpr std::string_view kIntervalEmbeddingRunLabel = "wespeaker interval embedding";

// A failure to open the model named by model_key (its request key, kPyannoteModelKey or
// kWespeakerModelKey): provider kinds -> provider-unavailable,
// input-shape kinds -> internal-error, interface mismatch or missing output ->
// model-io-mismatch naming the key, runtime failure -> model-invalid naming the key.
[[nodiscard]] AnalyzeError map_model_open_error(std::string_view model_key,
                                                const onnx::SpeakerOnnxError& error);

// A failure while running a model: as when opening, except that an interface mismatch names
// "speaker model" and a runtime failure is onnx-runtime-error "{run_label} failed: {text}".
[[nodiscard]] AnalyzeError map_model_run_error(std::string_view run_label,
                                               const onnx::SpeakerOnnxError& error);

// A feature-algorithm failure; a non-finite sample reports full_audio_path.
[[nodiscard]] AnalyzeError map_feature_error(const speakers::SpeakerFeatureError& error,
                                             const std::string& full_audio_path);

// Every diarization failure is an internal error carrying its text.
[[nodiscard]] AnalyzeError map_diarization_error(
    const speakers::diarization::DiarizationError& error);

}  // namespace quillfen::analyze
