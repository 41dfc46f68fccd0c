// The analyze command after validation: the stages of one analysis run in their fixed
// order, ending in the response document or the first error.
#pragma once

#include <chrono>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analyze/analyze_error.h"
#include "analyze/json.h"
#include "analyze/request.h"

namespace quillfen::analyze {

// The audio of one run, each file read once and shared by every stage.
struct AnalysisAudio {
  std::vector<float> full;
  std::optional<std::vector<float>> reduced;  // present when the request names a reduced file

  // Statements are cut from the reduced audio when there is one, else from the full audio.
  [[nodiscard]] const std::vector<float>& admission() const { return reduced ? *reduced : full; }
};

// Fails with model-unreadable (model = key, path = path) unless the path's metadata can be
// read following links, it is a regular file, and it opens for reading. Loads nothing.
[[nodiscard]] std::expected<void, AnalyzeError> check_model_path(std::string_view key,
                                                                 const std::string& path);

// The checks before any model is loaded, in order: the sample rate (before any file is
// opened), the full audio, the reduced audio when given, then the pyannote and the
// wespeaker model paths.
[[nodiscard]] std::expected<AnalysisAudio, AnalyzeError> prepare_analysis_inputs(
    const AnalyzeRequest& request);

// Runs the whole analysis and returns the response document.
[[nodiscard]] std::expected<json::Value, AnalyzeError> run_analyze(const AnalyzeRequest& request);

// Diagnostics of one analysis: wall time spent inside the runtime's Run calls, per model.
struct ModelRunTimes {
  std::chrono::nanoseconds segmentation{0};
  std::chrono::nanoseconds embedding{0};
};

// run_analyze that also adds the time of every model run into *run_times (when not null).
[[nodiscard]] std::expected<json::Value, AnalyzeError> run_analyze(const AnalyzeRequest& request,
                                                                   ModelRunTimes* run_times);

}  // namespace quillfen::analyze
