// The one line under fatal signals. A library the engine runs can end the process by a signal
// of its own: glibc aborts when a runtime worker thread cannot allocate its thread-local data
// under an address-space limit, the runtime library dereferences an allocation that failed, a
// stack limit is too low for a model run. With the handlers installed, such a signal ends the
// process with exactly one line all the same:
//  - before the run's own line was begun: the internal-error line "stopped by fatal signal
//    {NAME}" on the caller's standard error, status 75;
//  - while or after the run's own line is written: that line stays the only one, and the
//    process ends with its status once it is complete.
// Writing the line and ending the process are async-signal-safe (no allocation, no lock).
#pragma once

namespace quillfen::analyze {

// Installs the handlers of SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT (the main thread's on a
// stack of their own, so that a stack overflow is handled too) and keeps a duplicate of
// descriptor 2 as it is now, the caller's standard error, to write their line to even while
// descriptor 2 is diverted. Called once, at the start of the process, before any other thread
// exists. Does nothing in sanitizer builds, whose runtimes report these signals themselves.
void install_fatal_signal_lines();

// Marks the start of the run's own line: from here on a fatal signal adds no line of its own.
// Called before the first byte of the line is written; may be called again for a second write
// of the same run (the error line after a response that could not be written). When a fatal
// signal's line was begun first, it does not return: the process is ending.
void begin_final_line();

// Marks the run's own line as complete: a fatal signal from here on ends the process with
// exit_status.
void end_final_line(int exit_status);

}  // namespace quillfen::analyze
