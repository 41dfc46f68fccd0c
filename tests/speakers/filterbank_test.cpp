#include "speakers/filterbank.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "speakers/filterbank_kernels.h"
#include "support/paths.h"

namespace quillfen::speakers {
namespace {

using filterbank_detail::available_filterbank_kernels;
using filterbank_detail::compute_filterbank_with_kernel;
using filterbank_detail::filterbank_kernel_name;
using filterbank_detail::FilterbankKernel;

// Index of the first value whose bits differ, or -1 when all agree (sizes must match).
std::ptrdiff_t first_bit_difference(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::bit_cast<std::uint32_t>(a[i]) != std::bit_cast<std::uint32_t>(b[i])) {
      return static_cast<std::ptrdiff_t>(i);
    }
  }
  return -1;
}

// The golden cases of one data folder: the "name" of every case in its manifest.json.
std::vector<std::string> golden_case_names(const std::filesystem::path& dir) {
  const std::string manifest = testing::read_file(dir / "manifest.json");
  std::vector<std::string> names;
  const std::string key = "\"name\":";
  for (std::size_t pos = manifest.find(key); pos != std::string::npos;
       pos = manifest.find(key, pos + 1)) {
    const std::size_t open = manifest.find('"', pos + key.size());
    names.push_back(manifest.substr(open + 1, manifest.find('"', open + 1) - open - 1));
  }
  return names;
}

// Every golden case of the repository's data (all 14) and of the external data folder, if any.
TEST(Filterbank, ReproducesGoldenFeaturesBitForBitWithEveryKernel) {
  for (const auto& data : testing::data_dirs()) {
    const auto dir = data / "golden" / "fbank";
    if (data != testing::repo_data_dir() && !std::filesystem::exists(dir / "manifest.json")) {
      continue;
    }
    const std::vector<std::string> names = golden_case_names(dir);
    if (data == testing::repo_data_dir()) {
      EXPECT_EQ(names.size(), 14u);
    }
    for (const std::string& name : names) {
      const auto input = testing::read_floats(dir / "inputs" / (name + ".f32"));
      const auto expected = testing::read_floats(dir / "features" / (name + ".f32"));
      for (FilterbankKernel kernel : available_filterbank_kernels()) {
        SCOPED_TRACE((dir / name).string() + " with " + filterbank_kernel_name(kernel));
        auto features = compute_filterbank_with_kernel(kernel, input, 16000);
        ASSERT_TRUE(features.has_value()) << features.error().to_string();
        EXPECT_EQ(features->bins(), 80u);
        EXPECT_EQ(features->frames() * 80, expected.size());
        EXPECT_EQ(first_bit_difference(features->values(), expected), -1);
      }
    }
  }
}

TEST(Filterbank, TablesMatchGoldenWindowAndMelFilters) {
  const auto tables = filterbank_detail::build_filterbank_tables();
  // The fixed mel edges are what the single-precision mel formula gives.
  const auto mel = [](float hz) {
    return filterbank_detail::log_f32((hz / 700.0f) + 1.0f) * 1127.0f;
  };
  EXPECT_EQ(mel(20.0f), 31.7486419677734375f);
  EXPECT_EQ((mel(8000.0f) - mel(20.0f)) / 81.0f, 34.670238494873046875f);
  EXPECT_EQ(tables.mel_bins[0].start_bin, 1u);
  EXPECT_EQ(tables.weights(0).size(), 2u);
  EXPECT_EQ(tables.weights(1).size(), 1u);
  EXPECT_EQ(tables.weights(2).size(), 1u);
  EXPECT_EQ(tables.mel_bins[79].start_bin, 240u);
  EXPECT_EQ(tables.weights(79).size(), 16u);

  const auto dir = testing::repo_data_dir() / "golden" / "fbank";
  const auto window = testing::read_floats(dir / "povey_window.f32");
  EXPECT_EQ(
      first_bit_difference(window, std::vector<float>(tables.window.begin(), tables.window.end())),
      -1);

  // mel_bins.json: per filter its "start_bin" and "weights_f32_bits" (a list of integers).
  const std::string json = testing::read_file(dir / "mel_bins.json");
  std::size_t m = 0;
  for (std::size_t pos = json.find("\"start_bin\""); pos != std::string::npos;
       pos = json.find("\"start_bin\"", pos + 1), ++m) {
    ASSERT_LT(m, tables.mel_bins.size());
    SCOPED_TRACE("filter " + std::to_string(m));
    const std::size_t start_bin = std::stoul(json.substr(json.find(':', pos) + 1));
    EXPECT_EQ(tables.mel_bins[m].start_bin, start_bin);
    const std::size_t open = json.find('[', json.find("\"weights_f32_bits\"", pos));
    std::istringstream bits(json.substr(open + 1, json.find(']', open) - open - 1));
    std::vector<float> weights;
    for (std::string item; std::getline(bits, item, ',');) {
      weights.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(std::stoul(item))));
    }
    const auto got = tables.weights(m);
    EXPECT_EQ(first_bit_difference(std::vector<float>(got.begin(), got.end()), weights), -1);
  }
  EXPECT_EQ(m, 80u);
}

TEST(Filterbank, FrameCountFollowsLengthAndOneFrameIsAllZeros) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
  for (std::size_t n : {0u, 399u, 400u, 559u, 560u, 16000u}) {
    std::vector<float> samples(n);
    for (float& s : samples) s = dist(rng);
    auto features = compute_wespeaker_filterbank_cmn(samples, 16000);
    ASSERT_TRUE(features.has_value());
    EXPECT_EQ(features->bins(), 80u);
    const std::size_t expected = n < 400 ? 0 : n < 560 ? 1 : n == 560 ? 2 : 98;
    EXPECT_EQ(features->frames(), expected) << n;
    EXPECT_EQ(features->values().size(), expected * 80);
    if (expected == 1) {
      for (float v : features->values()) EXPECT_EQ(std::bit_cast<std::uint32_t>(v), 0u);
    }
  }
}

TEST(Filterbank, SilenceAndExactOffsetsNormaliseToZeroWhenTheColumnSumIsExact) {
  // 40 frames: 40 copies of ln(2^-23) sum exactly, so every value is +0.
  for (float level : {0.0f, 0.25f, -0.5f}) {
    auto features = compute_wespeaker_filterbank_cmn(std::vector<float>(6640, level), 16000);
    ASSERT_TRUE(features.has_value());
    ASSERT_EQ(features->frames(), 40u);
    for (float v : features->values()) ASSERT_EQ(std::bit_cast<std::uint32_t>(v), 0u) << level;
  }
  // 98 frames: the rounded column sum leaves 0 or +-2^-20.
  auto features = compute_wespeaker_filterbank_cmn(std::vector<float>(16000, 0.0f), 16000);
  ASSERT_TRUE(features.has_value());
  for (float v : features->values()) ASSERT_TRUE(v == 0.0f || std::fabs(v) == 0x1p-20f) << v;
}

TEST(Filterbank, RejectsWrongRateBeforeNonFiniteSamples) {
  std::vector<float> samples(1000, 0.1f);
  samples[3] = std::numeric_limits<float>::quiet_NaN();
  for (std::uint32_t rate : {0u, 8000u, 44100u}) {
    auto r = compute_wespeaker_filterbank_cmn(samples, rate);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), SpeakerFeatureError::unsupported_sample_rate(16000, rate));
    EXPECT_EQ(r.error().to_string(),
              "unsupported sample rate: expected 16000, got " + std::to_string(rate));
  }
  auto r = compute_wespeaker_filterbank_cmn(samples, 16000);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), SpeakerFeatureError::non_finite_audio_sample(3));
  EXPECT_EQ(r.error().to_string(), "audio sample at index 3 is not finite");
}

TEST(Filterbank, ScansEverySampleForNonFiniteValues) {
  // 100000 samples make 623 frames covering 0 ... 99919; the last sample is in no frame.
  std::vector<float> samples(100000, 0.01f);
  samples.back() = std::numeric_limits<float>::quiet_NaN();
  auto r = compute_wespeaker_filterbank_cmn(samples, 16000);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().to_string(), "audio sample at index 99999 is not finite");

  // Too short for a frame is still scanned; the first bad sample wins.
  std::vector<float> short_input(10, 0.0f);
  short_input[7] = -std::numeric_limits<float>::infinity();
  short_input[9] = std::numeric_limits<float>::infinity();
  r = compute_wespeaker_filterbank_cmn(short_input, 16000);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), SpeakerFeatureError::non_finite_audio_sample(7));
}

// Samples beyond 2^100 are refused (NaN inside the transform would read as silence); the frames
// whose log-mel energies overflow are found without computing the features.
TEST(Filterbank, AudioTooLoudForThirtyTwoBitFeatures) {
  std::vector<float> samples(16000, 0.0f);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = 0.1f * std::sin(0.3f * static_cast<float>(i));
  }
  EXPECT_EQ(first_overflowing_filterbank_frame(samples), std::nullopt);
  EXPECT_EQ(first_overflowing_filterbank_frame(std::vector<float>(399, 1e30f)), std::nullopt);

  samples[1000] = kFilterbankSampleLimit;
  EXPECT_TRUE(compute_wespeaker_filterbank_cmn(samples, 16000).has_value());
  samples[1000] = std::nextafter(kFilterbankSampleLimit, INFINITY);
  auto features = compute_wespeaker_filterbank_cmn(samples, 16000);
  ASSERT_FALSE(features.has_value());
  EXPECT_EQ(features.error(), SpeakerFeatureError::sample_beyond_range(1000));
  EXPECT_EQ(features.error().to_string(),
            "audio sample at index 1000 is beyond the filterbank's range (magnitude above 2^100)");
  // Sample 1000 is first covered by frame 4 (samples 640 to 1039).
  EXPECT_EQ(first_overflowing_filterbank_frame(samples), 4u);

  // From frame 30 on, a tone whose power spectrum overflows (and the sample beyond the range
  // further on counts no more).
  samples[1000] = 0.0f;
  samples[9000] = -1e31f;
  for (std::size_t i = 30 * 160; i < samples.size(); ++i) samples[i] *= 1e16f;
  EXPECT_EQ(first_overflowing_filterbank_frame(samples), 28u);
}

// Inputs that stress every kernel path: frame counts around the lane counts, ordinary
// audio, large values whose spectra overflow to infinity, tiny and subnormal values.
std::vector<float> stress_signal(std::size_t n, int kind, std::mt19937& rng) {
  std::vector<float> s(n);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  for (std::size_t i = 0; i < n; ++i) {
    const float u = unit(rng);
    switch (kind) {
      case 0:
        s[i] = 0.3f * std::sin(0.05f * static_cast<float>(i)) + 0.05f * u;
        break;
      case 1:
        s[i] = u * 1.0e15f;  // squares overflow: infinite energies, NaN after normalisation
        break;
      case 2:
        s[i] = u * 1.2e30f;  // just within the filterbank's range: the transform nears FLT_MAX
        break;
      case 3:
        s[i] = u * 1.0e-38f * static_cast<float>(i % 3);  // subnormal and zero samples
        break;
      default:
        s[i] = (i / 400) % 2 == 0 ? u : 0.0f;  // frames alternating noise and silence
        break;
    }
  }
  return s;
}

TEST(Filterbank, VectorKernelsMatchScalarKernelBitForBit) {
  std::mt19937 rng(2024);
  const auto kernels = available_filterbank_kernels();
  for (int kind = 0; kind < 5; ++kind) {
    for (std::size_t frames : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 33u, 50u}) {
      const std::size_t n = 400 + (frames - 1) * 160 + (frames % 3) * 53;
      const auto samples = stress_signal(n, kind, rng);
      auto reference = compute_filterbank_with_kernel(FilterbankKernel::Scalar, samples, 16000);
      ASSERT_TRUE(reference.has_value());
      ASSERT_EQ(reference->frames(), frames);
      for (FilterbankKernel kernel : kernels) {
        auto got = compute_filterbank_with_kernel(kernel, samples, 16000);
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(first_bit_difference(got->values(), reference->values()), -1)
            << filterbank_kernel_name(kernel) << " kind " << kind << " frames " << frames;
      }
    }
  }
}

void expect_logs_match(const std::vector<float>& in) {
  std::vector<float> reference(in.size());
  filterbank_detail::floored_log_batch(FilterbankKernel::Scalar, in, reference);
  for (FilterbankKernel kernel : available_filterbank_kernels()) {
    std::vector<float> got(in.size());
    filterbank_detail::floored_log_batch(kernel, in, got);
    const auto diff = first_bit_difference(got, reference);
    ASSERT_EQ(diff, -1) << filterbank_kernel_name(kernel) << " at input "
                        << (diff >= 0 ? in[static_cast<std::size_t>(diff)] : 0.0f);
  }
}

// Special values, then every step-th float from the floor to the largest finite value.
void expect_logs_match_from_floor(std::uint32_t step) {
  const std::vector<float> special = {0.0f,
                                      -0.0f,
                                      -1.0f,
                                      std::numeric_limits<float>::quiet_NaN(),
                                      std::numeric_limits<float>::infinity(),
                                      std::numeric_limits<float>::denorm_min(),
                                      1.0f,
                                      0x1p-23f,
                                      std::nextafter(0x1p-23f, 1.0f),
                                      std::numeric_limits<float>::max()};
  std::vector<float> reference(special.size());
  filterbank_detail::floored_log_batch(FilterbankKernel::Scalar, special, reference);
  EXPECT_EQ(reference[0], filterbank_detail::log_f32(0x1p-23f));
  EXPECT_EQ(reference[3], reference[0]);  // NaN takes the floor
  EXPECT_EQ(reference[4], std::numeric_limits<float>::infinity());
  expect_logs_match(special);

  constexpr std::size_t kChunk = 1 << 20;
  std::vector<float> in;
  in.reserve(kChunk);
  for (std::uint64_t bits = std::bit_cast<std::uint32_t>(0x1p-23f); bits < 0x7f800000u;
       bits += step) {
    in.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
    if (in.size() == kChunk) {
      expect_logs_match(in);
      if (::testing::Test::HasFatalFailure()) return;
      in.clear();
    }
  }
  expect_logs_match(in);
}

TEST(Filterbank, VectorLogEqualsRoundedDoubleLog) { expect_logs_match_from_floor(997); }

// Every float from the floor to the largest finite value (about 1.3e9 inputs, minutes).
TEST(Filterbank, DISABLED_VectorLogEqualsRoundedDoubleLogExhaustively) {
  expect_logs_match_from_floor(1);
}

}  // namespace
}  // namespace quillfen::speakers
