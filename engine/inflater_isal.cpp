// ISA-L behind the codec seam.
//
// ISA-L decodes about twice as fast as zlib, but it does not judge every stream as zlib does: it
// takes incomplete Huffman codes that zlib refuses, it reports a bad code before the bits that
// prove it have all arrived, it decodes ahead of what its caller has taken (so its errors come
// early), and at the end of its input it leaves codes undecoded that zlib would decode. zlib's
// judgement is the one this engine reports, so the stream is taken one deflate block at a time:
//   1. The block header is checked here with zlib's rules, at the very bits where zlib decides
//      (zlib itself would cost a tenth of the run building tables nobody uses).
//   2. A stored block is copied here. A coded block goes to ISA-L, restarted at the block with
//      the last 32 KiB of output as its dictionary; its final-block flag is raised once it has
//      read the header, so that it stops at the block's end and the next header comes back.
//   3. When the input runs out, a small decoder reads the codes ISA-L left (see DecodeTail), so
//      bytes, a block's end or an error come with the input that holds them, as with zlib.
//   4. If ISA-L, or the small decoder, finds the data bad, zlib replays the block from its
//      start, with the history and the block's input kept since its header, and decodes the
//      rest of the stream itself: an error (or none) comes exactly where zlib finds it.
// Output is decoded ahead into a buffer and handed out at the caller's pace. Each Inflate() call
// ends with the result zlib's inflate() would give for the same input and output sizes; see
// Inflate() for how an error or the stream's end is placed on a call.
//
// Buffers, all static, used by one stream at a time and never allocated per entry: ISA-L's
// inflate_state (about 100 KiB), the output buffer (1 MiB), the input of the current block (1
// MiB: a block whose compressed data is longer loses the replay, and its errors are then placed
// by ISA-L), a 32 KiB dictionary copy, the header copies, and zlib's stream with its window,
// allocated by inflateInit2 once per process and used only for replays.
#include "inflater.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

namespace {

constexpr size_t kWindow = 32768;           // deflate's largest distance
constexpr size_t kOutCapacity = 1 << 20;    // decoded bytes: history and not yet taken
constexpr size_t kOutMinFree = 256 * 1024;  // room ISA-L always gets (its own buffer is 64
                                            // KiB; an error must not strand bytes there)
constexpr size_t kTailRoom = 16384;         // the most 64 bits of codes can make is 8,256
constexpr size_t kKeepCapacity = 1 << 20;   // block input kept for a replay
constexpr size_t kHeaderCapacity = 512;     // a dynamic header is at most 286 bytes
constexpr size_t kScratch = 16384;          // zlib's output while a replay catches up

// What decides where the bytes decoded so far end.
enum class Event {
  kNone,         // nothing yet: decode more
  kNeedInput,    // every input byte is used; more is needed to go on
  kEnd,          // the final block ended
  kBadData,      // an error zlib reports even with no output space left
  kBadDistance,  // a distance too far back: zlib reports it only with output space left
  kNoMemory,     // zlib could not get its window
};

enum class Phase {
  kHeader,  // a block header is being checked
  kBody,    // ISA-L is decoding a Huffman-coded block
  kStored,  // a stored block's bytes are being copied
  kZlib,    // zlib decodes the rest of the stream (after a replay)
};

struct Stream {
  inflate_state isal;
  z_stream zlib{};          // the replay decoder
  bool zlib_ready = false;  // inflateInit2 done (once per process)
  bool open = false;        // between Begin() and End()

  Phase phase = Phase::kHeader;
  Event event = Event::kNone;

  // The caller's input chunk and how far the stream got in it.
  const unsigned char* in = nullptr;
  size_t in_size = 0;
  size_t pos = 0;      // next byte not yet read
  bool fresh = false;  // input given and no Inflate() call since

  // Bits left over at the block boundary, in stream order from bit 0: the rest of a partly
  // read byte (carry_bits mod 8 bits), then whole bytes.
  uint64_t carry = 0;
  int carry_bits = 0;

  // Header phase: bytes of earlier chunks the header check has read, read again later.
  std::array<unsigned char, kHeaderCapacity> header_keep{};
  size_t header_keep_len = 0;
  size_t header_keep_used = 0;  // how many of them the block body has read
  uint64_t header_bits = 0;     // the header's length in bits from the block's first bit
  bool final_block = false;

  // The current block's header, re-packed to end on a byte: header_lead_bits bits in
  // header_lead, then header_packed_len bytes. Read by ISA-L, the tail decoder and a replay.
  uint64_t header_lead = 0;
  int header_lead_bits = 0;
  std::array<unsigned char, kHeaderCapacity> header_packed{};
  size_t header_packed_len = 0;
  // Where the block's data starts: data_bits bits (data_bits mod 8 of them the rest of a partly
  // read byte, then whole bytes), then the byte sequence from where `pos` was set.
  uint64_t data = 0;
  int data_bits = 0;

  // Output: out[0] is output position out_base; [read, write) is decoded and not yet taken.
  std::array<unsigned char, kOutCapacity> out{};
  size_t read = 0;
  size_t write = 0;
  uint64_t out_base = 0;
  uint64_t block_start = 0;  // output position of the current block's first byte
  // The current block's dictionary, once compaction has moved it out of `out`.
  std::array<unsigned char, kWindow> dict{};
  size_t dict_len = 0;
  bool dict_copied = false;

  // Input of the current block after its data's first partial byte, for a replay: keep[0,
  // keep_len), then the current chunk from keep_from.
  std::array<unsigned char, kKeepCapacity> keep{};
  size_t keep_len = 0;
  size_t keep_from = 0;
  bool replayable = false;
  bool replay_in_keep = false;  // the replay decoder is still reading `keep`

  // The current block's code lengths, and its codes for the tail decoder, built when first
  // needed.
  std::array<uint8_t, 288> lit_lengths{};
  std::array<uint8_t, 32> dist_lengths{};
  int lit_codes = 0;  // 0: the fixed code
  int dist_codes = 0;
  bool tail_ready = false;
  std::array<uint16_t, 16> lit_count{};    // literal/length codes of each length
  std::array<uint16_t, 288> lit_symbol{};  // their symbols in code order
  std::array<uint16_t, 16> dist_count{};
  std::array<uint16_t, 32> dist_symbol{};
  // Bytes the tail decoder handed out that ISA-L has not decoded yet: ISA-L's next output
  // starts with them and is written over them.
  size_t early = 0;

  uint32_t stored_left = 0;  // bytes of the stored block still to copy

  std::array<unsigned char, kScratch> scratch{};
};

Stream g_stream;
isal_codec::IsalStats g_stats;

size_t Pending() { return g_stream.write - g_stream.read; }

uint64_t LowBits(uint64_t value, int bits) {
  return bits >= 64 ? value : value & ((uint64_t{1} << bits) - 1);
}

// The current block's bits from its first one: the carried bits, then the header copy, then
// the chunk from `pos`. Reads them in order without moving the stream.
class BlockBits {
 public:
  // Byte `i` of what follows the carried bits.
  static unsigned char ByteAt(size_t i) {
    const Stream& s = g_stream;
    return i < s.header_keep_len ? s.header_keep[i] : s.in[s.pos + (i - s.header_keep_len)];
  }
  static size_t Bytes() {
    const Stream& s = g_stream;
    return s.header_keep_len + (s.in_size - s.pos);
  }
  // The next `n` (at most 32) bits, or -1 when fewer are there.
  int64_t Take(int n) {
    const Stream& s = g_stream;
    while (have_ < n) {
      if (carry_used_ < s.carry_bits) {
        int count = std::min(8, s.carry_bits - carry_used_);
        buffer_ |= LowBits(s.carry >> carry_used_, count) << have_;
        carry_used_ += count;
        have_ += count;
      } else if (byte_ < Bytes()) {
        buffer_ |= static_cast<uint64_t>(ByteAt(byte_++)) << have_;
        have_ += 8;
      } else {
        return -1;
      }
    }
    int64_t bits = static_cast<int64_t>(LowBits(buffer_, n));
    buffer_ >>= n;
    have_ -= n;
    used_ += static_cast<uint64_t>(n);
    return bits;
  }
  uint64_t used() const { return used_; }

 private:
  uint64_t buffer_ = 0;
  int have_ = 0;
  int carry_used_ = 0;
  size_t byte_ = 0;
  uint64_t used_ = 0;
};

// Reads the re-packed header copy in order.
class HeaderBits {
 public:
  uint32_t Take(int n) {
    const Stream& s = g_stream;
    while (have_ < n) {
      if (!lead_used_) {
        buffer_ |= s.header_lead << have_;
        have_ += s.header_lead_bits;
        lead_used_ = true;
        continue;
      }
      uint64_t next = byte_ < s.header_packed_len ? s.header_packed[byte_] : 0;
      ++byte_;
      buffer_ |= next << have_;
      have_ += 8;
    }
    uint32_t bits = static_cast<uint32_t>(LowBits(buffer_, n));
    buffer_ >>= n;
    have_ -= n;
    return bits;
  }

 private:
  uint64_t buffer_ = 0;
  int have_ = 0;
  bool lead_used_ = false;
  size_t byte_ = 0;
};

// --- Canonical Huffman codes (puff's construct and decode) ---------------------------------

constexpr int kOutOfBits = -1;   // the bits ended inside the code
constexpr int kNoSuchCode = -2;  // the bits are no code of the set

// Counts per length and symbols in code order for `lengths`.
void BuildCode(const uint8_t* lengths, int n, uint16_t* count, uint16_t* symbol) {
  std::array<uint16_t, 16> offs{};
  for (int len = 0; len < 16; ++len) count[len] = 0;
  for (int i = 0; i < n; ++i) ++count[lengths[i]];
  count[0] = 0;
  for (int len = 1; len < 15; ++len) offs[len + 1] = static_cast<uint16_t>(offs[len] + count[len]);
  for (int i = 0; i < n; ++i)
    if (lengths[i] != 0) symbol[offs[lengths[i]]++] = static_cast<uint16_t>(i);
}

// Decodes one symbol, or kOutOfBits / kNoSuchCode. `next_bit` gives -1 when the bits end.
template <typename NextBit>
int DecodeSymbol(const uint16_t* count, const uint16_t* symbol, NextBit next_bit) {
  int code = 0, first = 0, index = 0;
  for (int len = 1; len < 16; ++len) {
    int bit = next_bit();
    if (bit < 0) return kOutOfBits;
    code |= bit;
    int n = count[len];
    if (code - n < first) return symbol[index + (code - first)];
    index += n;
    first += n;
    first <<= 1;
    code <<= 1;
  }
  return kNoSuchCode;
}

// zlib's test of a set of code lengths (inflate_table), from the number of codes of each
// length: over-subscribed is bad; incomplete is bad for the code-length code, and for the others
// unless the longest code has one bit (a single code, which old encoders send); no codes at all
// passes here and fails at the first use.
bool CodeAccepted(const uint16_t* count, bool code_lengths_code) {
  int max = 15;
  while (max > 0 && count[max] == 0) --max;
  if (max == 0) return true;
  int left = 1;
  for (int len = 1; len < 16; ++len) {
    left <<= 1;
    left -= count[len];
    if (left < 0) return false;
  }
  return left == 0 || (!code_lengths_code && max == 1);
}

// --- Block header ---------------------------------------------------------------------------

// The current block's bits from its first one, for the header check: a 64-bit window refilled
// a byte at a time from the carried bits, the header copy and the chunk.
class HeaderCursor {
 public:
  HeaderCursor() {
    const Stream& s = g_stream;
    window_ = s.carry;
    have_ = s.carry_bits;
    if (have_ > 56) {  // the window must take whole bytes: leave what does not fit carried
      spill_ = s.carry >> 56;
      spill_bits_ = have_ - 56;
      window_ = LowBits(s.carry, 56);
      have_ = 56;
    }
    Refill();
  }
  // The next `n` (at most 32) bits without taking them; sets *enough when all are there (the
  // bits past the end read as 0).
  uint32_t Peek(int n, bool* enough) {
    if (have_ < n) Refill();
    *enough = have_ >= n;
    return static_cast<uint32_t>(LowBits(window_, n));
  }
  // Takes `n` bits; false, taking none, when fewer are there.
  bool Take(int n, uint32_t* value) {
    bool enough;
    *value = Peek(n, &enough);
    if (!enough) return false;
    Drop(n);
    return true;
  }
  void Drop(int n) {
    window_ >>= n;
    have_ -= n;
    used_ += static_cast<uint64_t>(n);
  }
  uint64_t used() const { return used_; }

 private:
  void Refill() {
    const Stream& s = g_stream;
    while (have_ <= 56) {
      if (spill_bits_ > 0) {
        int count = std::min(8, spill_bits_);
        window_ |= LowBits(spill_, count) << have_;
        spill_ >>= count;
        spill_bits_ -= count;
        have_ += count;
        continue;
      }
      // The header copy first, then the chunk; eight bytes at a time where they are there.
      const unsigned char* src;
      size_t avail;
      if (byte_ < s.header_keep_len) {
        src = s.header_keep.data() + byte_;
        avail = s.header_keep_len - byte_;
      } else {
        src = s.in + s.pos + (byte_ - s.header_keep_len);
        avail = s.in_size - s.pos - (byte_ - s.header_keep_len);
      }
      if (avail == 0) return;
      if (avail >= 8) {
        uint64_t next;
        memcpy(&next, src, 8);
        int bytes = (64 - have_) / 8;
        window_ |= LowBits(next, 8 * bytes) << have_;
        have_ += 8 * bytes;
        byte_ += static_cast<size_t>(bytes);
      } else {
        window_ |= static_cast<uint64_t>(*src) << have_;
        have_ += 8;
        ++byte_;
      }
    }
  }

  uint64_t window_ = 0;
  int have_ = 0;
  uint64_t spill_ = 0;
  int spill_bits_ = 0;
  size_t byte_ = 0;
  uint64_t used_ = 0;
};

enum class HeaderCheck { kNeedMore, kBad, kDone };

// Format notes: checks the header that starts at the block's first bit the way zlib's inflate()
// reads it, needing the bits zlib needs before each verdict: 3 for the type; a stored block's
// padding to the byte and its LEN and NLEN (which must be complements); 14 for the counts (at
// most 286 literal/length and 30 distance codes); 3 per code-length length; each code-length
// code with its extra bits (a repeat needs a length before it and must stay within the counts).
// With all lengths read, the end-of-block code must have a length and both codes must pass
// CodeAccepted(). A code-length code with no codes at all reads each length as 0 from 1 bit, as
// zlib does. On kDone, sets header_bits and final_block.
HeaderCheck CheckHeader() {
  Stream& s = g_stream;
  HeaderCursor bits;
  uint32_t first;
  if (!bits.Take(3, &first)) return HeaderCheck::kNeedMore;
  bool last = (first & 1) != 0;
  uint32_t type = first >> 1;
  if (type == 3) return HeaderCheck::kBad;
  if (type == 0) {
    // The block's first bit is at this offset in its byte: the carried bits end on a byte.
    int offset = (8 - s.carry_bits % 8) % 8;
    int pad = (8 - (offset + 3) % 8) % 8;
    uint32_t lengths;
    if (!bits.Take(pad, &lengths) || !bits.Take(32, &lengths)) return HeaderCheck::kNeedMore;
    if (((lengths ^ 0xffff) & 0xffff) != lengths >> 16) return HeaderCheck::kBad;
  } else if (type == 2) {
    uint32_t counts;
    if (!bits.Take(14, &counts)) return HeaderCheck::kNeedMore;
    int nlen = static_cast<int>(counts & 31) + 257;
    int ndist = static_cast<int>(counts >> 5 & 31) + 1;
    int ncode = static_cast<int>(counts >> 10) + 4;
    if (nlen > 286 || ndist > 30) return HeaderCheck::kBad;
    static constexpr uint8_t kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                           11, 4,  12, 3, 13, 2, 14, 1, 15};
    std::array<uint8_t, 19> code_lengths{};
    std::array<uint16_t, 16> count{};
    for (int i = 0; i < ncode; ++i) {
      uint32_t len;
      if (!bits.Take(3, &len)) return HeaderCheck::kNeedMore;
      code_lengths[kOrder[i]] = static_cast<uint8_t>(len);
      ++count[len];
    }
    count[0] = 0;
    if (!CodeAccepted(count.data(), true)) return HeaderCheck::kBad;
    // A look-up of 7 bits (the longest code-length code): symbol and code length. With no codes
    // at all, every entry is a 0 of one bit.
    std::array<uint8_t, 128> table_symbol;
    std::array<uint8_t, 128> table_bits;
    table_symbol.fill(0);
    table_bits.fill(1);
    {
      uint32_t code = 0;
      std::array<uint32_t, 8> next{};
      for (int len = 1; len < 8; ++len) next[len] = code = (code + count[len - 1]) << 1;
      for (int sym = 0; sym < 19; ++sym) {
        int len = code_lengths[sym];
        if (len == 0) continue;
        uint32_t c = next[len]++;
        uint32_t reversed = 0;
        for (int i = 0; i < len; ++i) reversed |= (c >> i & 1) << (len - 1 - i);
        for (uint32_t fill = reversed; fill < 128; fill += 1u << len) {
          table_symbol[fill] = static_cast<uint8_t>(sym);
          table_bits[fill] = static_cast<uint8_t>(len);
        }
      }
    }
    std::array<uint8_t, 316> lengths{};
    std::array<uint16_t, 16> lit_count{};
    std::array<uint16_t, 16> dist_count{};
    for (int have = 0; have < nlen + ndist;) {
      bool enough;
      uint32_t peek = bits.Peek(7, &enough);
      int sym = table_symbol[peek];
      int len = table_bits[peek];
      if (!enough && !bits.Take(len, &peek)) return HeaderCheck::kNeedMore;
      if (enough) bits.Drop(len);
      int copy = 1;
      uint8_t value = static_cast<uint8_t>(sym);
      if (sym >= 16) {
        int extra = sym == 16 ? 2 : sym == 17 ? 3 : 7;
        uint32_t repeat;
        if (!bits.Take(extra, &repeat)) return HeaderCheck::kNeedMore;
        if (sym == 16 && have == 0) return HeaderCheck::kBad;
        copy = static_cast<int>(repeat) + (sym == 18 ? 11 : 3);
        if (have + copy > nlen + ndist) return HeaderCheck::kBad;
        value = sym == 16 ? lengths[static_cast<size_t>(have - 1)] : 0;
      }
      for (; copy > 0; --copy, ++have) {
        lengths[static_cast<size_t>(have)] = value;
        ++(have < nlen ? lit_count : dist_count)[value];
      }
    }
    lit_count[0] = dist_count[0] = 0;
    if (lengths[256] == 0) return HeaderCheck::kBad;
    if (!CodeAccepted(lit_count.data(), false)) return HeaderCheck::kBad;
    if (!CodeAccepted(dist_count.data(), false)) return HeaderCheck::kBad;
    // Kept for the tail decoder.
    std::copy(lengths.begin(), lengths.begin() + nlen, s.lit_lengths.begin());
    std::copy(lengths.begin() + nlen, lengths.begin() + nlen + ndist, s.dist_lengths.begin());
    s.lit_codes = nlen;
    s.dist_codes = ndist;
  } else {
    s.lit_codes = 0;  // the fixed code
  }
  s.header_bits = bits.used();
  s.final_block = last;
  return HeaderCheck::kDone;
}

// --- Output buffer -------------------------------------------------------------------------

// Makes room by dropping output that is taken and older than the last 32 KiB (the next block's
// dictionary, with room for the tail decoder's bytes). The current block's own dictionary is
// copied aside first if a replay may still need it.
void Compact() {
  Stream& s = g_stream;
  if (s.out.size() - s.write >= kOutMinFree) return;
  uint64_t write_abs = s.out_base + s.write;
  uint64_t keep_abs = std::min<uint64_t>(s.out_base + s.read, write_abs - kWindow - kTailRoom);
  if (s.replayable && !s.dict_copied && s.block_start - s.dict_len < keep_abs) {
    memcpy(s.dict.data(), s.out.data() + (s.block_start - s.dict_len - s.out_base), s.dict_len);
    s.dict_copied = true;
  }
  size_t drop = static_cast<size_t>(keep_abs - s.out_base);
  memmove(s.out.data(), s.out.data() + drop, s.write - drop);
  s.read -= drop;
  s.write -= drop;
  s.out_base = keep_abs;
}

// --- Blocks --------------------------------------------------------------------------------

// A new block starts at the carried bits and the chunk from `pos`.
void StartHeader() {
  Stream& s = g_stream;
  s.phase = Phase::kHeader;
  s.block_start = s.out_base + s.write;
  s.header_keep_len = 0;
  s.header_keep_used = 0;
  s.replayable = false;
}

void StartBody();

void StepHeader() {
  Stream& s = g_stream;
  switch (CheckHeader()) {
    case HeaderCheck::kBad:
      s.event = Event::kBadData;
      return;
    case HeaderCheck::kDone:
      return StartBody();
    case HeaderCheck::kNeedMore:
      break;
  }
  // The header goes on in the next input: keep what this chunk held of it.
  size_t n = s.in_size - s.pos;
  if (s.header_keep_len + n > s.header_keep.size()) {  // zlib would have decided by now
    s.event = Event::kBadData;
    return;
  }
  if (n > 0) memcpy(s.header_keep.data() + s.header_keep_len, s.in + s.pos, n);
  s.header_keep_len += n;
  s.pos = s.in_size;
  s.event = Event::kNeedInput;
}

// Resets ISA-L for a new block, with the last 32 KiB of output as its dictionary.
void ResetIsal() {
  Stream& s = g_stream;
  isal_inflate_reset(&s.isal);
  s.isal.crc_flag = ISAL_DEFLATE;
  s.isal.hist_bits = 0;
  if (s.dict_len > 0)
    isal_inflate_set_dict(&s.isal, s.out.data() + s.write - s.dict_len,
                          static_cast<uint32_t>(s.dict_len));
}

// Feeds ISA-L the header copy's unread bytes, then the chunk, into the output buffer. Returns
// ISA-L's result.
int RunIsal() {
  Stream& s = g_stream;
  for (;;) {
    bool from_copy = s.header_keep_used < s.header_keep_len;
    const unsigned char* src = from_copy ? s.header_keep.data() + s.header_keep_used : s.in + s.pos;
    size_t avail = from_copy ? s.header_keep_len - s.header_keep_used : s.in_size - s.pos;
    s.isal.next_in = const_cast<unsigned char*>(src);
    s.isal.avail_in = static_cast<uint32_t>(avail);
    s.isal.next_out = s.out.data() + s.write;
    s.isal.avail_out = static_cast<uint32_t>(s.out.size() - s.write);
    int rc = isal_inflate(&s.isal);
    size_t used = avail - s.isal.avail_in;
    s.write = static_cast<size_t>(s.isal.next_out - s.out.data());
    if (from_copy)
      s.header_keep_used += used;
    else
      s.pos += used;
    if (rc != ISAL_DECOMP_OK || s.isal.block_state == ISAL_BLOCK_FINISH || s.isal.avail_out == 0 ||
        s.isal.avail_in != 0 || !from_copy)
      return rc;
  }
}

void EndBlock();
void FailBody(int rc);
void StepStored();

// Starts the block whose header has just passed: a stored block is copied here, a coded one
// goes to ISA-L.
void StartBody() {
  Stream& s = g_stream;
  Compact();
  s.early = 0;
  s.tail_ready = false;
  s.dict_len = static_cast<size_t>(std::min<uint64_t>(kWindow, s.block_start));
  s.dict_copied = false;

  // Re-pack the header so that it ends on a byte: its first (length mod 8) bits apart, the
  // rest in whole bytes.
  BlockBits bits;
  s.header_lead_bits = static_cast<int>(s.header_bits % 8);
  s.header_lead = static_cast<uint64_t>(bits.Take(s.header_lead_bits));
  s.header_packed_len = static_cast<size_t>(s.header_bits / 8);
  for (size_t i = 0; i < s.header_packed_len; ++i)
    s.header_packed[i] = static_cast<unsigned char>(bits.Take(8));
  HeaderBits peek;
  peek.Take(1);
  int type = static_cast<int>(peek.Take(2));

  // Where the data starts: in the carried bits, or at a bit of the byte sequence after them.
  s.data = 0;
  s.data_bits = 0;
  size_t next_byte = 0;
  if (s.header_bits <= static_cast<uint64_t>(s.carry_bits)) {
    s.data_bits = s.carry_bits - static_cast<int>(s.header_bits);
    if (s.data_bits > 0) s.data = LowBits(s.carry >> s.header_bits, s.data_bits);
  } else {
    uint64_t rest = s.header_bits - static_cast<uint64_t>(s.carry_bits);
    next_byte = static_cast<size_t>(rest / 8);
    int used = static_cast<int>(rest % 8);
    if (used > 0) {
      s.data_bits = 8 - used;
      s.data = static_cast<uint64_t>(BlockBits::ByteAt(next_byte++)) >> used;
    }
  }
  size_t start_keep_used = s.header_keep_used;
  size_t start_pos = s.pos;
  // The header's bytes from earlier chunks are all header: the data starts in this chunk.
  s.header_keep_used = std::min(next_byte, s.header_keep_len);
  s.pos += next_byte - s.header_keep_used;

  if (type == 0) {
    // Format notes: a stored block's header ends on a byte with LEN and its complement; the
    // carried bits beyond the header are whole bytes of its data.
    s.phase = Phase::kStored;
    s.stored_left = s.header_packed[s.header_packed_len - 4] |
                    static_cast<uint32_t>(s.header_packed[s.header_packed_len - 3]) << 8;
    for (; s.data_bits >= 8 && s.stored_left > 0; s.data_bits -= 8, s.data >>= 8) {
      s.out[s.write++] = static_cast<unsigned char>(s.data);
      --s.stored_left;
    }
    s.carry = s.data;  // a stored block shorter than the carried bytes leaves the rest carried
    s.carry_bits = s.data_bits;
    return StepStored();
  }

  // Keep the block's input for a replay: the whole bytes of its data still carried, then the
  // chunk from here on.
  s.phase = Phase::kBody;
  s.replayable = true;
  s.keep_len = 0;
  for (int b = s.data_bits % 8; b < s.data_bits; b += 8)
    s.keep[s.keep_len++] = static_cast<unsigned char>(s.data >> b);
  s.keep_from = s.pos;

  ResetIsal();
  int rc;
  if (s.final_block) {
    // The last block stops ISA-L by itself; it reads the header from the stream as it is, so
    // it sees how much input there is when it picks its tables.
    s.header_keep_used = start_keep_used;
    s.pos = start_pos;
    uint64_t prime = s.carry;
    int count = s.carry_bits;
    if (count == 0) {  // the block starts on a byte boundary: prime its first byte
      prime = s.header_keep_used < s.header_keep_len ? s.header_keep[s.header_keep_used++]
                                                     : s.in[s.pos++];
      count = 8;
    }
    s.isal.read_in = prime;
    s.isal.read_in_length = count;
    rc = RunIsal();
  } else {
    // ISA-L reads the header alone first, its final-block bit clear (so it picks its fastest
    // tables), then the bit is raised so that it stops at the block's end.
    s.isal.read_in = s.header_lead;
    s.isal.read_in_length = s.header_lead_bits;
    s.isal.next_in = s.header_packed.data();
    s.isal.avail_in = static_cast<uint32_t>(s.header_packed_len);
    s.isal.next_out = s.out.data() + s.write;
    s.isal.avail_out = static_cast<uint32_t>(s.out.size() - s.write);
    rc = isal_inflate(&s.isal);
    if (rc == ISAL_DECOMP_OK) {
      if (s.isal.block_state != ISAL_BLOCK_CODED || s.isal.avail_in != 0 ||
          s.isal.read_in_length != 0 || s.isal.next_out != s.out.data() + s.write) {
        // ISA-L did not stop right after the header: have zlib take the block instead.
        ++g_stats.restarts;
        return FailBody(ISAL_INVALID_BLOCK);
      }
      s.isal.bfinal = 1;
      s.isal.read_in = s.data;
      s.isal.read_in_length = s.data_bits;
      rc = RunIsal();
    }
  }
  if (rc != ISAL_DECOMP_OK) return FailBody(rc);
  if (s.isal.block_state == ISAL_BLOCK_FINISH) EndBlock();
}

// The block ended: what ISA-L holds beyond it is the next header's start.
void EndBlock() {
  Stream& s = g_stream;
  s.carry_bits = s.isal.read_in_length;
  s.carry = LowBits(s.isal.read_in, s.carry_bits);
  if (s.final_block) {
    s.event = Event::kEnd;
    return;
  }
  StartHeader();
}

// Copies what the input holds of the stored block.
void StepStored() {
  Stream& s = g_stream;
  Compact();
  while (s.stored_left > 0) {
    bool from_copy = s.header_keep_used < s.header_keep_len;
    const unsigned char* src = from_copy ? s.header_keep.data() + s.header_keep_used : s.in + s.pos;
    size_t avail = from_copy ? s.header_keep_len - s.header_keep_used : s.in_size - s.pos;
    size_t n = std::min({avail, static_cast<size_t>(s.stored_left), s.out.size() - s.write});
    if (n == 0) break;
    memcpy(s.out.data() + s.write, src, n);
    s.write += n;
    s.stored_left -= static_cast<uint32_t>(n);
    if (from_copy)
      s.header_keep_used += n;
    else
      s.pos += n;
  }
  if (s.stored_left > 0) {
    if (s.pos == s.in_size && s.header_keep_used == s.header_keep_len) s.event = Event::kNeedInput;
    return;  // or the output buffer is full: hand some out first
  }
  if (s.final_block) {
    s.event = Event::kEnd;
    return;
  }
  StartHeader();
}

// Keeps the rest of the chunk for a replay before the caller overwrites it.
void KeepChunk() {
  Stream& s = g_stream;
  if (!s.replayable) return;
  size_t n = s.in_size - s.keep_from;
  if (s.keep_len + n > s.keep.size()) {
    s.replayable = false;
    return;
  }
  if (n > 0) memcpy(s.keep.data() + s.keep_len, s.in + s.keep_from, n);
  s.keep_len += n;
  s.keep_from = s.in_size;
}

// --- Tail decoder --------------------------------------------------------------------------
//
// ISA-L decodes up to three literals with one table look-up and, when its input ends inside
// such a group, takes the whole group back; at the end of its input it also leaves codes it
// could decode (an end-of-block code, a whole match) for the next input. zlib decodes every
// complete code at once, and an error or a block's end can lie in those bits. So when ISA-L has
// used up the input, the tail decoder reads the bits it left (at most 64) with the block's
// codes, built from its header. What it decodes goes out now; ISA-L decodes the same codes again
// with the next input, over the same bytes. A block's end found there ends the block; a bad code
// or distance sends the block to the replay.

// The block's codes, from the lengths CheckHeader() kept.
void BuildTailCodes() {
  Stream& s = g_stream;
  if (s.lit_codes == 0) {  // the fixed code (RFC 1951 3.2.6)
    for (int i = 0; i < 288; ++i) s.lit_lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    s.dist_lengths.fill(5);
    BuildCode(s.lit_lengths.data(), 288, s.lit_count.data(), s.lit_symbol.data());
    BuildCode(s.dist_lengths.data(), 32, s.dist_count.data(), s.dist_symbol.data());
  } else {
    BuildCode(s.lit_lengths.data(), s.lit_codes, s.lit_count.data(), s.lit_symbol.data());
    BuildCode(s.dist_lengths.data(), s.dist_codes, s.dist_count.data(), s.dist_symbol.data());
  }
  s.tail_ready = true;
}

// Format notes: bases and extra bits of lengths 257..285 and distances 0..29 (RFC 1951 3.2.5).
constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                    33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Bits ISA-L left, read in order.
struct TailBits {
  uint64_t bits;
  int left;
  // The next `n` bits, or -1 when fewer are left.
  int Take(int n) {
    if (n > left) return kOutOfBits;
    int value = static_cast<int>(LowBits(bits, n));
    bits = n >= 64 ? 0 : bits >> n;
    left -= n;
    return value;
  }
};

enum class Tail { kWaits, kBlockEnd, kBadCode, kBadDistance };

// Decodes the complete codes at the start of the bits ISA-L left when the input ran out. Bytes
// go to the output buffer over the `early` ones already out, which the same codes make again.
Tail DecodeTail() {
  Stream& s = g_stream;
  if (s.isal.read_in_length <= 0) return Tail::kWaits;
  if (!s.tail_ready) BuildTailCodes();
  TailBits bits{s.isal.read_in, s.isal.read_in_length};
  size_t pos = s.write - s.early;  // where ISA-L's next byte goes
  // Bytes a distance may reach back: the dictionary and the block's output so far.
  uint64_t history = s.dict_len + (s.out_base + pos - s.block_start);
  Tail result = Tail::kWaits;
  for (;;) {
    TailBits code = bits;
    auto next_bit = [&code] { return code.Take(1); };
    int sym = DecodeSymbol(s.lit_count.data(), s.lit_symbol.data(), next_bit);
    if (sym == kOutOfBits) break;
    if (sym == kNoSuchCode || sym > 285) {
      result = Tail::kBadCode;
      break;
    }
    if (sym < 256) {
      s.out[pos++] = static_cast<unsigned char>(sym);
      ++history;
      bits = code;
      continue;
    }
    if (sym == 256) {
      bits = code;
      result = Tail::kBlockEnd;
      break;
    }
    int extra = code.Take(kLengthExtra[sym - 257]);
    if (extra < 0) break;
    int length = kLengthBase[sym - 257] + extra;
    int dsym = DecodeSymbol(s.dist_count.data(), s.dist_symbol.data(), next_bit);
    if (dsym == kOutOfBits) break;
    if (dsym == kNoSuchCode || dsym > 29) {
      result = Tail::kBadCode;
      break;
    }
    int dextra = code.Take(kDistExtra[dsym]);
    if (dextra < 0) break;
    size_t distance = static_cast<size_t>(kDistBase[dsym] + dextra);
    if (distance > history) {
      result = Tail::kBadDistance;
      break;
    }
    for (int i = 0; i < length; ++i, ++pos) s.out[pos] = s.out[pos - distance];
    history += static_cast<uint64_t>(length);
    bits = code;
  }
  size_t base = s.write - s.early;
  if (pos > s.write) s.write = pos;
  s.early = s.write - base;
  if (result == Tail::kBlockEnd) {  // the block is over: ISA-L owes nothing more
    s.early = 0;
    s.write = pos;
    s.carry = bits.bits;
    s.carry_bits = bits.left;
  }
  return result;
}

void StepBody() {
  Stream& s = g_stream;
  Compact();
  size_t before_write = s.write;
  size_t before_pos = s.pos;
  // ISA-L's next output starts with the bytes the tail decoder already handed out: it writes
  // them again over themselves.
  size_t floor = s.write;
  size_t base = s.write - s.early;
  s.write = base;
  int rc = RunIsal();
  size_t made = s.write - base;
  s.early -= std::min(made, s.early);
  s.write = std::max(s.write, floor);
  if (rc != ISAL_DECOMP_OK) return FailBody(rc);
  if (s.isal.block_state == ISAL_BLOCK_FINISH) return EndBlock();
  if (s.isal.avail_out == 0) return;  // output buffer full: hand some out first
  if (s.pos == s.in_size) {
    if (s.out.size() - s.write < kTailRoom) return;  // hand some out first
    KeepChunk();
    switch (DecodeTail()) {
      case Tail::kWaits:
        s.event = Event::kNeedInput;
        return;
      case Tail::kBlockEnd:
        if (s.final_block) {
          s.event = Event::kEnd;
          return;
        }
        return StartHeader();
      case Tail::kBadCode:
        return FailBody(ISAL_INVALID_SYMBOL);
      case Tail::kBadDistance:
        return FailBody(ISAL_INVALID_LOOKBACK);
    }
  }
  if (s.write == before_write && s.pos == before_pos) s.event = Event::kBadData;  // stuck
}

// --- Replay (zlib) -------------------------------------------------------------------------

// Gives the replay decoder its next input: the kept bytes, then the current chunk.
void FeedReplay() {
  Stream& s = g_stream;
  if (s.zlib.avail_in == 0 && s.replay_in_keep) {
    s.zlib.next_in = const_cast<unsigned char*>(s.in + s.keep_from);
    s.zlib.avail_in = static_cast<uInt>(s.in_size - s.keep_from);
    s.replay_in_keep = false;
  }
}

// The block's data was found bad. zlib reads the block from its start (the header copy, the
// history, the kept input) up to what the caller has already taken, then goes on in ISA-L's
// place; if the block's input could not be kept, the error is placed by ISA-L.
void FailBody(int rc) {
  Stream& s = g_stream;
  if (!s.replayable) {
    ++g_stats.unreplayed;
    s.event = rc == ISAL_INVALID_LOOKBACK ? Event::kBadDistance : Event::kBadData;
    return;
  }
  ++g_stats.replays;
  inflateReset(&s.zlib);
  if (s.dict_len > 0) {
    const unsigned char* dict =
        s.dict_copied ? s.dict.data() : s.out.data() + (s.block_start - s.dict_len - s.out_base);
    if (inflateSetDictionary(&s.zlib, dict, static_cast<uInt>(s.dict_len)) != Z_OK) {
      s.event = Event::kNoMemory;
      return;
    }
  }
  // The header, then the data's first partial byte: zlib ends up where ISA-L began the data.
  inflatePrime(&s.zlib, s.header_lead_bits, static_cast<int>(s.header_lead));
  unsigned char none;
  s.zlib.next_in = s.header_packed.data();
  s.zlib.avail_in = static_cast<uInt>(s.header_packed_len);
  s.zlib.next_out = &none;
  s.zlib.avail_out = 0;
  int zrc = inflate(&s.zlib, Z_NO_FLUSH);
  if (zrc == Z_DATA_ERROR || s.zlib.avail_in != 0) {  // cannot be: the header passed
    s.event = Event::kBadData;
    return;
  }
  int partial = s.data_bits % 8;
  if (partial > 0) inflatePrime(&s.zlib, partial, static_cast<int>(LowBits(s.data, partial)));

  // ISA-L's output of this block that nobody has taken is dropped: zlib makes it again.
  uint64_t taken = s.out_base + s.read;
  uint64_t resume = std::max(taken, s.block_start);
  if (s.out_base + s.write > resume) s.write = static_cast<size_t>(resume - s.out_base);
  uint64_t skip = taken - std::min(taken, s.block_start);
  s.early = 0;

  s.phase = Phase::kZlib;
  s.zlib.next_in = s.keep.data();
  s.zlib.avail_in = static_cast<uInt>(s.keep_len);
  s.replay_in_keep = true;
  while (skip > 0) {
    FeedReplay();
    size_t want = static_cast<size_t>(std::min<uint64_t>(skip, s.scratch.size()));
    s.zlib.next_out = s.scratch.data();
    s.zlib.avail_out = static_cast<uInt>(want);
    zrc = inflate(&s.zlib, Z_NO_FLUSH);
    size_t got = want - s.zlib.avail_out;
    skip -= got;
    // zlib cannot fail or end before output ISA-L made from the same bits; should it, the
    // stream is bad either way.
    if (zrc == Z_MEM_ERROR) {
      s.event = Event::kNoMemory;
      return;
    }
    if ((zrc != Z_OK && zrc != Z_BUF_ERROR) ||
        (got == 0 && s.zlib.avail_in == 0 && !s.replay_in_keep)) {
      s.event = Event::kBadData;
      return;
    }
  }
}

// After a replay: what is still buffered, then zlib itself.
int InflateZlib(unsigned char* out, size_t out_size, size_t* produced, bool fresh) {
  Stream& s = g_stream;
  size_t n = std::min(Pending(), out_size);
  memcpy(out, s.out.data() + s.read, n);
  s.read += n;
  if (s.event != Event::kNone) {  // the replay itself failed
    *produced = n;
    return s.event == Event::kNoMemory ? Z_MEM_ERROR : Z_DATA_ERROR;
  }
  s.zlib.next_out = out + n;
  s.zlib.avail_out = static_cast<uInt>(out_size - n);
  uLong in_before = s.zlib.total_in;
  int rc;
  for (;;) {
    FeedReplay();
    rc = inflate(&s.zlib, Z_NO_FLUSH);
    // The kept bytes and the chunk are one input to the caller.
    if ((rc == Z_OK || rc == Z_BUF_ERROR) && s.zlib.avail_in == 0 && s.replay_in_keep) continue;
    break;
  }
  *produced = out_size - s.zlib.avail_out;
  bool progress = *produced > 0 || s.zlib.total_in != in_before || fresh;
  if (rc == Z_BUF_ERROR && progress) rc = Z_OK;
  if (rc == Z_NEED_DICT) rc = Z_DATA_ERROR;
  return rc;
}

}  // namespace

namespace isal_codec {

int Begin() {
  Stream& s = g_stream;
  if (s.open) return Z_STREAM_ERROR;
  if (!s.zlib_ready) {
    s.zlib = z_stream{};
    int rc = inflateInit2(&s.zlib, -15);
    if (rc != Z_OK) return rc;
    s.zlib_ready = true;
  }
  isal_inflate_init(&s.isal);
  s.open = true;
  s.event = Event::kNone;
  s.in = nullptr;
  s.in_size = 0;
  s.pos = 0;
  s.fresh = false;
  s.carry = 0;
  s.carry_bits = 0;
  s.read = s.write = 0;
  s.out_base = 0;
  StartHeader();
  return Z_OK;
}

void SetInput(const unsigned char* data, size_t size) {
  Stream& s = g_stream;
  s.in = data;
  s.in_size = size;
  s.pos = 0;
  s.keep_from = 0;
  s.fresh = true;
  if (s.event == Event::kNeedInput) s.event = Event::kNone;
  if (s.phase == Phase::kZlib) {
    s.zlib.next_in = const_cast<unsigned char*>(data);
    s.zlib.avail_in = static_cast<uInt>(size);
    s.replay_in_keep = false;
  }
}

// Decodes ahead until more than one call's worth is waiting or something decides where the
// bytes end, then hands out what fits. The result follows zlib's inflate():
//   - bytes remain after this call, or nothing has decided their end: Z_OK;
//   - every byte before the end is out, and the end is
//       more input needed  Z_OK when this call used new input or produced bytes, else
//                          Z_BUF_ERROR;
//       the stream's end   Z_STREAM_END;
//       bad data           Z_DATA_ERROR, even on a call that filled `out`: zlib reads the next
//                          code, header or stored length without needing output space;
//       a distance too far back  Z_DATA_ERROR, except on a call that filled `out` (Z_OK; the
//                          next call reports it): zlib checks it only when it can copy;
//       no memory          Z_MEM_ERROR.
int Inflate(unsigned char* out, size_t out_size, size_t* produced) {
  Stream& s = g_stream;
  bool fresh = s.fresh;
  s.fresh = false;
  while (s.event == Event::kNone && s.phase != Phase::kZlib && Pending() <= out_size) {
    if (s.phase == Phase::kHeader)
      StepHeader();
    else if (s.phase == Phase::kStored)
      StepStored();
    else
      StepBody();
  }
  if (s.phase == Phase::kZlib) return InflateZlib(out, out_size, produced, fresh);

  size_t n = std::min(Pending(), out_size);
  memcpy(out, s.out.data() + s.read, n);
  s.read += n;
  *produced = n;
  if (Pending() > 0) return Z_OK;
  switch (s.event) {
    case Event::kNone:
      return Z_OK;
    case Event::kNeedInput:
      return n > 0 || fresh ? Z_OK : Z_BUF_ERROR;
    case Event::kEnd:
      return Z_STREAM_END;
    case Event::kBadData:
      return Z_DATA_ERROR;
    case Event::kBadDistance:
      return n == out_size ? Z_OK : Z_DATA_ERROR;
    case Event::kNoMemory:
      return Z_MEM_ERROR;
  }
  return Z_DATA_ERROR;
}

void End() { g_stream.open = false; }

uint32_t Crc32(uint32_t crc, const unsigned char* data, size_t size) {
  return crc32_gzip_refl(crc, data, size);
}

IsalStats Stats() { return g_stats; }

}  // namespace isal_codec
