// Raw float files: the audio reader, the payload reader, the matrix encoder and the
// deferred payload writer.
#include "analyze/raw_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <thread>
#include <vector>

#include "support/paths.h"

namespace quillfen::analyze {
namespace {

using quillfen::testing::read_file;
using quillfen::testing::write_file;
using quillfen::testing::write_floats;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
const std::string kNul = "file name contained an unexpected NUL byte";

class RawFiles : public ::testing::Test {
 protected:
  quillfen::testing::TempDir dir_;
  std::string path_ = dir_ / "p.f32";
  std::string missing_ = dir_ / "missing";
  std::string enoent_ = "No such file or directory (os error 2)";
};

TEST_F(RawFiles, AudioDecodesLittleEndianSamples) {
  // 1.0f, -0.0f, the smallest subnormal, the largest finite value.
  write_file(path_, std::string("\0\0\x80\x3F\0\0\0\x80\x01\0\0\0\xFF\xFF\x7F\x7F", 16));
  const auto samples = read_audio_file(path_).value();
  const float max = std::numeric_limits<float>::max();
  EXPECT_EQ(samples,
            (std::vector<float>{1.0f, 0.0f, std::numeric_limits<float>::denorm_min(), max}));
  EXPECT_TRUE(std::signbit(samples[1]));

  // A pipe has no size to go by; the reader grows its buffer until end of file.
  const std::string fifo = dir_ / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::vector<float> values(70001);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i) * 0.25f - 7.0f;
  std::thread writer([&] { write_floats(fifo, values); });
  EXPECT_EQ(read_audio_file(fifo), values);
  writer.join();
}

TEST_F(RawFiles, AudioNonFiniteByExponentBits) {
  write_floats(path_, {-kInf});
  EXPECT_EQ(read_audio_file(path_).error(), AnalyzeError::audio_non_finite(0, path_));
  // A signalling NaN with only the lowest mantissa bit set.
  write_file(path_, std::string("\0\0\0\0\x01\0\x80\x7F", 8));
  EXPECT_EQ(read_audio_file(path_).error(), AnalyzeError::audio_non_finite(1, path_));
  const std::string with_nul = path_ + std::string("\0x", 2);
  EXPECT_EQ(read_audio_file(with_nul).error(), AnalyzeError::audio_unreadable(with_nul, kNul));
}

TEST_F(RawFiles, PayloadReadsRowMajorValues) {
  const std::vector<float> values = {1.0f, 0.0f, 0.0f, 0.6f, 0.8f, 0.0f};
  write_floats(path_, values);
  std::filesystem::create_symlink(path_, dir_ / "link");  // links are followed
  EXPECT_EQ(read_payload_file(dir_ / "link", 2, 3, 24), values);
  write_file(path_, "");
  EXPECT_EQ(read_payload_file(path_, 0, 5, 0).value(), std::vector<float>{});
}

TEST_F(RawFiles, PayloadFailures) {
  write_floats(path_, {1, 2, 3, 4, 5});
  EXPECT_EQ(read_payload_file(path_, 2, 3, 24).error(),
            AnalyzeError::payload_invalid(path_, "byte length 20 does not match expected 24"));
  write_floats(path_, {0, 0, 0, 0, 0, 0, 0, kInf, 0});
  EXPECT_EQ(read_payload_file(path_, 3, 3, 36).error(),
            AnalyzeError::payload_non_finite(2, 1, path_));
  write_floats(path_, {kNaN, 0});
  EXPECT_EQ(read_payload_file(path_, 1, 2, 8).error(),
            AnalyzeError::payload_non_finite(0, 0, path_));
  EXPECT_EQ(read_payload_file(dir_.path(), 0, 1, 0).error(),
            AnalyzeError::payload_unreadable(dir_.path(), "path is not a regular file"));
  EXPECT_EQ(read_payload_file(missing_, 1, 1, 4).error(),
            AnalyzeError::payload_unreadable(missing_, enoent_));
  const std::string with_nul = path_ + std::string("\0", 1);
  EXPECT_EQ(read_payload_file(with_nul, 1, 2, 8).error(),
            AnalyzeError::payload_unreadable(with_nul, kNul));
}

TEST_F(RawFiles, EncoderWritesFourLittleEndianBytesPerValue) {
  const std::vector<std::uint8_t> expected = {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x80,
                                              0x00, 0x00, 0xC0, 0x7F, 0x00, 0x00, 0x20, 0xC0};
  EXPECT_EQ(encode_matrix(std::vector<float>{1.0f, -0.0f, kNaN, -2.5f}), expected);
}

TEST_F(RawFiles, WriterCreatesTruncatesAndAppliesTheMask) {
  const mode_t old_mask = ::umask(027);
  const std::string second = dir_ / "second.f32";
  write_file(second, std::string(100, 'x'));
  const std::vector<PayloadWrite> writes = {{path_, encode_matrix(std::vector<float>{1.0f, 2.0f})},
                                            {second, {}}};
  const auto written = write_payloads(writes);
  struct stat info {};
  const int stat_rc = ::stat(path_.c_str(), &info);
  ::umask(old_mask);
  ASSERT_TRUE(written.has_value());
  EXPECT_EQ(quillfen::testing::read_floats(path_), (std::vector<float>{1.0f, 2.0f}));
  EXPECT_EQ(read_file(second), "");
  ASSERT_EQ(stat_rc, 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);  // 0666 & ~027
}

TEST_F(RawFiles, WriterStopsAtTheFirstFailureAndKeepsEarlierFiles) {
  const std::string unwritable = dir_ / "no-such-dir" / "x.f32";
  const std::string never = dir_ / "never.f32";
  const std::vector<PayloadWrite> writes = {
      {path_, encode_matrix(std::vector<float>{3.0f})}, {unwritable, {1, 2, 3, 4}}, {never, {}}};
  const AnalyzeError error = write_payloads(writes).error();
  EXPECT_EQ(error, AnalyzeError::output_unwritable(unwritable, enoent_));
  EXPECT_EQ(error.detail(), "output payload path \"" + unwritable + "\" is unwritable: " + enoent_ +
                                "; non-zero exit means payloads must not be trusted");
  EXPECT_EQ(quillfen::testing::read_floats(path_), (std::vector<float>{3.0f}));
  EXPECT_FALSE(std::filesystem::exists(never));

  EXPECT_EQ(write_payloads(std::vector<PayloadWrite>{{dir_.path(), {}}}).error(),
            AnalyzeError::output_unwritable(dir_.path(), "Is a directory (os error 21)"));
  EXPECT_EQ(write_payloads(std::vector<PayloadWrite>{{"/dev/full", {1, 2, 3, 4}}}).error(),
            AnalyzeError::output_unwritable("/dev/full", "No space left on device (os error 28)"));
  const std::string with_nul = never + std::string("\0", 1);
  EXPECT_EQ(write_payloads(std::vector<PayloadWrite>{{with_nul, {}}}).error(),
            AnalyzeError::output_unwritable(with_nul, kNul));
  EXPECT_FALSE(std::filesystem::exists(never));
}

}  // namespace
}  // namespace quillfen::analyze
