// The numbers both speaker models are built around, shared by the algorithms, the model
// runners and the analyze pipeline: one home for each.
//
// Audio is mono at 16000 Hz. The segmentation model reads 10-second windows of 160000
// samples, taken 32000 samples (2 s) apart, and scores 589 frames of 7 classes per window
// (class 0 silence, 1 to 3 one speaker in local slot 1 to 3, 4 to 6 two overlapping
// speakers), so one frame step is 160000 / 589 samples. The embedding model reads frames of
// 80 mel bins and returns 256 values per embedding.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillfen::speakers {

inline constexpr std::uint32_t kModelSampleRateHz = 16000;

inline constexpr std::size_t kSegmentationWindowSamples = 160000;
inline constexpr std::uint32_t kSegmentationStrideSeconds = 2;  // 32000 samples
inline constexpr std::size_t kSegmentationWindowFrames = 589;
inline constexpr std::size_t kSegmentationClasses = 7;
// Samples per segmentation frame (160000 / 589) as the 64-bit float every frame time and
// grid position is computed with.
inline constexpr double kFrameStepSamples = 271.6468590831918;

inline constexpr std::size_t kMelBins = 80;
inline constexpr std::size_t kEmbeddingDim = 256;

}  // namespace quillfen::speakers
