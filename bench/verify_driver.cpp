// Benchmark driver: runs one verification with a Status channel that shows nothing, so a timing
// measures the engine alone (no terminal output, no event loop).
//   verify_driver ARCHIVE            internal check
//   verify_driver --folder DIR ARCHIVE  external check against DIR
// Prints the result text and, on stderr, the codec that ran. Exit status 0 on "OK", else 1.
#include "engine.h"

#include <cstdio>
#include <cstring>

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
  VerifyOptions options;
  options.archive = archive;
  options.folder = external ? folder : nullptr;
  // The name lists go to the system's temporary folder; "/Temp" rarely exists here.
  options.lists_folder = "/tmp";
  NullSink sink;
  Verification verification;
  const char* result = verification.Verify(options, &sink);
  fprintf(stderr, "codec: %s\n", CodecName(options.codec));
  printf("%s\n", result);
  return strcmp(result, kResultOk) == 0 ? 0 : 1;
}
