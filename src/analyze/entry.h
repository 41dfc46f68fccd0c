// Process entry of the engine: argument evaluation, standard input, one output line and
// the exit status.
#pragma once

namespace quillfen::analyze {

// Runs the whole process: returns the exit status (0, 64, 69 or 75).
int run_process_entry(int argc, char** argv);

}  // namespace quillfen::analyze
