// bzip2 one block at a time: where the blocks of a stream start, and one block decoded on its
// own. Blocks share no state (only the stream header's level digit bounds them), so a block cut
// out of its stream and wrapped as a one-block stream decodes as it would in place. No threads
// here; each object is used by one thread at a time. A Bzip2BlockDecoder decodes a block itself
// (libbz2 stays the reference: the one pass that any doubt falls back to) in a fixed arena of
// about 3.6 MiB, made on first use.
#pragma once

#include "codec.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

// Format notes: a stream is "BZh", a level digit '1'..'9' (blocks of up to 100,000 times that
// many bytes), then blocks, each opening with kBzip2BlockMagic at any bit position (blocks are
// bit-packed back to back), then kBzip2EndMagic, the stream's combined CRC (32 bits: for each
// block, rotated left by one and xor-ed with the block's CRC) and zero bits up to a byte.
// A block opens with the magic and its own 32-bit CRC.
inline constexpr uint64_t kBzip2BlockMagic = 0x314159265359;
inline constexpr uint64_t kBzip2EndMagic = 0x177245385090;
inline constexpr uint64_t kBzip2HeaderBits = 32;  // "BZh" and the level digit
// No real block is this short: magic, CRC, randomised bit, origin pointer, the 16-bit symbol
// map and at least one 16-bit map group alone take 137 bits.
inline constexpr uint64_t kBzip2MinBlockBits = 128;

// A magic found in the data: where its first bit lies, counted from the first bit fed.
struct Bzip2Mark {
  uint64_t bit;
  bool end;  // kBzip2EndMagic; otherwise kBzip2BlockMagic
};

// Finds every place either magic occurs, at every bit offset, in bytes fed piece by piece.
// A magic in the data (a false one) is found as well as a real one: only decoding tells.
class Bzip2MarkFinder {
 public:
  static constexpr size_t kMaxMarksPerByte = 8;  // one per bit offset

  // Starts over: the next byte fed is the stream's first.
  void Reset();
  // Scans `size` bytes that follow those fed before, storing in order into `out` (room for
  // `max_out`, at least kMaxMarksPerByte), *found of them, the marks found once these bytes are
  // fed: a magic is found with the seventh byte from the one it starts in, so one within the
  // last six bytes of a stream is never found (a real one is followed by at least a CRC).
  // Returns how many bytes were scanned: fewer than `size` when `out` filled up; feed the rest
  // again after the marks are used.
  size_t Feed(const unsigned char* data, size_t size, Bzip2Mark* out, size_t max_out,
              size_t* found);

 private:
  uint64_t window_ = 0;  // the last 8 bytes fed, the newest in the low byte
  uint64_t fed_ = 0;     // bytes fed since Reset()
};

// What one block gave.
struct Bzip2BlockResult {
  bool ok = false;          // decoded whole, its CRC matched and it ends exactly where it was cut
  uint32_t stored_crc = 0;  // the block's CRC as its header gives it
  uint32_t crc32 = 0;       // CRC-32 of the block's output
  uint64_t length = 0;      // bytes of output
};

// Bytes of a stream held in a ring of `size` bytes: byte i of the stream lies at
// bytes[i % size] (while it is held).
struct Bzip2Ring {
  const unsigned char* bytes;
  size_t size;
};

class Bzip2BlockDecoder {
 public:
  Bzip2BlockDecoder();
  ~Bzip2BlockDecoder();
  Bzip2BlockDecoder(const Bzip2BlockDecoder&) = delete;
  Bzip2BlockDecoder& operator=(const Bzip2BlockDecoder&) = delete;

  // Decodes the block that occupies bits [start_bit, end_bit) of the stream in `ring`, a stream
  // whose header gave `level`. result->ok only when libbz2, given the block alone as a stream
  // ("BZh", `level`, the block, the end magic and the block's CRC as the stream's), would end
  // that stream with all of it used and give the same output. ok is false, and the caller falls
  // back to libbz2 on the whole stream, for a damaged block and also for some that libbz2 takes:
  //   - a randomised block (no writer has made one since bzip2 0.9.5);
  //   - code lengths that are not a complete prefix code (every encoder writes complete ones);
  //   - an end-of-block symbol that is not followed exactly by end_bit;
  //   - output that ends inside a run of four equal bytes with no count byte after them.
  // ok is false too when `cancel` is raised on the way (asked every 64 KiB of output), when the
  // block is shorter than kBzip2MinBlockBits or the arena cannot be had. Output is summed with
  // `codec`'s CRC-32 and dropped. Reads only the bytes that hold the block's bits.
  void Decode(const Bzip2Ring& ring, uint64_t start_bit, uint64_t end_bit, int level,
              CodecBackend codec, const std::atomic<bool>& cancel, Bzip2BlockResult* result);

  static constexpr size_t kPieceSize = 65536;          // output summed at a time
  static constexpr uint32_t kMaxBlockLength = 900000;  // symbols before run-length decoding

  // --- Below the line ---
  struct Arena;  // the block's symbols and the walk's links, the code tables, the output piece

 private:
  bool Run(const Bzip2Ring& ring, uint64_t start_bit, uint64_t end_bit, int level,
           CodecBackend codec, const std::atomic<bool>& cancel, Bzip2BlockResult* result);
  // Follows `length` links from `row`, undoes the run-length coding and sums the output into
  // *result and its block CRC into *block_crc; false when `cancel` is raised or the output ends
  // inside a run (four equal bytes and no count).
  bool Walk(uint32_t row, uint32_t length, CodecBackend codec, const std::atomic<bool>& cancel,
            Bzip2BlockResult* result, uint32_t* block_crc);

  std::unique_ptr<Arena> arena_;  // made on the first Decode(): about 3.6 MiB
};
