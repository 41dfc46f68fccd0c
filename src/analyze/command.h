// Command selection from the argument list, the usage error, and the dispatch of one
// request text to the selected command.
#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "analyze/analyze_error.h"
#include "analyze/json.h"

namespace quillfen::analyze {

enum class Command {
  Analyze,           // no argument
  DiscoveryCluster,  // the single argument "discovery-cluster"
};

// Rejection of an argument list, carrying the offending argument (as UTF-8).
struct UsageError {
  std::string argument;

  friend bool operator==(const UsageError&, const UsageError&) = default;
};

// Two lines joined by one newline, without a trailing newline.
inline constexpr std::string_view kUsageText =
    "Usage: quillfen-core-speakers-analyze < request.json > response.json\n"
    "       quillfen-core-speakers-analyze discovery-cluster < request.json > response.json";

inline constexpr int kUsageExitStatus = 64;

// The arguments after the program name, converted to UTF-8 with every ill-formed sequence
// replaced by U+FFFD.
std::vector<std::string> arguments_from_argv(int argc, char** argv);

// No argument: Analyze; exactly "discovery-cluster": DiscoveryCluster; any other single
// argument, or two or more arguments: UsageError carrying the first argument.
std::expected<Command, UsageError> evaluate_args(std::span<const std::string> args);

// The usage error document: reason "usage", detail the usage text, then
// "; unexpected argument " and the quoted argument. No trailing newline.
std::string error_line_for_usage(const UsageError& error);

// Parses and validates the request text for the command and runs it; the result is the
// complete response document.
std::expected<json::Value, AnalyzeError> run_command_request(Command command,
                                                             std::string_view text);

}  // namespace quillfen::analyze
