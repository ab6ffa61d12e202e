// Speed of our bzip2 block decoder against libbz2 on one thread, on the same stream.
//   bzip2_block_driver FILE [ours|libbz2]
// FILE is a bzip2 stream ("BZh..."), or any other file, which is compressed first with libbz2 at
// level 9. Times libbz2 decoding the stream whole (its output summed with CRC-32, as the one
// pass does) and our decoder taking its blocks one after another (found with the mark finder,
// as the crew finds them), checks that both give the same bytes (length and CRC-32) and that
// ours took every block, and prints the best of 3 runs in MB/s of output. With "ours" or
// "libbz2" only that one runs, once (for perf stat).
#include "bzip2_blocks.h"

#include <bzlib.h>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>
#include <zlib.h>

namespace {

std::string Read(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Sum {
  uint64_t length = 0;
  uint32_t crc = 0;
  size_t blocks = 0;
  size_t refused = 0;
};

Sum RunLibbz2(const std::string& stream) {
  Sum sum;
  bz_stream bz{};
  if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK) return sum;
  std::vector<char> out(65536);
  bz.next_in = const_cast<char*>(stream.data());
  bz.avail_in = static_cast<unsigned>(stream.size());
  int rc;
  do {
    bz.next_out = out.data();
    bz.avail_out = static_cast<unsigned>(out.size());
    rc = BZ2_bzDecompress(&bz);
    const size_t n = out.size() - bz.avail_out;
    sum.crc = Crc32(sum.crc, reinterpret_cast<unsigned char*>(out.data()), n);
    sum.length += n;
  } while (rc == BZ_OK);
  if (rc != BZ_STREAM_END) sum.refused = 1;
  BZ2_bzDecompressEnd(&bz);
  return sum;
}

Sum RunOurs(Bzip2BlockDecoder& decoder, const std::string& stream,
            const std::vector<Bzip2Mark>& marks) {
  Sum sum;
  const std::atomic<bool> cancel{false};
  const Bzip2Ring ring{reinterpret_cast<const unsigned char*>(stream.data()), stream.size()};
  for (size_t i = 0; i + 1 < marks.size(); ++i) {
    if (marks[i].end) break;
    Bzip2BlockResult r;
    decoder.Decode(ring, marks[i].bit, marks[i + 1].bit, stream[3] - '0', DefaultCodec(), cancel,
                   &r);
    ++sum.blocks;
    if (!r.ok) ++sum.refused;
    sum.crc =
        static_cast<uint32_t>(crc32_combine(sum.crc, r.crc32, static_cast<z_off_t>(r.length)));
    sum.length += r.length;
  }
  return sum;
}

template <typename Fn>
double BestSeconds(Fn fn, Sum* sum) {
  double best = 1e30;
  for (int i = 0; i < 3; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    *sum = fn();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (s < best) best = s;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: bzip2_block_driver FILE\n");
    return 2;
  }
  std::string stream = Read(argv[1]);
  if (stream.compare(0, 3, "BZh") != 0) {
    std::string out(stream.size() + stream.size() / 100 + 1024, '\0');
    unsigned size = static_cast<unsigned>(out.size());
    if (BZ2_bzBuffToBuffCompress(out.data(), &size, stream.data(),
                                 static_cast<unsigned>(stream.size()), 9, 0, 0) != BZ_OK) {
      fprintf(stderr, "cannot compress %s\n", argv[1]);
      return 1;
    }
    out.resize(size);
    stream.swap(out);
  }
  // A block ends where the next magic starts; a false magic inside a block shows as a refusal.
  std::vector<Bzip2Mark> marks;
  Bzip2MarkFinder finder;
  finder.Reset();
  std::vector<Bzip2Mark> found(4096);
  size_t pos = 0;
  while (pos < stream.size()) {
    size_t n = 0;
    pos += finder.Feed(reinterpret_cast<const unsigned char*>(stream.data()) + pos,
                       stream.size() - pos, found.data(), found.size(), &n);
    marks.insert(marks.end(), found.begin(), found.begin() + static_cast<long>(n));
  }
  Bzip2BlockDecoder decoder;
  const std::string only = argc > 2 ? argv[2] : "";
  if (!only.empty()) {
    const Sum one = only == "ours" ? RunOurs(decoder, stream, marks) : RunLibbz2(stream);
    printf("%s: %llu bytes, CRC-32 %08x, %zu refused\n", only.c_str(),
           static_cast<unsigned long long>(one.length), one.crc, one.refused);
    return one.refused == 0 ? 0 : 1;
  }
  Sum plain;
  const double plain_s = BestSeconds([&] { return RunLibbz2(stream); }, &plain);
  Sum ours;
  const double ours_s = BestSeconds([&] { return RunOurs(decoder, stream, marks); }, &ours);
  printf("libbz2, the stream whole     %10zu -> %10llu bytes  %6.3f s  %7.1f MB/s\n", stream.size(),
         static_cast<unsigned long long>(plain.length), plain_s,
         static_cast<double>(plain.length) / plain_s / 1e6);
  printf("ours, %6zu blocks one by one %9zu -> %10llu bytes  %6.3f s  %7.1f MB/s  (%.2fx)\n",
         ours.blocks, stream.size(), static_cast<unsigned long long>(ours.length), ours_s,
         static_cast<double>(ours.length) / ours_s / 1e6, plain_s / ours_s);
  const bool same = plain.refused == 0 && ours.refused == 0 && plain.length == ours.length &&
                    plain.crc == ours.crc;
  if (!same)
    printf("DIFFERENT: %zu blocks refused, CRC-32 %08x against libbz2's %08x\n", ours.refused,
           ours.crc, plain.crc);
  return same ? 0 : 1;
}
