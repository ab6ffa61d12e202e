// bzip2 one block at a time: the magic finder and the one-block decoder.
#include "bzip2_blocks.h"

#include <array>
#include <cstring>
#include <new>

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

// Bits written most significant first into a byte buffer.
class BitWriter {
 public:
  explicit BitWriter(unsigned char* out) : out_(out) {}
  void Put(uint32_t value, int bits) {  // bits <= 32
    acc_ = (acc_ << bits) | (value & ((uint64_t{1} << bits) - 1));
    count_ += bits;
    while (count_ >= 8) {
      count_ -= 8;
      out_[size_++] = static_cast<unsigned char>(acc_ >> count_);
    }
  }
  // Pads the last byte with zero bits; returns the bytes written.
  size_t Finish() {
    if (count_ > 0) Put(0, 8 - count_);
    return size_;
  }

 private:
  unsigned char* out_;
  size_t size_ = 0;
  uint64_t acc_ = 0;
  int count_ = 0;
};

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

void* Bzip2BlockDecoder::ArenaAlloc(void* self, int items, int size) {
  auto* d = static_cast<Bzip2BlockDecoder*>(self);
  if (items < 0 || size < 0) return nullptr;
  const size_t want = (static_cast<size_t>(items) * static_cast<size_t>(size) + 63) & ~size_t{63};
  if (want > kArenaSize - d->arena_used_) return nullptr;  // libbz2 reports BZ_MEM_ERROR
  void* at = d->arena_.get() + d->arena_used_;
  d->arena_used_ += want;
  return at;
}

void Bzip2BlockDecoder::ArenaFree(void*, void*) {}  // the arena is reset for every block

void Bzip2BlockDecoder::Decode(const Bzip2Ring& ring, uint64_t start_bit, uint64_t end_bit,
                               int level, CodecBackend codec, const std::atomic<bool>& cancel,
                               Bzip2BlockResult* result) {
  *result = Bzip2BlockResult{};
  if (end_bit < start_bit || end_bit - start_bit < kBzip2MinBlockBits) return;
  if (level < 1 || level > 9) return;
  if (arena_ == nullptr) {
    arena_.reset(new (std::nothrow) unsigned char[kArenaSize]);
    in_.reset(new (std::nothrow) unsigned char[kPieceSize + 16]);
    out_.reset(new (std::nothrow) unsigned char[kPieceSize]);
    if (arena_ == nullptr || in_ == nullptr || out_ == nullptr) {
      arena_.reset();
      return;
    }
  }
  arena_used_ = 0;
  bz_ = bz_stream{};
  bz_.bzalloc = ArenaAlloc;
  bz_.bzfree = ArenaFree;
  bz_.opaque = this;
  if (BZ2_bzDecompressInit(&bz_, 0, 0) != BZ_OK) return;
  result->ok = Run(ring, start_bit, end_bit, level, codec, cancel, result);
  BZ2_bzDecompressEnd(&bz_);
}

bool Bzip2BlockDecoder::Run(const Bzip2Ring& ring, uint64_t start_bit, uint64_t end_bit, int level,
                            CodecBackend codec, const std::atomic<bool>& cancel,
                            Bzip2BlockResult* result) {
  const uint64_t first = start_bit / 8;              // the block's first byte in the stream
  const unsigned shift = start_bit % 8;              // where in it the block starts
  const uint64_t whole = (end_bit - start_bit) / 8;  // whole bytes once moved to a boundary
  const int rest = static_cast<int>((end_bit - start_bit) % 8);
  auto at = [&ring](uint64_t i) { return ring.bytes[i % ring.size]; };
  unsigned char* in = in_.get();
  bool ended = false;
  uint64_t done = 0;  // whole bytes of the block written so far
  size_t fill = 0;
  in[fill++] = 'B';
  in[fill++] = 'Z';
  in[fill++] = 'h';
  in[fill++] = static_cast<unsigned char>('0' + level);
  while (done < whole) {
    if (cancel.load(std::memory_order_relaxed)) return false;
    const size_t n =
        whole - done < kPieceSize - fill ? static_cast<size_t>(whole - done) : kPieceSize - fill;
    const size_t from = static_cast<size_t>((first + done) % ring.size);
    // Byte j of the moved block takes the low bits of source byte j and the high bits of j + 1.
    if (from + n + 1 <= ring.size) {
      const unsigned char* src = ring.bytes + from;
      if (shift == 0) {
        memcpy(in + fill, src, n);
      } else {
        for (size_t j = 0; j < n; ++j)
          in[fill + j] =
              static_cast<unsigned char>((src[j] << shift) | (src[j + 1] >> (8 - shift)));
      }
    } else {  // the piece wraps round the ring
      for (size_t j = 0; j < n; ++j) {
        const uint64_t i = first + done + j;
        in[fill + j] = static_cast<unsigned char>(
            shift == 0 ? at(i) : (at(i) << shift) | (at(i + 1) >> (8 - shift)));
      }
    }
    if (done == 0) {  // the block's CRC follows its magic: bytes 10..13 of the one-block stream
      result->stored_crc = static_cast<uint32_t>(in[10]) << 24 |
                           static_cast<uint32_t>(in[11]) << 16 |
                           static_cast<uint32_t>(in[12]) << 8 | in[13];
    }
    done += n;
    fill += n;
    if (done == whole) break;  // the tail joins this piece
    if (!Feed(fill, codec, cancel, result, &ended) || ended) return false;
    fill = 0;
  }
  // The block's last bits, then the end magic and the block's CRC as the stream's.
  BitWriter tail(in + fill);
  if (rest > 0) {
    const uint64_t bit = start_bit + whole * 8;  // the first bit not yet written
    const unsigned b = bit % 8;
    // The next byte only when the bits reach into it: past the block it may not be held yet.
    uint32_t two = static_cast<uint32_t>(at(bit / 8)) << 8;
    if (b + static_cast<unsigned>(rest) > 8) two |= at(bit / 8 + 1);
    tail.Put((two >> (16 - b - static_cast<unsigned>(rest))), rest);
  }
  tail.Put(static_cast<uint32_t>(kBzip2EndMagic >> 24), 24);
  tail.Put(static_cast<uint32_t>(kBzip2EndMagic & 0xFFFFFF), 24);
  tail.Put(result->stored_crc, 32);
  fill += tail.Finish();
  if (!Feed(fill, codec, cancel, result, &ended)) return false;
  return ended && bz_.avail_in == 0;
}

bool Bzip2BlockDecoder::Feed(size_t size, CodecBackend codec, const std::atomic<bool>& cancel,
                             Bzip2BlockResult* result, bool* ended) {
  bz_.next_in = reinterpret_cast<char*>(in_.get());
  bz_.avail_in = static_cast<unsigned>(size);
  for (;;) {
    bz_.next_out = reinterpret_cast<char*>(out_.get());
    bz_.avail_out = static_cast<unsigned>(kPieceSize);
    const unsigned in_before = bz_.avail_in;
    const int rc = BZ2_bzDecompress(&bz_);
    const size_t produced = kPieceSize - bz_.avail_out;
    result->crc32 = Crc32With(codec, result->crc32, out_.get(), produced);
    result->length += produced;
    if (rc == BZ_STREAM_END) {
      *ended = true;
      return true;
    }
    if (rc != BZ_OK || cancel.load(std::memory_order_relaxed)) return false;
    if (bz_.avail_in == 0 && bz_.avail_out > 0) return true;       // wants the next piece
    if (produced == 0 && bz_.avail_in == in_before) return false;  // no progress
  }
}
