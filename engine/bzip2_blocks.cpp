// bzip2 one block at a time: the magic finder and the one-block decoder.
#include "bzip2_blocks.h"

#include <array>
#include <cstring>
#include <new>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

constexpr uint64_t kMagicMask = (uint64_t{1} << 48) - 1;

// For each byte value, the bit offsets (0..7) at which a magic starting in the byte two before
// it has exactly that byte there: low 8 bits for the block magic, high 8 for the end magic. A
// magic at offset r covers its third byte whole, whatever r, so one look at that byte rules out
// most places before the 48 bits are compared.
constexpr std::array<uint16_t, 256> MakeThirdByteTable() {
  std::array<uint16_t, 256> table{};
  for (int r = 0; r < 8; ++r) {
    table[(kBzip2BlockMagic >> (24 + r)) & 0xFF] |= static_cast<uint16_t>(1u << r);
    table[(kBzip2EndMagic >> (24 + r)) & 0xFF] |= static_cast<uint16_t>(0x100u << r);
  }
  return table;
}
constexpr std::array<uint16_t, 256> kThirdByte = MakeThirdByteTable();

}  // namespace

// --- The finder --------------------------------------------------------------------------------

void Bzip2MarkFinder::Reset() {
  window_ = 0;
  fed_ = 0;
}

size_t Bzip2MarkFinder::Feed(const unsigned char* data, size_t size, Bzip2Mark* out, size_t max_out,
                             size_t* found) {
  *found = 0;
  size_t i = 0;
  for (; i < size && *found + kMaxMarksPerByte <= max_out; ++i) {
    window_ = (window_ << 8) | data[i];
    const uint64_t newest = fed_++;
    // A magic starting at byte q at bit offset r lies in bytes q .. q + 6; byte q + 2 is whole.
    const uint16_t candidates = kThirdByte[(window_ >> 32) & 0xFF];
    if (candidates == 0 || newest < 6) continue;
    const uint64_t q = newest - 6;
    for (int r = 0; r < 8; ++r) {
      if ((candidates & (0x101u << r)) == 0) continue;
      const uint64_t bits = (window_ >> (8 - r)) & kMagicMask;
      if (bits == kBzip2BlockMagic || bits == kBzip2EndMagic)
        out[(*found)++] = Bzip2Mark{q * 8 + static_cast<uint64_t>(r), bits == kBzip2EndMagic};
    }
  }
  return i;
}

// --- The one-block decoder ----------------------------------------------------------------------

// Format notes: after the magic and the CRC a block holds, most significant bit first: the
// randomised bit; the origin pointer (24 bits: the row of the sorted rotations that holds the
// block's text); a 16-bit map of which 16-value ranges of bytes occur, then a 16-bit map for each
// range marked; the number of code tables (3 bits, 2..6) and of selectors (15 bits), and one
// selector per 50 symbols, a table number move-to-front coded in unary; each table's code
// lengths, delta coded from a 5-bit start; then the symbols. Symbol 0 and 1 (RUNA, RUNB) spell a
// repeat count of the byte at the front of the move-to-front list in bijective base 2, symbol k
// (2 .. bytes used) moves entry k - 1 of the list to the front and emits it, the last symbol ends
// the block. The symbols give the last column of the sorted rotations; walking it back from the
// origin gives the text, itself run-length coded: four equal bytes are followed by a count
// (0..255) of further copies.
//
// libbz2 refuses a block for each of these, and so do we: a length that leaves 1..20, more
// groups of 50 symbols than selectors, a symbol past the table, a repeat count of 21 or more run
// symbols or a block longer than 100,000 x level, an origin pointer not inside the block, a CRC
// that differs. We refuse more (see Decode()); it only costs a fall-back to the one pass.

namespace {

constexpr int kMaxCodeLength = 20;
constexpr int kFastBits = 11;      // codes up to this long decode with one table look-up
constexpr int kMaxAlphabet = 258;  // RUNA, RUNB, list places 1..255, the end symbol
constexpr int kMaxGroups = 6;
constexpr int kGroupSymbols = 50;
constexpr int kMaxSelectors = 18002;  // 900,000 / 50 + 2: libbz2 ignores any beyond
constexpr unsigned kNoByte = 256;     // a run's previous byte before any

// One code table. fast[] holds, for every kFastBits-bit prefix, symbol | length << 9 when a code
// of at most kFastBits bits matches it, 0 when a longer code starts with it.
struct CodeTable {
  uint16_t fast[1 << kFastBits];
  uint32_t first[kMaxCodeLength + 1];  // the first (canonical) code of each length
  uint32_t count[kMaxCodeLength + 1];  // codes of each length
  uint16_t index[kMaxCodeLength + 1];  // where each length's symbols start in sorted[]
  uint16_t sorted[kMaxAlphabet];       // symbols by length, then by value
  int max_length;
};

// Builds `table` from the code lengths (each 1..20) of `size` symbols; false unless they make a
// complete prefix code. Codes are canonical as libbz2 assigns them: shorter codes first, and
// among equal lengths the smaller symbol first.
bool BuildCodeTable(const uint8_t* lengths, int size, CodeTable* table) {
  uint32_t count[kMaxCodeLength + 1] = {};
  for (int i = 0; i < size; ++i) ++count[lengths[i]];
  uint32_t kraft = 0;  // in units of 2^-20
  for (int l = 1; l <= kMaxCodeLength; ++l) kraft += count[l] << (kMaxCodeLength - l);
  if (kraft != uint32_t{1} << kMaxCodeLength) return false;
  uint32_t code = 0;
  uint16_t at = 0;
  table->max_length = 0;
  for (int l = 1; l <= kMaxCodeLength; ++l) {
    table->first[l] = code;
    table->count[l] = count[l];
    table->index[l] = at;
    code = (code + count[l]) << 1;
    at = static_cast<uint16_t>(at + count[l]);
    if (count[l] > 0) table->max_length = l;
  }
  uint16_t next[kMaxCodeLength + 1];
  for (int l = 1; l <= kMaxCodeLength; ++l) next[l] = table->index[l];
  for (int i = 0; i < size; ++i) table->sorted[next[lengths[i]]++] = static_cast<uint16_t>(i);
  memset(table->fast, 0, sizeof table->fast);
  for (int l = 1; l <= kFastBits; ++l) {
    for (uint32_t k = 0; k < count[l]; ++k) {
      const uint32_t symbol = table->sorted[table->index[l] + k];
      const uint32_t c = table->first[l] + k;
      const uint32_t span = uint32_t{1} << (kFastBits - l);
      const uint16_t entry = static_cast<uint16_t>(symbol | static_cast<uint32_t>(l) << 9);
      for (uint32_t j = 0; j < span; ++j) table->fast[(c << (kFastBits - l)) + j] = entry;
    }
  }
  return true;
}

inline uint64_t LoadBigEndian64(const unsigned char* p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}

// The block's bits, most significant first, read from the ring; zero bits past the block's
// last byte (those bytes may not be held). At least 32 bits are buffered after Need().
class RingBits {
 public:
  RingBits(const Bzip2Ring& ring, uint64_t start_bit, uint64_t end_bit)
      : begin_(ring.bytes),
        end_(ring.bytes + ring.size),
        at_(ring.bytes + (start_bit / 8) % ring.size),
        left_((end_bit + 7) / 8 - start_bit / 8),
        lead_(static_cast<int>(start_bit % 8)) {
    Refill();
    Skip(lead_);
  }
  void Need() {
    if (count_ < 32) Refill();
  }
  uint32_t Peek(int n) const { return static_cast<uint32_t>(bits_ >> (64 - n)); }  // 1..32
  void Skip(int n) {  // 0..32, no more than buffered
    bits_ <<= n;
    count_ -= n;
  }
  uint32_t Get(int n) {  // 1..24
    Need();
    const uint32_t v = Peek(n);
    Skip(n);
    return v;
  }
  uint64_t Used() const { return loaded_ - static_cast<uint64_t>(count_) - lead_; }

 private:
  void Refill() {
    if (left_ >= 8 && end_ - at_ >= 8) {
      // Whole bytes that fit; the part of a ninth byte read along comes again, the same, later.
      bits_ |= LoadBigEndian64(at_) >> count_;
      const int n = (63 - count_) >> 3;
      at_ += n;
      if (at_ == end_) at_ = begin_;
      left_ -= static_cast<uint64_t>(n);
      count_ += n * 8;
      loaded_ += static_cast<uint64_t>(n) * 8;
      return;
    }
    while (count_ <= 56) {
      uint64_t byte = 0;
      if (left_ > 0) {
        byte = *at_;
        if (++at_ == end_) at_ = begin_;
        --left_;
      }
      bits_ |= byte << (56 - count_);
      count_ += 8;
      loaded_ += 8;
    }
  }

  const unsigned char* const begin_;
  const unsigned char* const end_;
  const unsigned char* at_;  // the next byte to load
  uint64_t left_;            // bytes of the block not yet loaded
  uint64_t bits_ = 0;        // buffered bits, the next in the top bit
  int count_ = 0;            // bits buffered
  uint64_t loaded_ = 0;      // bits loaded, with the zero bytes past the end
  const int lead_;           // bits of the first byte before the block
};

// The next symbol of `table`; needs kMaxCodeLength bits buffered. The code is complete, so
// every string of bits starts with one of its codes.
inline uint32_t DecodeSymbol(const CodeTable& table, RingBits& in) {
  const uint32_t entry = table.fast[in.Peek(kFastBits)];
  if (entry != 0) {
    in.Skip(static_cast<int>(entry >> 9));
    return entry & 0x1FF;
  }
  for (int l = kFastBits + 1; l <= table.max_length; ++l) {
    const uint32_t offset = in.Peek(l) - table.first[l];
    if (offset < table.count[l]) {
      in.Skip(l);
      return table.sorted[table.index[l] + offset];
    }
  }
  return kMaxAlphabet;  // not reached with a complete code
}

// Moves list[0 .. k) up by one place (k <= 255; the list has 256 bytes), leaving list[0] as it
// is or not. Large moves are common in binary data, and small ones are most of the rest: a call
// to memmove costs more than either. 16 bytes at a time from the top, then the lowest 16
// (loaded before any store) shifted up by a byte, those above k kept.
#ifdef __SSE2__
inline void MoveUp(unsigned char* list, uint32_t k) {
  const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(list));
  for (uint32_t m = k; m >= 16; m -= 16) {
    const __m128i step = _mm_loadu_si128(reinterpret_cast<const __m128i*>(list + m - 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(list + m - 15), step);
  }
  const __m128i places = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m128i keep = _mm_cmpgt_epi8(places, _mm_set1_epi8(static_cast<char>(k < 15 ? k : 15)));
  const __m128i moved = _mm_slli_si128(low, 1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(list),
                   _mm_or_si128(_mm_and_si128(keep, low), _mm_andnot_si128(keep, moved)));
}
#else
inline void MoveUp(unsigned char* list, uint32_t k) { memmove(list + 1, list, k); }
#endif

}  // namespace

struct Bzip2BlockDecoder::Arena {
  // Symbol k's byte in the low 8 bits; once the block is whole, the next link of the walk in
  // the high 24 (as libbz2's fast decoder keeps them).
  uint32_t links[kMaxBlockLength];
  CodeTable tables[kMaxGroups];
  uint8_t selectors[kMaxSelectors];
  unsigned char out[kPieceSize + 256];  // a piece, and room for a run that crosses its end
};

Bzip2BlockDecoder::Bzip2BlockDecoder() = default;
Bzip2BlockDecoder::~Bzip2BlockDecoder() = default;

void Bzip2BlockDecoder::Decode(const Bzip2Ring& ring, uint64_t start_bit, uint64_t end_bit,
                               int level, CodecBackend codec, const std::atomic<bool>& cancel,
                               Bzip2BlockResult* result) {
  *result = Bzip2BlockResult{};
  if (end_bit < start_bit || end_bit - start_bit < kBzip2MinBlockBits) return;
  if (level < 1 || level > 9) return;
  if (arena_ == nullptr) {
    arena_.reset(new (std::nothrow) Arena);
    if (arena_ == nullptr) return;
  }
  result->ok = Run(ring, start_bit, end_bit, level, codec, cancel, result);
}

bool Bzip2BlockDecoder::Run(const Bzip2Ring& ring, uint64_t start_bit, uint64_t end_bit, int level,
                            CodecBackend codec, const std::atomic<bool>& cancel,
                            Bzip2BlockResult* result) {
  Arena& a = *arena_;
  RingBits in(ring, start_bit, end_bit);
  if (in.Get(24) != (kBzip2BlockMagic >> 24) || in.Get(24) != (kBzip2BlockMagic & 0xFFFFFF))
    return false;
  result->stored_crc = in.Get(16) << 16;
  result->stored_crc |= in.Get(16);
  if (in.Get(1) != 0) return false;  // randomised: left to libbz2
  const uint32_t origin = in.Get(24);

  // The bytes used, in order: symbol k of the move-to-front list stands for byte_of[k].
  unsigned char byte_of[256];
  int used = 0;
  const uint32_t ranges = in.Get(16);
  for (int r = 0; r < 16; ++r) {
    if ((ranges >> (15 - r) & 1) == 0) continue;
    const uint32_t map = in.Get(16);
    for (int j = 0; j < 16; ++j)
      if ((map >> (15 - j) & 1) != 0) byte_of[used++] = static_cast<unsigned char>(r * 16 + j);
  }
  if (used == 0) return false;
  const int alphabet = used + 2;

  const int groups = static_cast<int>(in.Get(3));
  if (groups < 2 || groups > kMaxGroups) return false;
  const int selectors = static_cast<int>(in.Get(15));
  if (selectors == 0) return false;
  unsigned char order[kMaxGroups] = {0, 1, 2, 3, 4, 5};
  for (int s = 0; s < selectors; ++s) {
    int j = 0;
    while (in.Get(1) != 0)
      if (++j >= groups) return false;
    if (s < kMaxSelectors) {
      const unsigned char g = order[j];
      for (; j > 0; --j) order[j] = order[j - 1];
      order[0] = g;
      a.selectors[s] = g;
    }
  }
  const int kept = selectors < kMaxSelectors ? selectors : kMaxSelectors;

  bool complete[kMaxGroups];
  for (int t = 0; t < groups; ++t) {
    uint8_t lengths[kMaxAlphabet];
    int length = static_cast<int>(in.Get(5));
    for (int i = 0; i < alphabet; ++i) {
      for (;;) {
        if (length < 1 || length > kMaxCodeLength) return false;
        if (in.Get(1) == 0) break;
        length += in.Get(1) == 0 ? 1 : -1;
      }
      lengths[i] = static_cast<uint8_t>(length);
    }
    // A table no selector picks is never read: libbz2 takes any lengths there.
    complete[t] = BuildCodeTable(lengths, alphabet, &a.tables[t]);
  }

  // The symbols: bytes into links[], counted by value for the walk.
  const uint32_t max_length = 100000u * static_cast<uint32_t>(level);
  const uint32_t end_symbol = static_cast<uint32_t>(used) + 1;
  uint32_t* const links = a.links;
  uint32_t counts[256] = {};
  unsigned char front[256];  // the move-to-front list, as bytes
  memcpy(front, byte_of, static_cast<size_t>(used));
  uint32_t length = 0;
  uint32_t run = 0;  // a repeat count being spelt
  int run_digit = 0;
  int group = -1;
  int group_left = 0;
  const CodeTable* table = nullptr;
  for (;;) {
    if (group_left == 0) {
      if (++group >= kept || !complete[a.selectors[group]]) return false;
      table = &a.tables[a.selectors[group]];
      group_left = kGroupSymbols;
    }
    --group_left;
    in.Need();
    const uint32_t symbol = DecodeSymbol(*table, in);
    if (symbol > end_symbol) return false;
    if (symbol <= 1) {  // RUNA, RUNB: digit 1 or 2 of the count
      run += (symbol + 1) << run_digit;
      ++run_digit;
      if (run > max_length) return false;  // also keeps the shift small
      continue;
    }
    if (run > 0) {
      if (run > max_length - length) return false;
      const unsigned char b = front[0];
      counts[b] += run;
      for (uint32_t k = 0; k < run; ++k) links[length + k] = b;
      length += run;
      run = 0;
      run_digit = 0;
    }
    if (symbol == end_symbol) break;
    if (length >= max_length) return false;
    const uint32_t k = symbol - 1;
    const unsigned char b = front[k];
    MoveUp(front, k);
    front[0] = b;
    ++counts[b];
    links[length++] = b;
  }
  // The end symbol ends the block exactly where the next magic was found.
  if (in.Used() != end_bit - start_bit) return false;
  if (origin >= length) return false;
  if (cancel.load(std::memory_order_relaxed)) return false;

  // Row i of the sorted rotations ends with links[i]'s byte; the rows that start with byte b
  // are consecutive from sum of counts below b, in the order of their ends: link them.
  uint32_t next_row[256];
  uint32_t sum = 0;
  for (int b = 0; b < 256; ++b) {
    next_row[b] = sum;
    sum += counts[b];
  }
  for (uint32_t i = 0; i < length; ++i) links[next_row[links[i] & 0xFF]++] |= i << 8;
  uint32_t block_crc = 0;
  if (!Walk(links[origin] >> 8, length, codec, cancel, result, &block_crc)) return false;
  return block_crc == result->stored_crc;
}

bool Bzip2BlockDecoder::Walk(uint32_t row, uint32_t length, CodecBackend codec,
                             const std::atomic<bool>& cancel, Bzip2BlockResult* result,
                             uint32_t* block_crc) {
  const uint32_t* const links = arena_->links;
  unsigned char* const piece = arena_->out;
  unsigned char* const piece_end = piece + kPieceSize;
  unsigned char* out = piece;
  uint32_t crc = 0;
  auto sum = [&] {  // the piece so far into both CRCs; it starts again empty
    const size_t n = static_cast<size_t>(out - piece);
    crc = Bzip2Crc(crc, piece, n);
    result->crc32 = Crc32With(codec, result->crc32, piece, n);
    result->length += n;
    out = piece;
  };
  unsigned last = kNoByte;
  int same = 0;  // the bytes equal to `last` just written, up to 4; then the count follows
  for (uint32_t k = 0; k < length; ++k) {
    const uint32_t link = links[row];
    row = link >> 8;
    const unsigned b = link & 0xFF;
    if (same == 4) {
      memset(out, static_cast<int>(last), b);
      out += b;
      same = 0;
      last = kNoByte;
    } else {
      *out++ = static_cast<unsigned char>(b);
      same = b == last ? same + 1 : 1;
      last = b;
    }
    if (out >= piece_end) {
      sum();
      if (cancel.load(std::memory_order_relaxed)) return false;
    }
  }
  if (same == 4) return false;  // four equal bytes and no count: libbz2 reads past the block
  sum();
  *block_crc = crc;
  return true;
}
