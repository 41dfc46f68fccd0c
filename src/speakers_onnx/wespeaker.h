// Embedding model runner: one matrix of 80-bin filterbank features in, one unnormalised
// 256-value speaker embedding out.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <expected>
#include <filesystem>
#include <span>

#include "speakers/feature_matrix.h"
#include "speakers_onnx/error.h"
#include "speakers_onnx/runner.h"
#include "speakers_onnx/session.h"

namespace quillfen::onnx {

inline constexpr std::size_t kWespeakerFeatureBins = 80;
inline constexpr std::size_t kWespeakerEmbeddingDim = 256;

using SpeakerEmbedding = std::array<float, kWespeakerEmbeddingDim>;

// Model contract: input "feats" float32 [any, any, 80] (batch, frames, bins), output "embs"
// float32 [any, 256]. Movable, not copyable.
class WespeakerEmbedder {
 public:
  static std::expected<WespeakerEmbedder, SpeakerOnnxError> open(
      const std::filesystem::path& model_path, std::span<const SpeakerExecutionProvider> plan);

  // Runs the model on the features as a [1, frames, 80] tensor (row-major, frame after frame)
  // and returns its [1, 256] output unchanged. Features with no frame or with a bin count other
  // than 80 are InvalidFeatures before the model runs.
  std::expected<SpeakerEmbedding, SpeakerOnnxError> embed(
      const speakers::FeatureMatrix& features) const;

  const std::string& input_name() const { return runner_.input_name(); }
  const std::string& output_name() const { return runner_.output_name(); }

  // Diagnostics: accumulate the time spent inside the runtime's Run call into *sink.
  void time_runs_into(std::chrono::nanoseconds* sink) { runner_.time_runs_into(sink); }

 private:
  explicit WespeakerEmbedder(SpeakerModelRunner runner) : runner_(std::move(runner)) {}
  SpeakerModelRunner runner_;
};

}  // namespace quillfen::onnx
