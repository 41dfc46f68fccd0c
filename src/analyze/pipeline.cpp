#include "analyze/pipeline.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "analyze/raw_files.h"

namespace quillfen::analyze {

std::expected<void, AnalyzeError> check_model_path(std::string_view key, const std::string& path) {
  const auto unreadable = [&] {
    return std::unexpected(AnalyzeError::model_unreadable(std::string(key), path));
  };
  if (path.find('\0') != std::string::npos) return unreadable();
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return unreadable();
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return unreadable();
  ::close(fd);
  return {};
}

std::expected<AnalysisAudio, AnalyzeError> prepare_analysis_inputs(const AnalyzeRequest& request) {
  if (request.sample_rate_hz != kSupportedSampleRateHz) {
    return std::unexpected(
        AnalyzeError::unsupported_sample_rate(kSupportedSampleRateHz, request.sample_rate_hz));
  }
  AnalysisAudio audio;
  auto full = read_audio_file(request.full_audio_f32le_path);
  if (!full) return std::unexpected(std::move(full.error()));
  audio.full = std::move(*full);
  if (request.reduced_audio_f32le_path) {
    auto reduced = read_audio_file(*request.reduced_audio_f32le_path);
    if (!reduced) return std::unexpected(std::move(reduced.error()));
    audio.reduced = std::move(*reduced);
  }
  if (auto checked = check_model_path("pyannote_segmentation_onnx_path",
                                      request.pyannote_segmentation_onnx_path);
      !checked) {
    return std::unexpected(std::move(checked.error()));
  }
  if (auto checked = check_model_path("wespeaker_onnx_path", request.wespeaker_onnx_path);
      !checked) {
    return std::unexpected(std::move(checked.error()));
  }
  return audio;
}

std::expected<json::Value, AnalyzeError> run_analyze(const AnalyzeRequest& request) {
  auto audio = prepare_analysis_inputs(request);
  if (!audio) return std::unexpected(std::move(audio.error()));
  // Model sessions, statement embedding, the segmentation pass, diarization, the response
  // document and the payload writes follow here once inference is part of the build.
  return std::unexpected(AnalyzeError::internal_error(
      "analysis is not available in this build: model inference and the analysis stages "
      "are not built yet"));
}

}  // namespace quillfen::analyze
