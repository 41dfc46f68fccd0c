#include "analyze/system_text.h"

#include <cstring>
#include <string>

#include "speakers/utf8_text.h"

namespace quillfen::analyze {
namespace {

// strerror_r comes in two flavours (GNU returns the text, XSI fills the buffer).
[[maybe_unused]] const char* strerror_result(const char* text, const char*) { return text; }
[[maybe_unused]] const char* strerror_result(int rc, const char* buffer) {
  return rc == 0 ? buffer : nullptr;
}

}  // namespace

std::string os_error_text(int error_number) {
  char buffer[256] = {};
  const char* description =
      strerror_result(::strerror_r(error_number, buffer, sizeof buffer), buffer);
  // The system's text is UTF-8 in the engine's texts, whatever the C library gives.
  std::string text = description != nullptr ? speakers::utf8_lossy(description)
                                             : "Unknown error " + std::to_string(error_number);
  text += " (os error ";
  text += std::to_string(error_number);
  text += ')';
  return text;
}

}  // namespace quillfen::analyze
