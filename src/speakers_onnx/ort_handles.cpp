#include "speakers_onnx/ort_handles.h"

#include <mutex>
#include <string>

#include "speakers/utf8_text.h"
#include "speakers_onnx/ort_api.h"

namespace quillfen::onnx {

namespace {

// The runtime's log sink: the engine prints nothing but its one result or error line.
void discard_runtime_log(void* /*param*/, OrtLoggingLevel /*severity*/, const char* /*category*/,
                         const char* /*logid*/, const char* /*code_location*/,
                         const char* /*message*/) {}

constexpr const char* kEnvLogId = "quillfen-speakers";

struct SharedEnv {
  std::mutex mutex;
  OrtEnv* env = nullptr;
  ~SharedEnv() {
    if (env != nullptr) ort_api()->ReleaseEnv(env);
  }
};

SharedEnv& shared_env_holder() {
  static SharedEnv holder;
  return holder;
}

}  // namespace

std::expected<const OrtApi*, SpeakerOnnxError> require_ort_api() {
  const OrtApi* api = ort_api();
  if (api == nullptr) {
    return std::unexpected(SpeakerOnnxError::runtime("ONNX Runtime " + ort_version_string() +
                                                     " does not provide API version " +
                                                     std::to_string(kOrtApiVersion)));
  }
  return api;
}

std::optional<SpeakerOnnxError> take_status_error(const OrtApi& api, OrtStatus* status) {
  if (status == nullptr) return std::nullopt;
  const char* message = api.GetErrorMessage(status);
  // The runtime quotes bytes of the model file (node names) in its messages: they enter the
  // engine's texts as UTF-8.
  SpeakerOnnxError error =
      SpeakerOnnxError::runtime(speakers::utf8_lossy(message != nullptr ? message : ""));
  api.ReleaseStatus(status);
  return error;
}

std::expected<OrtEnv*, SpeakerOnnxError> shared_ort_env() {
  auto api = require_ort_api();
  if (!api) return std::unexpected(api.error());
  SharedEnv& holder = shared_env_holder();
  std::lock_guard lock(holder.mutex);
  if (holder.env == nullptr) {
    OrtEnv* env = nullptr;
    QUILLFEN_ORT_TRY(**api,
                     (*api)->CreateEnvWithCustomLogger(discard_runtime_log, nullptr,
                                                       ORT_LOGGING_LEVEL_WARNING, kEnvLogId, &env));
    holder.env = env;
  }
  return holder.env;
}

void SessionOptionsDeleter::operator()(OrtSessionOptions* handle) const noexcept {
  ort_api()->ReleaseSessionOptions(handle);
}
void TypeInfoDeleter::operator()(OrtTypeInfo* handle) const noexcept {
  ort_api()->ReleaseTypeInfo(handle);
}
void TensorTypeAndShapeInfoDeleter::operator()(OrtTensorTypeAndShapeInfo* handle) const noexcept {
  ort_api()->ReleaseTensorTypeAndShapeInfo(handle);
}

AllocatedName::~AllocatedName() {
  if (text_ != nullptr) {
    // Freeing cannot meaningfully fail; a status, if any, is released unread.
    if (OrtStatus* status = ort_api()->AllocatorFree(allocator_, text_)) {
      ort_api()->ReleaseStatus(status);
    }
  }
}

}  // namespace quillfen::onnx
