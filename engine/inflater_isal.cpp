// Raw deflate on ISA-L's streaming isal_inflate, one deflate block at a time.
//
// ISA-L decodes about twice as fast as zlib but takes some streams zlib refuses: above all
// blocks whose Huffman codes are incomplete. Users see zlib's verdict, so before ISA-L reads a
// block, the block header is checked here with zlib's rules (counts, repeats, over-subscribed
// and incomplete code sets, a missing end code). To stop where the next header starts, the
// block's final-block bit is raised in ISA-L's bit buffer: ISA-L then ends its stream at the
// block's end and leaves the following bits in its bit buffer. The next block restarts ISA-L
// with the last 32 KiB of output as its dictionary. Blocks zlib accepts whose codes leave bit
// patterns unassigned (one code of one bit, no distance codes) are refused here, as is anything
// ISA-L finds bad: the caller then decodes the entry again with zlib, whose verdict stands, so
// those rare entries cost a second decode and nothing else.
//
// Buffers, allocated once with the decoder: ISA-L's inflate_state (about 100 KiB), 64 KiB of
// staged input (so a header never straddles two of the caller's chunks) and a 160 KiB output
// window (the 32 KiB history, then room to decode ahead: twice that room decoded no faster and
// cost every checking thread 128 KiB more). One thread at a time per decoder.
#include <algorithm>
#include <array>
#include <cstring>
#include <isa-l/igzip_lib.h>
#include <new>

#include "inflater.h"

namespace {

constexpr size_t kHistory = 32768;           // deflate's largest distance
constexpr size_t kWindow = kHistory + 128 * 1024;
constexpr size_t kMinRoom = 64 * 1024;       // decode room kept free after the history
constexpr size_t kStage = 64 * 1024;         // staged input; a dynamic header is under 300 bytes
constexpr int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

enum class Header {
  kOk,        // a header zlib accepts and ISA-L decodes as zlib does
  kNeedMore,  // the header goes on past the input staged so far
  kBad,       // zlib refuses it, or its codes leave patterns unassigned: zlib decides
};

// Bits of a block header in stream order: `count` bits carried over in `bits`, then bytes.
class HeaderBits {
 public:
  HeaderBits(uint64_t bits, int count, const unsigned char* bytes, size_t size)
      : buffer_(bits), have_(count), next_(bytes), left_(size) {}
  // The next `n` (at most 16) bits, or -1 when the input ends first.
  int Take(int n) {
    while (have_ < n) {
      if (left_ == 0) return -1;
      buffer_ |= static_cast<uint64_t>(*next_++) << have_;
      have_ += 8;
      --left_;
    }
    int value = static_cast<int>(buffer_ & ((uint64_t{1} << n) - 1));
    buffer_ >>= n;
    have_ -= n;
    return value;
  }
  // The next `n` (at most 16) bits without taking them; *have is how many of them the input
  // holds (fewer than `n` only at its end: the missing ones read as 0).
  int Peek(int n, int* have) {
    while (have_ < n && left_ > 0) {
      buffer_ |= static_cast<uint64_t>(*next_++) << have_;
      have_ += 8;
      --left_;
    }
    *have = have_ < n ? have_ : n;
    return static_cast<int>(buffer_ & ((uint64_t{1} << n) - 1));
  }
  // Drops the rest of a partly read byte: the carried bits end on a byte of the stream.
  void Align() { Take(have_ % 8); }

 private:
  uint64_t buffer_;
  int have_;
  const unsigned char* next_;
  size_t left_;
};

// Unassigned bit patterns at the longest length of the canonical code over `n` lengths, as
// zlib's inflate_table judges it: 0 complete, above 0 incomplete (an empty code too), below 0
// over-subscribed.
int Unassigned(const int* lengths, int n) {
  std::array<int, 16> count{};
  for (int i = 0; i < n; ++i) count[static_cast<size_t>(lengths[i])]++;
  int left = 1;
  for (size_t len = 1; len < 16; ++len) {
    left = left * 2 - count[len];
    if (left < 0) return left;
  }
  return left;
}

// The code-length code (19 symbols of up to 7 bits) as a table over the next 7 bits of the
// stream: a header is read a symbol per lookup instead of a bit per step.
struct LengthsCode {
  std::array<uint8_t, 128> symbol;
  std::array<uint8_t, 128> length;
};

// Fills `t` for a complete code (Unassigned(lengths, 19) == 0). Deflate sends a code's most
// significant bit first, so an entry's index is its code reversed, with every value of the
// bits after it.
void BuildLengthsCode(const int* lengths, LengthsCode* t) {
  std::array<int, 8> count{}, next{};
  for (int i = 0; i < 19; ++i) count[static_cast<size_t>(lengths[i])]++;
  count[0] = 0;
  for (size_t len = 1, code = 0; len < 8; ++len) {
    code = (code + static_cast<size_t>(count[len - 1])) << 1;
    next[len] = static_cast<int>(code);
  }
  for (int sym = 0; sym < 19; ++sym) {
    const int len = lengths[sym];
    if (len == 0) continue;
    const int code = next[static_cast<size_t>(len)]++;
    int reversed = 0;
    for (int b = 0; b < len; ++b) reversed |= ((code >> b) & 1) << (len - 1 - b);
    for (int fill = 0; fill < (1 << (7 - len)); ++fill) {
      const size_t at = static_cast<size_t>(reversed | (fill << len));
      t->symbol[at] = static_cast<uint8_t>(sym);
      t->length[at] = static_cast<uint8_t>(len);
    }
  }
}

// The next symbol, or -1 when the input ends first.
int DecodeLength(const LengthsCode& t, HeaderBits& in) {
  int have;
  const size_t bits = static_cast<size_t>(in.Peek(7, &have));
  const int len = t.length[bits];
  if (len > have) return -1;
  in.Take(len);
  return t.symbol[bits];
}

// Format notes: zlib refuses more than 286 literal/length or 30 distance lengths, an
// over-subscribed or incomplete code-length code, a repeat before the first length or past the
// counts, a missing end code, and an over-subscribed or incomplete literal/length or distance
// code, except a lone one-bit code (and, for distances, none at all): old encoders wrote those.
// zlib then refuses the free pattern only when a block uses it; ISA-L may not, so such blocks
// go to zlib (kBad).
Header CheckDynamic(HeaderBits& in) {
  int hlit = in.Take(5), hdist = in.Take(5), hclen = in.Take(4);
  if (hclen < 0) return Header::kNeedMore;
  hlit += 257;
  hdist += 1;
  hclen += 4;
  if (hlit > 286 || hdist > 30) return Header::kBad;
  int lengths[19] = {};
  for (int i = 0; i < hclen; ++i) {
    int len = in.Take(3);
    if (len < 0) return Header::kNeedMore;
    lengths[kOrder[i]] = len;
  }
  if (Unassigned(lengths, 19) != 0) return Header::kBad;  // incomplete, over-subscribed or empty
  LengthsCode lengths_code;
  BuildLengthsCode(lengths, &lengths_code);
  int all[286 + 30] = {};
  for (int i = 0; i < hlit + hdist;) {
    int sym = DecodeLength(lengths_code, in);
    if (sym < 0) return Header::kNeedMore;
    if (sym < 16) {
      all[i++] = sym;
      continue;
    }
    int repeat = sym == 16 ? in.Take(2) : sym == 17 ? in.Take(3) : in.Take(7);
    if (repeat < 0) return Header::kNeedMore;
    repeat += sym == 18 ? 11 : 3;
    if ((sym == 16 && i == 0) || i + repeat > hlit + hdist) return Header::kBad;
    int value = sym == 16 ? all[i - 1] : 0;
    while (repeat-- > 0) all[i++] = value;
  }
  if (all[256] == 0) return Header::kBad;
  return Unassigned(all, hlit) == 0 && Unassigned(all + hlit, hdist) == 0 ? Header::kOk
                                                                           : Header::kBad;
}

// Checks the header at the start of `in`; sets *final from its first bit.
Header CheckHeader(HeaderBits& in, bool* final) {
  int head = in.Take(3);
  if (head < 0) return Header::kNeedMore;
  *final = (head & 1) != 0;
  switch (head >> 1) {
    case 0: {  // stored: the length and its complement
      in.Align();
      int len = in.Take(16), nlen = in.Take(16);
      if (nlen < 0) return Header::kNeedMore;
      return len == (~nlen & 0xFFFF) ? Header::kOk : Header::kBad;
    }
    case 1:
      return Header::kOk;  // fixed codes: nothing to check
    case 2:
      return CheckDynamic(in);
    default:
      return Header::kBad;  // reserved block type
  }
}

class IsalDecoder final : public Decoder {
 public:
  int Begin(const DecodeParams& /*params*/) override {
    isal_inflate_init(&state_);
    in_ = nullptr;
    in_left_ = stage_pos_ = stage_len_ = 0;
    read_ = write_ = 0;
    at_header_ = true;
    last_block_ = ended_ = failed_ = false;
    return kDecodeMore;
  }

  void SetInput(const unsigned char* data, size_t size) override {
    in_ = data;
    in_left_ = size;
  }

  int Decode(unsigned char* out, size_t out_size, size_t* produced) override {
    *produced = 0;
    for (;;) {
      size_t n = std::min(write_ - read_, out_size - *produced);
      memcpy(out + *produced, window_.data() + read_, n);
      read_ += n;
      *produced += n;
      if (failed_) return kDecodeBadData;
      if (ended_ && read_ == write_) return kDecodeEnd;
      if (*produced == out_size) return kDecodeMore;
      if (!DecodeAhead()) return kDecodeMore;  // every input byte is used
    }
  }

 private:
  // Moves the staged bytes ISA-L has not read to the front and adds the caller's next ones.
  // False when the caller has none left (or, never with real headers, no room is left).
  bool Refill() {
    stage_len_ -= stage_pos_;
    memmove(stage_.data(), stage_.data() + stage_pos_, stage_len_);
    stage_pos_ = 0;
    size_t n = std::min(in_left_, kStage - stage_len_);
    if (n == 0) return false;
    memcpy(stage_.data() + stage_len_, in_, n);
    stage_len_ += n;
    in_ += n;
    in_left_ -= n;
    return true;
  }

  // Checks the header of the block that starts at ISA-L's bit buffer and restarts ISA-L there
  // with the history as its dictionary and the block's final bit raised.
  Header StartBlock() {
    uint64_t bits = state_.read_in;
    int count = state_.read_in_length;
    if (count < 0 || count > 64) return Header::kBad;  // never left so by ISA-L
    if (count < 64) bits &= (uint64_t{1} << count) - 1;
    HeaderBits in(bits, count, stage_.data() + stage_pos_, stage_len_ - stage_pos_);
    Header header = CheckHeader(in, &last_block_);
    if (header != Header::kOk) return header;
    size_t history = std::min(write_, kHistory);
    isal_inflate_reset(&state_);
    if (history > 0 && isal_inflate_set_dict(&state_, window_.data() + write_ - history,
                                             static_cast<uint32_t>(history)) != COMP_OK)
      return Header::kBad;
    if (count == 0) {  // the header's first bit still in a byte: bring that byte in
      bits = stage_[stage_pos_++];
      count = 8;
    }
    state_.read_in = bits | 1;
    state_.read_in_length = count;
    return Header::kOk;
  }

  // Decodes more into the window (which the caller has emptied). Returns false when more input
  // is needed and the caller has given none; a failure or the end is noted for Decode().
  bool DecodeAhead() {
    if (write_ + kMinRoom > kWindow) {  // keep the history, make room after it
      memmove(window_.data(), window_.data() + write_ - kHistory, kHistory);
      read_ = write_ = kHistory;
    }
    if (at_header_) {
      Header header = StartBlock();
      if (header == Header::kNeedMore) return Refill();
      if (header == Header::kBad) return failed_ = true;
      at_header_ = false;
    }
    size_t pos_before = stage_pos_, write_before = write_;
    state_.next_in = stage_.data() + stage_pos_;
    state_.avail_in = static_cast<uint32_t>(stage_len_ - stage_pos_);
    state_.next_out = window_.data() + write_;
    state_.avail_out = static_cast<uint32_t>(kWindow - write_);
    int rc = isal_inflate(&state_);
    stage_pos_ = static_cast<size_t>(state_.next_in - stage_.data());
    write_ = static_cast<size_t>(state_.next_out - window_.data());
    if (rc != ISAL_DECOMP_OK) return failed_ = true;
    if (state_.block_state == ISAL_BLOCK_FINISH) {
      if (last_block_) return ended_ = true;
      at_header_ = true;
      return true;
    }
    if (stage_pos_ == pos_before && write_ == write_before) return Refill();
    return true;
  }

  inflate_state state_{};
  std::array<unsigned char, kStage> stage_;    // input: [stage_pos_, stage_len_) not yet read
  std::array<unsigned char, kWindow> window_;  // output: [read_, write_) not yet handed out
  const unsigned char* in_ = nullptr;          // the caller's input not yet staged
  size_t in_left_ = 0;
  size_t stage_pos_ = 0, stage_len_ = 0;
  size_t read_ = 0, write_ = 0;
  bool at_header_ = true;    // ISA-L's bit buffer starts a block header
  bool last_block_ = false;  // the block being decoded is the stream's last
  bool ended_ = false;       // the last block ended
  bool failed_ = false;      // a header or ISA-L refused the stream
};

}  // namespace

std::unique_ptr<Decoder> NewIsalDecoder() {
  return std::unique_ptr<Decoder>(new (std::nothrow) IsalDecoder());
}
