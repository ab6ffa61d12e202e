// libFuzzer target, differential: zlib against ISA-L on the same input, whole-stream verdicts.
// Aborts when:
//   - the input (after one control byte) as a raw deflate stream is decoded to its end by the
//     ISA-L decoder but not by zlib's, or to other bytes (length or CRC-32): the ISA-L decoder
//     may refuse what zlib takes (the entry check then asks zlib), never the other way round;
//   - the entry check of that stream gives another result or CRC-32 with ISA-L than with zlib,
//     with the expected CRC-32 right or wrong and with or without an external file (zlib's
//     output, or it with one byte changed);
//   - a whole internal verification of the input as an archive gives other log lines or result;
//   - the CRC-32 of the input differs.
// Without ISA-L built in there is nothing to compare; the target says so once and passes.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "entry_check.h"
#include "fuzz_support.h"
#include "test_run.h"
#include "codec.h"
#include "inflater.h"

namespace {

constexpr size_t kMaxOutput = 8 << 20;  // a deflate bomb is cut here, the same for both

struct Outcome {
  int verdict = kDecodeMore;  // kDecodeEnd, a failure, or kDecodeMore: the input ran out
  uint32_t crc = 0;
  std::string output;
};

Outcome DecodeAll(Decoder* decoder, const uint8_t* data, size_t size, size_t in_slice) {
  Outcome o;
  o.verdict = decoder->Begin(DecodeParams{0, 0});
  if (o.verdict != kDecodeMore) return o;
  std::vector<unsigned char> out(16384);
  for (size_t pos = 0; pos < size && o.output.size() < kMaxOutput;) {
    size_t n = size - pos < in_slice ? size - pos : in_slice;
    decoder->SetInput(data + pos, n);
    pos += n;
    size_t produced;
    do {
      o.verdict = decoder->Decode(out.data(), out.size(), &produced);
      if (o.verdict < 0) return o;
      o.crc = Crc32(o.crc, out.data(), produced);
      o.output.append(reinterpret_cast<const char*>(out.data()), produced);
    } while (produced == out.size() && o.verdict == kDecodeMore);
    if (o.verdict == kDecodeEnd) return o;
  }
  return o;
}

[[noreturn]] void Differ(const char* what, const std::string& zlib_side,
                         const std::string& isal_side) {
  fprintf(stderr, "zlib and ISA-L differ: %s\n  zlib:  %s\n  ISA-L: %s\n", what,
          zlib_side.c_str(), isal_side.c_str());
  abort();
}

std::string Describe(int result, uint32_t crc) {
  return "result " + std::to_string(result) + ", CRC " + std::to_string(crc);
}

// The entry check of `stream` with `backend`; `external` null for an internal check.
std::string CheckEntry(CodecBackend backend, const std::string& stream, uint32_t expected,
                       const std::string* external) {
  static EntryChecker checker;
  SelectCodec(backend);
  PrepareChecker(checker);
  fuzz::ResetStatus(0);
  std::string archive_bytes = stream, external_bytes = external ? *external : "";
  FILE* archive = fmemopen(archive_bytes.data(), archive_bytes.size() + 1, "rb");
  FILE* other = external ? fmemopen(external_bytes.data(), external_bytes.size() + 1, "rb") : nullptr;
  fuzz::Require(archive != nullptr && (external == nullptr || other != nullptr), "fmemopen");
  uint32_t crc = 0;
  int rc = checker.CheckDeflated(archive, stream.size(), expected, &crc, other, "entry");
  fclose(archive);
  if (other) fclose(other);
  std::string logs;
  for (const fuzz::Report& r : fuzz::g_status.reports)
    if (r.kind == 1) logs += r.text + "\n";
  return logs + Describe(rc, crc);
}

std::vector<fuzz::Report> VerifyWith(CodecBackend backend) {
  SelectCodec(backend);
  fuzz::ResetStatus(0);
  fuzz::g_status.keep_all = true;
  const char* result = RunVerification("", fuzz::kMemoryArchivePath, false);
  std::vector<fuzz::Report> logs;
  for (const fuzz::Report& r : fuzz::g_status.reports)
    if (r.kind == 1) logs.push_back(r);  // progress lines inside a damaged entry may differ
  logs.push_back({-1, result});
  fuzz::g_status.keep_all = false;
  return logs;
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

  uint32_t zlib_crc = Crc32With(CodecBackend::kZlib, 0, data, size);
  uint32_t isal_crc = Crc32With(CodecBackend::kIsal, 0, data, size);
  if (zlib_crc != isal_crc) Differ("CRC-32", std::to_string(zlib_crc), std::to_string(isal_crc));

  if (size >= 1) {
    static constexpr size_t kInSlices[] = {1, 7, 512, 16384};
    static ZlibDecoder zlib;
    static std::unique_ptr<Decoder> isal = NewIsalDecoder();
    const uint8_t control = data[0];
    size_t in_slice = kInSlices[control & 3];
    Outcome z = DecodeAll(&zlib, data + 1, size - 1, in_slice);
    Outcome i = DecodeAll(isal.get(), data + 1, size - 1, in_slice);
    if (i.verdict == kDecodeEnd && (z.verdict != kDecodeEnd || z.output != i.output))
      Differ("a stream ISA-L decoded to its end", Describe(z.verdict, z.crc),
             Describe(i.verdict, i.crc));

    std::string stream(reinterpret_cast<const char*>(data + 1), size - 1);
    uint32_t expected = z.verdict == kDecodeEnd && (control & 4) == 0 ? z.crc : z.crc ^ 1;
    std::string external = z.output;
    if ((control & 8) != 0 && !external.empty()) external[external.size() / 2] ^= 1;
    for (const std::string* ext : {static_cast<const std::string*>(nullptr),
                                   static_cast<const std::string*>(&external)}) {
      std::string zc = CheckEntry(CodecBackend::kZlib, stream, expected, ext);
      std::string ic = CheckEntry(CodecBackend::kIsal, stream, expected, ext);
      if (zc != ic) Differ("entry check", zc, ic);
    }
  }

  fuzz::ServeFromMemory(data, size);
  std::vector<fuzz::Report> z = VerifyWith(CodecBackend::kZlib);
  std::vector<fuzz::Report> i = VerifyWith(CodecBackend::kIsal);
  size_t n = z.size() < i.size() ? z.size() : i.size();
  for (size_t k = 0; k < n; ++k)
    if (z[k].kind != i[k].kind || z[k].text != i[k].text)
      Differ(("log line " + std::to_string(k)).c_str(), z[k].text, i[k].text);
  if (z.size() != i.size())
    Differ("log line count", std::to_string(z.size()), std::to_string(i.size()));
  fuzz::ResetStatus(0);
  return 0;
}
