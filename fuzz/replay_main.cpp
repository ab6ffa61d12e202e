// A main() for a fuzz target built without libFuzzer (g++, as an ordinary test): feeds the
// built-in seeds, and every file named on the command line (folders: every file in them), to
// LLVMFuzzerTestOneInput, and with --mutations N also N mutated copies of each (about 1% of the
// bytes replaced, sometimes cut short), from fixed seeds so that a failure replays. Each input
// is written to the --save file before it runs, so after a crash that file holds the input
// that caused it; after a clean pass the file is removed.
//   <target>_replay [--builtin] [--deflate] [--mutations N] [--save FILE] [FILE|FOLDER]...
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "seed_archives.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::string g_savePath;

void RunOne(const std::string& bytes) {
  if (!g_savePath.empty()) {
    std::ofstream out(g_savePath, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string Mutate(const std::string& bytes, std::mt19937& gen) {
  std::string out = bytes;
  if (out.empty()) return out;
  size_t changes = out.size() / 100 + 1;
  for (size_t i = 0; i < changes; ++i) out[gen() % out.size()] = static_cast<char>(gen() & 0xFF);
  if (gen() % 8 == 0) out.resize(gen() % out.size());
  return out;
}

bool ReadWhole(const std::filesystem::path& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fuzz_seeds::NamedBytes> inputs;
  long mutations = 0;
  bool builtin = false, deflate = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--builtin") {
      builtin = true;
    } else if (arg == "--deflate") {
      deflate = true;
    } else if (arg == "--mutations" && i + 1 < argc) {
      mutations = strtol(argv[++i], nullptr, 10);
    } else if (arg == "--save" && i + 1 < argc) {
      g_savePath = argv[++i];
    } else {
      std::error_code ec;
      std::vector<std::filesystem::path> files;
      if (std::filesystem::is_directory(arg, ec)) {
        for (const auto& e : std::filesystem::directory_iterator(arg, ec))
          if (e.is_regular_file(ec)) files.push_back(e.path());
      } else {
        files.push_back(arg);
      }
      for (const auto& f : files) {
        std::string bytes;
        if (!ReadWhole(f, &bytes)) {
          fprintf(stderr, "cannot read %s\n", f.c_str());
          return 2;
        }
        inputs.push_back({f.string(), bytes});
      }
    }
  }
  if (builtin)
    for (auto& s : fuzz_seeds::SeedArchives()) inputs.push_back(std::move(s));
  if (deflate)
    for (auto& s : fuzz_seeds::SeedDeflateStreams()) inputs.push_back(std::move(s));
  if (inputs.empty()) {
    fprintf(stderr, "no inputs\n");
    return 2;
  }

  long runs = 0;
  for (size_t n = 0; n < inputs.size(); ++n) {
    RunOne(inputs[n].bytes);
    ++runs;
    std::mt19937 gen(static_cast<uint32_t>(n * 7919 + 1));
    for (long m = 0; m < mutations; ++m, ++runs) RunOne(Mutate(inputs[n].bytes, gen));
  }
  if (!g_savePath.empty()) std::filesystem::remove(g_savePath);
  printf("%zu inputs, %ld runs, no finding\n", inputs.size(), runs);
  return 0;
}
