// Process entry of the engine: argument evaluation, standard input, one output line and
// the exit status.
#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>

namespace quillfen::analyze {

// Runs the whole process on its standard streams: returns the exit status (0, 64, 69 or 75).
int run_process_entry(int argc, char** argv);

// One run of the entry with the given descriptors as standard input, output and error:
// evaluates the arguments (already UTF-8), reads the request from in_fd, and writes exactly
// one line, the response to out_fd or the error line to err_fd. Returns the exit status.
// An exception escaping a step (out of memory above all) ends the run as internal-error
// (status 75) with the detail "out of memory", or "unexpected failure: {what}" for any other
// exception.
int run_entry(std::span<const std::string> args, int in_fd, int out_fd, int err_fd);

// Reads fd to its end as UTF-8 text (waiting on a non-blocking descriptor that has no data
// yet). On failure returns the cause: the system's text of the
// read error ("{description} (os error {number})"), or "stream did not contain valid UTF-8".
std::expected<std::string, std::string> read_request_text(int fd);

// The internal-error line, newline included, of a run that ran out of memory (detail "out of
// memory"): a constant, so that writing it needs no allocation.
std::string_view out_of_memory_line();

// Writes all of bytes to fd, continuing after partial writes and interrupted writes, and
// waiting on a non-blocking descriptor that has no room yet.
// Returns 0 or the errno of the failure (EIO when a write accepts nothing).
int write_all(int fd, std::string_view bytes);

}  // namespace quillfen::analyze
