// Process entry: collects the arguments and the standard streams and hands them to the
// front end, which answers with exactly one line on one stream and the exit status.
#include "analyze/entry.h"

int main(int argc, char** argv) { return quillfen::analyze::run_process_entry(argc, argv); }
