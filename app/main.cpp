// Process entry: collects the arguments and the standard streams and hands them to the
// front end, which answers with exactly one line on one stream and the exit status.
#include "analyze/entry.h"
#include "analyze/discarded_streams.h"

#if defined(__aarch64__)
// Before any library is initialised, the standard streams are discarded (see
// discarded_streams.h); the entry gives them back. On x86-64 the runtime library writes nothing
// while it is loaded.
[[gnu::used, gnu::section(".preinit_array")]] static void (*const divert_at_load)(
    int, char**, char**) = [](int, char**, char**) {
  quillfen::analyze::discard_standard_streams_at_load();
};
#endif

int main(int argc, char** argv) { return quillfen::analyze::run_process_entry(argc, argv); }
