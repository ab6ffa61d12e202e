// Benchmark driver: runs one verification with a Status channel that shows nothing, so a timing
// measures the engine alone (no terminal output, no event loop).
//   verify_driver ARCHIVE            internal check
//   verify_driver --folder DIR ARCHIVE  external check against DIR
// Prints the result text and, on stderr, the codec that ran. Exit status 0 on "OK", else 1.
#include "engine_state.h"
#include "inflater.h"
#include "status.h"
#include "verify_run.h"

#include <cstdio>
#include <cstring>

bool ReportStatus(int /*kind*/, const char* /*text*/) { return g_stopRequested; }
void ReportProgress(uint64_t /*done*/, uint64_t /*total*/) {}

int main(int argc, char** argv) {
  const char* folder = "";
  const char* archive = nullptr;
  bool external = false;
  if (argc == 4 && strcmp(argv[1], "--folder") == 0) {
    folder = argv[2];
    archive = argv[3];
    external = true;
  } else if (argc == 2) {
    archive = argv[1];
  } else {
    fprintf(stderr, "usage: %s [--folder DIR] ARCHIVE\n", argv[0]);
    return 2;
  }
  // The name lists go to the system's temporary folder; "/Temp" rarely exists here.
  SetNameListFolder("/tmp");
  const char* result = RunVerification(folder, archive, external);
  fprintf(stderr, "codec: %s\n", CodecName(ActiveCodec()));
  printf("%s\n", result);
  return strcmp(result, kResultOk) == 0 ? 0 : 1;
}
