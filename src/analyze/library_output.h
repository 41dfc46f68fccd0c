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

}  // namespace quillfen::analyze
