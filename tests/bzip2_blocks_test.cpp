// A long bzip2 entry decoded block by block, on one thread or several, must look exactly like
// libbz2's one pass: the same result, CRC-32, progress lines (with their positions), stop points
// and final stream position, for sound streams and for every way a stream can go wrong. The
// fixtures are made here with libbz2 at 100 KB blocks, so a few hundred KB give several blocks,
// and the crew's minimum length is lowered to take them.
#include "bzip2_blocks.h"

#include "bzip2_parallel.h"
#include "engine.h"
#include "entry_check.h"
#include "run_state.h"
#include "status_recorder.h"
#include "test_run.h"
#include "test_util.h"
#include "zip_builder.h"
#include "zip_records.h"

#include <algorithm>
#include <bzlib.h>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <sched.h>
#include <string>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace {

std::string Bzip2(const std::string& data) {
  std::string out(data.size() + data.size() / 100 + 1024, '\0');
  unsigned size = static_cast<unsigned>(out.size());
  const int rc = BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(data.data()),
                                          static_cast<unsigned>(data.size()), 1, 0, 0);
  EXPECT_EQ(rc, BZ_OK);
  out.resize(size);
  return out;
}

// Text and random bytes in turn: about 6 blocks of 100 KB, some compressing well, some not.
std::string SampleData(uint32_t seed) {
  std::string s;
  for (uint32_t i = 0; i < 6; ++i) s += zipt::Text(1200) + zipt::RandomBytes(70000, seed + i);
  return s;
}

uint64_t BitsAt(const std::string& bytes, uint64_t bit, int count) {
  uint64_t v = 0;
  for (int i = 0; i < count; ++i) {
    const uint64_t b = bit + static_cast<uint64_t>(i);
    v = (v << 1) | ((static_cast<unsigned char>(bytes[b / 8]) >> (7 - b % 8)) & 1);
  }
  return v;
}

void PutBits(std::string& bytes, uint64_t bit, uint64_t value, int count) {
  for (int i = 0; i < count; ++i) {
    const uint64_t b = bit + static_cast<uint64_t>(i);
    const unsigned char mask = static_cast<unsigned char>(0x80 >> (b % 8));
    if ((value >> (count - 1 - i)) & 1) {
      bytes[b / 8] = static_cast<char>(bytes[b / 8] | mask);
    } else {
      bytes[b / 8] = static_cast<char>(bytes[b / 8] & ~mask);
    }
  }
}

// Every place either magic occurs, bit by bit: the finder's reference.
std::vector<Bzip2Mark> ReferenceMarks(const std::string& bytes) {
  std::vector<Bzip2Mark> marks;
  for (uint64_t bit = 0; bit + 48 <= bytes.size() * 8; ++bit) {
    const uint64_t v = BitsAt(bytes, bit, 48);
    if (v == kBzip2BlockMagic || v == kBzip2EndMagic) marks.push_back({bit, v == kBzip2EndMagic});
  }
  return marks;
}

std::vector<uint64_t> BlockStarts(const std::string& stream) {
  std::vector<uint64_t> starts;
  for (const Bzip2Mark& m : ReferenceMarks(stream))
    if (!m.end) starts.push_back(m.bit);
  return starts;
}

uint64_t EndMagicBit(const std::string& stream) {
  for (const Bzip2Mark& m : ReferenceMarks(stream))
    if (m.end) return m.bit;
  return 0;
}

TEST(Bzip2Marks, FinderEqualsBitByBitSearchAtEveryOffset) {
  std::mt19937 rng(5);
  std::string bytes = zipt::RandomBytes(6000, 9);
  // Both magics at every bit offset, some overlapping one another's neighbourhood.
  for (int r = 0; r < 8; ++r) {
    PutBits(bytes, static_cast<uint64_t>(r) * 5000 + 100 + static_cast<uint64_t>(r),
            kBzip2BlockMagic, 48);
    PutBits(bytes, static_cast<uint64_t>(r) * 5000 + 2600 + static_cast<uint64_t>(r),
            kBzip2EndMagic, 48);
  }
  PutBits(bytes, 0, kBzip2BlockMagic, 48);                    // at the very start
  PutBits(bytes, bytes.size() * 8 - 56, kBzip2EndMagic, 48);  // the last the finder can see
  const std::vector<Bzip2Mark> expected = ReferenceMarks(bytes);
  ASSERT_GE(expected.size(), 18u);

  for (size_t max_out : {size_t{8}, size_t{64}}) {
    SCOPED_TRACE(max_out);
    Bzip2MarkFinder finder;
    finder.Reset();
    std::vector<Bzip2Mark> found;
    std::vector<Bzip2Mark> out(max_out);
    size_t pos = 0;
    while (pos < bytes.size()) {
      const size_t piece = std::min<size_t>(1 + rng() % 300, bytes.size() - pos);
      size_t done = 0;
      while (done < piece) {
        size_t n = 0;
        done += finder.Feed(reinterpret_cast<const unsigned char*>(bytes.data()) + pos + done,
                            piece - done, out.data(), out.size(), &n);
        found.insert(found.end(), out.begin(), out.begin() + static_cast<long>(n));
      }
      pos += piece;
    }
    ASSERT_EQ(found.size(), expected.size());
    for (size_t i = 0; i < found.size(); ++i) {
      EXPECT_EQ(found[i].bit, expected[i].bit) << i;
      EXPECT_EQ(found[i].end, expected[i].end) << i;
    }
  }
}

// --- The block decoder against libbz2 ----------------------------------------------------------

std::string Bzip2At(const std::string& data, int level) {
  std::string out(data.size() + data.size() / 100 + 1024, '\0');
  unsigned size = static_cast<unsigned>(out.size());
  const int rc = BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(data.data()),
                                          static_cast<unsigned>(data.size()), level, 0, 0);
  EXPECT_EQ(rc, BZ_OK);
  out.resize(size);
  return out;
}

// Bits written most significant first; Bytes() pads the last byte with zero bits.
class MsbBits {
 public:
  void Put(uint64_t value, int count) {
    for (int i = count - 1; i >= 0; --i) PutBit((value >> i) & 1);
  }
  void PutBit(uint64_t bit) {
    if (size_ % 8 == 0) bytes_.push_back('\0');
    if (bit != 0) bytes_.back() = static_cast<char>(bytes_.back() | (0x80 >> (size_ % 8)));
    ++size_;
  }
  // Bits [from, to) of `source`, a byte at a time where it can.
  void Copy(const std::string& source, uint64_t from, uint64_t to) {
    for (; from < to && size_ % 8 != 0; ++from) PutBit(BitsAt(source, from, 1));
    for (; from + 8 <= to; from += 8) {
      const size_t i = from / 8;
      const unsigned r = from % 8;
      unsigned v = static_cast<unsigned char>(source[i]) << r;
      if (r != 0) v |= static_cast<unsigned char>(source[i + 1]) >> (8 - r);
      bytes_.push_back(static_cast<char>(v & 0xFF));
      size_ += 8;
    }
    for (; from < to; ++from) PutBit(BitsAt(source, from, 1));
  }
  uint64_t size() const { return size_; }
  const std::string& Bytes() const { return bytes_; }

 private:
  std::string bytes_;
  uint64_t size_ = 0;
};

struct BlockOutcome {
  bool ok = false;
  uint32_t crc32 = 0;
  uint64_t length = 0;
};

// libbz2's verdict on bits [start, end) of `stream` as a stream of their own: "BZh", `level`,
// the bits, the end magic and the block's stored CRC as the stream's.
BlockOutcome Libbz2Block(const std::string& stream, uint64_t start, uint64_t end, int level) {
  MsbBits w;
  w.Put(0x425A68, 24);
  w.Put(static_cast<uint64_t>('0' + level), 8);
  w.Copy(stream, start, end);
  w.Put(kBzip2EndMagic, 48);
  w.Put(start + 80 <= end ? BitsAt(stream, start + 48, 32) : 0, 32);
  std::string in = w.Bytes();
  BlockOutcome o;
  bz_stream bz{};
  if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK) return o;
  bz.next_in = in.data();
  bz.avail_in = static_cast<unsigned>(in.size());
  std::vector<char> out(65536);
  uLong crc = crc32(0, nullptr, 0);
  int rc;
  do {
    bz.next_out = out.data();
    bz.avail_out = static_cast<unsigned>(out.size());
    rc = BZ2_bzDecompress(&bz);
    const size_t n = out.size() - bz.avail_out;
    crc = crc32(crc, reinterpret_cast<const Bytef*>(out.data()), static_cast<uInt>(n));
    o.length += n;
  } while (rc == BZ_OK && (bz.avail_in > 0 || bz.avail_out == 0));
  o.ok = rc == BZ_STREAM_END && bz.avail_in == 0;
  o.crc32 = static_cast<uint32_t>(crc);
  BZ2_bzDecompressEnd(&bz);
  return o;
}

// Ours on the same bits, the stream held in a ring of `ring_size` bytes (0: the whole stream)
// where byte i lies at (i + shift) % ring_size: the block may wrap round the ring's end.
BlockOutcome OurBlock(Bzip2BlockDecoder& decoder, const std::string& stream, uint64_t start,
                      uint64_t end, int level, size_t ring_size = 0, size_t shift = 0) {
  std::vector<unsigned char> ring(ring_size == 0 ? stream.size() : ring_size, 0xA5);
  const uint64_t shifted = shift * 8;
  for (uint64_t i = start / 8; i < (end + 7) / 8 && i < stream.size(); ++i)
    ring[(i + shift) % ring.size()] = static_cast<unsigned char>(stream[i]);
  const std::atomic<bool> cancel{false};
  Bzip2BlockResult r;
  decoder.Decode(Bzip2Ring{ring.data(), ring.size()}, start + shifted, end + shifted, level,
                 ActiveCodec(), cancel, &r);
  if (r.ok) {
    EXPECT_EQ(r.stored_crc, BitsAt(stream, start + 48, 32));
  }
  return BlockOutcome{r.ok, r.crc32, r.length};
}

// Each block of a stream: [start, end) bits.
std::vector<std::pair<uint64_t, uint64_t>> Blocks(const std::string& stream) {
  std::vector<std::pair<uint64_t, uint64_t>> blocks;
  const std::vector<Bzip2Mark> marks = ReferenceMarks(stream);
  for (size_t i = 0; i + 1 < marks.size() && !marks[i].end; ++i)
    blocks.push_back({marks[i].bit, marks[i + 1].bit});
  return blocks;
}

std::string Repeat(const std::string& piece, size_t times) {
  std::string s;
  for (size_t i = 0; i < times; ++i) s += piece;
  return s;
}

std::string AllByteValues(size_t times) {
  std::string s;
  for (size_t t = 0; t < times; ++t)
    for (int b = 0; b < 256; ++b) s += static_cast<char>(b);
  return s;
}

TEST(Bzip2Decoder, BlockCrcKnownAnswer) {
  const std::string check = "123456789";  // CRC-32/BZIP2's check value
  const auto* bytes = reinterpret_cast<const unsigned char*>(check.data());
  EXPECT_EQ(Bzip2Crc(0, bytes, 9), 0xFC891918u);
  EXPECT_EQ(Bzip2Crc(Bzip2Crc(0, bytes, 4), bytes + 4, 5), 0xFC891918u);
  EXPECT_EQ(Bzip2Crc(0, bytes, 0), 0u);
}

// Streams made by libbz2 at levels 1 and 9 from many kinds of data: every block decoded by ours
// and by libbz2 alone gives the same output, ours takes every one, and the blocks together
// give the data. At random offsets in a ring the blocks also wrap round its end.
TEST(Bzip2Decoder, SameAsLibbz2OnEveryBlock) {
  struct Data {
    const char* name;
    std::string data;
  };
  std::string runs;  // runs of every length near the run-length coding's edges
  for (size_t n : {1,   2,   3,   4,   5,   6,   7,   8,   9,   254, 255, 256, 257, 258,
                   259, 260, 261, 262, 263, 300, 515, 516, 517, 518, 519, 520, 1000})
    runs += std::string(n, static_cast<char>('a' + n % 7)) + "x";
  std::vector<Data> kinds = {
      {"text", zipt::Text(6000)},
      {"random bytes", zipt::RandomBytes(150000, 11)},
      {"text and random bytes", zipt::Text(1500) + zipt::RandomBytes(30000, 12) + zipt::Text(900)},
      {"one long run", std::string(2000000, 'z')},
      {"runs of exactly 4", Repeat("aaaab", 20000)},
      {"runs of exactly 5", Repeat("bbbbbc", 20000)},
      {"runs of 255 and 256", Repeat(std::string(255, 'q') + "r" + std::string(256, 's'), 300)},
      {"runs of every length", Repeat(runs, 20)},
      {"one byte", "!"},
      {"all 256 byte values", AllByteValues(1)},
      {"all 256 byte values many times", AllByteValues(900) + zipt::RandomBytes(300, 3)},
  };
  // The most random bytes (no runs to shorten) that libbz2 puts in one level-1 block, and one
  // byte more: a block filled exactly, and one that spills into a second.
  const std::string random = zipt::RandomBytes(100100, 13);
  size_t full = 99950;
  while (full < 100100 && Blocks(Bzip2At(random.substr(0, full + 1), 1)).size() == 1) ++full;
  ASSERT_LT(full, 100100u);
  kinds.push_back({"a block filled exactly", random.substr(0, full)});
  kinds.push_back({"a block filled and one byte more", random.substr(0, full + 1)});
  Bzip2BlockDecoder decoder;
  std::mt19937 rng(17);
  for (int level : {1, 9}) {
    for (const Data& kind : kinds) {
      SCOPED_TRACE(std::string(kind.name) + " at level " + std::to_string(level));
      const std::string stream = Bzip2At(kind.data, level);
      const auto blocks = Blocks(stream);
      ASSERT_FALSE(blocks.empty());
      uint32_t crc = 0;
      uint64_t length = 0;
      for (const auto& [start, end] : blocks) {
        SCOPED_TRACE(start);
        const BlockOutcome theirs = Libbz2Block(stream, start, end, level);
        const BlockOutcome ours = OurBlock(decoder, stream, start, end, level);
        ASSERT_TRUE(theirs.ok);
        EXPECT_TRUE(ours.ok);
        EXPECT_EQ(ours.crc32, theirs.crc32);
        EXPECT_EQ(ours.length, theirs.length);
        crc = static_cast<uint32_t>(
            crc32_combine(crc, ours.crc32, static_cast<z_off_t>(ours.length)));
        length += ours.length;
        // The block's bytes in a ring just large enough, wrapping at a random place.
        const size_t span = static_cast<size_t>((end + 7) / 8 - start / 8);
        const BlockOutcome wrapped =
            OurBlock(decoder, stream, start, end, level, span, rng() % span);
        EXPECT_TRUE(wrapped.ok);
        EXPECT_EQ(wrapped.crc32, theirs.crc32);
      }
      EXPECT_EQ(length, kind.data.size());
      EXPECT_EQ(crc, zipt::Crc(kind.data));
    }
  }
}

// Damage: bits flipped all through the header, the tables and the symbols, and blocks cut
// short or run on into the next. Whenever ours takes a block, libbz2 takes it too with the same
// output; the blocks libbz2 takes and ours refuses (each costs a fall-back) are counted.
TEST(Bzip2Decoder, DamagedBlocksNeverTakenWhenLibbz2RefusesThem) {
  const std::vector<std::string> samples = {
      zipt::Text(700),
      zipt::RandomBytes(6000, 21),
      Repeat("aaaab", 900) + Repeat(std::string(300, 'c') + "d", 20) + zipt::Text(30),
      AllByteValues(30) + zipt::Text(200),
  };
  Bzip2BlockDecoder decoder;
  int tried = 0;
  int both_ok = 0;
  int refused_by_ours_only = 0;
  auto compare = [&](const std::string& stream, uint64_t start, uint64_t end) {
    const BlockOutcome theirs = Libbz2Block(stream, start, end, 1);
    const BlockOutcome ours = OurBlock(decoder, stream, start, end, 1);
    ++tried;
    if (ours.ok) {
      EXPECT_TRUE(theirs.ok);
      EXPECT_EQ(ours.crc32, theirs.crc32);
      EXPECT_EQ(ours.length, theirs.length);
      ++both_ok;
    } else if (theirs.ok) {
      ++refused_by_ours_only;
    }
    return ours.ok;
  };
  for (size_t k = 0; k < samples.size(); ++k) {
    SCOPED_TRACE(k);
    // Two one-block streams back to back: the first block can run on into the second.
    const std::string stream = Bzip2At(samples[k], 1) + Bzip2At(samples[(k + 1) % 4], 1);
    const std::vector<Bzip2Mark> marks = ReferenceMarks(stream);
    ASSERT_EQ(marks.size(), 4u);
    ASSERT_TRUE(!marks[0].end && marks[1].end && !marks[2].end && marks[3].end);
    const uint64_t start = marks[0].bit;
    const uint64_t end = marks[1].bit;
    ASSERT_TRUE(compare(stream, start, end));
    // Every bit of the first 600 after the magic (the CRC, the maps, the selectors, the code
    // lengths), 300 spread over the rest, every bit of the last 80.
    std::vector<uint64_t> bits;
    for (uint64_t b = start + 48; b < start + 648 && b < end; ++b) bits.push_back(b);
    ASSERT_GT(end - start, 1000u);
    for (uint64_t i = 0; i < 300; ++i) bits.push_back(start + 648 + (end - start - 648) * i / 300);
    for (uint64_t b = end - 80; b < end; ++b) bits.push_back(b);
    for (uint64_t b : bits) {
      SCOPED_TRACE(b - start);
      std::string damaged = stream;
      PutBits(damaged, b, BitsAt(stream, b, 1) ^ 1, 1);
      compare(damaged, start, end);
    }
    // Cut short by 1..40 bits and by half; run on by 1..40 bits and into the next block whole.
    for (uint64_t n = 1; n <= 40; ++n) {
      SCOPED_TRACE(n);
      EXPECT_FALSE(compare(stream, start, end - n));
      EXPECT_FALSE(compare(stream, start, end + n));
    }
    EXPECT_FALSE(compare(stream, start, (start + end) / 2));
    EXPECT_FALSE(compare(stream, start, marks[3].bit));
  }
  printf("damaged blocks: %d tried, %d taken by both, %d refused by ours alone\n", tried, both_ok,
         refused_by_ours_only);
  // libbz2 takes a damaged block only when the damage changes nothing it reads, as a changed
  // code length of a symbol its table never decodes: ours refuses the code, no longer complete.
  EXPECT_LE(refused_by_ours_only, tried / 100);
}

// Hand-made blocks: the run-length coded text is transformed, move-to-front and run coded and
// written with one complete code for every table, then one knob breaks it. Each row names what
// ours says; libbz2's verdict is printed, and must be a refusal whenever ours refuses a block
// its own rules forbid.
struct Craft {
  std::string text;  // the bytes the walk gives (run-length coded: four equal, then a count)
  int level = 1;
  uint64_t randomised = 0;
  int64_t origin_shift = 0;     // added to the true origin pointer
  uint64_t groups = 2;          // code tables
  int64_t extra_selectors = 0;  // added to the selectors the symbols need
  int64_t selectors = -1;       // this many instead when not negative
  uint64_t first_selector = 0;  // its unary value (>= groups: out of range)
  int symbol0_length = 0;       // table 0's code length of RUNA when not 0 (the code breaks)
  int trailing_bits = 0;        // zero bits after the end symbol, inside the block
  bool wrong_crc = false;
};

// Undoes the run-length coding as libbz2 does (a run cut by the end stays as it is).
std::string RunLengthDecode(const std::string& text) {
  std::string out;
  int same = 0;
  int last = -1;
  for (unsigned char c : text) {
    if (same == 4) {
      out.append(c, static_cast<char>(last));
      same = 0;
      last = -1;
      continue;
    }
    out += static_cast<char>(c);
    same = c == last ? same + 1 : 1;
    last = c;
  }
  return out;
}

// A stream of one block made as `craft` says; *start and *end receive the block's bits.
std::string CraftStream(const Craft& craft, uint64_t* start, uint64_t* end) {
  const std::string& t = craft.text;
  const size_t n = t.size();
  // The transform: rotations sorted, their last bytes; all equal bytes need no sorting.
  std::vector<size_t> rows(n);
  for (size_t i = 0; i < n; ++i) rows[i] = i;
  if (t.find_first_not_of(t[0]) != std::string::npos) {
    std::sort(rows.begin(), rows.end(), [&](size_t a, size_t b) {
      for (size_t k = 0; k < n; ++k) {
        const unsigned char x = static_cast<unsigned char>(t[(a + k) % n]);
        const unsigned char y = static_cast<unsigned char>(t[(b + k) % n]);
        if (x != y) return x < y;
      }
      return false;
    });
  }
  uint64_t origin = 0;
  std::string last(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    if (rows[i] == 0) origin = i;
    last[i] = t[(rows[i] + n - 1) % n];
  }
  bool used[256] = {};
  for (unsigned char c : t) used[c] = true;
  std::vector<unsigned char> front;
  for (int b = 0; b < 256; ++b)
    if (used[b]) front.push_back(static_cast<unsigned char>(b));
  const uint32_t eob = static_cast<uint32_t>(front.size()) + 1;
  std::vector<uint32_t> symbols;
  uint64_t zeros = 0;
  auto flush = [&] {
    if (zeros == 0) return;
    for (uint64_t z = zeros - 1;; z = (z - 2) / 2) {
      symbols.push_back(z & 1);  // RUNB for an odd digit
      if (z < 2) break;
    }
    zeros = 0;
  };
  for (unsigned char c : last) {
    const size_t k = static_cast<size_t>(std::find(front.begin(), front.end(), c) - front.begin());
    if (k == 0) {
      ++zeros;
      continue;
    }
    flush();
    symbols.push_back(static_cast<uint32_t>(k + 1));
    front.erase(front.begin() + static_cast<long>(k));
    front.insert(front.begin(), c);
  }
  flush();
  symbols.push_back(eob);
  // A complete code: the first 2^b - size symbols one bit shorter than the others.
  const uint32_t size = eob + 1;
  int b = 0;
  while ((1u << b) < size) ++b;
  std::vector<int> lengths(size);
  for (uint32_t i = 0; i < size; ++i) lengths[i] = i < (1u << b) - size ? b - 1 : b;
  std::vector<uint32_t> codes(size);
  uint32_t code = 0;
  for (int l = 1; l <= 20; ++l) {
    for (uint32_t i = 0; i < size; ++i)
      if (lengths[i] == l) codes[i] = code++;
    code <<= 1;
  }
  MsbBits w;
  w.Put(0x425A68, 24);
  w.Put(static_cast<uint64_t>('0' + craft.level), 8);
  *start = w.size();
  w.Put(kBzip2BlockMagic, 48);
  const std::string output = RunLengthDecode(t);
  uint32_t crc = Bzip2Crc(0, reinterpret_cast<const unsigned char*>(output.data()), output.size());
  if (craft.wrong_crc) crc ^= 1;
  w.Put(crc, 32);
  w.Put(craft.randomised, 1);
  w.Put(static_cast<uint64_t>(static_cast<int64_t>(origin) + craft.origin_shift), 24);
  uint64_t ranges = 0;
  for (int r = 0; r < 16; ++r)
    for (int j = 0; j < 16; ++j)
      if (used[r * 16 + j]) ranges |= uint64_t{1} << (15 - r);
  w.Put(ranges, 16);
  for (int r = 0; r < 16; ++r) {
    if ((ranges >> (15 - r) & 1) == 0) continue;
    uint64_t map = 0;
    for (int j = 0; j < 16; ++j)
      if (used[r * 16 + j]) map |= uint64_t{1} << (15 - j);
    w.Put(map, 16);
  }
  w.Put(craft.groups, 3);
  const int64_t selectors =
      craft.selectors >= 0
          ? craft.selectors
          : static_cast<int64_t>((symbols.size() + 49) / 50) + craft.extra_selectors;
  w.Put(static_cast<uint64_t>(selectors), 15);
  for (int64_t s = 0; s < selectors; ++s) {
    for (uint64_t k = 0; s == 0 && k < craft.first_selector; ++k) w.PutBit(1);
    w.PutBit(0);
  }
  for (uint64_t g = 0; g < craft.groups; ++g) {
    std::vector<int> written = lengths;
    if (g == 0 && craft.symbol0_length != 0) written[0] = craft.symbol0_length;
    int curr = written[0];
    w.Put(static_cast<uint64_t>(curr), 5);
    for (int l : written) {
      for (; curr < l; ++curr) w.Put(2, 2);
      for (; curr > l; --curr) w.Put(3, 2);
      w.PutBit(0);
    }
  }
  // Every table holds the same code (the first selector picks table 0 after the move to front,
  // unless it is moved): the symbols read the same through any of them.
  for (uint32_t s : symbols) w.Put(codes[s], lengths[s]);
  w.Put(0, craft.trailing_bits);
  *end = w.size();
  w.Put(kBzip2EndMagic, 48);
  w.Put(crc, 32);
  return w.Bytes();
}

TEST(Bzip2Decoder, HandMadeBlocks) {
  const std::string text = "the quick brown fox jumps over the lazy dog, then again";
  std::string runs = "abcd";
  for (int count : {0, 1, 200, 255}) runs += std::string(4, 'r') + static_cast<char>(count) + "s";
  struct CraftRow {
    const char* name;
    Craft craft;
    bool ours_ok;
    bool libbz2_ok;  // what libbz2 says too
  };
  auto with = [&](auto change) {
    Craft c;
    c.text = text;
    change(c);
    return c;
  };
  const std::vector<CraftRow> rows = {
      {"sound", with([](Craft&) {}), true, true},
      {"one byte", with([](Craft& c) { c.text = "x"; }), true, true},
      {"runs with counts 0, 1, 200 and 255", with([&](Craft& c) { c.text = runs; }), true, true},
      {"exactly 100,000 symbols at level 1",
       with([](Craft& c) { c.text = std::string(100000, 'a'); }), true, true},
      {"100,001 symbols at level 1", with([](Craft& c) { c.text = std::string(100001, 'a'); }),
       false, false},
      {"100,001 symbols at level 2", with([](Craft& c) {
         c.text = std::string(100001, 'a');  // 20,000 runs of 4 and a count, then one more
         c.level = 2;
       }),
       true, true},
      {"four equal bytes and no count at the end", with([](Craft& c) { c.text += "zzzz"; }), false,
       false},
      // The first byte derandomisation changes is byte 618: libbz2 gives this short text whole.
      {"randomised", with([](Craft& c) { c.randomised = 1; }), false, true},
      {"origin pointer at the block's length",
       with([](Craft& c) { c.origin_shift = static_cast<int64_t>(c.text.size()); }), false, false},
      {"one code table", with([](Craft& c) { c.groups = 1; }), false, false},
      {"seven code tables", with([](Craft& c) { c.groups = 7; }), false, false},
      {"six code tables", with([](Craft& c) { c.groups = 6; }), true, true},
      {"no selectors", with([](Craft& c) { c.selectors = 0; }), false, false},
      {"one selector too few", with([](Craft& c) { c.extra_selectors = -1; }), false, false},
      {"more selectors than needed", with([](Craft& c) { c.extra_selectors = 5; }), true, true},
      {"32,767 selectors (those past 18,002 ignored)", with([](Craft& c) { c.selectors = 32767; }),
       true, true},
      {"a selector out of range", with([](Craft& c) { c.first_selector = 2; }), false, false},
      {"code length 21", with([](Craft& c) { c.symbol0_length = 21; }), false, false},
      {"incomplete code", with([](Craft& c) { c.symbol0_length = 7; }), false, false},
      {"over-full code", with([](Craft& c) { c.symbol0_length = 1; }), false, false},
      {"bits after the end symbol", with([](Craft& c) { c.trailing_bits = 3; }), false, false},
      {"wrong CRC", with([](Craft& c) { c.wrong_crc = true; }), false, false},
  };
  Bzip2BlockDecoder decoder;
  for (const CraftRow& row : rows) {
    SCOPED_TRACE(row.name);
    uint64_t start = 0;
    uint64_t end = 0;
    const std::string stream = CraftStream(row.craft, &start, &end);
    const BlockOutcome theirs = Libbz2Block(stream, start, end, row.craft.level);
    const BlockOutcome ours = OurBlock(decoder, stream, start, end, row.craft.level);
    EXPECT_EQ(ours.ok, row.ours_ok);
    EXPECT_EQ(theirs.ok, row.libbz2_ok);
    if (ours.ok) {
      const std::string output = RunLengthDecode(row.craft.text);
      EXPECT_EQ(ours.length, output.size());
      EXPECT_EQ(ours.crc32, zipt::Crc(output));
      EXPECT_EQ(ours.crc32, theirs.crc32);
    }
  }
}

// A raised cancel flag stops the decoder at its next piece: the block is not taken.
TEST(Bzip2Decoder, CancelRefusesTheBlock) {
  const std::string stream = Bzip2At(zipt::Text(5000), 1);
  const auto blocks = Blocks(stream);
  ASSERT_FALSE(blocks.empty());
  Bzip2BlockDecoder decoder;
  const Bzip2Ring ring{reinterpret_cast<const unsigned char*>(stream.data()), stream.size()};
  for (bool raised : {false, true}) {
    const std::atomic<bool> cancel{raised};
    Bzip2BlockResult r;
    decoder.Decode(ring, blocks[0].first, blocks[0].second, 1, ActiveCodec(), cancel, &r);
    EXPECT_EQ(r.ok, !raised);
  }
}

// --- The check against the one-thread pass -----------------------------------------------------

struct Outcome {
  int rc = 0;
  uint32_t crc = 0;
  std::vector<std::string> records;
  std::vector<std::pair<uint64_t, uint64_t>> progress;
  int64_t position = 0;
};

constexpr size_t kPrefix = 1000;  // bytes before the entry's data, so offsets are not the file's

// A file whose reads fail from byte `bad_at` on, every time: a damaged sector.
struct FailingFile {
  int fd;
  int64_t position;
  int64_t bad_at;
};

ssize_t FailingRead(void* cookie, char* buffer, size_t size) {
  auto* f = static_cast<FailingFile*>(cookie);
  if (f->position >= f->bad_at) return -1;
  const size_t n = std::min(size, static_cast<size_t>(f->bad_at - f->position));
  const ssize_t got = pread(f->fd, buffer, n, f->position);
  if (got > 0) f->position += got;
  return got;
}

int FailingSeek(void* cookie, off64_t* offset, int whence) {
  auto* f = static_cast<FailingFile*>(cookie);
  if (whence == SEEK_SET) f->position = *offset;
  if (whence == SEEK_CUR) f->position += *offset;
  if (whence == SEEK_END) return -1;  // not needed here
  *offset = f->position;
  return 0;
}

int FailingClose(void* cookie) {
  auto* f = static_cast<FailingFile*>(cookie);
  close(f->fd);
  delete f;
  return 0;
}

// `path` opened for reading, its reads failing from byte `bad_at` on (negative: a plain file).
FILE* OpenFailing(const std::string& path, int64_t bad_at) {
  if (bad_at < 0) return fopen(path.c_str(), "rb");
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return nullptr;
  cookie_io_functions_t functions = {};
  functions.read = FailingRead;
  functions.seek = FailingSeek;
  functions.close = FailingClose;
  return fopencookie(new FailingFile{fd, 0, bad_at}, "rb", functions);
}

// Checks `entry` (the entry's data bytes, kPrefix bytes into a file and followed by 5000
// more) with `crew` (null: the one-thread pass), stopping at report `stop_at` (0: never); the
// file's reads fail from byte `bad_at` on (negative: never).
Outcome CheckEntry(const TempDir& dir, const std::string& entry, Bzip2Crew* crew, int stop_at,
                   int64_t bad_at = -1) {
  const std::string path = dir / "entry.bin";
  WriteFile(path, zipt::RandomBytes(kPrefix, 1) + entry + zipt::RandomBytes(5000, 2));
  auto checker = std::make_unique<EntryChecker>();
  PrepareChecker(*checker);
  checker->SetProgressTotal(kPrefix + entry.size() + 5000);
  checker->SetBzip2Crew(crew);
  g_recorder.Reset();
  ClearRunStop();
  g_recorder.stop_at = stop_at;
  Outcome o;
  FILE* f = OpenFailing(path, bad_at);
  EXPECT_NE(f, nullptr);
  if (f == nullptr) return o;
  EXPECT_EQ(fseeko(f, kPrefix, SEEK_SET), 0);
  o.rc = checker->Check(kMethodBzip2, {0, 0}, f, entry.size(), 0, &o.crc, nullptr, "big.bin");
  o.position = ftello(f);
  fclose(f);
  o.records = g_recorder.All();
  o.progress = g_recorder.progress;
  g_recorder.Reset();
  ClearRunStop();
  return o;
}

struct Row {
  const char* name;
  std::function<std::string(const std::string& stream)> entry;  // the entry from a sound stream
  int plain_rc;       // what the one-thread pass gives: the row does what it says
  bool verified;      // the crew's own verdict stands (no fallback)
  int stop_at = 0;    // 0: no stop; -1: the middle report; -2: the last one
  size_t window = 0;  // the crew's window (0: the product's)
};

std::string Flip(std::string s, uint64_t byte, unsigned char mask) {
  s[byte] = static_cast<char>(s[byte] ^ mask);
  return s;
}

// Byte in the middle of block `k` (-1: the last).
uint64_t MiddleOfBlock(const std::string& stream, int k) {
  const std::vector<uint64_t> starts = BlockStarts(stream);
  const size_t i = k < 0 ? starts.size() - 1 : static_cast<size_t>(k);
  const uint64_t end = i + 1 < starts.size() ? starts[i + 1] : EndMagicBit(stream);
  return (starts[i] + end) / 16;
}

// A row's entry: `magic` written into the middle of block `k`, `bit` bits into its byte.
std::function<std::string(const std::string&)> MagicIn(int k, int bit, uint64_t magic) {
  return [=](const std::string& s) {
    std::string t = s;
    PutBits(t, MiddleOfBlock(s, k) * 8 + static_cast<uint64_t>(bit), magic, 48);
    return t;
  };
}

TEST(Bzip2Blocks, SameAsOnePass) {
  const std::string data = SampleData(40);
  const std::string stream = Bzip2(data);
  ASSERT_GE(BlockStarts(stream).size(), 5u);
  const std::string other = Bzip2(zipt::Text(3000));
  const std::vector<Row> rows = {
      {"sound", [](const std::string& s) { return s; }, kEntryOk, true},
      {"first block damaged",
       [](const std::string& s) { return Flip(s, MiddleOfBlock(s, 0), 0x10); }, kEntryBadData,
       false},
      {"middle block damaged",
       [](const std::string& s) { return Flip(s, MiddleOfBlock(s, 2), 0x01); }, kEntryBadData,
       false},
      {"last block damaged",
       [](const std::string& s) { return Flip(s, MiddleOfBlock(s, -1), 0x80); }, kEntryBadData,
       false},
      {"block CRC damaged",  // the 32 bits after block 3's magic
       [](const std::string& s) {
         std::string t = s;
         const uint64_t at = BlockStarts(s)[3] + 48 + 7;
         PutBits(t, at, BitsAt(s, at, 1) ^ 1, 1);
         return t;
       },
       kEntryBadData, false},
      {"combined CRC damaged",
       [](const std::string& s) {
         std::string t = s;
         const uint64_t at = EndMagicBit(s) + 48 + 20;
         PutBits(t, at, BitsAt(s, at, 1) ^ 1, 1);
         return t;
       },
       kEntryBadData, false},
      {"combined CRC cut off", [](const std::string& s) { return s.substr(0, s.size() - 3); },
       kEntryBadData, false},
      {"end cut off", [](const std::string& s) { return s.substr(0, s.size() * 2 / 3); },
       kEntryBadData, false},
      {"trailing bytes after the end",
       [](const std::string& s) { return s + zipt::RandomBytes(40000, 3); }, kEntryOk, true},
      {"two streams", [&other](const std::string& s) { return s + other; }, kEntryOk, true},
      {"false block magic, byte-aligned, splits block 1", MagicIn(1, 0, kBzip2BlockMagic),
       kEntryBadData, false},
      {"false block magic at bit offset 3 splits block 4", MagicIn(4, 3, kBzip2BlockMagic),
       kEntryBadData, false},
      {"false end magic in block 2", MagicIn(2, 6, kBzip2EndMagic), kEntryBadData, false},
      {"empty entry", [](const std::string&) { return std::string(); }, kEntryBadData, false},
      {"not a bzip2 stream", [](const std::string& s) { return Flip(s, 2, 0x20); }, kEntryBadData,
       false},
      {"blocks longer than the window", [](const std::string& s) { return s; }, kEntryOk, false, 0,
       65536},
      {"stop at the first point", [](const std::string& s) { return s; }, kEntryStopped, true, 1},
      {"stop in the middle", [](const std::string& s) { return s; }, kEntryStopped, true, -1},
      {"stop at the last point", [](const std::string& s) { return s; }, kEntryStopped, true, -2},
      // Past the points given before the fallback: the stop comes in the one-thread pass.
      {"stop in the middle of a stream damaged in its first block",
       [](const std::string& s) { return Flip(s, MiddleOfBlock(s, 0), 0x04); }, kEntryStopped,
       false, -1},
  };
  TempDir dir;
  // One job: the caller decodes every block itself, as a run pinned to one CPU does.
  Bzip2Crew crews[3];
  crews[0].SetJobs(1);
  crews[1].SetJobs(2);
  crews[2].SetJobs(4);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string entry = row.entry(stream);
    // The stop's report number, counted in the one-thread pass's own reports.
    int stop_at = row.stop_at;
    if (stop_at < 0) {
      const Outcome all = CheckEntry(dir, entry, nullptr, 0);
      const int reports = static_cast<int>(all.records.size());
      ASSERT_GE(reports, 4);
      stop_at = row.stop_at == -1 ? reports / 2 : reports;
    }
    const Outcome plain = CheckEntry(dir, entry, nullptr, stop_at);
    ASSERT_EQ(plain.rc, row.plain_rc);
    if (row.plain_rc == kEntryOk && entry.compare(0, stream.size(), stream) == 0) {
      EXPECT_EQ(plain.crc, zipt::Crc(data));
    }
    for (Bzip2Crew& crew : crews) {
      crew.SetLimits(0, row.window);
      const int64_t verified = crew.verified();
      const Outcome blocks = CheckEntry(dir, entry, &crew, stop_at);
      EXPECT_EQ(crew.verified() - verified, row.verified ? 1 : 0);
      EXPECT_EQ(blocks.rc, plain.rc);
      // A stopped check's CRC-32 is of no use to anyone: left out.
      if (plain.rc != kEntryStopped) {
        EXPECT_EQ(blocks.crc, plain.crc);
      }
      EXPECT_EQ(blocks.records, plain.records);
      EXPECT_EQ(blocks.progress, plain.progress);
      EXPECT_EQ(blocks.position, plain.position);
    }
  }
  EXPECT_EQ(crews[0].helper_blocks(), 0);
  EXPECT_GT(crews[1].helper_blocks() + crews[2].helper_blocks(), 0);
}

// A read that fails (a damaged sector) ends the check as one pass ends it, with the same
// progress lines up to there: the crew meets the failure ahead and falls back, and one pass
// reads up to it again, wherever it lies (in the first chunk, in the middle, in the last).
TEST(Bzip2Blocks, ReadFailureAsOnePass) {
  const std::string stream = Bzip2(SampleData(50));
  ASSERT_GE(BlockStarts(stream).size(), 5u);
  const int64_t size = static_cast<int64_t>(stream.size());
  TempDir dir;
  Bzip2Crew crew;
  crew.SetJobs(2);
  crew.SetLimits(0, 0);
  for (int64_t into : {int64_t{100}, size / 2, size - 10}) {
    SCOPED_TRACE(into);
    const int64_t bad_at = static_cast<int64_t>(kPrefix) + into;
    const Outcome plain = CheckEntry(dir, stream, nullptr, 0, bad_at);
    ASSERT_EQ(plain.rc, kEntryReadError);
    const int64_t fell_back = crew.fell_back();
    const Outcome blocks = CheckEntry(dir, stream, &crew, 0, bad_at);
    EXPECT_EQ(crew.fell_back() - fell_back, 1);
    EXPECT_EQ(blocks.rc, plain.rc);
    EXPECT_EQ(blocks.records, plain.records);
    EXPECT_EQ(blocks.progress, plain.progress);
  }
}

// libbz2 reads a byte only when it needs its bits: a stream followed by more bytes in the entry
// ends at the chunk that holds its last byte, also when that byte is a chunk's last or first.
TEST(Bzip2Blocks, StreamEndAtAChunkEdge) {
  TempDir dir;
  Bzip2Crew crew;
  crew.SetJobs(2);
  crew.SetLimits(0, 0);
  for (size_t wanted : {size_t{0}, size_t{1}}) {  // the stream's size modulo a chunk
    SCOPED_TRACE(wanted);
    // Random bytes at the end compress to about their own size, give or take a few dozen
    // bytes: close in on the wanted size, then try one more byte at a time.
    const std::string base = zipt::Text(8000);  // two blocks
    size_t extra = 20000;
    std::string stream;
    for (int tries = 0; tries < 600; ++tries) {
      stream = Bzip2(base + zipt::RandomBytes(extra, 8));
      const size_t over = (stream.size() % kInflateChunk + kInflateChunk - wanted) % kInflateChunk;
      if (over == 0) break;
      if (tries < 6) {
        extra = over < kInflateChunk / 2 ? extra - over : extra + (kInflateChunk - over);
      } else {
        ++extra;
      }
    }
    ASSERT_EQ(stream.size() % kInflateChunk, wanted);
    for (size_t trailing : {size_t{0}, size_t{1}, kInflateChunk + 7}) {
      SCOPED_TRACE(trailing);
      const std::string entry = stream + zipt::RandomBytes(trailing, 4);
      const Outcome plain = CheckEntry(dir, entry, nullptr, 0);
      const int64_t verified = crew.verified();
      const Outcome blocks = CheckEntry(dir, entry, &crew, 0);
      ASSERT_EQ(plain.rc, kEntryOk);
      EXPECT_EQ(crew.verified() - verified, 1);
      EXPECT_EQ(blocks.rc, plain.rc);
      EXPECT_EQ(blocks.records, plain.records);
      EXPECT_EQ(blocks.progress, plain.progress);
      EXPECT_EQ(blocks.position, plain.position);
      EXPECT_EQ(blocks.crc, plain.crc);
    }
  }
}

// A worker's checker: points go to its sink, and helpers decode only on cores no other
// worker's check holds; with none free the worker decodes every block itself.
struct PointRecorder final : ProgressSink {
  bool Point(bool shown, uint64_t unread) override {
    points.push_back({shown, unread});
    return false;
  }
  bool Cancelled() override { return false; }
  std::vector<std::pair<bool, uint64_t>> points;
};

TEST(Bzip2Blocks, WorkerTakesOnlyFreeCores) {
  const std::string data = SampleData(60);
  const std::string stream = Bzip2(data);
  TempDir dir;
  const std::string path = dir / "entry.bin";
  WriteFile(path, stream);
  Bzip2Crew crew;
  crew.SetJobs(2);
  crew.SetLimits(0, 0);
  auto check = [&](bool with_crew, std::vector<std::pair<bool, uint64_t>>* points) {
    auto checker = std::make_unique<EntryChecker>();
    checker->SetCodec(ActiveCodec());
    checker->SetBzip2Crew(with_crew ? &crew : nullptr, true);
    PointRecorder recorder;
    checker->SetProgressSink(&recorder);
    FILE* f = fopen(path.c_str(), "rb");
    EXPECT_NE(f, nullptr);
    uint32_t crc = 0;
    const int rc =
        f == nullptr ? -1000
                     : checker->Check(kMethodBzip2, {0, 0}, f, stream.size(), 0, &crc, nullptr, "");
    if (f != nullptr) fclose(f);
    *points = recorder.points;
    return std::make_pair(rc, crc);
  };
  std::vector<std::pair<bool, uint64_t>> plain_points;
  const auto plain = check(false, &plain_points);
  ASSERT_EQ(plain.first, kEntryOk);
  ASSERT_EQ(plain.second, zipt::Crc(data));
  // Busy: another worker too (no core left for a helper), then the checking worker alone.
  crew.WorkerBusy(2);
  for (int busy : {2, 1}) {
    SCOPED_TRACE(busy);
    const int64_t verified = crew.verified();
    const int64_t helper_blocks = crew.helper_blocks();
    std::vector<std::pair<bool, uint64_t>> points;
    EXPECT_EQ(check(true, &points), plain);
    EXPECT_EQ(points, plain_points);
    EXPECT_EQ(crew.verified() - verified, 1);
    if (busy == 2) {
      EXPECT_EQ(crew.helper_blocks(), helper_blocks);
    }
    crew.WorkerBusy(-1);
  }
}

// Points with a hook: `at_point` runs at each one, then the point is recorded.
struct HookedPoints final : Bzip2Points {
  bool Point(uint64_t chunk) override {
    if (at_point) at_point(chunk);
    points.push_back(chunk);
    return false;
  }
  std::function<void(uint64_t)> at_point;
  std::vector<uint64_t> points;
};

// The crew has one window: a check that starts while another holds it (a second long entry on
// another worker) falls back at once, giving no point, and the first goes on unharmed. With
// one job the caller decodes every block itself.
TEST(Bzip2Blocks, SecondCheckFallsBackAtOnce) {
  const std::string data = SampleData(70);
  const std::string stream = Bzip2(data);
  TempDir dir;
  const std::string path = dir / "entry.bin";
  WriteFile(path, stream);
  for (int jobs : {1, 2}) {
    SCOPED_TRACE(jobs);
    Bzip2Crew crew;
    crew.SetJobs(jobs);
    crew.SetLimits(0, 0);
    HookedPoints inner;
    int inner_rc = -1;
    uint64_t inner_given = 99;
    HookedPoints outer;
    outer.at_point = [&](uint64_t chunk) {
      if (chunk != 1) return;
      FILE* g = fopen(path.c_str(), "rb");
      ASSERT_NE(g, nullptr);
      uint32_t crc = 0;
      inner_rc =
          crew.Check(g, stream.size(), kInflateChunk, ActiveCodec(), &crc, &inner, &inner_given);
      EXPECT_EQ(ftello(g), 0);  // not a byte read
      fclose(g);
    };
    FILE* f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    uint32_t crc = 0;
    uint64_t given = 0;
    const int rc = crew.Check(f, stream.size(), kInflateChunk, ActiveCodec(), &crc, &outer, &given);
    fclose(f);
    EXPECT_EQ(inner_rc, kBlocksFallBack);
    EXPECT_EQ(inner_given, 0u);
    EXPECT_TRUE(inner.points.empty());
    EXPECT_EQ(rc, kBlocksOk);
    EXPECT_EQ(crc, zipt::Crc(data));
    const uint64_t chunks = (stream.size() + kInflateChunk - 1) / kInflateChunk;
    EXPECT_EQ(given, chunks);
    ASSERT_EQ(outer.points.size(), chunks);
    for (uint64_t k = 0; k < chunks; ++k) EXPECT_EQ(outer.points[k], k);
    EXPECT_EQ(crew.verified(), 1);
    EXPECT_EQ(crew.fell_back(), 0);  // a check turned away at once is not counted
    if (jobs == 1) {
      EXPECT_EQ(crew.helper_blocks(), 0);
    }
  }
}

// Runs `run` with the calling thread (and the threads it starts) allowed on one CPU only, as
// under taskset -c 0.
template <typename Run>
void PinnedToOneCpu(Run run) {
  cpu_set_t before, one;
  ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
  int cpu = 0;
  while (cpu < CPU_SETSIZE && !CPU_ISSET(cpu, &before)) ++cpu;
  ASSERT_LT(cpu, CPU_SETSIZE);
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  run();
  ASSERT_EQ(sched_setaffinity(0, sizeof before, &before), 0);
}

// The whole walk, with one job, two, and two pinned to one CPU, against libbz2's one pass (the
// crew's minimum length out of reach): every report, its progress and the result match, and
// the crew checks the long entry every time (with small entries beside it too: one check at a
// time is all the crew must hold).
TEST(Bzip2Blocks, WalkWithAnyJobsSameAsOnePass) {
  const std::string data = SampleData(90);
  const std::string stream = Bzip2(data);
  struct Case {
    const char* name;
    std::string entry;
    bool verified;
  };
  const std::vector<Case> cases = {
      {"sound", stream, true},
      {"middle block damaged", Flip(stream, MiddleOfBlock(stream, 2), 0x02), false},
  };
  const std::string small = zipt::Text(100);
  TempDir dir;
  ASSERT_TRUE(SetNameListFolder(""));
  const int jobs_before = g_testJobs;
  Bzip2Crew& crew = TestVerification().state().bzip2_crew;
  struct Run {
    const char* name;
    int jobs;
    bool pinned;
    bool crew;  // false: one pass
  };
  const Run runs[] = {{"one pass", 1, false, false},
                      {"one job", 1, false, true},
                      {"two jobs", 2, false, true},
                      {"two jobs pinned to one CPU", 2, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool beside : {false, true}) {
      SCOPED_TRACE(beside ? "with small entries" : "alone");
      zipt::ZipEntry e = zipt::Entry("big.bin", data, kMethodBzip2);
      e.compressed = c.entry;
      std::vector<zipt::ZipEntry> entries = {e};
      if (beside) {
        entries.insert(entries.begin(), zipt::Deflated("a.txt", small));
        entries.push_back(zipt::Stored("b.txt", small));
      }
      const std::string path = dir / "one.zip";
      WriteFile(path, zipt::BuildZip(zipt::Plan(entries)));
      std::vector<std::string> plain_records;
      std::vector<std::pair<uint64_t, uint64_t>> plain_progress;
      std::string plain_result;
      for (const Run& run : runs) {
        SCOPED_TRACE(run.name);
        g_testJobs = run.jobs;
        crew.SetLimits(run.crew ? 0 : UINT64_MAX, 0);
        g_recorder.Reset();
        ClearRunStop();
        const int64_t verified = crew.verified();
        std::string result;
        if (run.pinned) {
          PinnedToOneCpu([&] { result = RunVerification(nullptr, path.c_str(), false); });
        } else {
          result = RunVerification(nullptr, path.c_str(), false);
        }
        EXPECT_EQ(crew.verified() - verified, run.crew && c.verified ? 1 : 0);
        if (!run.crew) {
          EXPECT_EQ(result, c.verified ? "OK" : "Verification failed");
          plain_result = result;
          plain_records = g_recorder.All();
          plain_progress = g_recorder.progress;
          continue;
        }
        EXPECT_EQ(result, plain_result);
        EXPECT_EQ(g_recorder.All(), plain_records);
        EXPECT_EQ(g_recorder.progress, plain_progress);
      }
    }
  }
  g_testJobs = jobs_before;
  crew.SetLimits(Bzip2Crew::kMinLength, 0);
  g_recorder.Reset();
}

}  // namespace
