// Embedding model runner: one matrix of 80-bin filterbank features in, one unnormalised
// 256-value speaker embedding out.
#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <filesystem>
#include <span>

#include "speakers/feature_matrix.h"
#include "speakers/model_contract.h"
#include "speakers_onnx/error.h"
#include "speakers_onnx/runner.h"
#include "speakers_onnx/session.h"

namespace quillfen::onnx {

using SpeakerEmbedding = std::array<float, speakers::kEmbeddingDim>;

// Model contract: input "feats" float32 [any, any, 80] (batch, frames, bins), output "embs"
// float32 [any, 256]. Movable, not copyable.
class WespeakerEmbedder : public SpeakerModel {
 public:
  [[nodiscard]] static std::expected<WespeakerEmbedder, SpeakerOnnxError> open(
      const std::filesystem::path& model_path, std::span<const SpeakerExecutionProvider> plan);

  // Runs the model on the features as a [1, frames, 80] tensor (row-major, frame after frame)
  // and returns its [1, 256] output unchanged. Features with no frame or with a bin count other
  // than 80 are InvalidFeatures before the model runs.
  [[nodiscard]] std::expected<SpeakerEmbedding, SpeakerOnnxError> embed(
      const speakers::FeatureMatrix& features) const;

 private:
  friend class SpeakerModel;
  explicit WespeakerEmbedder(SpeakerModelRunner runner) : SpeakerModel(std::move(runner)) {}
};

}  // namespace quillfen::onnx
