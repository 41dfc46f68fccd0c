// What libraries write to standard error of their own never reaches the caller: while a
// LibraryOutputDiverted lives, descriptor 2 is /dev/null (the runtime library's processor probe
// writes "Error in cpuinfo: ..." there where /proc is missing, glibc its fatal messages). The
// engine writes its own line after the scope has ended, to descriptor 2 as the caller gave it;
// a fatal signal's line goes to the duplicate kept by install_fatal_signal_lines.
#pragma once

namespace quillfen::analyze {

// Diverts descriptor 2 to /dev/null for its lifetime and gives it back as it was (a closed
// descriptor 2 is closed again). When no descriptor is left to divert with, nothing is diverted.
// Scopes do not nest.
class LibraryOutputDiverted {
 public:
  LibraryOutputDiverted();
  ~LibraryOutputDiverted();
  LibraryOutputDiverted(const LibraryOutputDiverted&) = delete;
  LibraryOutputDiverted& operator=(const LibraryOutputDiverted&) = delete;

 private:
  bool diverted_ = false;
  int saved_ = -1;  // descriptor 2 as it was, or -1 when it was closed
};

// Load time. Libraries may also write to standard error while they are loaded, before main runs:
// on arm64 the runtime library's processor probe prints "onnxruntime cpuid_info warning: Unknown
// CPU vendor. ..." at every start on a processor it does not know (and under emulation). The
// arm64 engine therefore calls divert_library_output_at_load from its .preinit_array, which runs
// before the initialisers of every library, and the entry calls end_library_output_at_load
// first thing. Both use no C++ runtime facility, so they may run before its initialisation.
void divert_library_output_at_load();
void end_library_output_at_load();

}  // namespace quillfen::analyze
