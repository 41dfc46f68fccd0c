// Process entry of the engine: argument evaluation, standard input, one output line and
// the exit status.
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace quillfen::analyze {

// Runs the whole process: returns the exit status (0, 64, 69 or 75).
int run_process_entry(int argc, char** argv);

// Reads fd to its end as UTF-8 text. On failure returns the cause: the system's text of the
// read error ("{description} (os error {number})"), or "stream did not contain valid UTF-8".
std::expected<std::string, std::string> read_request_text(int fd);

// Writes all of bytes to fd, continuing after partial writes and interrupted writes.
// Returns 0 or the errno of the failure (EIO when a write accepts nothing).
int write_all(int fd, std::string_view bytes);

}  // namespace quillfen::analyze
