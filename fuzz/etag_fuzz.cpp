// libFuzzer target: the ETag computation over the input as a file, with a part size taken from
// the input (through the part-size test seam) so that inputs of a few bytes already make many
// parts, and some make more than the limit. The input is written to a real file in the scratch
// folder, since the ETag file goes beside it (fuzz/run.sh puts the scratch folder in memory).
// Asserted for every input, against digests computed here from the MD5 primitives:
//   - within the part limit: success; exactly the MD5 line and the ETag line are logged; the
//     MD5 is that of the input; the ETag is the MD5 of the raw part digests, "-" and the number
//     of parts; the ETag file holds exactly the two lines and the closing empty line;
//   - beyond it: failure with the "Max parts" status line and no ETag file.
// No descriptor outlives a computation either way.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "etag.h"
#include "fuzz_support.h"
#include "test_run.h"
#include "md5.h"

namespace {

std::string HexOf(const unsigned char digest[kMd5DigestLen]) {
  char hex[kMd5HexSize];
  return Md5ToHex(digest, hex);
}

std::string Md5Hex(const void* data, size_t size) {
  unsigned char digest[kMd5DigestLen];
  return HexOf(Md5Buffer(data, size, digest));
}

// The part size for an input: from 1 byte to all of it, spread over the range by a hash.
size_t PartSizeFor(const uint8_t* data, size_t size) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < size && i < 64; ++i) h = (h ^ data[i]) * 16777619u;
  switch (h % 4) {
    case 0: return kEtagPartSize;                // the product's size: one part
    case 1: return 1 + (h >> 2) % 64;            // many tiny parts, often over the limit
    case 2: return 1 + (h >> 2) % 4096;
    default: return size > 0 ? size : 1;         // exactly one part
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > fuzz::kMaxInput) return 0;
  fuzz::SetUpOnce();
  // The console lines of every computation would drown the fuzzer's own output (on stderr).
  static const bool quiet = freopen("/dev/null", "w", stdout) != nullptr;
  (void)quiet;
  static const std::string path = fuzz::ScratchFolder() + "/etag.bin";
  static const std::string md5_path = path + ".md5";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    fuzz::Require(out.good(), "cannot write the input file");
  }
  unlink(md5_path.c_str());
  const size_t part = PartSizeFor(data, size);
  fuzz::Require(SetEtagPartSizeForTesting(part), "part size refused");
  const size_t parts = (size + part - 1) / part;

  const int fds = fuzz::CountOpenFds();
  fuzz::ResetStatus(0);
  fuzz::g_status.keep_all = true;
  bool ok = ComputeEtag(path.c_str());
  fuzz::g_status.keep_all = false;
  SetEtagPartSizeForTesting(kEtagPartSize);
  fuzz::Require(fuzz::CountOpenFds() == fds, "descriptor left open");

  if (parts > static_cast<size_t>(kMaxEtagParts)) {
    fuzz::Require(!ok, "more parts than the limit were accepted");
    char want[100];
    snprintf(want, sizeof want, kMaxPartsFmt, static_cast<long>(kMaxEtagParts));
    fuzz::Require(!fuzz::g_status.reports.empty() && fuzz::g_status.reports.back().text == want,
                  "no part-limit status line");
    fuzz::Require(access(md5_path.c_str(), F_OK) != 0, "ETag file written after a failure");
    return 0;
  }
  fuzz::Require(ok, "the ETag computation failed on a readable file");

  std::string logs[2];
  int n = 0;
  for (const auto& r : fuzz::g_status.reports) {
    if (r.kind != 1) continue;
    fuzz::Require(n < 2, "more than two log lines");
    logs[n++] = r.text;
  }
  fuzz::Require(n == 2, "fewer than two log lines");
  fuzz::Require(logs[0] == "MD5: " + Md5Hex(data, size), "the MD5 line is not the input's MD5");

  std::string digests;
  for (size_t at = 0; at < size; at += part) {
    unsigned char digest[kMd5DigestLen];
    Md5Buffer(data + at, size - at < part ? size - at : part, digest);
    digests.append(reinterpret_cast<const char*>(digest), kMd5DigestLen);
  }
  const std::string etag =
      Md5Hex(digests.data(), digests.size()) + "-" + std::to_string(parts);
  fuzz::Require(logs[1] == "Multipart ETag: " + etag + "\n", "the ETag line is wrong");

  std::ifstream in(md5_path, std::ios::binary);
  std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  fuzz::Require(file == logs[0] + "\n" + logs[1] + "\n", "the ETag file's content is wrong");
  return 0;
}
