#include "speakers_onnx/session.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include "speakers_onnx/pyannote.h"
#include "support/paths.h"

namespace quillfen::onnx {
namespace {

using testing::TempDir;
using testing::test_models_dir;

const std::vector<SpeakerExecutionProvider> kCpu = {SpeakerExecutionProvider::Cpu};

constexpr std::array<DimSpec, 3> kFeatsDims = {DimSpec::any(), DimSpec::any(),
                                               DimSpec::exactly(80)};

DeclaredValueType float_tensor(std::vector<std::int64_t> dims) {
  return DeclaredValueType{ModelValueKind::Tensor, 1, std::move(dims)};
}

std::string io_mismatch(const std::expected<void, SpeakerOnnxError>& result) {
  EXPECT_FALSE(result.has_value());
  if (result) return {};
  EXPECT_EQ(result.error().kind, SpeakerOnnxError::Kind::ModelIoMismatch);
  return result.error().message;
}

TEST(ValidateModelIo, AcceptsMatchingDeclarations) {
  EXPECT_TRUE(validate_model_io("input", "feats", float_tensor({-1, -1, 80}), "feats", kFeatsDims));
  // A fixed declared size where any size is expected is not looked at.
  EXPECT_TRUE(validate_model_io("input", "feats", float_tensor({1, 300, 80}), "feats", kFeatsDims));
}

TEST(ValidateModelIo, ChecksInOrderNameTensorTypeRankDims) {
  // Everything is wrong: the name is reported first, quoted with escapes.
  DeclaredValueType map{ModelValueKind::Map, 0, {}};
  EXPECT_EQ(io_mismatch(validate_model_io("input", "a\"b\\c", map, "feats", kFeatsDims)),
            "input name \"a\\\"b\\\\c\" is not \"feats\"");
  EXPECT_EQ(io_mismatch(validate_model_io("output", "feats", map, "feats", kFeatsDims)),
            "output \"feats\" is not a tensor");
  DeclaredValueType sequence{ModelValueKind::Sequence, 0, {}};
  EXPECT_EQ(io_mismatch(validate_model_io("input", "feats", sequence, "feats", kFeatsDims)),
            "input \"feats\" is not a tensor");
  DeclaredValueType doubles{ModelValueKind::Tensor, 11, {2}};
  EXPECT_EQ(io_mismatch(validate_model_io("input", "feats", doubles, "feats", kFeatsDims)),
            "input \"feats\" is f64, not float32");
  EXPECT_EQ(
      io_mismatch(validate_model_io("input", "feats", float_tensor({1, -1}), "feats", kFeatsDims)),
      "input \"feats\" shape [1, -1] has wrong rank");
  EXPECT_EQ(io_mismatch(validate_model_io("input", "feats", float_tensor({}), "feats", kFeatsDims)),
            "input \"feats\" shape [] has wrong rank");
  // A dynamic dimension fails where a fixed size is expected.
  EXPECT_EQ(io_mismatch(
                validate_model_io("input", "feats", float_tensor({1, 5, -1}), "feats", kFeatsDims)),
            "input \"feats\" dim 2 is -1, not 80");
  constexpr std::array<DimSpec, 2> two_fixed = {DimSpec::exactly(3), DimSpec::exactly(4)};
  EXPECT_EQ(io_mismatch(validate_model_io("output", "x", float_tensor({5, 6}), "x", two_fixed)),
            "output \"x\" dim 0 is 5, not 3");
}

TEST(OpenSpeakerSession, EmptyPlanFailsEvenForAValidModel) {
  auto session = open_speaker_session(test_models_dir() / "segmentation.onnx", {});
  ASSERT_FALSE(session);
  EXPECT_EQ(session.error(), SpeakerOnnxError::empty_provider_plan());
}

TEST(OpenSpeakerSession, EveryPlanOpensOnACpuOnlyRuntime) {
  // CoreML is refused by this runtime build; the refusal is not an error.
  for (const auto& plan :
       {default_speaker_execution_providers(false), default_speaker_execution_providers(true),
        std::vector{SpeakerExecutionProvider::CoreMl},
        std::vector{SpeakerExecutionProvider::Cpu, SpeakerExecutionProvider::Cpu}}) {
    auto session = open_speaker_session(test_models_dir() / "segmentation.onnx", plan);
    ASSERT_TRUE(session) << session.error().to_string();
    EXPECT_NE(session->get(), nullptr);
  }
}

TEST(OpenSpeakerSession, MissingPathAndNulByte) {
  auto missing = open_speaker_session("/nonexistent dir/model.onnx", kCpu);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(),
            SpeakerOnnxError::runtime("File at `/nonexistent dir/model.onnx` does not exist"));

  // The path up to the NUL names a real model; it must not be opened in its place.
  const std::string real = (test_models_dir() / "segmentation.onnx").string();
  auto with_nul = open_speaker_session(std::filesystem::path(real + std::string("\0x", 2)), kCpu);
  ASSERT_FALSE(with_nul);
  EXPECT_EQ(with_nul.error(),
            SpeakerOnnxError::runtime("file name contained an unexpected NUL byte"));
}

TEST(OpenSpeakerSession, UnloadableFilesAreRuntimeErrorsWithTheRuntimeMessage) {
  TempDir dir;
  std::filesystem::create_directory(dir / "model.onnx");
  const std::vector<std::pair<std::filesystem::path, std::string>> cases = {
      {test_models_dir() / "garbage.onnx", "Protobuf parsing failed"},
      {test_models_dir() / "empty.onnx", "does not have a graph"},
      {test_models_dir() / "seg_unknown_op.onnx", "Frobnicate"},
      // The runtime quotes the node input "fe\x87ts" of the file: U+FFFD takes the byte's place.
      {test_models_dir() / "emb_bad_utf8_node.onnx", "Node input 'fe\xEF\xBF\xBDts' is not"},
      {dir / "model.onnx", ""},
  };
  for (const auto& [path, fragment] : cases) {
    auto session = open_speaker_session(path, default_speaker_execution_providers(false));
    ASSERT_FALSE(session) << path;
    EXPECT_EQ(session.error().kind, SpeakerOnnxError::Kind::Runtime) << path;
    EXPECT_FALSE(session.error().message.empty()) << path;
    EXPECT_NE(session.error().message.find(fragment), std::string::npos) << session.error().message;
  }
}

// Captures everything written to the process's stdout and stderr descriptors.
class CapturedOutput {
 public:
  explicit CapturedOutput(const std::filesystem::path& file) {
    std::fflush(stdout);
    std::fflush(stderr);
    fd_ = ::open(file.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    saved_out_ = ::dup(1);
    saved_err_ = ::dup(2);
    ::dup2(fd_, 1);
    ::dup2(fd_, 2);
  }
  ~CapturedOutput() { restore(); }
  void restore() {
    if (fd_ < 0) return;
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(saved_out_, 1);
    ::dup2(saved_err_, 2);
    ::close(saved_out_);
    ::close(saved_err_);
    ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  int saved_out_ = -1;
  int saved_err_ = -1;
};

TEST(OpenSpeakerSession, RuntimeLogOutputNeverReachesTheStreams) {
  // Loading seg_noisy_load.onnx makes the runtime log a warning about its unused initializer
  // (printed to stderr by the runtime's default logger); failures log errors as well.
  TempDir dir;
  CapturedOutput captured(dir / "streams.txt");
  auto segmenter = PyannoteSegmenter::open(test_models_dir() / "seg_noisy_load.onnx",
                                           default_speaker_execution_providers(false));
  bool ran = false;
  if (segmenter) ran = segmenter->infer_window(std::vector<float>(160000, 0.0f)).has_value();
  auto broken = open_speaker_session(test_models_dir() / "seg_unknown_op.onnx", kCpu);
  captured.restore();

  ASSERT_TRUE(segmenter) << segmenter.error().to_string();
  EXPECT_TRUE(ran);
  EXPECT_FALSE(broken);
  EXPECT_EQ(testing::read_file(dir / "streams.txt"), "");
}

}  // namespace
}  // namespace quillfen::onnx
