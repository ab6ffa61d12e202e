// libFuzzer target: hostile streams through every method's decoder, fed in slices as the entry
// check feeds them, each decoder object made once and reused for every input. The first byte
// picks the method and the slice sizes, the second the uncompressed size the walk would pass;
// the rest is the stream. Checks, with an abort on failure:
//   - every result is one of the decoder results, no call writes past its output block, and a
//     decoder that ended or failed says so again;
//   - the Deflate64 decoder's deflate variant gives zlib's verdict and, when both end, its bytes;
//   - a bzip2 stream checked by the entry check block by block on two threads (a window of
//     64 KiB or the product's, every length taken) gives one pass's result, CRC-32, progress
//     points and stream position, stopped at a point the second byte picks or not at all.
// Output is cut at 8 MiB or less (a bomb is no finding); memory is bounded by the decoders' cap,
// which libFuzzer's -rss_limit_mb checks.
#include "bzip2_parallel.h"
#include "deflate64.h"
#include "entry_check.h"
#include "method_decoders.h"
#include "zip_records.h"
#include "zip_builder.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>
#include <zlib.h>

namespace {

constexpr size_t kMaxOutput = 8 << 20;
constexpr size_t kInSlices[] = {1, 13, 4096, 16384};
constexpr size_t kOutSlices[] = {1, 100, 16384, 65536};
// Output is cut sooner in tiny blocks: a call per byte is slow under instrumentation.
constexpr size_t kOutputCaps[] = {64 << 10, 1 << 20, kMaxOutput, kMaxOutput};

void Require(bool condition, const char* what) {
  if (condition) return;
  fprintf(stderr, "fuzz check failed: %s\n", what);
  abort();
}

bool IsResult(int rc) {
  return rc == kDecodeMore || rc == kDecodeEnd || rc == kDecodeBadData || rc == kDecodeNoMemory ||
         rc == kDecodeTooLarge;
}

// Decodes the stream; returns the last result (kDecodeMore when the input ran out or the output
// cap was reached).
int Run(Decoder& decoder, const uint8_t* data, size_t size, uint64_t uncompressed_size,
        size_t in_slice, size_t out_slice, size_t output_cap, std::string* output) {
  static std::vector<unsigned char> block(65536 + 64);
  Require(decoder.Begin({uncompressed_size, 0}) == kDecodeMore, "Begin failed");
  for (size_t pos = 0; pos < size; pos += in_slice) {
    const size_t n = size - pos < in_slice ? size - pos : in_slice;
    decoder.SetInput(data + pos, n);
    size_t produced;
    int rc;
    do {
      // A guard after the block: a decoder writing past out_size changes it.
      for (size_t i = 0; i < 64; ++i) block[out_slice + i] = 0xA5;
      rc = decoder.Decode(block.data(), out_slice, &produced);
      Require(IsResult(rc), "unknown result");
      Require(produced <= out_slice, "produced more than the block");
      for (size_t i = 0; i < 64; ++i) Require(block[out_slice + i] == 0xA5, "wrote past block");
      output->append(reinterpret_cast<const char*>(block.data()), produced);
      if (rc != kDecodeMore) {
        size_t again;
        Require(decoder.Decode(block.data(), out_slice, &again) == rc && again == 0,
                "the end or failure was not kept");
        return rc;
      }
      if (output->size() >= output_cap) return kDecodeMore;
    } while (produced == out_slice);
  }
  return kDecodeMore;
}

int ZlibVerdict(const uint8_t* data, size_t size, std::string* output) {
  const int rc = zipt::Inflate(data, size, output, kMaxOutput);
  if (output->size() >= kMaxOutput) return -100;  // cut: no verdict to compare
  return rc == Z_STREAM_END ? kDecodeEnd : rc == Z_DATA_ERROR ? kDecodeBadData : kDecodeMore;
}

// Progress points as a worker's sink records them; asks to stop at point `stop_at` (1 = the
// first; 0 = never).
struct PointRecorder final : ProgressSink {
  bool Point(bool shown, uint64_t unread) override {
    points.push_back({shown, unread});
    return points.size() == stop_at;
  }
  bool Cancelled() override { return false; }
  std::vector<std::pair<bool, uint64_t>> points;
  size_t stop_at = 0;
};

struct CheckOutcome {
  int rc = 0;
  uint32_t crc = 0;
  int64_t position = 0;
  std::vector<std::pair<bool, uint64_t>> points;
};

CheckOutcome CheckBzip2(EntryChecker& checker, const uint8_t* data, size_t size, size_t stop_at) {
  CheckOutcome o;
  FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  Require(f != nullptr, "fmemopen failed");
  PointRecorder recorder;
  recorder.stop_at = stop_at;
  checker.SetProgressSink(&recorder);
  o.rc = checker.Check(kMethodBzip2, {0, 0}, f, size, 0, &o.crc, nullptr, "");
  checker.SetProgressSink(nullptr);
  o.position = ftello(f);
  fclose(f);
  o.points = std::move(recorder.points);
  return o;
}

void CompareBzip2Blocks(const uint8_t* data, size_t size, uint8_t knobs) {
  static EntryChecker plain;
  static EntryChecker blocks;
  static Bzip2Crew crew;
  // One job: the caller decodes every block; two: a helper beside it.
  crew.SetJobs((knobs & 16) != 0 ? 1 : 2);
  crew.SetLimits(0, (knobs & 8) != 0 ? 65536 : 0);
  blocks.SetBzip2Crew(&crew);
  const size_t stop_at = knobs & 7;
  const CheckOutcome one = CheckBzip2(plain, data, size, stop_at);
  const CheckOutcome two = CheckBzip2(blocks, data, size, stop_at);
  Require(one.rc == two.rc, "bzip2 blocks: result differs from one pass");
  Require(one.rc == kEntryStopped || one.crc == two.crc, "bzip2 blocks: CRC-32 differs");
  Require(one.points == two.points, "bzip2 blocks: progress points differ");
  Require(one.position == two.position, "bzip2 blocks: stream position differs");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Deflate64Decoder deflate64;
  static Deflate64Decoder deflate(Deflate64Decoder::Variant::kDeflate);
  static Bzip2Decoder bzip2;
  static LzmaDecoder lzma;
  static XzDecoder xz;
  static ZstdDecoder zstd;
  static Decoder* const decoders[] = {&deflate64, &deflate, &bzip2, &lzma, &xz, &zstd};
  if (size < 2 || size > (1 << 20)) return 0;

  const unsigned method = (data[0] & 7) % 6;
  const size_t in_slice = kInSlices[(data[0] >> 3) & 3];
  const size_t out_slice = kOutSlices[(data[0] >> 5) & 3];
  const size_t output_cap = kOutputCaps[(data[0] >> 5) & 3];
  // The size LZMA streams without an end marker stop at: small, or past the output cap.
  const uint64_t uncompressed_size = data[1] == 0xFF ? ~uint64_t{0} - 1 : data[1] * 4099u;
  std::string output;
  const int rc = Run(*decoders[method], data + 2, size - 2, uncompressed_size, in_slice, out_slice,
                     output_cap, &output);
  if (decoders[method] == &deflate && output.size() < output_cap) {
    std::string reference;
    const int expected = ZlibVerdict(data + 2, size - 2, &reference);
    if (expected != -100) {
      Require(rc == expected, "deflate verdict differs from zlib's");
      Require(rc != kDecodeEnd || output == reference, "deflate output differs from zlib's");
    }
  }
  // A stream that ended or failed within the output cap: the entry check's pass stops there
  // too (a bomb is no finding).
  if (decoders[method] == &bzip2 && rc != kDecodeMore && output.size() < (1 << 20))
    CompareBzip2Blocks(data + 2, size - 2, data[1]);
  return 0;
}
