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
using Scores = std::expected<FeatureMatrix, SpeakerOnnxError>;

// Window w's scores: class 1 scores 0 and every other class -(w + 1) in every frame, so that
// an averaged score tells which windows covered a frame.
FeatureMatrix window_scores(std::size_t w, std::size_t frames = 589) {
  std::vector<float> values(frames * 7, -static_cast<float>(w + 1));
  for (std::size_t f = 0; f < frames; ++f) values[f * 7 + 1] = 0.0f;
  return FeatureMatrix::from_row_major(frames, 7, std::move(values)).value();
}

// Runs the pass over `audio`, recording where each window's samples live.
struct ScriptedPass {
  std::vector<const float*> windows;
  std::vector<float> first_samples;
  std::vector<float> last_samples;

  std::expected<SegmentationPassOutput, SegmentationPassError> run(std::span<const float> audio,
                                                                   std::uint32_t rate = 16000,
                                                                   std::uint32_t stride = 2) {
    return segment_recording(audio, rate, stride, [this](std::span<const float> window) -> Scores {
      EXPECT_EQ(window.size(), 160000u);
      windows.push_back(window.data());
      first_samples.push_back(window.front());
      last_samples.push_back(window.back());
      return window_scores(windows.size() - 1);
    });
  }
};

TEST(SegmentationPass, InputChecksComeInOrderBeforeAnyWindow) {
  ScriptedPass pass;
  std::vector<float> audio(10, 0.0f);
  audio[7] = std::numeric_limits<float>::quiet_NaN();
  auto rate = pass.run(audio, 8000, 0);
  ASSERT_FALSE(rate);
  EXPECT_EQ(rate.error().to_string(), "pyannote segmentation requires sample rate 16000, got 8000");
  auto stride = pass.run(audio, 16000, 0);
  ASSERT_FALSE(stride);
  EXPECT_EQ(stride.error(), SegmentationPassError::non_positive_stride(0));
  EXPECT_EQ(stride.error().to_string(), "pyannote segmentation stride must be positive, got 0");
  audio[3] = -std::numeric_limits<float>::infinity();
  auto non_finite = pass.run(audio);
  ASSERT_FALSE(non_finite);
  EXPECT_EQ(non_finite.error(), SegmentationPassError::non_finite_audio_sample(3));
  EXPECT_EQ(non_finite.error().to_string(), "audio sample at index 3 is not finite");
  EXPECT_TRUE(pass.windows.empty());
}

TEST(SegmentationPass, WindowFailuresNameTheWindowAndStopThePass) {
  const std::vector<float> audio(200000, 0.0f);
  std::size_t calls = 0;
  auto failing = segment_recording(audio, 16000, 2, [&](std::span<const float>) -> Scores {
    if (++calls == 2) return std::unexpected(SpeakerOnnxError::runtime("boom"));
    return window_scores(0);
  });
  ASSERT_FALSE(failing);
  EXPECT_EQ(failing.error().to_string(),
            "pyannote window 1 inference failed: speaker ONNX Runtime error: boom");
  EXPECT_EQ(calls, 2u);

  calls = 0;
  auto short_scores = segment_recording(audio, 16000, 2, [&](std::span<const float>) -> Scores {
    return window_scores(0, ++calls == 3 ? 588 : 589);
  });
  ASSERT_FALSE(short_scores);
  EXPECT_EQ(short_scores.error(),
            SegmentationPassError::log_prob_shape_mismatch(2, 589, 7, 588, 7, 4116));
  EXPECT_EQ(short_scores.error().to_string(),
            "pyannote window 2 log-prob shape mismatch: expected frames=589 classes=7, got "
            "frames=588 classes=7 len=4116");
}

TEST(SegmentationPass, FrameGridUsesCeilingForTotalsAndTiesToEvenForWindowStarts) {
  EXPECT_EQ(segmentation_total_frames(160000), 589u);
  EXPECT_EQ(segmentation_total_frames(200000), 737u);
  // 480000 / 271.6468590831918 is 1767.0000000000002 in 64-bit floats.
  EXPECT_EQ(segmentation_total_frames(480000), 1768u);
  EXPECT_EQ(segmentation_first_grid_frame(32000), 118u);
  EXPECT_EQ(segmentation_first_grid_frame(40000), 147u);
  EXPECT_EQ(segmentation_first_grid_frame(64000), 236u);
  // Exact halves: 80000 gives 294.5 and 560000 gives 2061.5; both go to the even neighbour.
  EXPECT_EQ(segmentation_first_grid_frame(80000), 294u);
  EXPECT_EQ(segmentation_first_grid_frame(560000), 2062u);
}

TEST(SegmentationPass, OnlyRecordingsShorterThanAWindowAreCopied) {
  for (std::size_t length : {0u, 1u, 159999u}) {
    ScriptedPass pass;
    const std::vector<float> audio(length, 0.25f);
    auto out = pass.run(audio);
    ASSERT_TRUE(out);
    ASSERT_EQ(pass.windows.size(), 1u);
    EXPECT_EQ(pass.first_samples[0], length > 0 ? 0.25f : 0.0f);
    EXPECT_EQ(pass.last_samples[0], 0.0f);
    EXPECT_EQ(out->frame_log_probs.frames(), 589u);
    EXPECT_EQ(out->window_stats.size(), 1u);
  }
  for (const auto& [length, starts] : std::vector<std::pair<std::size_t, std::vector<long>>>{
           {160000, {0}}, {200000, {0, 32000, 40000}}, {224000, {0, 32000, 64000}}}) {
    ScriptedPass pass;
    const std::vector<float> audio(length, 0.0f);
    ASSERT_TRUE(pass.run(audio));
    std::vector<long> offsets;
    for (const float* p : pass.windows) offsets.push_back(p - audio.data());
    EXPECT_EQ(offsets, starts) << length;
  }
}

// Class-2 score of grid frame f: the mean of -(w + 1) over the windows covering it.
float averaged(const SegmentationPassOutput& out, std::size_t frame) {
  return out.frame_log_probs.row(frame)[2];
}

TEST(SegmentationPass, OverlappingWindowsAreAveragedOnTheGrid) {
  ScriptedPass pass;
  auto out = pass.run(std::vector<float>(200000, 0.0f));
  ASSERT_TRUE(out);
  ASSERT_EQ(out->frame_log_probs.frames(), 737u);
  // Windows 0, 1, 2 cover grid frames 0..588, 118..706 and 147..735.
  const std::vector<std::pair<std::size_t, float>> expected = {
      {117, -1.0f}, {118, -1.5f}, {146, -1.5f}, {147, -2.0f}, {588, -2.0f},
      {589, -2.5f}, {706, -2.5f}, {707, -3.0f}, {735, -3.0f}};
  for (const auto& [frame, value] : expected) EXPECT_EQ(averaged(*out, frame), value) << frame;
  // No window covers the last grid frame: its scores stay 0 and it reads as silence.
  for (float v : out->frame_log_probs.row(736)) EXPECT_EQ(v, 0.0f);

  // 240000 samples: the window aligned to the end starts at 80000 (294.5 frames), so it
  // covers 294..882 and leaves frame 883 uncovered.
  ScriptedPass half;
  out = half.run(std::vector<float>(240000, 0.0f));
  ASSERT_TRUE(out);
  ASSERT_EQ(out->frame_log_probs.frames(), 884u);
  EXPECT_EQ(averaged(*out, 293), -2.0f);
  EXPECT_EQ(averaged(*out, 294), -2.5f);
  EXPECT_EQ(averaged(*out, 882), -4.0f);
  EXPECT_EQ(averaged(*out, 883), 0.0f);
}

TEST(SegmentationPass, SumsAreKeptInDoublePrecision) {
  // 1 + 3 * 2^-24 + 3 * 2^-24: a float accumulator would round after each addition.
  std::size_t w = 0;
  auto out =
      segment_recording(std::vector<float>(200000, 0.0f), 16000, 2, [&](std::span<const float>) {
        std::vector<float> values(589 * 7, 0.0f);
        const float value = w++ == 0 ? 1.0f : std::ldexp(3.0f, -24);
        for (std::size_t f = 0; f < 589; ++f) values[f * 7 + 3] = value;
        return FeatureMatrix::from_row_major(589, 7, std::move(values)).value();
      });
  ASSERT_TRUE(out);
  EXPECT_EQ(out->frame_log_probs.row(200)[3],
            static_cast<float>((1.0 + 6.0 * std::ldexp(1.0, -24)) / 3.0));
}

TEST(SegmentationPass, WindowStatisticsAndOverlapFraction) {
  auto out =
      segment_recording(std::vector<float>(160000, 0.0f), 16000, 2, [](std::span<const float>) {
        std::vector<float> values(589 * 7, -5.0f);
        for (std::size_t f = 0; f < 589; ++f) values[f * 7 + (f < 100 ? 4 : f < 150 ? 0 : 2)] = 0;
        return FeatureMatrix::from_row_major(589, 7, std::move(values)).value();
      });
  ASSERT_TRUE(out);
  EXPECT_EQ(out->window_stats, (std::vector<speakers::SpeakerWindowStats>{{539, 1, 100}}));
  EXPECT_DOUBLE_EQ(out->overlap_fraction, 100.0 / 539.0);
}

TEST(SegmentationPass, FailuresMapToTheRunErrors) {
  const std::string path = "/audio/full.f32";
  const auto shape = SegmentationPassError::log_prob_shape_mismatch(4, 589, 7, 1, 7, 7);
  const auto overflow = SegmentationPassError::frame_matrix_overflow(1ull << 62, 7);
  EXPECT_EQ(overflow.to_string(),
            "pyannote segmentation matrix shape overflow: frames=4611686018427387904 classes=7");
  const std::vector<std::pair<SegmentationPassError, AnalyzeError>> cases = {
      {SegmentationPassError::unsupported_sample_rate(16000, 8000),
       AnalyzeError::unsupported_sample_rate(16000, 8000)},
      {SegmentationPassError::non_finite_audio_sample(9), AnalyzeError::audio_non_finite(9, path)},
      {shape,
       AnalyzeError::model_io_mismatch("pyannote_segmentation_onnx_path", shape.to_string())},
      {SegmentationPassError::window_inference(3, SpeakerOnnxError::runtime("x")),
       AnalyzeError::onnx_runtime_error(
           "pyannote segmentation failed: speaker ONNX Runtime error: x")},
      {SegmentationPassError::window_inference(0, SpeakerOnnxError::missing_output("logits")),
       AnalyzeError::model_io_mismatch("speaker model",
                                       "speaker ONNX output was not returned: logits")},
      {SegmentationPassError::non_positive_stride(0),
       AnalyzeError::internal_error("pyannote segmentation stride must be positive, got 0")},
      {overflow, AnalyzeError::internal_error(overflow.to_string())},
      {SegmentationPassError::scores_not_a_number(2, 72000),
       AnalyzeError::audio_invalid(path,
                                   "the segmentation scores of window 2 (at 4.5 s) hold NaN or "
                                   "+infinity (the file's largest sample magnitude is 1048576)")},
  };
  const std::vector<float> audio = {0.5f, -1048576.0f, 3.0f};
  for (const auto& [error, mapped] : cases) {
    EXPECT_EQ(map_segmentation_pass_error(error, path, audio), mapped) << error.to_string();
  }
}

// A log-probability may be -infinity; NaN or +infinity in a window's scores stops the pass at
// that window.
TEST(SegmentationPass, ScoresThatAreNotANumberStopThePass) {
  for (const float bad : {std::numeric_limits<float>::quiet_NaN(),
                          std::numeric_limits<float>::infinity()}) {
    std::size_t calls = 0;
    auto out = segment_recording(std::vector<float>(200000, 0.0f), 16000, 2,
                                 [&](std::span<const float>) {
                                   std::vector<float> values(589 * 7, -5.0f);
                                   values[3] = -std::numeric_limits<float>::infinity();
                                   if (++calls == 2) values[100] = bad;
                                   return FeatureMatrix::from_row_major(589, 7, std::move(values))
                                       .value();
                                 });
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error(), SegmentationPassError::scores_not_a_number(1, 32000));
    EXPECT_EQ(calls, 2u);
  }
}

}  // namespace
}  // namespace quillfen::analyze
