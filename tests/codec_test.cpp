// The codec seam: CRC-32 and raw deflate through zlib (the reference) and through ISA-L must
// give the entry check the same verdict. Every stream goes through the entry check with each
// backend (result and CRC-32, with the expected CRC right and wrong, internal and against an
// external file) and through the two decoders alone, fed in slices that put a slice end inside
// every header and code: the ISA-L decoder may refuse a stream zlib takes (the entry check then
// asks zlib), never take one zlib refuses or decode other bytes. Streams come from zlib itself,
// from a small deflate writer that makes the invalid cases zlib and ISA-L judge differently
// (incomplete and over-subscribed codes, counts past the limits, reserved codes, distances too
// far back, damaged stored lengths), from damaging good streams, and from a seeded random
// generator. Then whole verification runs are compared log line for log line. The ISA-L cases
// are skipped in a zlib-only build.
#include "deflate64.h"
#include "entry_check.h"
#include "test_run.h"
#include "codec.h"
#include "inflater.h"
#include "status_recorder.h"
#include "test_util.h"
#include "zip_builder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

// --- Whole-stream verdicts -------------------------------------------------------------------

struct Outcome {
  int verdict;  // kDecodeEnd, a failure, or kDecodeMore: the input ran out first
  std::string output;
};

// Decodes `stream` fed in slices of `in_slice` bytes, output in 16 KiB blocks.
Outcome DecodeWhole(Decoder* decoder, const std::string& stream, size_t in_slice) {
  Outcome o{decoder->Begin(DecodeParams{0, 0}), ""};
  if (o.verdict != kDecodeMore) return o;
  std::vector<unsigned char> out(16384);
  for (size_t pos = 0; pos < stream.size();) {
    size_t n = std::min(in_slice, stream.size() - pos);
    decoder->SetInput(reinterpret_cast<const unsigned char*>(stream.data()) + pos, n);
    pos += n;
    size_t produced;
    do {
      o.verdict = decoder->Decode(out.data(), out.size(), &produced);
      if (o.verdict < 0) return o;
      o.output.append(reinterpret_cast<const char*>(out.data()), produced);
    } while (produced == out.size() && o.verdict == kDecodeMore);
    if (o.verdict == kDecodeEnd) return o;
  }
  return o;
}

std::string Hex(const std::string& bytes, size_t limit = 64) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    out += kDigits[static_cast<uint8_t>(bytes[i]) >> 4];
    out += kDigits[static_cast<uint8_t>(bytes[i]) & 15];
  }
  if (bytes.size() > limit) out += "...";
  return out;
}

std::vector<StatusRecord> g_lastRecords;  // every report of the last EntryCheck()

// The log lines and result of the entry check of `stream` with `backend`, the expected CRC-32
// `expected`, and `external` as the external file's bytes (or none); a stop is raised at report
// `stop_at` (0: never). Progress lines are left out: inside a damaged entry they may differ.
std::vector<std::string> EntryCheck(CodecBackend backend, const std::string& stream,
                                    uint32_t expected, const std::string* external,
                                    int stop_at = 0) {
  static EntryChecker checker;
  EXPECT_TRUE(SelectCodec(backend));
  PrepareChecker(checker);
  g_recorder.Reset();
  g_recorder.stop_at = stop_at;
  std::string copy = stream, ext = external ? *external : "";
  FILE* archive = fmemopen(copy.data(), copy.size() + 1, "rb");
  FILE* ext_file = external ? fmemopen(ext.data(), ext.size() + 1, "rb") : nullptr;
  uint32_t crc = 0;
  int rc = checker.CheckDeflated(archive, stream.size(), expected, &crc, ext_file, "entry");
  if (ext_file) fclose(ext_file);
  fclose(archive);
  g_lastRecords = g_recorder.records;
  std::vector<std::string> out = g_recorder.Logs();
  out.push_back("result " + std::to_string(rc) + " crc " + std::to_string(crc));
  g_recorder.Reset();
  return out;
}

// Input slices for the bare decoders: the entry check's own, and pieces that put a slice end
// inside every header and code.
constexpr size_t kSlices[] = {16384, 1, 7, 4099};

// Checks `stream` with both backends as described at the top; returns zlib's outcome. With
// `isal_decodes`, the ISA-L decoder must itself decode the stream to its end (no second pass).
Outcome ExpectSameVerdict(const std::string& stream, bool isal_decodes = false) {
  static ZlibDecoder zlib;
  static std::unique_ptr<Decoder> isal = NewIsalDecoder();
  // Our Deflate64 decoder reads plain deflate too, and must judge it exactly as zlib does.
  static Deflate64Decoder deflate(Deflate64Decoder::Variant::kDeflate);
  Outcome z = DecodeWhole(&zlib, stream, 16384);
  for (size_t slice : {size_t{16384}, size_t{7}}) {
    Outcome d = DecodeWhole(&deflate, stream, slice);
    EXPECT_TRUE(d.verdict == z.verdict && (d.verdict != kDecodeEnd || d.output == z.output))
        << "the Deflate64 decoder's deflate gave " << d.verdict << " where zlib gave " << z.verdict
        << ", slice " << slice << "; stream " << Hex(stream);
  }
  if (isal == nullptr) return z;
  for (size_t slice : kSlices) {
    if (slice < 100 && stream.size() > 12000) slice = slice == 1 ? 509 : 61;  // keep it short
    Outcome i = DecodeWhole(isal.get(), stream, slice);
    if (i.verdict == kDecodeEnd) {
      EXPECT_TRUE(z.verdict == kDecodeEnd && z.output == i.output)
          << "ISA-L decoded what zlib " << (z.verdict == kDecodeEnd ? "decodes otherwise" : "refuses")
          << ", slice " << slice << "; stream " << Hex(stream);
    }
    if (isal_decodes) {
      EXPECT_EQ(i.verdict, kDecodeEnd) << "ISA-L left it to zlib, slice " << slice;
    }
  }
  uint32_t crc = zipt::Crc(z.output);
  std::string changed = z.output;
  if (!changed.empty()) changed[changed.size() * 2 / 3] ^= 1;
  for (uint32_t expected : {crc, crc ^ 1u})
    for (const std::string* ext : std::initializer_list<const std::string*>{nullptr, &z.output, &changed})
      EXPECT_EQ(EntryCheck(CodecBackend::kIsal, stream, expected, ext),
                EntryCheck(CodecBackend::kZlib, stream, expected, ext))
          << (ext == nullptr ? "internal" : ext == &changed ? "changed external" : "external")
          << (expected == crc ? "" : ", wrong CRC") << "; stream " << Hex(stream);
  return z;
}

class CodecTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = ActiveCodec(); }
  void TearDown() override { SelectCodec(saved_); }
  CodecBackend saved_ = CodecBackend::kZlib;
};

// --- CRC-32 and the backend choice -----------------------------------------------------------

TEST_F(CodecTest, Crc32KnownAnswerAndPiecesOnBothBackends) {
  const std::string check = "123456789";  // the CRC catalogue's check value
  const std::string big = zipt::RandomBytes(3 * 1048576 + 17, 5);
  for (CodecBackend b : {CodecBackend::kZlib, CodecBackend::kIsal}) {
    if (!CodecAvailable(b)) continue;
    SCOPED_TRACE(CodecName(b));
    auto data = [](const std::string& s) {
      return reinterpret_cast<const unsigned char*>(s.data());
    };
    EXPECT_EQ(Crc32With(b, 0, data(check), check.size()), 0xCBF43926u);
    EXPECT_EQ(Crc32With(b, 0, nullptr, 0), 0u);
    EXPECT_EQ(Crc32With(b, 0x12345678u, nullptr, 0), 0x12345678u);
    uint32_t whole = Crc32With(b, 0, data(big), big.size());
    EXPECT_EQ(whole, zipt::Crc(big));
    uint32_t pieces = 0;
    for (size_t at = 0, n = 1; at < big.size(); at += n, n = n * 3 + 1)
      pieces = Crc32With(b, pieces, data(big) + at, std::min(n, big.size() - at));
    EXPECT_EQ(pieces, whole);
  }
}

// --- A deflate writer for streams zlib's deflate never makes ---------------------------------

using zipt::Bits;

// Canonical codes for `lengths`, handed out in order even when they make no proper code.
std::vector<uint32_t> Codes(const std::vector<int>& lengths) {
  int count[16] = {0};
  for (int l : lengths) count[l]++;
  count[0] = 0;
  uint32_t next[16] = {0}, code = 0;
  for (int len = 1; len < 16; ++len)
    next[len] = code = (code + static_cast<uint32_t>(count[len - 1])) << 1;
  std::vector<uint32_t> codes(lengths.size());
  for (size_t i = 0; i < lengths.size(); ++i)
    if (lengths[i] != 0) codes[i] = next[lengths[i]]++;
  return codes;
}

struct Huffman {
  std::vector<int> lengths;
  std::vector<uint32_t> codes;
  explicit Huffman(std::vector<int> l) : lengths(std::move(l)), codes(Codes(lengths)) {}
  void Put(Bits& w, size_t sym) const {
    w.Code(codes.at(sym), lengths.at(sym) ? lengths.at(sym) : 1);
  }
};

Huffman FixedLiterals() {
  std::vector<int> l(288);
  for (int i = 0; i < 288; ++i) l[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
  return Huffman(l);
}
Huffman FixedDistances() { return Huffman(std::vector<int>(32, 5)); }

constexpr int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// One code-length code step: a length (0..15) or a repeat (16..18) with its extra value.
struct LengthOp {
  int sym, extra = 0;
};

// Writes a dynamic block header: counts, the code-length code with `cl` lengths (all 19, in
// symbol order), then `ops` coded with it. With `cl` empty, a complete code for the symbols
// `ops` uses is made.
void DynamicHeader(Bits& w, bool last, int nlen, int ndist, const std::vector<LengthOp>& ops,
                   std::vector<int> cl = {}) {
  if (cl.empty()) {
    std::vector<int> used;
    for (const LengthOp& op : ops)
      if (std::find(used.begin(), used.end(), op.sym) == used.end()) used.push_back(op.sym);
    cl.assign(19, 0);
    // A complete code: lengths from a balanced split of the used symbols.
    size_t n = used.size();
    if (n == 1) {
      cl[static_cast<size_t>(used[0])] = 1;  // an incomplete one-code set: zlib refuses it
    } else {
      int depth = 0;
      while ((size_t{1} << depth) < n) ++depth;
      size_t shallow = (size_t{1} << depth) - n;  // this many get depth-1
      for (size_t i = 0; i < n; ++i)
        cl[static_cast<size_t>(used[i])] = i < shallow ? depth - 1 : depth;
    }
  }
  int hclen = 19;
  while (hclen > 4 && cl[static_cast<size_t>(kOrder[hclen - 1])] == 0) --hclen;
  w.Put(last, 1);
  w.Put(2, 2);
  w.Put(static_cast<uint32_t>(nlen - 257), 5);
  w.Put(static_cast<uint32_t>(ndist - 1), 5);
  w.Put(static_cast<uint32_t>(hclen - 4), 4);
  for (int i = 0; i < hclen; ++i)
    w.Put(static_cast<uint32_t>(cl[static_cast<size_t>(kOrder[i])]), 3);
  Huffman code(cl);
  for (const LengthOp& op : ops) {
    code.Put(w, static_cast<size_t>(op.sym));
    if (op.sym == 16) w.Put(static_cast<uint32_t>(op.extra), 2);
    if (op.sym == 17) w.Put(static_cast<uint32_t>(op.extra), 3);
    if (op.sym == 18) w.Put(static_cast<uint32_t>(op.extra), 7);
  }
}

// Length ops that send `lengths` one by one, zero runs as 17/18.
std::vector<LengthOp> Plain(const std::vector<int>& lengths) {
  std::vector<LengthOp> ops;
  for (size_t i = 0; i < lengths.size();) {
    size_t run = 1;
    while (i + run < lengths.size() && lengths[i + run] == 0 && lengths[i] == 0) ++run;
    if (lengths[i] == 0 && run >= 11) {
      size_t n = std::min<size_t>(run, 138);
      ops.push_back({18, static_cast<int>(n - 11)});
      i += n;
    } else if (lengths[i] == 0 && run >= 3) {
      ops.push_back({17, static_cast<int>(run - 3)});
      i += run;
    } else {
      ops.push_back({lengths[i]});
      ++i;
    }
  }
  return ops;
}

// Literal/length lengths: literals 'a'..'h' 4 bits, the end code and length 257 (3) 4 bits,
// filling the code exactly when `spare` is 0; with `spare`, that many 4-bit codes are left out.
std::vector<int> SmallLiterals(int nlen, int spare = 0) {
  std::vector<int> l(static_cast<size_t>(nlen), 0);
  for (int c = 'a'; c <= 'h'; ++c) l[static_cast<size_t>(c)] = 4;
  l[256] = 4;
  l[257] = 4;
  for (int c = 'i'; c < 'i' + 6 - spare; ++c) l[static_cast<size_t>(c)] = 4;
  return l;
}

struct Block {
  std::vector<int> lit, dist;
  std::vector<LengthOp> ops;  // empty: Plain(lit + dist)
  std::vector<int> cl;        // empty: made from the ops
};

// A dynamic block: header, then `text` as literals, then (when `match` > 0) one match of length
// 3 at distance `match` (distance code 0 with a one-code set, else code for `match` 1..4),
// then the end code.
std::string DynamicStream(const Block& b, const std::string& text, int match = 0, bool last = true,
                          const std::string& tail = "") {
  Bits w;
  std::vector<int> all = b.lit;
  all.insert(all.end(), b.dist.begin(), b.dist.end());
  DynamicHeader(w, last, static_cast<int>(b.lit.size()), static_cast<int>(b.dist.size()),
                b.ops.empty() ? Plain(all) : b.ops, b.cl);
  Huffman lit(b.lit), dist(b.dist);
  for (char c : text) lit.Put(w, static_cast<uint8_t>(c));
  if (match > 0) {
    lit.Put(w, 257);
    dist.Put(w, static_cast<size_t>(std::min(match, 4) - 1));
  }
  lit.Put(w, 256);
  std::string s = w.Done();
  return s + tail;
}

// A fixed-code block of `text`, then optional raw codes: `lit_code` a literal/length symbol
// (286, 287 are reserved) and `dist_code` a distance symbol after length 3 (30, 31 reserved).
std::string FixedStream(const std::string& text, int lit_code = -1, int dist_code = -1,
                        int match_distance = 0) {
  Bits w;
  w.Put(1, 1);
  w.Put(1, 2);
  Huffman lit = FixedLiterals(), dist = FixedDistances();
  for (char c : text) lit.Put(w, static_cast<uint8_t>(c));
  if (lit_code >= 0) lit.Put(w, static_cast<size_t>(lit_code));
  if (dist_code >= 0) {
    lit.Put(w, 257);
    dist.Put(w, static_cast<size_t>(dist_code));
  }
  if (match_distance > 0) {  // length 3 at `match_distance` (1..4: codes 0..3)
    lit.Put(w, 257);
    dist.Put(w, static_cast<size_t>(match_distance - 1));
  }
  lit.Put(w, 256);
  return w.Done();
}

std::string Stored(const std::string& data, bool last, bool bad_nlen = false) {
  std::string s(1, last ? '\1' : '\0');
  zipt::Put16(s, data.size());
  zipt::Put16(s, (~data.size() & 0xFFFF) ^ (bad_nlen ? 0x100 : 0));
  return s + data;
}

// The first input on which codec_diff_fuzz found the two to disagree: a non-final stored block
// of 16,372 bytes, then 7 bytes from the fuzzer, a fixed-code block of 5 bytes and, in the 7th
// byte, the header of a block of the reserved type 3. That byte is the 16,384th of the stream,
// the last of the entry check's first chunk. zlib decodes the block before it and fails in the
// same call; ISA-L returned Z_OK with the decoded bytes and failed only a call later, so the
// entry check compared those bytes with the external file (and reported progress) first.
std::string LateBadBlockType() {
  std::string block;
  for (size_t i = 0; i < 16372; ++i) block.push_back(static_cast<char>(i & 0xFF));
  return Stored(block, false) + std::string("\x2a\xb7\x60\x8d\x6a\x02\x18", 7);
}

// --- Streams from zlib ---------------------------------------------------------------------

struct ZlibRow {
  const char* name;
  int level, strategy;
  int data;  // 0 text, 1 random, 2 zeros, 3 mixed
  size_t size;
  int flushes;  // Z_FULL_FLUSH / Z_SYNC_FLUSH / Z_BLOCK points, with parameter changes
};

std::string Data(int kind, size_t size) {
  std::string d(size, '\0');
  std::mt19937 rng(static_cast<uint32_t>(size * 31 + static_cast<size_t>(kind)));
  for (size_t i = 0; i < size; ++i) {
    if (kind == 0) d[i] = "the quick brown fox jumps over a lazy dog\n"[(i * 7 + rng() % 3) % 42];
    if (kind == 1) d[i] = static_cast<char>(rng());
    if (kind == 3) d[i] = (i / 5000) % 2 ? static_cast<char>(rng()) : "abcabd"[i % 6];
  }
  return d;
}

std::string ZlibStream(const ZlibRow& r, const std::string& data) {
  z_stream zs{};
  deflateInit2(&zs, r.level, Z_DEFLATED, -15, 8, r.strategy);
  std::string out(deflateBound(&zs, data.size()) + 1024 + 64 * static_cast<size_t>(r.flushes),
                  '\0');
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  size_t pos = 0;
  for (int f = 0; f < r.flushes; ++f) {
    size_t n = data.size() / static_cast<size_t>(r.flushes + 1);
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + pos));
    zs.avail_in = static_cast<uInt>(n);
    pos += n;
    deflate(&zs, f % 3 == 0 ? Z_FULL_FLUSH : f % 3 == 1 ? Z_SYNC_FLUSH : Z_BLOCK);
    deflateParams(&zs, (r.level + f) % 10, f % 2 ? Z_FILTERED : r.strategy);
  }
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + pos));
  zs.avail_in = static_cast<uInt>(data.size() - pos);
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

void PrintTo(const ZlibRow& row, std::ostream* os) { *os << row.name; }

class ZlibStreams : public CodecTest, public ::testing::WithParamInterface<ZlibRow> {};

TEST_P(ZlibStreams, DecodeAlikeAndWhole) {
  const ZlibRow& r = GetParam();
  std::string data = Data(r.data, r.size);
  std::string stream = ZlibStream(r, data);
  Outcome z = ExpectSameVerdict(stream, true);
  EXPECT_EQ(z.verdict, kDecodeEnd);
  EXPECT_TRUE(z.output == data) << "zlib gave " << z.output.size() << " of " << data.size();
  // Bytes after the end of the stream are left alone by both.
  ExpectSameVerdict(stream + zipt::RandomBytes(100, 3), true);
  // A stream cut anywhere fails alike; a few cuts per stream.
  for (size_t cut : {stream.size() / 3, stream.size() / 2, stream.size() - 1})
    if (cut > 0) ExpectSameVerdict(stream.substr(0, cut));
}

INSTANTIATE_TEST_SUITE_P(
    Codec, ZlibStreams,
    ::testing::Values(ZlibRow{"empty", 6, Z_DEFAULT_STRATEGY, 0, 0, 0},
                      ZlibRow{"text_l1", 1, Z_DEFAULT_STRATEGY, 0, 100000, 0},
                      ZlibRow{"text_l6", 6, Z_DEFAULT_STRATEGY, 0, 150000, 0},
                      ZlibRow{"text_l9_flushed", 9, Z_DEFAULT_STRATEGY, 0, 120000, 5},
                      ZlibRow{"random_stored_by_deflate", 6, Z_DEFAULT_STRATEGY, 1, 70000, 0},
                      ZlibRow{"level0_stored", 0, Z_DEFAULT_STRATEGY, 3, 200000, 0},
                      ZlibRow{"zeros_long_matches", 9, Z_DEFAULT_STRATEGY, 2, 3 * 16384, 0},
                      ZlibRow{"huffman_only", 6, Z_HUFFMAN_ONLY, 3, 90000, 2},
                      ZlibRow{"rle", 6, Z_RLE, 3, 90000, 0},
                      ZlibRow{"fixed", 6, Z_FIXED, 0, 60000, 3},
                      ZlibRow{"filtered_exact_16k", 6, Z_FILTERED, 3, 16384 * 4, 0},
                      ZlibRow{"mixed_many_flushes", 5, Z_DEFAULT_STRATEGY, 3, 50000, 40}),
    [](const auto& row) { return std::string(row.param.name); });
// --- Hand-made streams -----------------------------------------------------------------------

struct MadeRow {
  const char* name;
  std::string (*make)();
  int zlib_verdict;  // what zlib says (0 or -3); ISA-L must say the same
};

// The block of SmallLiterals() with `ndist` distance lengths, the first a one-bit code.
Block Small(int nlen = 258, int ndist = 1) {
  Block b;
  b.lit = SmallLiterals(nlen);
  b.dist.assign(static_cast<size_t>(ndist), 0);
  b.dist[0] = 1;
  return b;
}

const MadeRow kMade[] = {
    {"empty_fixed_final", [] { return std::string("\x03\x00", 2); }, 0},
    {"empty_stored_final", [] { return Stored("", true); }, 0},
    {"stored_then_fixed", [] { return Stored("hello", false) + FixedStream("world"); }, 0},
    {"stored_lengths_not_complements", [] { return Stored("hello", true, true); }, -3},
    {"reserved_block_type", [] { return std::string("\x07\x00\x00", 3); }, -3},
    {"fixed_literal_286", [] { return FixedStream("abc", 286); }, -3},
    {"fixed_literal_287", [] { return FixedStream("", 287); }, -3},
    {"fixed_distance_30", [] { return FixedStream("abcd", -1, 30); }, -3},
    {"distance_before_any_output", [] { return FixedStream("", -1, -1, 1); }, -3},
    {"distance_one_too_far", [] { return FixedStream("ab", -1, -1, 3); }, -3},
    {"distance_exactly_at_the_start", [] { return FixedStream("abc", -1, -1, 3); }, 0},
    {"dynamic_good", [] { return DynamicStream(Small(), "abcdefgh", 1); }, 0},
    {"lit_count_287",
     [] {
       Block b = Small(287);
       return DynamicStream(b, "abc");
     },
     -3},
    {"dist_count_31",
     [] {
       Block b = Small(258, 31);
       return DynamicStream(b, "abc");
     },
     -3},
    {"lit_code_incomplete",  // codes for 'i'..'n' left out: a hole zlib refuses outright
     [] {
       Block b = Small();
       b.lit = SmallLiterals(258, 2);
       return DynamicStream(b, "abcabc");
     },
     -3},
    {"lit_code_incomplete_then_garbage",
     [] {
       Block b = Small();
       b.lit = SmallLiterals(258, 1);
       return DynamicStream(b, "ab", 0, false, zipt::RandomBytes(40, 9));
     },
     -3},
    {"lit_code_over_subscribed",
     [] {
       Block b = Small();
       b.lit['a'] = 3;
       return DynamicStream(b, "bcd");
     },
     -3},
    {"lit_code_single_end_code",  // one code of one bit: the old-encoder case zlib allows
     [] {
       Block b;
       b.lit.assign(257, 0);
       b.lit[256] = 1;
       b.dist = {1};
       return DynamicStream(b, "");
     },
     0},
    {"no_end_code",
     [] {
       Block b = Small();
       b.lit[256] = 0;
       b.lit['i' + 6] = 4;  // keep the code complete
       return DynamicStream(b, "abc");
     },
     -3},
    {"dist_code_incomplete",
     [] {
       Block b = Small(258, 3);
       b.dist = {1, 2, 0};
       return DynamicStream(b, "abcd", 1);
     },
     -3},
    {"dist_code_over_subscribed",
     [] {
       Block b = Small(258, 3);
       b.dist = {1, 1, 1};
       return DynamicStream(b, "abcd", 1);
     },
     -3},
    {"dist_code_single_unused_pattern",  // the pattern the single code leaves free
     [] {
       Bits w;
       Block b = Small();
       std::vector<int> all = b.lit;
       all.insert(all.end(), b.dist.begin(), b.dist.end());
       DynamicHeader(w, true, 258, 1, Plain(all));
       Huffman lit(b.lit);
       lit.Put(w, 'a');
       lit.Put(w, 257);
       w.Put(1, 1);  // distance code "1": no such code
       lit.Put(w, 256);
       return w.Done();
     },
     -3},
    {"no_distance_codes_literals_only",
     [] {
       Block b = Small();
       b.dist = {0};
       return DynamicStream(b, "abcdefgh");
     },
     0},
    {"no_distance_codes_but_a_match",
     [] {
       Bits w;
       Block b = Small();
       b.dist = {0};
       std::vector<int> all = b.lit;
       all.push_back(0);
       DynamicHeader(w, true, 258, 1, Plain(all));
       Huffman lit(b.lit);
       lit.Put(w, 'a');
       lit.Put(w, 257);
       w.Put(0, 8);
       lit.Put(w, 256);
       return w.Done();
     },
     -3},
    {"code_length_code_incomplete",
     [] {
       Block b = Small();
       std::vector<int> all = b.lit;
       all.push_back(1);
       b.ops = Plain(all);
       b.cl.assign(19, 0);
       b.cl[0] = 2;  // 0, 1, 4, 17, 18 in use: lengths 2,3,3,3,4 leave a hole
       b.cl[1] = 3;
       b.cl[4] = 3;
       b.cl[17] = 3;
       b.cl[18] = 4;
       return DynamicStream(b, "abc");
     },
     -3},
    {"code_length_code_over_subscribed",
     [] {
       Block b = Small();
       std::vector<int> all = b.lit;
       all.push_back(1);
       b.ops = Plain(all);
       b.cl.assign(19, 0);
       for (int s : {0, 1, 4, 17, 18}) b.cl[static_cast<size_t>(s)] = 2;
       return DynamicStream(b, "abc");
     },
     -3},
    {"code_length_code_empty",  // zlib reads every length as 0, then misses the end code
     [] {
       Bits w;
       w.Put(1, 1);
       w.Put(2, 2);
       w.Put(1, 5);
       w.Put(0, 5);
       w.Put(0, 4);
       w.Put(0, 12);
       for (int i = 0; i < 9; ++i) w.Put(0xFFFFFFFF, 32);
       return w.Done();
     },
     -3},
    {"repeat_before_any_length",
     [] {
       Block b = Small();
       std::vector<int> all = b.lit;
       all.push_back(1);
       b.ops = Plain(all);
       b.ops.insert(b.ops.begin(), LengthOp{16, 0});
       return DynamicStream(b, "abc");
     },
     -3},
    {"repeat_past_the_counts",
     [] {
       Block b = Small();
       std::vector<int> all = b.lit;
       all.push_back(1);
       b.ops = Plain(all);
       b.ops.insert(b.ops.end() - 1, LengthOp{18, 20});  // 31 zeros where one length is left
       return DynamicStream(b, "abc");
     },
     -3},
    {"zero_run_across_lit_dist_boundary",  // allowed: the lengths are one sequence
     [] {
       Block b = Small(260, 2);
       b.dist = {0, 1};
       std::vector<int> all = b.lit;
       all.insert(all.end(), b.dist.begin(), b.dist.end());
       return DynamicStream(b, "abcabc", 0);
     },
     0},
    {"final_block_missing", [] { return Stored("abc", false); }, -3},
    {"cut_inside_dynamic_header",
     [] { return DynamicStream(Small(), "abcdefgh", 1).substr(0, 20); }, -3},
    {"late_bad_block_type", LateBadBlockType, -3},
};

void PrintTo(const MadeRow& row, std::ostream* os) { *os << row.name; }

class MadeStreams : public CodecTest, public ::testing::WithParamInterface<MadeRow> {};

TEST_P(MadeStreams, ZlibVerdict) {
  const MadeRow& r = GetParam();
  std::string stream = r.make();
  Outcome z = ExpectSameVerdict(stream);
  EXPECT_EQ(z.verdict == kDecodeEnd ? 0 : -3, r.zlib_verdict)
      << "the case does not make what its name says";
  // The same behind good blocks that put the case past a chunk boundary, with history for
  // the distances.
  std::string lead = Stored(zipt::RandomBytes(16379, 4), false);
  ExpectSameVerdict(lead + stream);
}

INSTANTIATE_TEST_SUITE_P(Codec, MadeStreams, ::testing::ValuesIn(kMade),
                         [](const auto& row) { return std::string(row.param.name); });

// --- Damaged streams -------------------------------------------------------------------------

TEST_F(CodecTest, EveryBitOfTheHeadersFlipped) {
  // Flipping each of the first 200 bits (block headers, code lengths) of streams with dynamic,
  // fixed and stored blocks, and each bit of a block boundary inside the stream.
  std::string text = Data(0, 40000);
  std::string dynamic = ZlibStream({"", 6, Z_DEFAULT_STRATEGY, 0, 0, 2}, text);
  std::string fixed = ZlibStream({"", 6, Z_FIXED, 0, 0, 0}, text.substr(0, 3000));
  for (const std::string* base : {&dynamic, &fixed}) {
    for (size_t bit = 0; bit < 200 && bit < base->size() * 8; ++bit) {
      std::string s = *base;
      s[bit / 8] = static_cast<char>(s[bit / 8] ^ (1 << (bit % 8)));
      SCOPED_TRACE("bit " + std::to_string(bit));
      ExpectSameVerdict(s);
    }
  }
}

// --- Seeded random streams -------------------------------------------------------------------

// Streams of 1..4 blocks of every type with random codes; a third of the dynamic blocks spoiled
// in one of the ways the made cases name, a quarter of the blocks with random codes, distances
// or bits. VORMIC_CODEC_FUZZ_ITERATIONS sets how many (the default keeps the suite short).
// std::mt19937 with 32-bit results, as the generator's arithmetic wants them.
struct Rng32 {
  using result_type = uint32_t;
  explicit Rng32(uint32_t seed) : engine(seed) {}
  static constexpr uint32_t min() { return 0; }
  static constexpr uint32_t max() { return 0xFFFFFFFFu; }
  uint32_t operator()() { return static_cast<uint32_t>(engine()); }
  std::mt19937 engine;
};

class RandomStreams {
 public:
  explicit RandomStreams(uint32_t seed) : rng_(seed) {}

  std::string Make() {
    Bits w;
    history_ = 0;
    int blocks = 1 + static_cast<int>(rng_() % 4);
    bool unfinished = rng_() % 10 == 0;
    for (int b = 0; b < blocks; ++b) {
      bool last = b == blocks - 1 && !unfinished;
      uint32_t kind = rng_() % 10;
      if (kind == 0) {
        std::string bytes = zipt::RandomBytes(rng_() % 3 ? rng_() % 300 : 0, rng_());
        w.Put(last, 1);
        w.Put(0, 2);
        w.Align();
        uint32_t nlen = ~static_cast<uint32_t>(bytes.size()) & 0xFFFF;
        if (rng_() % 8 == 0) nlen ^= 1u << (rng_() % 16);
        w.Put(static_cast<uint32_t>(bytes.size()), 16);
        w.Put(nlen, 16);
        w.Bytes(bytes);
        history_ += bytes.size();
      } else if (kind <= 2) {
        w.Put(last, 1);
        w.Put(1, 2);
        Symbols(w, FixedLiterals(), FixedDistances(), true);
      } else if (kind == 3) {
        w.Put(last, 1);
        w.Put(3, 2);
      } else {
        Dynamic(w, last);
      }
    }
    std::string s = w.Done();
    uint32_t tail = rng_() % 8;
    if (tail == 0 && !s.empty()) s.resize(rng_() % s.size());
    if (tail == 1) s += zipt::RandomBytes(20, rng_());
    return s;
  }

 private:
  // Lengths of a complete code over `present` of `n` symbols, made by splitting leaves.
  std::vector<int> Lengths(int n, int max_len, int present) {
    std::vector<int> syms(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) syms[static_cast<size_t>(i)] = i;
    std::shuffle(syms.begin(), syms.end(), rng_);
    std::vector<int> leaves = {0};
    while (static_cast<int>(leaves.size()) < std::max(1, std::min(present, n))) {
      std::vector<size_t> can;
      for (size_t i = 0; i < leaves.size(); ++i)
        if (leaves[i] < max_len) can.push_back(i);
      if (can.empty()) break;
      size_t k = can[rng_() % can.size()];
      leaves.push_back(++leaves[k]);
    }
    if (leaves.size() == 1) leaves[0] = 1;
    std::vector<int> len(static_cast<size_t>(n), 0);
    for (size_t i = 0; i < leaves.size(); ++i) len[static_cast<size_t>(syms[i])] = leaves[i];
    return len;
  }

  void Spoil(std::vector<int>& len, bool hole) {
    std::vector<size_t> used;
    for (size_t i = 0; i < len.size(); ++i)
      if (len[i] != 0) used.push_back(i);
    size_t k = used[rng_() % used.size()];
    if (hole && len[k] < 15) ++len[k];
    if (!hole && len[k] > 1) --len[k];
  }

  void Dynamic(Bits& w, bool last) {
    uint32_t spoil = rng_() % 3 == 0 ? 1 + rng_() % 12 : 0;
    int nlen = 257 + static_cast<int>(rng_() % 30);
    int ndist = 1 + static_cast<int>(rng_() % 30);
    if (spoil == 1) nlen = 287 + static_cast<int>(rng_() % 2);
    if (spoil == 2) ndist = 31 + static_cast<int>(rng_() % 2);
    std::vector<int> lit =
        Lengths(nlen, 15, 2 + static_cast<int>(rng_() % static_cast<uint32_t>(nlen)));
    std::vector<int> dist =
        Lengths(ndist, 15, 1 + static_cast<int>(rng_() % static_cast<uint32_t>(ndist)));
    if (lit[256] == 0)
      for (size_t i = 0; i < lit.size(); ++i)
        if (lit[i] != 0) {
          std::swap(lit[i], lit[256]);
          break;
        }
    if (spoil == 3) Spoil(lit, true);
    if (spoil == 4) Spoil(lit, false);
    if (spoil == 5) Spoil(dist, true);
    if (spoil == 6) Spoil(dist, false);
    if (spoil == 7) lit[256] = 0;
    if (spoil == 8) std::fill(dist.begin(), dist.end(), 0);
    if (spoil == 9) {
      std::fill(dist.begin(), dist.end(), 0);
      dist[rng_() % dist.size()] = 1;
    }
    std::vector<int> all = lit;
    all.insert(all.end(), dist.begin(), dist.end());
    std::vector<LengthOp> ops;
    for (size_t i = 0; i < all.size();) {
      size_t run = 1;
      while (i + run < all.size() && all[i + run] == all[i]) ++run;
      if (all[i] == 0 && run >= 3 && rng_() % 4) {
        size_t n = std::min<size_t>(run, 138);
        ops.push_back(n >= 11 ? LengthOp{18, static_cast<int>(n - 11)}
                              : LengthOp{17, static_cast<int>(n - 3)});
        i += n;
      } else if (i > 0 && all[i] == all[i - 1] && run >= 3 && rng_() % 4) {
        size_t n = std::min<size_t>(run, 6);
        ops.push_back({16, static_cast<int>(n - 3)});
        i += n;
      } else {
        ops.push_back({all[i]});
        ++i;
      }
    }
    if (spoil == 10) ops.insert(ops.begin(), LengthOp{16, 0});
    if (spoil == 11) ops.push_back({18, 127});
    std::vector<int> cl(19, 0);
    if (spoil == 12) {
      for (int& x : cl) x = rng_() % 2 ? static_cast<int>(rng_() % 8) : 0;
    }
    DynamicHeader(w, last, nlen, ndist, ops,
                  cl.end() != std::find_if(cl.begin(), cl.end(), [](int x) { return x != 0; })
                      ? cl
                      : std::vector<int>{});
    lit.resize(288, 0);
    dist.resize(32, 0);
    Symbols(w, Huffman(lit), Huffman(dist), false);
  }

  void Symbols(Bits& w, const Huffman& lit, const Huffman& dist, bool fixed) {
    static const int kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static const int kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                       6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    static const uint32_t kDistBase[30] = {
        1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
        193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    std::vector<size_t> lits, dists;
    for (size_t i = 0; i < 286; ++i)
      if (lit.lengths[i] != 0 && i != 256) lits.push_back(i);
    for (size_t i = 0; i < 30; ++i)
      if (dist.lengths[i] != 0) dists.push_back(i);
    bool wild = rng_() % 4 == 0;
    int n = static_cast<int>(rng_() % 4 == 0 ? rng_() % 8 : rng_() % 3000);
    for (int i = 0; i < n && !lits.empty(); ++i) {
      if (wild && rng_() % 200 == 0) {
        w.Put(rng_(), 1 + static_cast<int>(rng_() % 16));
        continue;
      }
      size_t sym = lits[rng_() % lits.size()];
      if (fixed && wild && rng_() % 50 == 0) sym = 286 + rng_() % 2;
      lit.Put(w, sym);
      if (sym < 256) {
        ++history_;
        continue;
      }
      w.Put(rng_(), kLenExtra[std::min<size_t>(sym - 257, 28)]);
      size_t d = dists.empty() ? rng_() % 30 : dists[rng_() % dists.size()];
      if (fixed && wild && rng_() % 50 == 0) d = 30 + rng_() % 2;
      uint64_t room = std::min<uint64_t>(history_, 32768);
      for (int tries = 0; !wild && d < 30 && kDistBase[d] > room && tries < 30 && !dists.empty();
           ++tries)
        d = dists[rng_() % dists.size()];
      if (dist.lengths[d] != 0)
        dist.Put(w, d);
      else
        w.Put(rng_(), 5);
      if (d < 30) {
        uint32_t extra = rng_() % (1u << kDistExtra[d]);
        while (!wild && kDistBase[d] + extra > room && extra > 0) extra >>= 1;
        w.Put(extra, kDistExtra[d]);
      }
      history_ += 3;
    }
    if (rng_() % 20 != 0 && lit.lengths[256] != 0) lit.Put(w, 256);
  }

  Rng32 rng_;
  uint64_t history_ = 0;
};

TEST_F(CodecTest, SeededRandomStreams) {
  if (!CodecAvailable(CodecBackend::kIsal)) GTEST_SKIP() << "ISA-L is not built in";
  const char* env = getenv("VORMIC_CODEC_FUZZ_ITERATIONS");
  int iterations = env != nullptr ? atoi(env) : 400;
  RandomStreams gen(77);
  int valid = 0;
  for (int i = 0; i < iterations && !HasFailure(); ++i) {
    SCOPED_TRACE("stream " + std::to_string(i));
    valid += ExpectSameVerdict(gen.Make()).verdict == kDecodeEnd;
  }
  // The generator must make both kinds, or the loop proves little.
  EXPECT_GT(valid, iterations / 20);
  EXPECT_LT(valid, iterations - iterations / 20);
}

// --- The entry check and whole runs ----------------------------------------------------------

TEST_F(CodecTest, EntryCheckVerdictsAndStopsAlike) {
  if (!CodecAvailable(CodecBackend::kIsal)) GTEST_SKIP() << "ISA-L is not built in";
  std::string data = Data(3, 5 * 16384);
  std::string good = ZlibStream({"", 6, Z_DEFAULT_STRATEGY, 0, 0, 2}, data);
  Block incomplete = Small();
  incomplete.lit = SmallLiterals(258, 2);
  std::string flipped = good;
  flipped[good.size() / 2] ^= 0x10;
  // Damaged entries: the same log lines and result (ExpectSameVerdict also runs them against
  // their own output, changed and unchanged, with the CRC right and wrong).
  for (const std::string& stream :
       {good.substr(0, good.size() - 20), flipped,
        Stored(data.substr(0, 40000), false) + DynamicStream(incomplete, "abc"), std::string()}) {
    SCOPED_TRACE("stream of " + std::to_string(stream.size()) + " bytes");
    ExpectSameVerdict(stream);
    EXPECT_EQ(EntryCheck(CodecBackend::kIsal, stream, zipt::Crc(data), &data),
              EntryCheck(CodecBackend::kZlib, stream, zipt::Crc(data), &data));
  }
  // A good entry against external files that differ near the end or are one byte short; and
  // with a stop at each report in turn: every report alike.
  std::string differs_late = data;
  differs_late[data.size() - 100] ^= 1;
  const std::string short_external = data.substr(0, data.size() - 1);
  for (const std::string* ext :
       std::initializer_list<const std::string*>{nullptr, &data, &differs_late, &short_external}) {
    EXPECT_EQ(EntryCheck(CodecBackend::kIsal, good, zipt::Crc(data), ext),
              EntryCheck(CodecBackend::kZlib, good, zipt::Crc(data), ext));
    // A stop in a passing entry (a failing one is checked again quietly, and a stop there
    // comes where zlib alone would not ask).
    for (int stop = 1; stop <= 6 && (ext == nullptr || ext == &data); ++stop) {
      SCOPED_TRACE("stop at report " + std::to_string(stop));
      EntryCheck(CodecBackend::kIsal, good, zipt::Crc(data), ext, stop);
      std::vector<StatusRecord> isal = g_lastRecords;
      EntryCheck(CodecBackend::kZlib, good, zipt::Crc(data), ext, stop);
      ASSERT_EQ(isal.size(), g_lastRecords.size());
      for (size_t k = 0; k < isal.size(); ++k) {
        EXPECT_EQ(isal[k].kind, g_lastRecords[k].kind) << "report " << k;
        EXPECT_EQ(isal[k].text, g_lastRecords[k].text) << "report " << k;
      }
    }
  }
}

// Whole runs over an archive whose entries zlib and a plain ISA-L loop judge differently.
class CodecRunTest : public CodecTest {
 protected:
  void SetUp() override {
    CodecTest::SetUp();
    if (!CodecAvailable(CodecBackend::kIsal)) GTEST_SKIP() << "ISA-L is not built in";
    ASSERT_TRUE(SetNameListFolder(lists_.path().c_str()));
  }
  void TearDown() override {
    SetNameListFolder(kDefaultNameListFolder);
    g_recorder.Reset();
    CodecTest::TearDown();
  }
  std::vector<std::string> Reports(CodecBackend backend, bool external) {
    EXPECT_TRUE(SelectCodec(backend));
    g_recorder.Reset();
    std::string result =
        RunVerification(external ? (dir_ / "src").c_str() : "", (dir_ / "a.zip").c_str(), external);
    // Log lines only: progress lines inside a damaged entry may differ.
    std::vector<std::string> out;
    for (const std::string& line : g_recorder.Logs()) out.push_back("1 " + line);
    out.push_back("result " + result);
    g_recorder.Reset();
    return out;
  }
  TempDir dir_;
  TempDir lists_;
};

TEST_F(CodecRunTest, ArchivesThatZlibAndIsalJudgeDifferently) {
  // Each row holds an entry that zlib and a plain ISA-L loop judge differently, and the line of
  // zlib's verdict ({src}: the compared folder). Internal and external runs must give the
  // log lines and result zlib gives.
  struct Row {
    const char* name;
    std::vector<zipt::ZipEntry> entries;
    std::vector<std::pair<std::string, std::string>> files;  // of the compared folder
    std::string internal_line, external_line;
  };
  // One block with an incomplete literal/length code that uses only the codes it has: ISA-L
  // alone decodes it to the entry's bytes (CRC and all), zlib refuses the header.
  Block b = Small();
  b.lit = SmallLiterals(258, 3);
  zipt::ZipEntry odd = zipt::Deflated("odd.txt", "abcdefgh");
  odd.compressed = DynamicStream(b, "abcdefgh");
  const zipt::ZipEntry before = zipt::Deflated("before.txt", Data(0, 50000));
  const zipt::ZipEntry after = zipt::Deflated("after.txt", "after");
  // The late bad block type with more compressed bytes after it, so a second chunk (and its
  // progress line) exists; the external file differs from what the good blocks decode to.
  zipt::ZipEntry late = zipt::Deflated("r.bin", "whatever the entry once held");
  late.compressed = LateBadBlockType() + std::string(100, '\x55');
  const Row rows[] = {
      {"incomplete_literal_code",
       {before, odd, after},
       {{before.name, before.data}, {odd.name, odd.data}, {after.name, after.data}},
       "1 inf() error: -3",
       "1 Error decompressing file {src}/odd.txt (-3)"},
      {"late_bad_block_type",
       {late},
       {{"r.bin", std::string(20000, 'x')}},
       "1 inf() error: -3",
       "1 Error decompressing file {src}/r.bin (-3)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WriteFile(dir_ / "a.zip", zipt::BuildZip(zipt::Plan(row.entries)));
    std::filesystem::remove_all(dir_ / "src");
    for (const auto& [name, data] : row.files) WriteFile(dir_ / ("src/" + name), data);
    for (bool external : {false, true}) {
      SCOPED_TRACE(external ? "external" : "internal");
      std::vector<std::string> z = Reports(CodecBackend::kZlib, external);
      std::string expected = external ? row.external_line : row.internal_line;
      if (size_t at = expected.find("{src}"); at != std::string::npos)
        expected.replace(at, 5, dir_ / "src");
      EXPECT_NE(std::find(z.begin(), z.end(), expected), z.end()) << "zlib's verdict changed";
      EXPECT_EQ(Reports(CodecBackend::kIsal, external), z);
    }
  }
}

}  // namespace
