// How the errors of the model runners, the feature algorithms and the diarization algorithms
// become the AnalyzeError of an analyze run, with the model label or path each one reports.
#pragma once

#include <span>
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

// audio-invalid for a value the analysis derived from finite audio that is not finite: samples
// so loud that 32-bit filterbank features overflow, or a model that answers them with NaN.
// what says which value ("statement 7 is too loud for 32-bit filterbank features"); the
// detail ends with the file's largest sample magnitude as the shortest decimal of the 32-bit
// float, without exponent, for example "(the file's largest sample magnitude is
// 402600000225280)".
[[nodiscard]] AnalyzeError derived_value_not_finite(const std::string& audio_path,
                                                    std::span<const float> audio,
                                                    std::string_view what);

// What a statement, interval or recording is when its filterbank features overflow (non-finite
// features, or a sample beyond the filterbank's range).
inline constexpr std::string_view kTooLoudForFeatures = " is too loud for 32-bit filterbank features";

// Every diarization failure is an internal error carrying its text.
[[nodiscard]] AnalyzeError map_diarization_error(
    const speakers::diarization::DiarizationError& error);

}  // namespace quillfen::analyze
