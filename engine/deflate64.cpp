// Deflate64 decoder. Decoding runs in two gears:
//   - a fast loop for the symbols of a compressed block while at least 16 input bytes and a
//     longest ordinary match of output room remain: a 64-bit bit buffer refilled 8 bytes at a
//     time without branches, two-level lookup tables, matches copied 8 bytes at a time;
//   - a careful path for everything else (block headers, code tables, stored blocks, the last
//     bytes of input and output), where each step is taken whole or not at all, so input can
//     end at any bit and the step is simply tried again with more.
// Output goes into the object's own window: 64 KiB of history followed by the span being
// written; the caller is served from there and the last 64 KiB slide to the front once served.
#include "deflate64.h"

#include <cstring>

namespace {

// Entry kinds, in the top three bits of Entry::op.
constexpr uint8_t kOpLiteral = 0x00;
constexpr uint8_t kOpBase = 0x20;  // a length or distance base; extra bits below
constexpr uint8_t kOpLink = 0x40;  // a sub-table; its index bits below
constexpr uint8_t kOpEnd = 0x60;   // end of block
constexpr uint8_t kOpInvalid = 0x80;
constexpr uint8_t kKindMask = 0xE0;
constexpr uint8_t kLowMask = 0x1F;

using Entry = Deflate64Decoder::Entry;

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[32] = {1,    2,    3,    4,     5,     7,     9,     13,
                                    17,   25,   33,   49,    65,    97,    129,   193,
                                    257,  385,  513,  769,   1025,  1537,  2049,  3073,
                                    4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
constexpr uint8_t kDistExtra[32] = {0, 0, 0, 0, 1, 1, 2,  2,  3,  3,  4,  4,  5,  5,  6,  6,
                                    7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};
// The order in which the code-length code's lengths are stored.
constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                          11, 4,  12, 3, 13, 2, 14, 1, 15};

constexpr uint8_t Kind(Entry e) { return e.op & kKindMask; }
constexpr unsigned Low(Entry e) { return e.op & kLowMask; }

uint64_t Load64(const unsigned char* p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return v;  // little-endian hosts only (x86-64, arm64), as the rest of the engine
}

unsigned Reverse(unsigned code, unsigned length) {
  unsigned r = 0;
  for (unsigned i = 0; i < length; ++i, code >>= 1) r = (r << 1) | (code & 1);
  return r;
}

// What each symbol decodes to, before the table gives it its bit count.
Entry LiteralLengthSymbol(unsigned sym, bool deflate64) {
  if (sym < 256) return {static_cast<uint16_t>(sym), 0, kOpLiteral};
  if (sym == 256) return {0, 0, kOpEnd};
  if (sym == 285 && deflate64) return {3, 0, kOpBase | 16};
  if (sym > 285) return {0, 0, kOpInvalid};
  return {kLengthBase[sym - 257], 0, static_cast<uint8_t>(kOpBase | kLengthExtra[sym - 257])};
}
Entry DistanceSymbol(unsigned sym, bool deflate64) {
  if (sym >= 30 && !deflate64) return {0, 0, kOpInvalid};
  return {kDistBase[sym], 0, static_cast<uint8_t>(kOpBase | kDistExtra[sym])};
}

// Builds the decoding table of a canonical Huffman code from its code lengths. The root table
// holds codes up to `root_bits`; each longer code's root prefix links to a sub-table sized for
// the longest code, so a table never holds more than its root plus one sub-table per symbol.
// Refuses, as zlib does, over-subscribed sets and incomplete ones, except a set of no codes and
// (when not `strict`) one of a single one-bit code, whose unused codes decode as invalid.
template <size_t N, typename SymbolFn>
bool BuildTable(const uint8_t* lengths, unsigned count, unsigned root_bits, bool strict,
                SymbolFn symbol, std::array<Entry, N>& table) {
  unsigned counts[16] = {};
  for (unsigned i = 0; i < count; ++i) ++counts[lengths[i]];
  unsigned max_len = 15;
  while (max_len > 0 && counts[max_len] == 0) --max_len;

  const unsigned root_size = 1u << root_bits;
  // No codes at all: zlib reads every symbol of such a code-length code as length 0 taking one
  // bit (the block then fails for want of an end-of-block code); for other codes every symbol
  // is invalid. The same here, so that a stream cut short inside runs out where zlib's does.
  const Entry empty = strict ? Entry{0, 1, kOpLiteral} : Entry{0, 1, kOpInvalid};
  for (unsigned i = 0; i < root_size; ++i)
    table[i] = max_len == 0 ? empty : Entry{0, 1, kOpInvalid};
  if (max_len == 0) return true;
  int left = 1;
  for (unsigned len = 1; len <= 15; ++len) {
    left = 2 * left - static_cast<int>(counts[len]);
    if (left < 0) return false;  // over-subscribed
  }
  if (left > 0 && (strict || max_len != 1)) return false;  // incomplete

  unsigned next_code[16] = {};
  counts[0] = 0;
  for (unsigned len = 1, code = 0; len <= 15; ++len) {
    code = (code + counts[len - 1]) << 1;
    next_code[len] = code;
  }
  const unsigned sub_bits = max_len > root_bits ? max_len - root_bits : 0;
  size_t next_sub = root_size;
  for (unsigned sym = 0; sym < count; ++sym) {
    const unsigned len = lengths[sym];
    if (len == 0) continue;
    const unsigned rev = Reverse(next_code[len]++, len);
    Entry e = symbol(sym);
    if (len <= root_bits) {
      e.bits = static_cast<uint8_t>(len);
      for (unsigned i = rev; i < root_size; i += 1u << len) table[i] = e;
      continue;
    }
    Entry& link = table[rev & (root_size - 1)];
    if (Kind(link) != kOpLink) {
      link = {static_cast<uint16_t>(next_sub), static_cast<uint8_t>(root_bits),
              static_cast<uint8_t>(kOpLink | sub_bits)};
      next_sub += size_t{1} << sub_bits;
    }
    e.bits = static_cast<uint8_t>(len - root_bits);
    for (unsigned i = rev >> root_bits; i < (1u << sub_bits); i += 1u << (len - root_bits))
      table[link.value + i] = e;
  }
  return true;
}

}  // namespace

Deflate64Decoder::Deflate64Decoder(Variant variant) : variant_(variant) {
  const bool d64 = variant_ == Variant::kDeflate64;
  std::array<uint8_t, 288> lit{};
  for (unsigned i = 0; i < 288; ++i) lit[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
  std::array<uint8_t, 32> dist{};
  dist.fill(5);
  BuildTable(
      lit.data(), 288, kLitRootBits, false,
      [d64](unsigned s) { return LiteralLengthSymbol(s, d64); }, fixed_lit_);
  BuildTable(
      dist.data(), 32, kDistRootBits, false, [d64](unsigned s) { return DistanceSymbol(s, d64); },
      fixed_dist_);
}

int Deflate64Decoder::Begin(const DecodeParams&) {
  state_ = State::kHeader;
  final_block_ = false;
  in_ = in_end_ = nullptr;
  bitbuf_ = 0;
  bitcount_ = 0;
  pos_ = delivered_ = 0;
  stored_left_ = match_length_ = match_distance_ = 0;
  return kDecodeMore;
}

void Deflate64Decoder::SetInput(const unsigned char* data, size_t size) {
  in_ = data;
  in_end_ = data + size;
}

int Deflate64Decoder::Decode(unsigned char* out, size_t out_size, size_t* produced) {
  *produced = 0;
  if (state_ == State::kFailed) return failure_;  // what was decoded before it is not served
  for (;;) {
    size_t n = pos_ - delivered_;
    if (n > out_size - *produced) n = out_size - *produced;
    if (n > 0) memcpy(out + *produced, window_.data() + delivered_, n);
    delivered_ += n;
    *produced += n;
    const bool all_delivered = delivered_ == pos_;
    if (state_ == State::kDone && all_delivered) return kDecodeEnd;
    if (*produced == out_size) return kDecodeMore;

    if (pos_ > kHistory && kHistory + kSpan - pos_ < kSpan / 2) Slide();
    const Step step = Run();
    if (step == Step::kBad) {
      state_ = State::kFailed;
      return failure_;
    }
    if (step == Step::kNeedInput && pos_ == delivered_) return kDecodeMore;
  }
}

void Deflate64Decoder::Slide() {
  memmove(window_.data(), window_.data() + pos_ - kHistory, kHistory);
  pos_ = delivered_ = kHistory;
}

Deflate64Decoder::Step Deflate64Decoder::Run() {
  for (;;) {
    if (state_ == State::kSymbols && in_end_ - in_ > 16 && pos_ < kHistory + kSpan - 258) {
      FastLoop();
      if (state_ == State::kFailed) return Step::kBad;
      continue;
    }
    const Step step = RunStep();
    if (step != Step::kProgress) return step;
  }
}

bool Deflate64Decoder::Refill(unsigned need) {
  while (bitcount_ < need && in_ < in_end_) {
    bitbuf_ |= static_cast<uint64_t>(*in_++) << bitcount_;
    bitcount_ += 8;
  }
  return bitcount_ >= need;
}

Deflate64Decoder::Entry Deflate64Decoder::Peek(const Entry* table, unsigned root_bits,
                                               uint64_t bitbuf, unsigned* bits) {
  Entry e = table[bitbuf & ((1u << root_bits) - 1)];
  if (Kind(e) != kOpLink) {
    *bits = e.bits;
    return e;
  }
  const Entry sub = table[e.value + ((bitbuf >> root_bits) & ((1u << Low(e)) - 1))];
  *bits = root_bits + sub.bits;
  return sub;
}

// One whole step of the careful path. kProgress when it was taken; otherwise why not.
Deflate64Decoder::Step Deflate64Decoder::RunStep() {
  const size_t limit = kHistory + kSpan;
  switch (state_) {
    case State::kHeader: {
      if (!Refill(3)) return Step::kNeedInput;
      final_block_ = Bits(1) != 0;
      const uint32_t type = (Bits(3) >> 1);
      Drop(3);
      if (type == 0) {
        state_ = State::kStoredLength;
      } else if (type == 1) {
        lit_ = fixed_lit_.data();
        dist_ = fixed_dist_.data();
        state_ = State::kSymbols;
      } else if (type == 2) {
        state_ = State::kTableCounts;
      } else {
        return Step::kBad;  // block type 3 is reserved
      }
      return Step::kProgress;
    }
    case State::kStoredLength: {
      Drop(bitcount_ & 7);  // to the byte boundary; taking it twice takes nothing more
      if (!Refill(32)) return Step::kNeedInput;
      const uint32_t len = Bits(16);
      const uint32_t nlen = Bits(32) >> 16;
      if (len != (~nlen & 0xFFFF)) return Step::kBad;
      Drop(32);
      stored_left_ = len;
      state_ = len > 0 ? State::kStoredCopy : final_block_ ? State::kDone : State::kHeader;
      return Step::kProgress;
    }
    case State::kStoredCopy: {
      if (pos_ == limit) return Step::kOutputFull;
      // Whole bytes still in the bit buffer come first, then the input itself.
      while (stored_left_ > 0 && bitcount_ >= 8 && pos_ < limit) {
        window_[pos_++] = static_cast<unsigned char>(bitbuf_);
        Drop(8);
        --stored_left_;
      }
      size_t n = stored_left_;
      if (n > limit - pos_) n = limit - pos_;
      if (n > static_cast<size_t>(in_end_ - in_)) n = static_cast<size_t>(in_end_ - in_);
      if (n > 0) memcpy(window_.data() + pos_, in_, n);
      pos_ += n;
      in_ += n;
      stored_left_ -= n;
      if (stored_left_ == 0) {
        state_ = final_block_ ? State::kDone : State::kHeader;
        return Step::kProgress;
      }
      return pos_ == limit    ? Step::kOutputFull
             : in_ == in_end_ ? Step::kNeedInput
                              : Step::kProgress;
    }
    case State::kTableCounts: {
      if (!Refill(14)) return Step::kNeedInput;
      lit_count_ = Bits(5) + 257;
      dist_count_ = ((Bits(10) >> 5)) + 1;
      codelen_count_ = (Bits(14) >> 10) + 4;
      Drop(14);
      // Deflate as zlib reads it: 286 literal/length and 30 distance codes at most. Deflate64
      // uses all 32 distance codes; more literal/length lengths than 286 are taken (the codes
      // 286 and 287 stay invalid if a block uses them).
      if (variant_ == Variant::kDeflate && (lit_count_ > 286 || dist_count_ > 30))
        return Step::kBad;
      codelen_lengths_.fill(0);
      lengths_done_ = 0;
      state_ = State::kCodeLengthCodes;
      return Step::kProgress;
    }
    case State::kCodeLengthCodes: {
      while (lengths_done_ < codelen_count_) {
        if (!Refill(3)) return Step::kNeedInput;
        codelen_lengths_[kCodeLengthOrder[lengths_done_++]] = static_cast<uint8_t>(Bits(3));
        Drop(3);
      }
      if (!BuildTable(
              codelen_lengths_.data(), 19, 7, true,
              [](unsigned s) {
                return Entry{static_cast<uint16_t>(s), 0, kOpLiteral};
              },
              codelen_table_))
        return Step::kBad;
      lengths_done_ = 0;
      state_ = State::kCodeLengths;
      return Step::kProgress;
    }
    case State::kCodeLengths: {
      const unsigned total = lit_count_ + dist_count_;
      while (lengths_done_ < total) {
        Refill(14);
        const Entry e = codelen_table_[Bits(7)];
        const unsigned sym = e.value;
        const unsigned extra = sym == 16 ? 2 : sym == 17 ? 3 : sym == 18 ? 7 : 0;
        if (bitcount_ < e.bits + extra) return Step::kNeedInput;
        Drop(e.bits);
        if (sym < 16) {
          lengths_[lengths_done_++] = static_cast<uint8_t>(sym);
          continue;
        }
        if (sym == 16 && lengths_done_ == 0) return Step::kBad;  // nothing to repeat
        const uint8_t value = sym == 16 ? lengths_[lengths_done_ - 1] : 0;
        const unsigned repeat = (sym == 16 ? 3 : sym == 17 ? 3 : 11) + Bits(extra);
        Drop(extra);
        if (repeat > total - lengths_done_) return Step::kBad;
        for (unsigned i = 0; i < repeat; ++i) lengths_[lengths_done_++] = value;
      }
      if (lengths_[256] == 0) return Step::kBad;  // no end-of-block code
      const bool d64 = variant_ == Variant::kDeflate64;
      if (!BuildTable(
              lengths_.data(), lit_count_, kLitRootBits, false,
              [d64](unsigned s) { return LiteralLengthSymbol(s, d64); }, lit_table_) ||
          !BuildTable(
              lengths_.data() + lit_count_, dist_count_, kDistRootBits, false,
              [d64](unsigned s) { return DistanceSymbol(s, d64); }, dist_table_))
        return Step::kBad;
      lit_ = lit_table_.data();
      dist_ = dist_table_.data();
      state_ = State::kSymbols;
      return Step::kProgress;
    }
    case State::kSymbols: {
      if (pos_ == limit) return Step::kOutputFull;
      Refill(31);
      unsigned bits;
      const Entry e = Peek(lit_, kLitRootBits, bitbuf_, &bits);
      const unsigned extra = Kind(e) == kOpBase ? Low(e) : 0;
      if (bitcount_ < bits + extra) return Step::kNeedInput;
      if (Kind(e) == kOpInvalid) return Step::kBad;
      Drop(bits);
      if (Kind(e) == kOpLiteral) {
        window_[pos_++] = static_cast<unsigned char>(e.value);
      } else if (Kind(e) == kOpEnd) {
        state_ = final_block_ ? State::kDone : State::kHeader;
      } else {
        match_length_ = e.value + Bits(extra);
        Drop(extra);
        state_ = State::kDistance;
      }
      return Step::kProgress;
    }
    case State::kDistance: {
      Refill(29);
      unsigned bits;
      const Entry e = Peek(dist_, kDistRootBits, bitbuf_, &bits);
      const unsigned extra = Kind(e) == kOpBase ? Low(e) : 0;
      if (bitcount_ < bits + extra) return Step::kNeedInput;
      if (Kind(e) != kOpBase) return Step::kBad;
      Drop(bits);
      match_distance_ = e.value + Bits(extra);
      Drop(extra);
      if (match_distance_ > pos_) return Step::kBad;  // before the start of the output
      state_ = State::kCopy;
      return Step::kProgress;
    }
    case State::kCopy: {
      if (pos_ == limit) return Step::kOutputFull;
      size_t n = match_length_ < limit - pos_ ? match_length_ : limit - pos_;
      unsigned char* dst = window_.data() + pos_;
      const unsigned char* src = dst - match_distance_;
      for (size_t i = 0; i < n; ++i) dst[i] = src[i];
      pos_ += n;
      match_length_ -= n;
      if (match_length_ == 0) state_ = State::kSymbols;
      return Step::kProgress;
    }
    case State::kDone:
      return Step::kEnd;
    case State::kFailed:
      return Step::kBad;
  }
  return Step::kBad;
}

// The fast gear: symbols of a compressed block while at least 16 input bytes and 258 bytes of
// output room remain. Leaves at the end of the block (state kHeader or kDone), on a bad symbol
// or distance (kFailed), on a Deflate64 match longer than the room left (kCopy), or when the
// margins run out (kSymbols).
void Deflate64Decoder::FastLoop() {
  unsigned char* const window = window_.data();
  unsigned char* out = window + pos_;
  unsigned char* const out_limit = window + kHistory + kSpan;
  unsigned char* const out_fast_end = out_limit - 258;
  const unsigned char* in = in_;
  const unsigned char* const in_fast_end = in_end_ - 16;
  uint64_t bb = bitbuf_;
  unsigned bc = bitcount_;
  const Entry* const lit = lit_;
  const Entry* const dist = dist_;
  constexpr uint64_t kLitMask = (1u << kLitRootBits) - 1;
  constexpr uint64_t kDistMask = (1u << kDistRootBits) - 1;

  // After a refill the buffer holds 56 to 63 bits; bytes loaded beyond them are loaded again.
  auto refill = [&] {
    bb |= Load64(in) << bc;
    in += (63 - bc) >> 3;
    bc |= 56;
  };
  auto take = [&](unsigned n) {
    bb >>= n;
    bc -= n;
  };

  while (in < in_fast_end && out < out_fast_end) {
    refill();
    Entry e = lit[bb & kLitMask];
    if (Kind(e) == kOpLink) {
      take(e.bits);
      e = lit[e.value + (bb & ((1u << Low(e)) - 1))];
    }
    take(e.bits);
    if (Kind(e) == kOpLiteral) {
      *out++ = static_cast<unsigned char>(e.value);
      continue;
    }
    if (Kind(e) != kOpBase) {
      state_ = Kind(e) == kOpEnd ? (final_block_ ? State::kDone : State::kHeader) : State::kFailed;
      break;
    }
    // Up to 31 bits taken (15 of code, 16 extra); the distance needs up to 29 more.
    const size_t length = e.value + (bb & ((1u << Low(e)) - 1));
    take(Low(e));
    if (bc < 29) refill();
    Entry d = dist[bb & kDistMask];
    if (Kind(d) == kOpLink) {
      take(d.bits);
      d = dist[d.value + (bb & ((1u << Low(d)) - 1))];
    }
    take(d.bits);
    if (Kind(d) != kOpBase) {
      state_ = State::kFailed;
      break;
    }
    const size_t distance = d.value + (bb & ((1u << Low(d)) - 1));
    take(Low(d));
    if (distance > static_cast<size_t>(out - window)) {
      state_ = State::kFailed;  // before the start of the output
      break;
    }
    if (length > static_cast<size_t>(out_limit - out)) {
      match_length_ = length;  // a long Deflate64 match: the careful path copies it in parts
      match_distance_ = distance;
      state_ = State::kCopy;
      break;
    }
    const unsigned char* src = out - distance;
    unsigned char* const end = out + length;
    if (distance >= 8) {  // 8-byte steps never read bytes this copy has not written yet
      do {
        memcpy(out, src, 8);
        out += 8;
        src += 8;
      } while (out < end);
    } else if (distance == 1) {
      memset(out, *src, length);
    } else {
      for (unsigned char* p = out; p < end; ++p, ++src) *p = *src;
    }
    out = end;
  }

  pos_ = static_cast<size_t>(out - window);
  in_ = in;
  bitbuf_ = bc < 64 ? bb & ((1ull << bc) - 1) : bb;
  bitcount_ = bc;
}
