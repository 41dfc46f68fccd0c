#include "analyze/command.h"

#include <utility>

#include "analyze/discovery_command.h"
#include "analyze/pipeline.h"
#include "analyze/request.h"
#include "speakers/utf8_text.h"

namespace quillfen::analyze {

std::vector<std::string> arguments_from_argv(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(speakers::utf8_lossy(argv[i]));
  return args;
}

std::expected<Command, UsageError> evaluate_args(std::span<const std::string> args) {
  if (args.empty()) return Command::Analyze;
  if (args.size() == 1 && args[0] == "discovery-cluster") return Command::DiscoveryCluster;
  return std::unexpected(UsageError{args[0]});
}

std::string error_line_for_usage(const UsageError& error) {
  std::string detail(kUsageText);
  detail += "; unexpected argument ";
  detail += quoted(error.argument);
  return error_json_line("usage", detail);
}

std::expected<json::Value, AnalyzeError> run_command_request(Command command,
                                                             std::string_view text) {
  switch (command) {
    case Command::Analyze: {
      auto request = parse_analyze_request(text);
      if (!request) return std::unexpected(std::move(request.error()));
      return run_analyze(*request);
    }
    case Command::DiscoveryCluster:
      return run_discovery_cluster(text);
  }
  return std::unexpected(AnalyzeError::internal_error("unknown command"));
}

}  // namespace quillfen::analyze
