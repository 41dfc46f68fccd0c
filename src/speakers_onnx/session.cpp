#include "speakers_onnx/session.h"

#include <sys/stat.h>

#include <utility>

#include "speakers_onnx/ort_api.h"
#include "speakers_onnx/ort_handles.h"

namespace quillfen::onnx {

void SpeakerSession::Deleter::operator()(OrtSession* session) const noexcept {
  ort_api()->ReleaseSession(session);
}

std::vector<SpeakerExecutionProvider> default_speaker_execution_providers(bool cpu_only) {
  if (cpu_only) return {SpeakerExecutionProvider::Cpu};
  return {SpeakerExecutionProvider::CoreMl, SpeakerExecutionProvider::Cpu};
}

std::string_view speaker_execution_provider_name(SpeakerExecutionProvider provider) {
  switch (provider) {
    case SpeakerExecutionProvider::CoreMl:
      return "CoreMLExecutionProvider";
    case SpeakerExecutionProvider::Cpu:
      return "CPUExecutionProvider";
  }
  return {};
}

std::string format_shape(std::span<const std::int64_t> dims) {
  std::string out = "[";
  for (std::size_t i = 0; i < dims.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(dims[i]);
  }
  out += "]";
  return out;
}

std::expected<void, SpeakerOnnxError> validate_model_io(std::string_view kind_word,
                                                        std::string_view declared_name,
                                                        const DeclaredValueType& declared,
                                                        std::string_view expected_name,
                                                        std::span<const DimSpec> expected_dims) {
  const std::string kind(kind_word);
  const std::string name = quote_model_name(declared_name);
  auto mismatch = [](std::string message) {
    return std::unexpected(SpeakerOnnxError::model_io_mismatch(std::move(message)));
  };
  if (declared_name != expected_name) {
    return mismatch(kind + " name " + name + " is not " + quote_model_name(expected_name));
  }
  if (declared.kind != ModelValueKind::Tensor) {
    return mismatch(kind + " " + name + " is not a tensor");
  }
  if (declared.element_type != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) {
    return mismatch(kind + " " + name + " is " + onnx_element_type_name(declared.element_type) +
                    ", not float32");
  }
  if (declared.dims.size() != expected_dims.size()) {
    return mismatch(kind + " " + name + " shape " + format_shape(declared.dims) +
                    " has wrong rank");
  }
  for (std::size_t i = 0; i < expected_dims.size(); ++i) {
    const auto& fixed = expected_dims[i].fixed;
    if (fixed && *fixed != declared.dims[i]) {
      return mismatch(kind + " " + name + " dim " + std::to_string(i) + " is " +
                      std::to_string(declared.dims[i]) + ", not " + std::to_string(*fixed));
    }
  }
  return {};
}

std::expected<SpeakerSession, SpeakerOnnxError> open_speaker_session(
    const std::filesystem::path& model_path, std::span<const SpeakerExecutionProvider> plan) {
  if (plan.empty()) return std::unexpected(SpeakerOnnxError::empty_provider_plan());
  auto api_or = require_ort_api();
  if (!api_or) return std::unexpected(api_or.error());
  const OrtApi& api = **api_or;
  auto env = shared_ort_env();
  if (!env) return std::unexpected(env.error());

  OrtSessionOptions* raw_options = nullptr;
  QUILLFEN_ORT_TRY(api, api.CreateSessionOptions(&raw_options));
  SessionOptionsHandle options(raw_options);

  // Every registration is non-fatal: a refusal (CoreML in a build without it) is discarded and
  // the runtime's CPU provider stays available.
  for (SpeakerExecutionProvider provider : plan) {
    OrtStatus* status = nullptr;
    switch (provider) {
      case SpeakerExecutionProvider::CoreMl:
        status =
            api.SessionOptionsAppendExecutionProvider(options.get(), "CoreML", nullptr, nullptr, 0);
        break;
      case SpeakerExecutionProvider::Cpu:
        status = api.DisableCpuMemArena(options.get());
        break;
    }
    if (status != nullptr) api.ReleaseStatus(status);
  }

  const std::string& path_text = model_path.native();
  if (path_text.find('\0') != std::string::npos) {
    return std::unexpected(SpeakerOnnxError::runtime("file name contained an unexpected NUL byte"));
  }
  struct stat metadata {};
  if (::stat(path_text.c_str(), &metadata) != 0) {
    return std::unexpected(SpeakerOnnxError::runtime("File at `" + path_text + "` does not exist"));
  }

  OrtSession* session = nullptr;
  QUILLFEN_ORT_TRY(api, api.CreateSession(*env, path_text.c_str(), options.get(), &session));
  return SpeakerSession(session);
}

}  // namespace quillfen::onnx
