// Keeps what the runtime library prints away from the caller. The engine writes its one line
// itself; the runtime library may write messages of its own straight to descriptors 1 and 2
// (for example "Error in cpuinfo: failed to parse processor information from /proc/cpuinfo"
// where /proc is missing). While the runtime initialises, opens sessions and runs models, the
// two descriptors therefore point at a sink: /dev/null, or where that cannot be opened (a
// sandbox without /dev) a pipe nobody reads, whose write end does not block.
#pragma once

namespace quillfen::analyze {

// While it lives, descriptors 1 and 2 write into the sink; the caller's standard output and
// error are kept as duplicates (above 2, closed on exec) and put back when it ends, so the
// engine's line and everything that names those streams (the payload writer's checks, paths
// such as /dev/stderr) see the caller's streams again. A stream the caller left closed is
// closed again. When no duplicate or sink can be had (no descriptor left), the streams stay
// as they are. Guards do not nest.
class StandardStreamsDiscarded {
 public:
  StandardStreamsDiscarded();
  ~StandardStreamsDiscarded();
  StandardStreamsDiscarded(const StandardStreamsDiscarded&) = delete;
  StandardStreamsDiscarded& operator=(const StandardStreamsDiscarded&) = delete;

 private:
  int saved_[2] = {-1, -1};  // duplicates of 1 and 2 (-1: the stream was closed)
  int sink_read_end_ = -1;   // the pipe's read end when the sink is a pipe
  bool diverted_ = false;
};

// Points descriptors 1 and 2 at the sink for the rest of the process: after the engine's line
// is written, whatever the runtime library writes while the process ends is discarded.
void discard_standard_streams_until_exit();

// Load time. Libraries may also write while they are loaded, before main runs: on arm64 the
// runtime library's processor probe prints "onnxruntime cpuid_info warning: Unknown CPU vendor.
// ..." to standard error at every start on a processor it does not know (and under emulation).
// The arm64 engine therefore calls discard_standard_streams_at_load from its .preinit_array,
// which runs before the initialisers of every library, and the entry calls
// end_standard_streams_discarded_at_load first thing. Neither needs the C++ runtime's own
// initialisation, which has not run yet when the first is called.
void discard_standard_streams_at_load();
void end_standard_streams_discarded_at_load();

}  // namespace quillfen::analyze
