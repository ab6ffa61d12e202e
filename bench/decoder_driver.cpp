// Decoding speed of the Deflate64 decoder against zlib's inflate on the same bytes.
//   decoder_driver FILE [DEFLATE64_STREAM]
// Deflates FILE with zlib (raw, level 6) and decodes that stream with zlib's inflate and with
// our decoder's deflate variant; with DEFLATE64_STREAM (a raw Deflate64 stream of FILE, e.g. the
// data of a 7z -mm=Deflate64 entry) also decodes that as Deflate64 and checks it. Both are fed
// as the entry check feeds them: 16 KiB of input at a time, 16 KiB output blocks. Prints the
// best of 5 runs in MB/s of output.
#include "deflate64.h"
#include "zip_builder.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <zlib.h>

namespace {

constexpr size_t kChunk = 16384;

std::string Read(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Returns the bytes produced and their CRC-32.
size_t RunZlib(const std::string& stream, uLong* crc) {
  z_stream zs{};
  inflateInit2(&zs, -15);
  unsigned char out[kChunk];
  size_t total = 0;
  *crc = crc32(0, nullptr, 0);
  for (size_t pos = 0; pos < stream.size(); pos += kChunk) {
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data() + pos));
    zs.avail_in = static_cast<uInt>(stream.size() - pos < kChunk ? stream.size() - pos : kChunk);
    int rc;
    do {
      zs.next_out = out;
      zs.avail_out = kChunk;
      rc = inflate(&zs, Z_NO_FLUSH);
      const size_t n = kChunk - zs.avail_out;
      *crc = crc32(*crc, out, static_cast<uInt>(n));
      total += n;
    } while (rc == Z_OK && zs.avail_out == 0);
    if (rc == Z_STREAM_END) break;
  }
  inflateEnd(&zs);
  return total;
}

size_t RunOurs(Deflate64Decoder& decoder, const std::string& stream, uLong* crc) {
  decoder.Begin({0, 0});
  unsigned char out[kChunk];
  size_t total = 0;
  *crc = crc32(0, nullptr, 0);
  for (size_t pos = 0; pos < stream.size(); pos += kChunk) {
    decoder.SetInput(reinterpret_cast<const unsigned char*>(stream.data() + pos),
                     stream.size() - pos < kChunk ? stream.size() - pos : kChunk);
    int rc;
    size_t n;
    do {
      rc = decoder.Decode(out, kChunk, &n);
      *crc = crc32(*crc, out, static_cast<uInt>(n));
      total += n;
    } while (rc == kDecodeMore && n == kChunk);
    if (rc != kDecodeMore) break;
  }
  return total;
}

template <typename Fn>
double BestMBps(Fn fn, size_t* bytes, uLong* crc) {
  double best = 0;
  for (int i = 0; i < 5; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    *bytes = fn(crc);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double mbps = static_cast<double>(*bytes) / s / 1e6;
    if (mbps > best) best = mbps;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: decoder_driver FILE [DEFLATE64_STREAM]\n");
    return 2;
  }
  const std::string data = Read(argv[1]);
  const uLong want = crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(data.data()),
                           static_cast<uInt>(data.size()));
  const std::string deflated = zipt::Deflate(data);  // raw deflate, level 6
  Deflate64Decoder as_deflate(Deflate64Decoder::Variant::kDeflate);
  Deflate64Decoder as_deflate64;
  size_t bytes;
  uLong crc;
  int status = 0;
  auto report = [&](const char* what, size_t input, double mbps) {
    const bool ok = bytes == data.size() && crc == want;
    printf("%-34s %10zu -> %10zu bytes  %7.1f MB/s%s\n", what, input, bytes, mbps,
           ok ? "" : "  WRONG OUTPUT");
    if (!ok) status = 1;
  };
  double mbps = BestMBps([&](uLong* c) { return RunZlib(deflated, c); }, &bytes, &crc);
  report("zlib inflate, deflate level 6", deflated.size(), mbps);
  mbps = BestMBps([&](uLong* c) { return RunOurs(as_deflate, deflated, c); }, &bytes, &crc);
  report("ours, the same deflate stream", deflated.size(), mbps);
  if (argc > 2) {
    const std::string d64 = Read(argv[2]);
    mbps = BestMBps([&](uLong* c) { return RunOurs(as_deflate64, d64, c); }, &bytes, &crc);
    report("ours, Deflate64 stream", d64.size(), mbps);
  }
  return status;
}
