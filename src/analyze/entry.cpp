#include "analyze/entry.h"

#include <cstdio>

namespace quillfen::analyze {

int run_process_entry(int, char**) {
  std::fputs(
      "{\"schema\":\"quillfen-speaker-analyze-error-v1\",\"reason\":\"internal-error\","
      "\"detail\":\"this build does not answer requests yet\"}\n",
      stderr);
  return 75;
}

}  // namespace quillfen::analyze
