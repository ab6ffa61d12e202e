// Writes the built-in seeds into a folder, as libFuzzer's starting corpus.
//   make_fuzz_seeds archives|deflate FOLDER
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "seed_archives.h"

int main(int argc, char** argv) {
  if (argc != 3 || (strcmp(argv[1], "archives") != 0 && strcmp(argv[1], "deflate") != 0)) {
    fprintf(stderr, "usage: %s archives|deflate FOLDER\n", argv[0]);
    return 2;
  }
  auto seeds = strcmp(argv[1], "archives") == 0 ? fuzz_seeds::SeedArchives()
                                                : fuzz_seeds::SeedDeflateStreams();
  std::filesystem::create_directories(argv[2]);
  for (const auto& s : seeds) {
    std::ofstream out(std::filesystem::path(argv[2]) / ("seed-" + s.name), std::ios::binary);
    out.write(s.bytes.data(), static_cast<std::streamsize>(s.bytes.size()));
    if (!out) {
      fprintf(stderr, "cannot write %s\n", s.name.c_str());
      return 1;
    }
  }
  return 0;
}
