#include "speakers_onnx/ort_api.h"

namespace quillfen::onnx {

const OrtApi* ort_api() {
  static const OrtApi* api = OrtGetApiBase()->GetApi(kOrtApiVersion);
  return api;
}

std::string ort_version_string() { return OrtGetApiBase()->GetVersionString(); }

}  // namespace quillfen::onnx
