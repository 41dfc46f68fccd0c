// Raw float files: the audio reader, the payload reader, the matrix encoder and the
// deferred payload writer.
#include "analyze/raw_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <thread>
#include <vector>

#include "support/paths.h"

namespace quillfen::analyze {
namespace {

using quillfen::testing::read_file;
using quillfen::testing::TempDir;
using quillfen::testing::write_file;
using quillfen::testing::write_floats;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(AudioReader, DecodesLittleEndianSamplesOfAnyRange) {
  TempDir dir;
  const std::string path = (dir / "a.f32").string();
  // 1.0f, -0.0f, the smallest subnormal, the largest finite value.
  write_file(path, std::string("\x00\x00\x80\x3F"
                               "\x00\x00\x00\x80"
                               "\x01\x00\x00\x00"
                               "\xFF\xFF\x7F\x7F",
                               16));
  const auto samples = read_audio_file(path);
  ASSERT_TRUE(samples.has_value());
  ASSERT_EQ(samples->size(), 4u);
  EXPECT_EQ((*samples)[0], 1.0f);
  EXPECT_TRUE(std::signbit((*samples)[1]));
  EXPECT_EQ((*samples)[2], std::numeric_limits<float>::denorm_min());
  EXPECT_EQ((*samples)[3], std::numeric_limits<float>::max());

  write_file(path, "");
  ASSERT_TRUE(read_audio_file(path).has_value());
  EXPECT_TRUE(read_audio_file(path)->empty());
}

TEST(AudioReader, ReadsLargeFilesAndStreamsWhole) {
  TempDir dir;
  std::vector<float> values(300001);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i) * 0.25f - 7.0f;
  write_floats(dir / "big.f32", values);
  EXPECT_EQ(read_audio_file((dir / "big.f32").string()), values);

  // A pipe has no size to go by; the reader keeps growing its buffer until end of file.
  const std::string fifo = (dir / "pipe").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] { write_floats(fifo, values); });
  const auto streamed = read_audio_file(fifo);
  writer.join();
  EXPECT_EQ(streamed, values);
}

TEST(AudioReader, Failures) {
  TempDir dir;
  const std::string path = (dir / "a.f32").string();
  write_file(path, "abcdef");
  EXPECT_EQ(read_audio_file(path).error(),
            AnalyzeError::audio_invalid(path, "byte length 6 is not divisible by 4"));
  EXPECT_EQ(read_audio_file(path).error().detail(),
            "audio path \"" + path +
                "\" is not raw little-endian f32 mono: byte length 6 is not divisible by 4");

  write_floats(path, {0.0f, 1.0f, -2.0f, kNaN, 1.0f});
  EXPECT_EQ(read_audio_file(path).error(), AnalyzeError::audio_non_finite(3, path));
  write_floats(path, {-kInf});
  EXPECT_EQ(read_audio_file(path).error(), AnalyzeError::audio_non_finite(0, path));
  // A signalling NaN with only the lowest mantissa bit set is caught by its exponent bits.
  write_file(path, std::string("\x00\x00\x00\x00"
                               "\x01\x00\x80\x7F",
                               8));
  EXPECT_EQ(read_audio_file(path).error(), AnalyzeError::audio_non_finite(1, path));

  const std::string missing = (dir / "missing.f32").string();
  EXPECT_EQ(read_audio_file(missing).error(),
            AnalyzeError::audio_unreadable(missing, "No such file or directory (os error 2)"));
  EXPECT_EQ(read_audio_file(dir.path().string()).error(),
            AnalyzeError::audio_unreadable(dir.path().string(), "Is a directory (os error 21)"));

  const std::string with_nul = path + std::string("\0x", 2);
  EXPECT_EQ(read_audio_file(with_nul).error(),
            AnalyzeError::audio_unreadable(with_nul, "file name contained an unexpected NUL byte"));
}

TEST(PayloadReader, ReadsRowMajorValues) {
  TempDir dir;
  const std::string path = (dir / "p.f32").string();
  const std::vector<float> values = {1.0f, 0.0f, 0.0f, 0.6f, 0.8f, 0.0f};
  write_floats(path, values);
  EXPECT_EQ(read_payload_file(path, 2, 3, 24), values);

  // Links are followed.
  std::filesystem::create_symlink(path, dir / "link.f32");
  EXPECT_EQ(read_payload_file((dir / "link.f32").string(), 3, 2, 24), values);

  write_file(path, "");
  ASSERT_TRUE(read_payload_file(path, 0, 5, 0).has_value());
  EXPECT_TRUE(read_payload_file(path, 0, 5, 0)->empty());
}

TEST(PayloadReader, Failures) {
  TempDir dir;
  const std::string path = (dir / "p.f32").string();
  write_floats(path, {1, 2, 3, 4, 5});
  EXPECT_EQ(read_payload_file(path, 2, 3, 24).error(),
            AnalyzeError::payload_invalid(path, "byte length 20 does not match expected 24"));
  EXPECT_EQ(
      read_payload_file(path, 2, 3, 24).error().detail(),
      "payload path \"" + path +
          "\" is not raw little-endian f32 row-major: byte length 20 does not match expected 24");

  write_floats(path, {0, 0, 0, 0, 0, 0, 0, kInf, 0});
  EXPECT_EQ(read_payload_file(path, 3, 3, 36).error(),
            AnalyzeError::payload_non_finite(2, 1, path));
  write_floats(path, {kNaN, 0});
  EXPECT_EQ(read_payload_file(path, 1, 2, 8).error(), AnalyzeError::payload_non_finite(0, 0, path));

  EXPECT_EQ(read_payload_file(dir.path().string(), 0, 1, 0).error(),
            AnalyzeError::payload_unreadable(dir.path().string(), "path is not a regular file"));
  const std::string missing = (dir / "missing.f32").string();
  EXPECT_EQ(read_payload_file(missing, 1, 1, 4).error(),
            AnalyzeError::payload_unreadable(missing, "No such file or directory (os error 2)"));
  std::filesystem::create_symlink(dir / "nowhere", dir / "dangling");
  EXPECT_EQ(read_payload_file((dir / "dangling").string(), 1, 1, 4).error(),
            AnalyzeError::payload_unreadable((dir / "dangling").string(),
                                             "No such file or directory (os error 2)"));
  const std::string with_nul = path + std::string("\0", 1);
  EXPECT_EQ(
      read_payload_file(with_nul, 1, 2, 8).error(),
      AnalyzeError::payload_unreadable(with_nul, "file name contained an unexpected NUL byte"));
}

TEST(MatrixEncoder, FourLittleEndianBytesPerValue) {
  const std::vector<float> values = {1.0f, -0.0f, kNaN, -2.5f};
  const std::vector<std::uint8_t> bytes = encode_matrix(values);
  const std::vector<std::uint8_t> expected = {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x80,
                                              0x00, 0x00, 0xC0, 0x7F, 0x00, 0x00, 0x20, 0xC0};
  EXPECT_EQ(bytes, expected);
  EXPECT_TRUE(encode_matrix({}).empty());
}

class PayloadWriter : public ::testing::Test {
 protected:
  void SetUp() override { old_mask_ = ::umask(027); }
  void TearDown() override { ::umask(old_mask_); }

  mode_t old_mask_ = 0;
  TempDir dir_;
};

TEST_F(PayloadWriter, WritesEveryFileInOrderWithCreationPermissions) {
  const std::string first = (dir_ / "first.f32").string();
  const std::string second = (dir_ / "second.f32").string();
  write_file(second, std::string(100, 'x'));  // an existing longer file is truncated
  const std::vector<PayloadWrite> writes = {
      {first, encode_matrix(std::vector<float>{1.0f, 2.0f})},
      {second, {}},
  };
  ASSERT_TRUE(write_payloads(writes).has_value());
  EXPECT_EQ(quillfen::testing::read_floats(first), (std::vector<float>{1.0f, 2.0f}));
  EXPECT_EQ(read_file(second), "");
  struct stat info {};
  ASSERT_EQ(::stat(first.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);  // 0666 & ~027
}

TEST_F(PayloadWriter, StopsAtTheFirstFailureAndKeepsEarlierFiles) {
  const std::string first = (dir_ / "first.f32").string();
  const std::string unwritable = (dir_ / "no-such-dir" / "x.f32").string();
  const std::string never = (dir_ / "never.f32").string();
  const std::vector<PayloadWrite> writes = {
      {first, encode_matrix(std::vector<float>{3.0f})},
      {unwritable, encode_matrix(std::vector<float>{4.0f})},
      {never, {}},
  };
  const AnalyzeError error = write_payloads(writes).error();
  EXPECT_EQ(error,
            AnalyzeError::output_unwritable(unwritable, "No such file or directory (os error 2)"));
  EXPECT_EQ(error.detail(), "output payload path \"" + unwritable +
                                "\" is unwritable: No such file or directory (os error 2); "
                                "non-zero exit means payloads must not be trusted");
  EXPECT_EQ(error.exit_status(), 75);
  EXPECT_EQ(quillfen::testing::read_floats(first), (std::vector<float>{3.0f}));
  EXPECT_FALSE(std::filesystem::exists(never));
}

TEST_F(PayloadWriter, RefusesDirectoriesFullDevicesAndNulPaths) {
  EXPECT_EQ(write_payloads(std::vector<PayloadWrite>{{dir_.path().string(), {}}}).error(),
            AnalyzeError::output_unwritable(dir_.path().string(), "Is a directory (os error 21)"));
  if (std::filesystem::exists("/dev/full")) {
    EXPECT_EQ(
        write_payloads(std::vector<PayloadWrite>{{"/dev/full", {1, 2, 3, 4}}}).error(),
        AnalyzeError::output_unwritable("/dev/full", "No space left on device (os error 28)"));
  }
  const std::string target = (dir_ / "t.f32").string();
  const std::string with_nul = target + std::string("\0", 1);
  EXPECT_EQ(
      write_payloads(std::vector<PayloadWrite>{{with_nul, {}}}).error(),
      AnalyzeError::output_unwritable(with_nul, "file name contained an unexpected NUL byte"));
  EXPECT_FALSE(std::filesystem::exists(target));
}

}  // namespace
}  // namespace quillfen::analyze
