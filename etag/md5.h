// MD5 message digest (RFC 1321), written out here rather than taken from a library: a streaming
// context, a one-shot digest of a buffer, the hex text of a digest, and updates that advance two
// or more contexts over the same bytes for about the cost of one. Contexts are plain values owned
// by the caller; nothing here allocates or does I/O. The one process-wide value is the choice of
// many-context kernel, made from the processor's features before main and changed only by tests.
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

// Advances contexts[0 .. count) over the same `size` bytes, as Md5Update on each would; count is
// at most kMd5MaxLanes and the contexts are distinct. When all hold the same number of pending
// bytes, every whole block is decoded once and the compression steps of all contexts run side by
// side in vector lanes (one instruction advances up to 16 digests), so several digests of one
// stream cost little more than one; otherwise it is one plain update per context.
inline constexpr size_t kMd5MaxLanes = 16;
void Md5UpdateMany(Md5Context* const* contexts, size_t count, const void* data, size_t size);

// The vector code Md5UpdateMany runs for three or more contexts. Every kernel gives the same
// digests; they differ in speed only. At start the best one the processor has is chosen.
enum class Md5LaneKernel {
  kPortable,  // the compiler's generic vectors: SSE2 on x86-64, whatever the target has elsewhere
  kAvx2,      // 8 lanes per instruction
  kAvx512,    // 16 lanes per instruction, with rotate and three-input logic instructions
};
// Chooses `kernel`; false, changing nothing, when the processor lacks it.
bool SelectMd5LaneKernel(Md5LaneKernel kernel);
Md5LaneKernel ActiveMd5LaneKernel();
const char* Md5LaneKernelName(Md5LaneKernel kernel);  // "portable", "avx2", "avx512"

// --- Compression steps (used by the updates and the finish; exposed for tests) --------------
// Runs the RFC 1321 compression function over each 64-byte block of `data`, in order, into
// ctx's chaining words. `size` is a positive multiple of 64. Returns data + size.
const unsigned char* Md5Transform(Md5Context* ctx, const unsigned char* data, size_t size);
// Md5Transform on `first` and on `second` over the same blocks, with each block decoded once
// (into first's word scratch) and the two states' steps interleaved. Returns data + size.
const unsigned char* Md5TransformPair(Md5Context* first, Md5Context* second,
                                      const unsigned char* data, size_t size);
// Md5Transform on each of contexts[0 .. count) over the same blocks, with the active kernel.
// count is 1 to kMd5MaxLanes. Returns data + size.
const unsigned char* Md5TransformMany(Md5Context* const* contexts, size_t count,
                                      const unsigned char* data, size_t size);
