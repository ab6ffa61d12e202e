// libFuzzer target, differential: the same input through zlib and through ISA-L behind the
// codec seam, which promises zlib's results at the calls zlib gives them. Compared, with an
// abort on any difference:
//   - the input (after one control byte) as a raw deflate stream through RawInflater, fed in
//     input and output slices chosen by the control byte: every Inflate() result, the bytes
//     it produced and the point where the stream ended or failed;
//   - the input as an archive: every report of a whole internal verification run;
//   - the CRC-32 of the input.
// Without ISA-L built in there is nothing to compare; the target says so once and passes.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "inflater.h"
#include "verify_run.h"

namespace {

constexpr size_t kMaxOutput = 8 << 20;  // a deflate bomb is cut here, the same for both

struct Step {
  int result;
  size_t produced;
  bool operator==(const Step&) const = default;
};

struct Trace {
  int begin = Z_OK;
  std::vector<Step> steps;
  std::string output;
  size_t input_used = 0;  // bytes handed over before the stream ended or failed
};

Trace InflateAll(CodecBackend backend, const uint8_t* data, size_t size, size_t in_slice,
                 size_t out_slice) {
  SelectCodec(backend);
  Trace t;
  RawInflater inflater;
  t.begin = inflater.Begin();
  if (t.begin != Z_OK) return t;
  std::vector<unsigned char> out(out_slice);
  size_t pos = 0;
  while (pos < size && t.output.size() < kMaxOutput) {
    size_t n = size - pos < in_slice ? size - pos : in_slice;
    inflater.SetInput(data + pos, n);
    pos += n;
    t.input_used = pos;
    size_t produced;
    do {
      int rc = inflater.Inflate(out.data(), out.size(), &produced);
      if (rc == Z_DATA_ERROR || rc == Z_MEM_ERROR || rc == Z_NEED_DICT) {
        // What a failing call wrote is never used by the engine; only the verdict counts.
        t.steps.push_back({rc, 0});
        return t;
      }
      t.steps.push_back({rc, produced});
      t.output.append(reinterpret_cast<const char*>(out.data()), produced);
      if (rc == Z_STREAM_END) return t;
    } while (produced == out.size() && t.output.size() < kMaxOutput);
  }
  return t;
}

std::vector<fuzz::Report> VerifyWith(CodecBackend backend) {
  SelectCodec(backend);
  fuzz::ResetStatus(0);
  fuzz::g_status.keep_all = true;
  const char* result = RunVerification("", fuzz::kMemoryArchivePath, false);
  std::vector<fuzz::Report> reports = fuzz::g_status.reports;
  reports.push_back({-1, result});
  fuzz::g_status.keep_all = false;
  return reports;
}

[[noreturn]] void Differ(const char* what, const std::string& zlib_side,
                         const std::string& isal_side) {
  fprintf(stderr, "zlib and ISA-L differ: %s\n  zlib:  %s\n  ISA-L: %s\n", what,
          zlib_side.c_str(), isal_side.c_str());
  abort();
}

std::string Describe(const Trace& t, size_t i) {
  if (i >= t.steps.size())
    return "begin " + std::to_string(t.begin) + ", " + std::to_string(t.steps.size()) +
           " steps, input used " + std::to_string(t.input_used);
  return "step " + std::to_string(i) + ": result " + std::to_string(t.steps[i].result) +
         ", produced " + std::to_string(t.steps[i].produced);
}

void CompareTraces(const Trace& z, const Trace& i) {
  size_t n = z.steps.size() < i.steps.size() ? z.steps.size() : i.steps.size();
  for (size_t k = 0; k < n; ++k)
    if (!(z.steps[k] == i.steps[k])) Differ("inflate step", Describe(z, k), Describe(i, k));
  if (z.begin != i.begin || z.steps.size() != i.steps.size() || z.input_used != i.input_used)
    Differ("inflate steps", Describe(z, n), Describe(i, n));
  if (z.output != i.output) Differ("inflated bytes", "", "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > fuzz::kMaxInput) return 0;
  if (!CodecAvailable(CodecBackend::kIsal)) {
    static bool told = false;
    if (!told) fprintf(stderr, "codec_diff_fuzz: ISA-L is not built in; nothing to compare\n");
    told = true;
    return 0;
  }
  fuzz::SetUpOnce();

  SelectCodec(CodecBackend::kZlib);
  uint32_t zlib_crc = Crc32(0, data, size);
  SelectCodec(CodecBackend::kIsal);
  uint32_t isal_crc = Crc32(0, data, size);
  if (zlib_crc != isal_crc) Differ("CRC-32", std::to_string(zlib_crc), std::to_string(isal_crc));

  if (size >= 1) {
    static constexpr size_t kInSlices[] = {1, 7, 512, 16384};
    static constexpr size_t kOutSlices[] = {1, 13, 4096, 16384};
    size_t in_slice = kInSlices[data[0] & 3];
    size_t out_slice = kOutSlices[(data[0] >> 2) & 3];
    Trace z = InflateAll(CodecBackend::kZlib, data + 1, size - 1, in_slice, out_slice);
    Trace i = InflateAll(CodecBackend::kIsal, data + 1, size - 1, in_slice, out_slice);
    CompareTraces(z, i);
  }

  fuzz::ServeFromMemory(data, size);
  std::vector<fuzz::Report> z = VerifyWith(CodecBackend::kZlib);
  std::vector<fuzz::Report> i = VerifyWith(CodecBackend::kIsal);
  size_t n = z.size() < i.size() ? z.size() : i.size();
  for (size_t k = 0; k < n; ++k)
    if (z[k].kind != i[k].kind || z[k].text != i[k].text)
      Differ(("report " + std::to_string(k)).c_str(),
             std::to_string(z[k].kind) + " " + z[k].text,
             std::to_string(i[k].kind) + " " + i[k].text);
  if (z.size() != i.size())
    Differ("report count", std::to_string(z.size()), std::to_string(i.size()));
  fuzz::ResetStatus(0);
  return 0;
}
