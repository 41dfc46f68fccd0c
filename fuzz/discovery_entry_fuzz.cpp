// The whole entry of the discovery-cluster command on request text, reaching the clustering:
// the scratch directory holds payload files written once at start-up, named by plain
// relative names. Every run keeps the one-line contract (fuzz_support.h). A valid request is
// run only when its payload path is a plain name of the scratch directory, so that no run
// reads a device or a pipe.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "analyze/discovery_command.h"
#include "fuzz_support.h"
#include "support/unit_rows.h"

namespace fuzz = quillfen::fuzz;

using quillfen::testing::unit_rows;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::enter_scratch_directory("discovery");
  // Two groups, exact duplicates and a far row: 12 rows of 3.
  fuzz::write_floats("groups.f32", unit_rows({{1, 0, 0}, {1, 0.01, 0}, {1, 0.02, 0}, {1, 0, 0},
                                              {0.8, 0.6, 0}, {0.8, 0.61, 0}, {0.8, 0.6, 0},
                                              {0.8, 0.62, 0}, {0, 0, -1}, {0, 0.01, -1},
                                              {1, 0.01, 0}, {0, 1, 0}}));
  // Twenty copies of one row of 4.
  fuzz::write_floats("copies.f32", unit_rows(std::vector<std::vector<double>>(20, {1, 2, 3, 4})));
  fuzz::write_floats("notunit.f32", std::vector<float>{2, 0, 0, 0, 1, 0});
  fuzz::write_floats("nan.f32", std::vector<float>{1, 0, std::nanf(""), 0});
  fuzz::write_bytes("empty.f32", "");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto request = quillfen::analyze::parse_discovery_request(text);
  if (request && !fuzz::is_plain_name(request->embeddings_f32le_path)) return -1;
  const std::string args[] = {"discovery-cluster"};
  const fuzz::EntryRun run = fuzz::run_entry_captured(args, text);
  fuzz::check_one_line_contract(run, "quillfen-speaker-discovery-cluster-response-v1");
  return 0;
}
