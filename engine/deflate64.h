// Deflate64 ("enhanced deflate", ZIP method 9) decoder of our own: no Debian library reads it.
// Owns a 64 KiB history plus a 256 KiB output span and its Huffman tables, all fixed arrays
// inside the object (about 360 KiB), so nothing is allocated after construction. One thread per
// object; several objects may live at once.
//
// The same decoder reads ordinary deflate when built with Variant::kDeflate, which is how the
// tests hold it against zlib: the two formats differ only in the window (32 KiB / 64 KiB),
// length code 285 (258 / 3 + 16 extra bits) and distance codes 30 and 31 (invalid / 32769 and
// 49153 + 14 extra bits).
#pragma once

#include "decoder.h"

#include <array>
#include <cstddef>
#include <cstdint>

class Deflate64Decoder final : public Decoder {
 public:
  enum class Variant { kDeflate64, kDeflate };
  explicit Deflate64Decoder(Variant variant = Variant::kDeflate64);
  Deflate64Decoder(const Deflate64Decoder&) = delete;
  Deflate64Decoder& operator=(const Deflate64Decoder&) = delete;

  // Always kDecodeMore: the state is inside the object.
  int Begin(const DecodeParams& params) override;
  void SetInput(const unsigned char* data, size_t size) override;
  // kDecodeMore, kDecodeEnd or kDecodeBadData (refused as zlib refuses deflate: bad block type,
  // stored length and its complement differ, over-subscribed or incomplete code sets, missing
  // end-of-block code, bad repeat, invalid symbol, distance before the start of the output).
  // A failure stays until the next Begin().
  int Decode(unsigned char* out, size_t out_size, size_t* produced) override;

  // --- Below this line: implementation ------------------------------------------------------
  // One table entry: what `bits` low bits of the bit buffer decode to.
  struct Entry {
    uint16_t value;  // literal byte, length or distance base, or a sub-table's first index
    uint8_t bits;    // bits the entry takes (a link entry: the root bits)
    uint8_t op;      // kind in the top 3 bits; extra bits (base) or sub-table bits (link) below
  };

 private:
  enum class State {
    kHeader,        // 3 bits: final flag and block type
    kStoredLength,  // LEN and NLEN after the byte boundary
    kStoredCopy,    // stored bytes
    kTableCounts,   // HLIT, HDIST, HCLEN
    kCodeLengthCodes,
    kCodeLengths,  // the literal/length and distance code lengths
    kSymbols,      // literal/length symbols of a compressed block
    kDistance,     // the distance of the length just read
    kCopy,         // a match that did not fit the output span
    kDone,
    kFailed,
  };
  enum class Step { kProgress, kNeedInput, kOutputFull, kEnd, kBad };

  static constexpr size_t kHistory = 65536;    // farthest distance of either variant
  static constexpr size_t kSpan = 256 * 1024;  // output decoded between slides
  static constexpr size_t kSlack = 16;         // room for 8-byte copies to overshoot
  static constexpr unsigned kLitRootBits = 10;
  static constexpr unsigned kDistRootBits = 8;
  static constexpr unsigned kMaxCodeBits = 15;
  // Root table plus one sub-table per symbol at most, each sized for the longest code.
  static constexpr size_t kLitTableSize = (1u << kLitRootBits) + 288 * (1u << (15 - 10));
  static constexpr size_t kDistTableSize = (1u << kDistRootBits) + 32 * (1u << (15 - 8));

  Step Run();
  Step RunStep();
  void FastLoop();
  bool Refill(unsigned need);  // slow path: pulls single bytes until `need` bits are held
  uint32_t Bits(unsigned n) const { return static_cast<uint32_t>(bitbuf_ & ((1ull << n) - 1)); }
  void Drop(unsigned n) {
    bitbuf_ >>= n;
    bitcount_ -= n;
  }
  // Looks a symbol up without taking it: returns its entry and sets *bits to the bits it needs.
  static Entry Peek(const Entry* table, unsigned root_bits, uint64_t bitbuf, unsigned* bits);
  bool BuildCodes();
  void CopyMatch(size_t length);  // slow path, bounded by the output span
  void Slide();

  Variant variant_;
  State state_ = State::kHeader;
  bool final_block_ = false;
  int failure_ = kDecodeBadData;

  const unsigned char* in_ = nullptr;
  const unsigned char* in_end_ = nullptr;
  uint64_t bitbuf_ = 0;
  unsigned bitcount_ = 0;

  size_t pos_ = 0;        // next byte written in window_
  size_t delivered_ = 0;  // bytes of window_ handed to the caller
  size_t stored_left_ = 0;
  size_t match_length_ = 0;
  size_t match_distance_ = 0;

  unsigned lit_count_ = 0, dist_count_ = 0, codelen_count_ = 0, lengths_done_ = 0;
  std::array<uint8_t, 320> lengths_{};  // literal/length then distance code lengths
  std::array<uint8_t, 19> codelen_lengths_{};
  std::array<Entry, 128> codelen_table_{};  // 7-bit code-length code, one level
  std::array<Entry, kLitTableSize> lit_table_{};
  std::array<Entry, kDistTableSize> dist_table_{};
  bool fixed_built_ = false;
  std::array<Entry, kLitTableSize> fixed_lit_{};
  std::array<Entry, kDistTableSize> fixed_dist_{};
  const Entry* lit_ = nullptr;  // the tables of the current block
  const Entry* dist_ = nullptr;

  std::array<unsigned char, kHistory + kSpan + kSlack> window_{};
};
