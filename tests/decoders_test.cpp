// The decoders of every method, each fed the way the entry check feeds it (input in chunks,
// output in blocks, one object reused for every stream): streams made by the real producers at
// test time, good, with one byte damaged and cut short; the Deflate64 decoder's deflate variant
// held against zlib over clean and mutated streams; dictionaries and windows over the cap.
#include "deflate64.h"
#include "method_decoders.h"
#include "test_util.h"
#include "zip_builder.h"
#include "zip_records.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <zlib.h>

namespace {

// Feeds `data` in `in_chunk` slices, decoding into `out_block`-byte blocks until a block comes
// back not full, as the entry check does. Returns kDecodeEnd, a failure, or kDecodeMore when
// the input ran out first; *out holds everything produced.
int DecodeAll(Decoder& decoder, const std::string& data, uint64_t uncompressed_size,
              size_t in_chunk, size_t out_block, std::string* out) {
  out->clear();
  if (decoder.Begin({uncompressed_size, 0}) != kDecodeMore) return kDecodeNoMemory;
  std::string block(out_block, '\0');
  for (size_t pos = 0; pos < data.size(); pos += in_chunk) {
    const size_t n = std::min(in_chunk, data.size() - pos);
    decoder.SetInput(reinterpret_cast<const unsigned char*>(data.data() + pos), n);
    size_t produced;
    int rc;
    do {
      rc = decoder.Decode(reinterpret_cast<unsigned char*>(block.data()), out_block, &produced);
      out->append(block.data(), produced);
      if (rc != kDecodeMore) return rc;
    } while (produced == out_block);
  }
  return decoder.EndsWithInput() ? kDecodeEnd : kDecodeMore;
}

// About 1.2 MB that exercises every part of the formats: text with near repeats, a random
// 40 KB block repeated 48 KB later (distances past 32 KiB: Deflate64's codes 30 and 31), long
// runs (its 16-bit lengths), and random bytes (stored blocks).
std::string SampleData() {
  std::mt19937 rng(12);
  std::string s;
  for (int i = 0; i < 20000; ++i)
    s += "line " + std::to_string(i * 7919 % 10007) + " of the sample, word " +
         std::to_string(rng() % 50) + "\n";
  std::string block(40000, '\0');
  for (auto& c : block) c = static_cast<char>(rng());
  s += block + std::string(8000, 'x') + block;
  s += std::string(200000, '\0');
  for (int i = 0; i < 100000; ++i) s += static_cast<char>(rng());
  return s;
}

std::string RawDeflate(const std::string& data, int level, int strategy) {
  return zipt::Deflate(data, level, "", strategy);
}

// zlib's verdict on a raw deflate stream: kDecodeEnd, kDecodeBadData or kDecodeMore (ran out).
int ZlibInflate(const std::string& data, std::string* out) {
  const int rc = zipt::Inflate(data.data(), data.size(), out);
  return rc == Z_STREAM_END ? kDecodeEnd : rc == Z_DATA_ERROR ? kDecodeBadData : kDecodeMore;
}

TEST(Deflate64, ReadsDeflateAsZlibDoes) {
  const std::string sample = SampleData();
  struct Row {
    const char* name;
    std::string data;
    int level, strategy;
  };
  const Row rows[] = {
      {"stored", sample.substr(0, 200000), 0, Z_DEFAULT_STRATEGY},
      {"fast", sample, 1, Z_DEFAULT_STRATEGY},
      {"default", sample, 6, Z_DEFAULT_STRATEGY},
      {"best", sample, 9, Z_DEFAULT_STRATEGY},
      {"fixed codes", sample, 6, Z_FIXED},
      {"Huffman only", sample, 6, Z_HUFFMAN_ONLY},
      {"runs", sample, 6, Z_RLE},
      {"empty", "", 6, Z_DEFAULT_STRATEGY},
  };
  Deflate64Decoder decoder(Deflate64Decoder::Variant::kDeflate);
  // In pieces that cross every boundary, and whole.
  const size_t slices[][2] = {{1, 7}, {13, 1000}, {16384, 16384}, {1 << 30, 1 << 20}};
  for (const Row& row : rows) {
    const std::string compressed = RawDeflate(row.data, row.level, row.strategy);
    for (const auto& slice : slices) {
      if (slice[0] == 1 && row.data.size() > 300000) continue;  // byte by byte: the small rows
      SCOPED_TRACE(std::string(row.name) + " in " + std::to_string(slice[0]) + "/" +
                   std::to_string(slice[1]));
      std::string out;
      ASSERT_EQ(DecodeAll(decoder, compressed, row.data.size(), slice[0], slice[1], &out),
                kDecodeEnd);
      ASSERT_TRUE(out == row.data) << out.size() << " bytes of " << row.data.size();
    }
  }

  // Damaged streams: the same verdict as zlib and, where both end, the same bytes. Mutations
  // of 1 to 4 bytes anywhere, from a fixed seed, over small streams so each is quick.
  std::mt19937 rng(2026);
  const std::string small[] = {RawDeflate(sample.substr(0, 3000), 6, Z_DEFAULT_STRATEGY),
                               RawDeflate(sample.substr(800000, 5000), 9, Z_DEFAULT_STRATEGY),
                               RawDeflate(sample.substr(0, 2000), 6, Z_FIXED),
                               RawDeflate(sample.substr(1000000, 900), 0, Z_DEFAULT_STRATEGY)};
  int verdicts[3] = {};
  for (int i = 0; i < 3000; ++i) {
    std::string mutated = small[i % 4];
    for (unsigned k = rng() % 4 + 1; k > 0; --k)
      mutated[rng() % mutated.size()] ^= static_cast<char>(1u << (rng() % 8));
    std::string ours, theirs;
    const int expected = ZlibInflate(mutated, &theirs);
    const int got = DecodeAll(decoder, mutated, 0, 1 << 20, 16384, &ours);
    ASSERT_EQ(got, expected) << "mutation " << i;
    if (got == kDecodeEnd) {
      ASSERT_TRUE(ours == theirs) << "mutation " << i;
    }
    ++verdicts[expected == kDecodeEnd ? 0 : expected == kDecodeBadData ? 1 : 2];
  }
  // The mutations reached every verdict, so the comparison above covered each.
  EXPECT_GT(verdicts[0], 0);
  EXPECT_GT(verdicts[1], 0);
  EXPECT_GT(verdicts[2], 0);
}

// Fixed-code symbols: literals 0-143 (8 bits from 0x30), 256-279 (7 bits from 0), 280-287 (8
// bits from 0xC0); distances 5 bits.
struct FixedBits : zipt::Bits {
  void Literal(char c) { Code(0x30 + static_cast<unsigned char>(c), 8); }
  void End() { Code(0, 7); }
  void Match285(uint32_t extra, uint32_t distance_code, uint32_t distance_extra,
                int distance_bits) {
    Code(0xC5, 8);
    Put(extra, 16);
    Code(distance_code, 5);
    Put(distance_extra, distance_bits);
  }
};

// What a match appends to the output, byte by byte as the format defines it.
void AppendMatch(std::string* out, size_t length, size_t distance) {
  for (size_t i = 0; i < length; ++i) out->push_back((*out)[out->size() - distance]);
}

// Length code 285 with its 16 extra bits and distance code 31 are Deflate64's own; 7-Zip never
// writes 285 (it stops at length 257), Windows' zipper does. Hand-made fixed-code blocks.
TEST(Deflate64, LongLengthsAndFarDistances) {
  FixedBits good;
  good.Put(1, 1);  // final block
  good.Put(1, 2);  // fixed codes
  for (char c : std::string("xyz")) good.Literal(c);
  good.Match285(65535, 2, 0, 0);    // length 65538, distance 3
  good.Match285(0, 31, 16383, 14);  // length 3, distance 65536
  good.Match285(1000, 30, 5, 14);   // length 1003, distance 32774
  good.End();
  std::string expected = "xyz";
  AppendMatch(&expected, 65538, 3);
  AppendMatch(&expected, 3, 65536);
  AppendMatch(&expected, 1003, 32774);

  FixedBits too_far;  // distance 32769 after 3 bytes of output
  too_far.Put(3, 3);
  for (char c : std::string("xyz")) too_far.Literal(c);
  too_far.Match285(0, 30, 0, 14);
  too_far.End();

  struct Row {
    const char* name;
    Deflate64Decoder::Variant variant;
    std::string stream;
    int result;
    std::string output;
  };
  const Row rows[] = {
      {"Deflate64", Deflate64Decoder::Variant::kDeflate64, good.Done(), kDecodeEnd, expected},
      {"distance before the output", Deflate64Decoder::Variant::kDeflate64, too_far.Done(),
       kDecodeBadData, ""},
      // As deflate, 285 is length 258 without extra bits and code 31 is invalid.
      {"as deflate", Deflate64Decoder::Variant::kDeflate, good.Done(), kDecodeBadData, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Deflate64Decoder decoder(row.variant);
    for (size_t in_chunk : {size_t{1}, size_t{5}, size_t{1 << 20}}) {
      std::string out;
      ASSERT_EQ(DecodeAll(decoder, row.stream, 0, in_chunk, 16384, &out), row.result);
      if (row.result == kDecodeEnd) {
        ASSERT_TRUE(out == row.output) << out.size() << " bytes of " << row.output.size();
      }
    }
  }
}

// A stream made by a real producer: a command that writes `out` from `in`, and whether the
// result is a ZIP archive (its first entry is taken) or the raw stream.
struct Producer {
  const char* name;
  const char* program;
  const char* command;  // %IN% and %OUT% are replaced
  bool zip;             // else the raw stream; "liblzma" rows are made in process
  uint16_t method;      // for archives: the method the entry must have
  Decoder* decoder;
  bool detects_damage;  // false: a damaged byte may only change the output (the CRC's case)
};

std::string Substitute(std::string s, const std::string& in, const std::string& out) {
  for (auto [key, value] : {std::pair<std::string, std::string>{"%IN%", in}, {"%OUT%", out}})
    for (size_t at; (at = s.find(key)) != std::string::npos;) s.replace(at, key.size(), value);
  return s;
}

// ZIP's LZMA header and an LZMA1 stream without the end marker, from liblzma's encoder: the
// form a writer that records sizes up front may use, which ends at the uncompressed size.
std::string LzmaWithoutEndMarker(const std::string& data) {
  lzma_options_lzma options;
  lzma_lzma_preset(&options, 6);
  options.ext_flags = 0;  // no end marker
  const lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream lz = LZMA_STREAM_INIT;
  if (lzma_raw_encoder(&lz, filters) != LZMA_OK) return "";
  std::string out(data.size() + data.size() / 2 + 4096, '\0');
  lz.next_in = reinterpret_cast<const uint8_t*>(data.data());
  lz.avail_in = data.size();
  lz.next_out = reinterpret_cast<uint8_t*>(out.data());
  lz.avail_out = out.size();
  const lzma_ret rc = lzma_code(&lz, LZMA_FINISH);
  out.resize(rc == LZMA_STREAM_END ? lz.total_out : 0);
  lzma_end(&lz);
  uint8_t props[5];
  props[0] = static_cast<uint8_t>((options.pb * 5 + options.lp) * 9 + options.lc);
  for (int i = 0; i < 4; ++i) props[1 + i] = static_cast<uint8_t>(options.dict_size >> (8 * i));
  return std::string("\x10\x02\x05\x00", 4) + std::string(reinterpret_cast<char*>(props), 5) + out;
}

TEST(Decoders, StreamsFromRealProducers) {
  TempDir dir;
  const std::string sample = SampleData();
  WriteFile(dir / "sample.bin", sample);
  WriteFile(dir / "zipit.py",
            "import sys, zipfile\n"
            "m = {'bzip2': zipfile.ZIP_BZIP2, 'lzma': zipfile.ZIP_LZMA}[sys.argv[1]]\n"
            "with zipfile.ZipFile(sys.argv[3], 'w', m) as z: z.write(sys.argv[2], 'sample.bin')\n");
  Deflate64Decoder deflate64;
  Bzip2Decoder bzip2;
  LzmaDecoder lzma;
  XzDecoder xz;
  ZstdDecoder zstd;
  const Producer producers[] = {
      {"7z Deflate64", "7z", "7z a -tzip -mm=Deflate64 -mx=9 %OUT% %IN%", true, kMethodDeflate64,
       &deflate64, false},
      {"7z bzip2", "7z", "7z a -tzip -mm=BZip2 %OUT% %IN%", true, kMethodBzip2, &bzip2, true},
      // 7-Zip and Python both end LZMA with the end marker (and set flag bit 1).
      {"7z LZMA", "7z", "7z a -tzip -mm=LZMA %OUT% %IN%", true, kMethodLzma, &lzma, false},
      {"python bzip2", "python3", "python3 zipit.py bzip2 %IN% %OUT%", true, kMethodBzip2, &bzip2,
       true},
      {"python LZMA", "python3", "python3 zipit.py lzma %IN% %OUT%", true, kMethodLzma, &lzma,
       false},
      {"xz", "xz", "xz --format=xz -c %IN% > %OUT%", false, 0, &xz, true},
      {"zstd", "zstd", "zstd -q -c %IN% > %OUT%", false, 0, &zstd, true},
      {"liblzma LZMA, no end marker", nullptr, nullptr, false, 0, &lzma, false},
      {"zstd, two frames", "zstd", "(zstd -q -c %IN%; zstd -q -c %IN%) > %OUT%", false, 0, &zstd,
       true},
  };
  int ran = 0;
  for (const Producer& p : producers) {
    SCOPED_TRACE(p.name);
    if (p.program != nullptr && !HaveProgram(p.program)) continue;
    const std::string out_path =
        dir / (std::string("out") + std::to_string(ran) + (p.zip ? ".zip" : ".bin"));
    if (p.program == nullptr) {
      WriteFile(out_path, LzmaWithoutEndMarker(sample));
    } else {
      ASSERT_EQ(RunCommand("cd " + dir.path() + " && (" +
                           Substitute(p.command, "sample.bin", out_path) + ") >/dev/null 2>&1"),
                0);
      ++ran;
    }
    std::string stream = ReadFile(out_path);
    std::string expected = sample;
    const bool two_frames = std::string(p.name).find("two frames") != std::string::npos;
    if (two_frames) expected += sample;
    uint64_t size = expected.size();
    if (p.zip) {
      zipt::FirstEntry e;
      ASSERT_TRUE(zipt::FindFirstEntry(stream, &e));
      ASSERT_EQ(e.method, p.method);
      ASSERT_EQ(e.uncompressed, sample.size());
      size = e.uncompressed;
      stream = stream.substr(e.data, e.compressed);
    }

    std::string out;
    // Good, fed as the entry check feeds it and in odd slices; two frames also a frame at a
    // time, so the first ends exactly where its input does, which must not end the stream.
    for (size_t in_chunk :
         {size_t{16384}, size_t{4093}, two_frames ? stream.size() / 2 : size_t{16384}}) {
      ASSERT_EQ(DecodeAll(*p.decoder, stream, size, in_chunk, 16384, &out), kDecodeEnd);
      ASSERT_TRUE(out == expected) << out.size() << " bytes of " << expected.size();
    }
    // One byte damaged in the middle of the data.
    std::string damaged = stream;
    damaged[damaged.size() / 2] ^= 0x10;
    const int rc = DecodeAll(*p.decoder, damaged, size, 16384, 16384, &out);
    if (p.detects_damage) {
      EXPECT_EQ(rc, kDecodeBadData);
    } else {
      EXPECT_FALSE(rc == kDecodeEnd && out == expected) << "the damage went unseen";
    }
    // Cut short: the stream never ends, whatever was produced.
    EXPECT_EQ(
        DecodeAll(*p.decoder, stream.substr(0, stream.size() - 100), size, 16384, 16384, &out),
        kDecodeMore);
    EXPECT_LT(out.size(), expected.size());
  }
  if (ran == 0) GTEST_SKIP() << "none of 7z, python3, xz, zstd is installed";
}

// Streams whose dictionary or window is over the cap are refused before it is allocated.
TEST(Decoders, RefusesWindowsOverTheCap) {
  TempDir dir;
  LzmaDecoder lzma;
  std::string out;
  // ZIP's LZMA header: version 9.20, 5 property bytes, lc=3 lp=0 pb=2, then the dictionary.
  const std::string header_256m("\x09\x14\x05\x00\x5d\x00\x00\x00\x10", 9);
  EXPECT_EQ(DecodeAll(lzma, header_256m + std::string(64, '\0'), 10, 16384, 16384, &out),
            kDecodeTooLarge);
  const std::string header_64m("\x09\x14\x05\x00\x5d\x00\x00\x00\x04", 9);
  EXPECT_NE(DecodeAll(lzma, header_64m + std::string(64, '\0'), 10, 16384, 16384, &out),
            kDecodeTooLarge);
  const std::string header_bad("\x09\x14\x04\x00\x5d\x00\x00\x00\x01", 9);  // 4 property bytes
  EXPECT_EQ(DecodeAll(lzma, header_bad + std::string(64, '\0'), 10, 16384, 16384, &out),
            kDecodeBadData);

  XzDecoder xz;
  ZstdDecoder zstd;
  struct Row {
    const char* name;
    const char* program;
    const char* command;
    Decoder* decoder;
    int expected;
  };
  const Row rows[] = {
      {"xz 256 MiB", "xz", "xz --format=xz --lzma2=dict=256MiB", &xz, kDecodeTooLarge},
      {"xz 64 MiB", "xz", "xz --format=xz --lzma2=dict=64MiB", &xz, kDecodeEnd},
      {"zstd 256 MiB", "zstd", "zstd -q --long=28", &zstd, kDecodeTooLarge},
      {"zstd 128 MiB", "zstd", "zstd -q --long=27", &zstd, kDecodeEnd},
  };
  WriteFile(dir / "in.txt", "a small input\n");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (!HaveProgram(row.program)) continue;
    // Through a pipe, so the producer cannot shrink the window to the input's size.
    ASSERT_EQ(
        RunCommand("cat " + (dir / "in.txt") + " | " + row.command + " -c > " + (dir / "out")), 0);
    EXPECT_EQ(DecodeAll(*row.decoder, ReadFile(dir / "out"), 14, 16384, 16384, &out), row.expected);
  }
}

}  // namespace
