// Benchmark driver: one ETag computation with a Status channel that shows nothing, so a timing
// measures the reads and the digests alone. Writes ARCHIVE.md5 as the product does and prints
// "\nETag: ..." on standard output.
//   etag_driver [--checksum ALGS] [--expect-checksum ALG:VALUE]... ARCHIVE [EXPECTED]
//                                        with EXPECTED, compared as --expect-etag does; the
//                                        checksum options as vormic-cli's
//   etag_driver --candidates SIZE PARTS  prints the part sizes an ETag of PARTS parts of a file
//                                        of SIZE bytes is checked against, one per line
// Exit status 0 when the ETag file was written, else 1 with the last status line on stderr.
// The many-context MD5 kernel named in VORMIC_MD5_KERNEL (portable, avx2, avx512) replaces
// the best one, and VORMIC_CRC_KERNEL=table the carry-less CRC kernel, so the kernels can be
// timed on one machine.
#include "crc.h"
#include "etag.h"
#include "md5.h"
#include "status.h"

#include <cstdio>
#include <initializer_list>
#include <cstdlib>
#include <cstring>

namespace {

// Shows nothing but the console block, as the command line prints it.
class ConsoleSink final : public StatusSink {
 public:
  bool StatusLine(const char*) override { return false; }
  bool LogLine(const char*) override { return false; }
  bool StopPoint() override { return false; }
  void Progress(uint64_t, uint64_t) override {}
  void Console(const char* text) override { fputs(text, stdout); }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "--candidates") == 0) {
    uint64_t sizes[kMaxEtagCandidates];
    const int n = EtagCandidateSizes(strtoull(argv[2], nullptr, 10), strtoll(argv[3], nullptr, 10),
                                     0, uint64_t{1} << 20, sizes);
    for (int i = 0; i < n; ++i) printf("%llu\n", static_cast<unsigned long long>(sizes[i]));
    return 0;
  }
  EtagOptions options;
  ChecksumAlg checksums[kChecksumAlgCount];
  ExpectedChecksum expected[kMaxExpectedChecksums];
  int arg = 1;
  for (; arg + 1 < argc; arg += 2) {
    const char* bad = nullptr;
    size_t bad_length = 0;
    const char* value = nullptr;
    if (strcmp(argv[arg], "--checksum") == 0 &&
        ParseChecksumList(argv[arg + 1], checksums, &options.checksum_count, &bad, &bad_length)) {
      continue;
    }
    if (strcmp(argv[arg], "--expect-checksum") == 0 &&
        options.expected_checksum_count < kMaxExpectedChecksums &&
        ParseExpectedChecksum(argv[arg + 1], &expected[options.expected_checksum_count], &value) ==
            ExpectedChecksumParse::kOk) {
      ++options.expected_checksum_count;
      continue;
    }
    if (strncmp(argv[arg], "--", 2) == 0) {
      fprintf(stderr, "bad option: %s %s\n", argv[arg], argv[arg + 1]);
      return 2;
    }
    break;
  }
  options.checksums = checksums;
  options.expected_checksums = expected;
  if (argc - arg != 1 && argc - arg != 2) {
    fprintf(stderr,
            "usage: %s [--checksum ALGS] [--expect-checksum ALG:VALUE]... ARCHIVE [EXPECTED] | "
            "--candidates SIZE PARTS\n",
            argv[0]);
    return 2;
  }
  const char* crc_kernel = getenv("VORMIC_CRC_KERNEL");
  if (crc_kernel != nullptr && strcmp(crc_kernel, "table") == 0) SelectCrcKernel(CrcKernel::kTable);
  if (const char* kernel = getenv("VORMIC_MD5_KERNEL")) {
    for (Md5LaneKernel k :
         {Md5LaneKernel::kPortable, Md5LaneKernel::kAvx2, Md5LaneKernel::kAvx512}) {
      if (strcmp(kernel, Md5LaneKernelName(k)) == 0 && !SelectMd5LaneKernel(k)) {
        fprintf(stderr, "this processor has no %s\n", kernel);
        return 2;
      }
    }
  }
  if (argc - arg == 2) options.expected = argv[arg + 1];
  ConsoleSink sink;
  StopRequest stop;
  Reporter reporter(&sink, &stop);
  EtagCalculator calculator;
  if (calculator.Compute(argv[arg], options, reporter)) return 0;
  fprintf(stderr, "%s\n", calculator.failure());
  return 1;
}
