// The segmentation pass with a scripted window model: checks and their order, padding of
// short recordings only, window placement on the frame grid, 64-bit averaging, and the
// mapping of its failures to the run's errors.
#include "analyze/segmentation_pass.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace quillfen::analyze {
namespace {

using onnx::SpeakerOnnxError;
using speakers::FeatureMatrix;

// Scores of one window: every frame of class `cls` (score 0) with -(w + 1) for the other
// classes, so that an averaged value tells which windows covered a frame.
FeatureMatrix window_scores(std::size_t w, std::size_t cls, std::size_t frames = 589) {
  std::vector<float> values(frames * 7, -static_cast<float>(w + 1));
  for (std::size_t f = 0; f < frames; ++f) values[f * 7 + cls] = 0.0f;
  return FeatureMatrix::from_row_major(frames, 7, std::move(values)).value();
}

// A window model that records the windows it is given and answers with window_scores.
struct ScriptedModel {
  std::vector<const float*> window_data;
  std::vector<std::vector<float>> window_heads;  // the first 4 samples of each window

  SegmentWindow as_segmenter() {
    return [this](std::span<const float> window) -> std::expected<FeatureMatrix, SpeakerOnnxError> {
      EXPECT_EQ(window.size(), 160000u);
      window_data.push_back(window.data());
      window_heads.emplace_back(window.begin(), window.begin() + 4);
      return window_scores(window_data.size() - 1, 1);
    };
  }
};

TEST(SegmentationPass, InputChecksComeInOrderWithTheirTexts) {
  ScriptedModel model;
  std::vector<float> audio(10, 0.0f);
  audio[7] = std::numeric_limits<float>::quiet_NaN();

  auto rate = segment_recording(audio, 8000, 0, model.as_segmenter());
  ASSERT_FALSE(rate);
  EXPECT_EQ(rate.error(), SegmentationPassError::unsupported_sample_rate(16000, 8000));
  EXPECT_EQ(rate.error().to_string(), "pyannote segmentation requires sample rate 16000, got 8000");

  auto stride = segment_recording(audio, 16000, 0, model.as_segmenter());
  ASSERT_FALSE(stride);
  EXPECT_EQ(stride.error(), SegmentationPassError::non_positive_stride(0));
  EXPECT_EQ(stride.error().to_string(), "pyannote segmentation stride must be positive, got 0");

  audio[3] = -std::numeric_limits<float>::infinity();
  auto non_finite = segment_recording(audio, 16000, 2, model.as_segmenter());
  ASSERT_FALSE(non_finite);
  EXPECT_EQ(non_finite.error(), SegmentationPassError::non_finite_audio_sample(3));
  EXPECT_EQ(non_finite.error().to_string(), "audio sample at index 3 is not finite");
  EXPECT_TRUE(model.window_data.empty());
}

TEST(SegmentationPass, WindowFailuresNameTheWindowAndStopThePass) {
  const std::vector<float> audio(200000, 0.0f);
  std::size_t calls = 0;
  auto failing = segment_recording(audio, 16000, 2, [&](std::span<const float>) {
    return ++calls == 2 ? std::expected<FeatureMatrix, SpeakerOnnxError>(
                              std::unexpected(SpeakerOnnxError::runtime("boom")))
                        : window_scores(0, 0);
  });
  ASSERT_FALSE(failing);
  EXPECT_EQ(failing.error(),
            SegmentationPassError::window_inference(1, SpeakerOnnxError::runtime("boom")));
  EXPECT_EQ(failing.error().to_string(),
            "pyannote window 1 inference failed: speaker ONNX Runtime error: boom");
  EXPECT_EQ(calls, 2u);

  calls = 0;
  auto short_scores = segment_recording(audio, 16000, 2, [&](std::span<const float>) {
    return window_scores(0, 0, ++calls == 3 ? 588 : 589);
  });
  ASSERT_FALSE(short_scores);
  EXPECT_EQ(short_scores.error().to_string(),
            "pyannote window 2 log-prob shape mismatch: expected frames=589 classes=7, got "
            "frames=588 classes=7 len=4116");

  auto eight_classes = segment_recording(audio, 16000, 2, [](std::span<const float>) {
    return FeatureMatrix::from_row_major(589, 8, std::vector<float>(589 * 8, 0.0f)).value();
  });
  ASSERT_FALSE(eight_classes);
  EXPECT_EQ(eight_classes.error(),
            SegmentationPassError::log_prob_shape_mismatch(0, 589, 7, 589, 8, 4712));
}

TEST(SegmentationPass, FrameGridUsesCeilingForTotalsAndTiesToEvenForWindowStarts) {
  EXPECT_EQ(segmentation_total_frames(160000), 589u);
  EXPECT_EQ(segmentation_total_frames(200000), 737u);
  EXPECT_EQ(segmentation_total_frames(224000), 825u);
  // 480000 / 271.6468590831918 is 1767.0000000000002 in 64-bit floats.
  EXPECT_EQ(segmentation_total_frames(480000), 1768u);

  EXPECT_EQ(segmentation_first_grid_frame(0), 0u);
  EXPECT_EQ(segmentation_first_grid_frame(32000), 118u);
  EXPECT_EQ(segmentation_first_grid_frame(40000), 147u);
  EXPECT_EQ(segmentation_first_grid_frame(64000), 236u);
  // Exact halves: 80000 gives 294.5 and 560000 gives 2061.5; both go to the even neighbour.
  EXPECT_EQ(segmentation_first_grid_frame(80000), 294u);
  EXPECT_EQ(segmentation_first_grid_frame(560000), 2062u);
}

TEST(SegmentationPass, ShortRecordingsArePaddedWithZerosIntoOneWindow) {
  for (std::size_t length : {0u, 1u, 159999u}) {
    SCOPED_TRACE(length);
    ScriptedModel model;
    const std::vector<float> audio(length, 0.25f);
    auto out = segment_recording(audio, 16000, 2, model.as_segmenter());
    ASSERT_TRUE(out);
    ASSERT_EQ(model.window_data.size(), 1u);
    EXPECT_EQ(model.window_heads[0][0], length > 0 ? 0.25f : 0.0f);
    EXPECT_EQ(model.window_heads[0][1], length > 1 ? 0.25f : 0.0f);
    EXPECT_EQ(out->frame_log_probs.frames(), 589u);
    EXPECT_EQ(out->frame_log_probs.bins(), 7u);
    EXPECT_EQ(out->window_stats.size(), 1u);
  }
}

TEST(SegmentationPass, LongRecordingsAreReadInPlace) {
  for (std::size_t length : {160000u, 200000u, 224000u}) {
    SCOPED_TRACE(length);
    ScriptedModel model;
    const std::vector<float> audio(length, 0.0f);
    ASSERT_TRUE(segment_recording(audio, 16000, 2, model.as_segmenter()));
    std::vector<std::ptrdiff_t> offsets;
    for (const float* p : model.window_data) offsets.push_back(p - audio.data());
    const std::vector<std::ptrdiff_t> expected = length == 160000 ? std::vector<std::ptrdiff_t>{0}
                                                 : length == 200000
                                                     ? std::vector<std::ptrdiff_t>{0, 32000, 40000}
                                                     : std::vector<std::ptrdiff_t>{0, 32000, 64000};
    EXPECT_EQ(offsets, expected);
  }
}

// Class-2 score of grid frame f: the mean of -(w + 1) over the windows covering it, 0 when
// none does.
float averaged(const SegmentationPassOutput& out, std::size_t frame) {
  return out.frame_log_probs.row(frame)[2];
}

TEST(SegmentationPass, OverlappingWindowsAreAveragedOnTheGrid) {
  ScriptedModel model;
  const std::vector<float> audio(200000, 0.0f);
  auto out = segment_recording(audio, 16000, 2, model.as_segmenter());
  ASSERT_TRUE(out);
  ASSERT_EQ(out->frame_log_probs.frames(), 737u);
  // Windows 0, 1, 2 start at grid frames 0, 118 and 147.
  EXPECT_EQ(averaged(*out, 0), -1.0f);
  EXPECT_EQ(averaged(*out, 117), -1.0f);
  EXPECT_EQ(averaged(*out, 118), -1.5f);
  EXPECT_EQ(averaged(*out, 146), -1.5f);
  EXPECT_EQ(averaged(*out, 147), -2.0f);
  EXPECT_EQ(averaged(*out, 588), -2.0f);
  EXPECT_EQ(averaged(*out, 589), -2.5f);
  EXPECT_EQ(averaged(*out, 706), -2.5f);
  EXPECT_EQ(averaged(*out, 707), -3.0f);
  EXPECT_EQ(averaged(*out, 735), -3.0f);
  // No window covers the last grid frame: every score stays 0 and it reads as silence.
  for (float v : out->frame_log_probs.row(736)) EXPECT_EQ(v, 0.0f);
  EXPECT_EQ(out->frame_log_probs.row(735)[1], 0.0f);
}

TEST(SegmentationPass, EndAlignedWindowAtAnExactHalfFrameStartsOnTheEvenFrame) {
  ScriptedModel model;
  const std::vector<float> audio(240000, 0.0f);
  auto out = segment_recording(audio, 16000, 2, model.as_segmenter());
  ASSERT_TRUE(out);
  ASSERT_EQ(model.window_data.size(), 4u);  // 0, 32000, 64000, 80000
  ASSERT_EQ(out->frame_log_probs.frames(), 884u);
  // The window at 80000 (294.5 frames) covers 294..882; windows 0, 1, 2 cover 0..588,
  // 118..706 and 236..824.
  EXPECT_EQ(averaged(*out, 293), -2.0f);
  EXPECT_EQ(averaged(*out, 294), -2.5f);
  EXPECT_EQ(averaged(*out, 824), -3.5f);
  EXPECT_EQ(averaged(*out, 825), -4.0f);
  EXPECT_EQ(averaged(*out, 882), -4.0f);
  EXPECT_EQ(averaged(*out, 883), 0.0f);
}

TEST(SegmentationPass, SumsAreKeptInDoublePrecision) {
  // 1 + 2^-24 + 2^-24 ... over three windows: a float accumulator would drop the small parts.
  const std::vector<float> audio(200000, 0.0f);
  std::size_t w = 0;
  auto out = segment_recording(audio, 16000, 2, [&](std::span<const float>) {
    std::vector<float> values(589 * 7, 0.0f);
    const float value = w++ == 0 ? 1.0f : std::ldexp(1.0f, -24) * 3.0f;
    for (std::size_t f = 0; f < 589; ++f) values[f * 7 + 3] = value;
    return FeatureMatrix::from_row_major(589, 7, std::move(values)).value();
  });
  ASSERT_TRUE(out);
  // Frame 200 is covered by all three windows: (1 + 2 * 3 * 2^-24) / 3 rounded to float.
  const double expected = (1.0 + 6.0 * std::ldexp(1.0, -24)) / 3.0;
  EXPECT_EQ(out->frame_log_probs.row(200)[3], static_cast<float>(expected));
}

TEST(SegmentationPass, WindowStatisticsAndOverlapFraction) {
  const std::vector<float> audio(160000, 0.0f);
  auto out = segment_recording(audio, 16000, 2, [](std::span<const float>) {
    std::vector<float> values(589 * 7, -5.0f);
    for (std::size_t f = 0; f < 589; ++f) values[f * 7 + (f < 100 ? 4 : f < 150 ? 0 : 2)] = 0.0f;
    return FeatureMatrix::from_row_major(589, 7, std::move(values)).value();
  });
  ASSERT_TRUE(out);
  ASSERT_EQ(out->window_stats.size(), 1u);
  EXPECT_EQ(out->window_stats[0], (speakers::SpeakerWindowStats{539, 1, 100}));
  EXPECT_DOUBLE_EQ(out->overlap_fraction, 100.0 / 539.0);
}

TEST(SegmentationPass, FailuresMapToTheRunErrors) {
  const std::string path = "/audio/full.f32";
  EXPECT_EQ(map_segmentation_pass_error(SegmentationPassError::unsupported_sample_rate(16000, 8000),
                                        path),
            AnalyzeError::unsupported_sample_rate(16000, 8000));
  EXPECT_EQ(map_segmentation_pass_error(SegmentationPassError::non_finite_audio_sample(9), path),
            AnalyzeError::audio_non_finite(9, path));
  const auto shape = SegmentationPassError::log_prob_shape_mismatch(4, 589, 7, 1, 7, 7);
  EXPECT_EQ(map_segmentation_pass_error(shape, path),
            AnalyzeError::model_io_mismatch("pyannote_segmentation_onnx_path", shape.to_string()));
  EXPECT_EQ(map_segmentation_pass_error(
                SegmentationPassError::window_inference(3, SpeakerOnnxError::runtime("x")), path),
            AnalyzeError::onnx_runtime_error(
                "pyannote segmentation failed: speaker ONNX Runtime error: x"));
  EXPECT_EQ(map_segmentation_pass_error(
                SegmentationPassError::window_inference(
                    0, SpeakerOnnxError::model_io_mismatch("output shape [1, 588, 7] is not "
                                                           "[1, 589, 7]")),
                path),
            AnalyzeError::model_io_mismatch(
                "speaker model",
                "speaker ONNX model IO mismatch: output shape [1, 588, 7] is not [1, 589, 7]"));
  EXPECT_EQ(map_segmentation_pass_error(SegmentationPassError::non_positive_stride(0), path),
            AnalyzeError::internal_error("pyannote segmentation stride must be positive, got 0"));
  const auto overflow = SegmentationPassError::frame_matrix_overflow(1ull << 62, 7);
  EXPECT_EQ(overflow.to_string(),
            "pyannote segmentation matrix shape overflow: frames=4611686018427387904 classes=7");
  EXPECT_EQ(map_segmentation_pass_error(overflow, path),
            AnalyzeError::internal_error(overflow.to_string()));
}

}  // namespace
}  // namespace quillfen::analyze
