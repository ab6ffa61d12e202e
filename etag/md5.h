// MD5 message digest (RFC 1321), written out here rather than taken from a library: a streaming
// context, a one-shot digest of a buffer, the hex text of a digest, and a paired update that
// advances two contexts over the same bytes for about the cost of one. Contexts are plain values
// owned by the caller; nothing here allocates, does I/O or keeps state between calls.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t kMd5DigestLen = 16;  // A, B, C, D, each little-endian
inline constexpr size_t kMd5BlockLen = 64;   // bytes per compression step
inline constexpr size_t kMd5HexSize = 33;    // 32 hex digits and a terminator

// One running digest. The two counts together hold up to 61 bits of byte count, so the bit
// length that the padding records always fits 64 bits.
struct Md5Context {
  uint32_t low_count;                   // bytes taken in, modulo 2^29
  uint32_t high_count;                  // bytes taken in, divided by 2^29
  uint32_t a, b, c, d;                  // chaining words
  unsigned char pending[kMd5BlockLen];  // input not yet transformed: low_count % 64 bytes
  uint32_t words[16];                   // the block being transformed; meaningful only then
};

// Starts a digest: the RFC 1321 chaining words, both counts 0. The pending block and the word
// scratch keep whatever they held.
void Md5Init(Md5Context* ctx);

// Takes in `size` bytes. Any split of the same input over any number of calls gives the same
// digest. Whole blocks are transformed straight from `data`; only the partial blocks at either
// end are copied to the pending block.
void Md5Update(Md5Context* ctx, const void* data, size_t size);

// Writes the digest of everything taken in since Md5Init into `digest`, then sets every byte
// of the context to zero; the context must be initialised again before further use.
void Md5Finish(unsigned char digest[kMd5DigestLen], Md5Context* ctx);

// The digest of `size` bytes at `data`, by a fresh context on the stack. Returns `digest`.
unsigned char* Md5Buffer(const void* data, size_t size, unsigned char digest[kMd5DigestLen]);

// Writes the 16 bytes of `digest` as 32 lowercase hex digits, two per byte with a leading zero
// (as "%02x"), into `hex`, which holds at least kMd5HexSize characters, and terminates it.
// Returns `hex`.
char* Md5ToHex(const unsigned char digest[kMd5DigestLen], char* hex);

// Advances `first` and `second` over the same `size` bytes, as Md5Update on each would. When
// both hold the same number of pending bytes, each whole block is decoded once and the two
// compression steps run interleaved, so two digests of one stream cost about one (the ETag's
// whole-file and part digests); otherwise it is two plain updates. The contexts must differ.
void Md5UpdatePair(Md5Context* first, Md5Context* second, const void* data, size_t size);

// --- Compression steps (used by the updates and the finish; exposed for tests) --------------
// Runs the RFC 1321 compression function over each 64-byte block of `data`, in order, into
// ctx's chaining words. `size` is a positive multiple of 64. Returns data + size.
const unsigned char* Md5Transform(Md5Context* ctx, const unsigned char* data, size_t size);
// Md5Transform on `first` and on `second` over the same blocks, with each block decoded once
// (into first's word scratch) and the two states' steps interleaved. Returns data + size.
const unsigned char* Md5TransformPair(Md5Context* first, Md5Context* second,
                                      const unsigned char* data, size_t size);
