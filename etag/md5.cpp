// MD5 (RFC 1321). The compression function is straight-line code with the 64 additive
// constants as immediates: the step list is written once (MD5_STEPS) and expanded three times,
// for one state, for two states advanced together, and for a vector of 16 states, one per lane.
// The vector expansion is compiled once per instruction set and picked at start from the
// processor's features. Memory: none beyond the caller's contexts and a 16-lane state block on
// the stack; the one-shot digest keeps its context on the stack.
#include "md5.h"

#include <bit>
#include <cstring>

namespace {

constexpr uint32_t kLowCountMask = (1u << 29) - 1;  // low count wraps at 2^29 bytes
constexpr size_t kLengthField = 8;                  // 64-bit bit length closing the padding

uint32_t LoadLe32(const unsigned char* p) {  // byte by byte, so input needs no alignment
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void StoreLe32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

// Inlined into both transforms: a call per block costs more than the decode itself.
__attribute__((always_inline)) inline void DecodeBlock(const unsigned char* block,
                                                       uint32_t* words) {
  for (int i = 0; i < 16; ++i) words[i] = LoadLe32(block + 4 * i);
}

// Adds `size` to the byte count; returns how many bytes were pending before.
size_t AddCount(Md5Context* ctx, size_t size) {
  const uint32_t old_low = ctx->low_count;
  ctx->low_count = static_cast<uint32_t>((old_low + size) & kLowCountMask);
  if (ctx->low_count < old_low) ++ctx->high_count;  // the low count wrapped
  ctx->high_count += static_cast<uint32_t>(size >> 29);
  return old_low % kMd5BlockLen;
}

// One step of each round: w := x + rotl(w + f(x, y, z) + word + constant, s). The caller adds
// word and constant (`wk`), which do not depend on the previous step. The functions are written
// so that the newest word, x, enters as late as possible: G's two terms have no bit in common,
// so its OR is an ADD and the half without x is summed first.
inline uint32_t StepF(uint32_t w, uint32_t x, uint32_t y, uint32_t z, uint32_t wk, int s) {
  w += wk;
  w += z ^ (x & (y ^ z));
  return std::rotl(w, s) + x;
}
inline uint32_t StepG(uint32_t w, uint32_t x, uint32_t y, uint32_t z, uint32_t wk, int s) {
  w += wk;
  w += y & ~z;
  w += x & z;
  return std::rotl(w, s) + x;
}
inline uint32_t StepH(uint32_t w, uint32_t x, uint32_t y, uint32_t z, uint32_t wk, int s) {
  w += wk;
  w += x ^ (y ^ z);
  return std::rotl(w, s) + x;
}
inline uint32_t StepI(uint32_t w, uint32_t x, uint32_t y, uint32_t z, uint32_t wk, int s) {
  w += wk;
  w += y ^ (x | ~z);
  return std::rotl(w, s) + x;
}

// The 64 steps of RFC 1321 in order: function, the four words in rotating roles, message word,
// rotation, constant (floor(|sin(i + 1)| * 2^32)).
#define MD5_STEPS(S)                    \
  S(F, a, b, c, d, 0, 7, 0xd76aa478u)   \
  S(F, d, a, b, c, 1, 12, 0xe8c7b756u)  \
  S(F, c, d, a, b, 2, 17, 0x242070dbu)  \
  S(F, b, c, d, a, 3, 22, 0xc1bdceeeu)  \
  S(F, a, b, c, d, 4, 7, 0xf57c0fafu)   \
  S(F, d, a, b, c, 5, 12, 0x4787c62au)  \
  S(F, c, d, a, b, 6, 17, 0xa8304613u)  \
  S(F, b, c, d, a, 7, 22, 0xfd469501u)  \
  S(F, a, b, c, d, 8, 7, 0x698098d8u)   \
  S(F, d, a, b, c, 9, 12, 0x8b44f7afu)  \
  S(F, c, d, a, b, 10, 17, 0xffff5bb1u) \
  S(F, b, c, d, a, 11, 22, 0x895cd7beu) \
  S(F, a, b, c, d, 12, 7, 0x6b901122u)  \
  S(F, d, a, b, c, 13, 12, 0xfd987193u) \
  S(F, c, d, a, b, 14, 17, 0xa679438eu) \
  S(F, b, c, d, a, 15, 22, 0x49b40821u) \
  S(G, a, b, c, d, 1, 5, 0xf61e2562u)   \
  S(G, d, a, b, c, 6, 9, 0xc040b340u)   \
  S(G, c, d, a, b, 11, 14, 0x265e5a51u) \
  S(G, b, c, d, a, 0, 20, 0xe9b6c7aau)  \
  S(G, a, b, c, d, 5, 5, 0xd62f105du)   \
  S(G, d, a, b, c, 10, 9, 0x02441453u)  \
  S(G, c, d, a, b, 15, 14, 0xd8a1e681u) \
  S(G, b, c, d, a, 4, 20, 0xe7d3fbc8u)  \
  S(G, a, b, c, d, 9, 5, 0x21e1cde6u)   \
  S(G, d, a, b, c, 14, 9, 0xc33707d6u)  \
  S(G, c, d, a, b, 3, 14, 0xf4d50d87u)  \
  S(G, b, c, d, a, 8, 20, 0x455a14edu)  \
  S(G, a, b, c, d, 13, 5, 0xa9e3e905u)  \
  S(G, d, a, b, c, 2, 9, 0xfcefa3f8u)   \
  S(G, c, d, a, b, 7, 14, 0x676f02d9u)  \
  S(G, b, c, d, a, 12, 20, 0x8d2a4c8au) \
  S(H, a, b, c, d, 5, 4, 0xfffa3942u)   \
  S(H, d, a, b, c, 8, 11, 0x8771f681u)  \
  S(H, c, d, a, b, 11, 16, 0x6d9d6122u) \
  S(H, b, c, d, a, 14, 23, 0xfde5380cu) \
  S(H, a, b, c, d, 1, 4, 0xa4beea44u)   \
  S(H, d, a, b, c, 4, 11, 0x4bdecfa9u)  \
  S(H, c, d, a, b, 7, 16, 0xf6bb4b60u)  \
  S(H, b, c, d, a, 10, 23, 0xbebfbc70u) \
  S(H, a, b, c, d, 13, 4, 0x289b7ec6u)  \
  S(H, d, a, b, c, 0, 11, 0xeaa127fau)  \
  S(H, c, d, a, b, 3, 16, 0xd4ef3085u)  \
  S(H, b, c, d, a, 6, 23, 0x04881d05u)  \
  S(H, a, b, c, d, 9, 4, 0xd9d4d039u)   \
  S(H, d, a, b, c, 12, 11, 0xe6db99e5u) \
  S(H, c, d, a, b, 15, 16, 0x1fa27cf8u) \
  S(H, b, c, d, a, 2, 23, 0xc4ac5665u)  \
  S(I, a, b, c, d, 0, 6, 0xf4292244u)   \
  S(I, d, a, b, c, 7, 10, 0x432aff97u)  \
  S(I, c, d, a, b, 14, 15, 0xab9423a7u) \
  S(I, b, c, d, a, 5, 21, 0xfc93a039u)  \
  S(I, a, b, c, d, 12, 6, 0x655b59c3u)  \
  S(I, d, a, b, c, 3, 10, 0x8f0ccc92u)  \
  S(I, c, d, a, b, 10, 15, 0xffeff47du) \
  S(I, b, c, d, a, 1, 21, 0x85845dd1u)  \
  S(I, a, b, c, d, 8, 6, 0x6fa87e4fu)   \
  S(I, d, a, b, c, 15, 10, 0xfe2ce6e0u) \
  S(I, c, d, a, b, 6, 15, 0xa3014314u)  \
  S(I, b, c, d, a, 13, 21, 0x4e0811a1u) \
  S(I, a, b, c, d, 4, 6, 0xf7537e82u)   \
  S(I, d, a, b, c, 11, 10, 0xbd3af235u) \
  S(I, c, d, a, b, 2, 15, 0x2ad7d2bbu)  \
  S(I, b, c, d, a, 9, 21, 0xeb86d391u)

#define MD5_STEP_ONE(f, w, x, y, z, i, s, k) w = Step##f(w, x, y, z, m[i] + k, s);
// Both states take the same message word and constant; their two chains are independent, so the
// processor overlaps them.
#define MD5_STEP_TWO(f, w, x, y, z, i, s, k)       \
  {                                                \
    const uint32_t wk = m[i] + k;                  \
    w##1 = Step##f(w##1, x##1, y##1, z##1, wk, s); \
    w##2 = Step##f(w##2, x##2, y##2, z##2, wk, s); \
  }

// --- Many states in vector lanes -------------------------------------------------------------
// Lane i of each vector holds state i; every lane takes the same message word and constant, so
// one vector instruction does one step of 16 digests. The same steps as above, on vectors
// (GCC's vector extensions; a scalar operand is applied to every lane).
typedef uint32_t LaneVector __attribute__((vector_size(4 * kMd5MaxLanes)));

// Written as shifts so that the compiler picks the rotate instruction where there is one.
#define MD5_LANE_ROTL(v, s) (((v) << (s)) | ((v) >> (32 - (s))))
// The round functions as macros: a function returning a vector wider than the baseline's
// registers would change the calling convention between the builds for each instruction set.
#define MD5_LANE_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_LANE_G(x, y, z) (((x) & (z)) | ((y) & ~(z)))
#define MD5_LANE_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_LANE_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define MD5_LANE_STEP(f, w, x, y, z, i, s, k) \
  {                                           \
    w += m[i] + k;                            \
    w += MD5_LANE_##f(x, y, z);               \
    w = MD5_LANE_ROTL(w, s) + x;              \
  }

// The chaining words of up to 16 states, word by word: abcd[0] holds every state's A.
struct LaneStates {
  LaneVector abcd[4];
};

// The compression function over `size` bytes (a multiple of 64) for every lane at once. Inlined
// into one entry point per instruction set, each compiled for that set.
__attribute__((always_inline)) inline void TransformLanes(LaneStates* states,
                                                          const unsigned char* data, size_t size) {
  LaneVector a = states->abcd[0], b = states->abcd[1], c = states->abcd[2], d = states->abcd[3];
  uint32_t m[16];
  for (const unsigned char* end = data + size; data < end; data += kMd5BlockLen) {
    DecodeBlock(data, m);
    const LaneVector a0 = a, b0 = b, c0 = c, d0 = d;
    MD5_STEPS(MD5_LANE_STEP)
    a += a0;
    b += b0;
    c += c0;
    d += d0;
  }
  states->abcd[0] = a;
  states->abcd[1] = b;
  states->abcd[2] = c;
  states->abcd[3] = d;
}

void TransformLanesPortable(LaneStates* states, const unsigned char* data, size_t size) {
  TransformLanes(states, data, size);
}
#if defined(__x86_64__)
__attribute__((target("avx2"))) void TransformLanesAvx2(LaneStates* states,
                                                        const unsigned char* data, size_t size) {
  TransformLanes(states, data, size);
}
__attribute__((target("avx512f,avx512vl"))) void TransformLanesAvx512(LaneStates* states,
                                                                      const unsigned char* data,
                                                                      size_t size) {
  TransformLanes(states, data, size);
}
#endif

bool HaveLaneKernel(Md5LaneKernel kernel) {
#if defined(__x86_64__)
  __builtin_cpu_init();
  switch (kernel) {
    case Md5LaneKernel::kPortable:
      return true;
    case Md5LaneKernel::kAvx2:
      return __builtin_cpu_supports("avx2") != 0;
    case Md5LaneKernel::kAvx512:
      return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512vl") != 0;
  }
  return false;
#else
  return kernel == Md5LaneKernel::kPortable;
#endif
}

Md5LaneKernel BestLaneKernel() {
  if (HaveLaneKernel(Md5LaneKernel::kAvx512)) return Md5LaneKernel::kAvx512;
  if (HaveLaneKernel(Md5LaneKernel::kAvx2)) return Md5LaneKernel::kAvx2;
  return Md5LaneKernel::kPortable;
}

// Set before main from the processor's features; changed only by SelectMd5LaneKernel (tests and
// the benchmark driver).
Md5LaneKernel g_laneKernel = BestLaneKernel();

}  // namespace

void Md5Init(Md5Context* ctx) {
  ctx->low_count = 0;
  ctx->high_count = 0;
  ctx->a = 0x67452301u;
  ctx->b = 0xefcdab89u;
  ctx->c = 0x98badcfeu;
  ctx->d = 0x10325476u;
}

const unsigned char* Md5Transform(Md5Context* ctx, const unsigned char* data, size_t size) {
  // The chaining words stay in registers across the blocks of one call.
  uint32_t a = ctx->a, b = ctx->b, c = ctx->c, d = ctx->d;
  uint32_t* m = ctx->words;
  for (const unsigned char* end = data + size; data < end; data += kMd5BlockLen) {
    DecodeBlock(data, m);
    const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;
    MD5_STEPS(MD5_STEP_ONE)
    a += a0;
    b += b0;
    c += c0;
    d += d0;
  }
  ctx->a = a;
  ctx->b = b;
  ctx->c = c;
  ctx->d = d;
  return data;
}

const unsigned char* Md5TransformPair(Md5Context* first, Md5Context* second,
                                      const unsigned char* data, size_t size) {
  uint32_t a1 = first->a, b1 = first->b, c1 = first->c, d1 = first->d;
  uint32_t a2 = second->a, b2 = second->b, c2 = second->c, d2 = second->d;
  uint32_t* m = first->words;
  for (const unsigned char* end = data + size; data < end; data += kMd5BlockLen) {
    DecodeBlock(data, m);
    const uint32_t sa1 = a1, sb1 = b1, sc1 = c1, sd1 = d1;
    const uint32_t sa2 = a2, sb2 = b2, sc2 = c2, sd2 = d2;
    MD5_STEPS(MD5_STEP_TWO)
    a1 += sa1;
    b1 += sb1;
    c1 += sc1;
    d1 += sd1;
    a2 += sa2;
    b2 += sb2;
    c2 += sc2;
    d2 += sd2;
  }
  first->a = a1;
  first->b = b1;
  first->c = c1;
  first->d = d1;
  second->a = a2;
  second->b = b2;
  second->c = c2;
  second->d = d2;
  return data;
}

void Md5Update(Md5Context* ctx, const void* data, size_t size) {
  if (size == 0) return;  // also keeps a null `data` away from memcpy
  const unsigned char* in = static_cast<const unsigned char*>(data);
  const size_t used = AddCount(ctx, size);
  if (used != 0) {
    const size_t free = kMd5BlockLen - used;
    if (size < free) {
      memcpy(ctx->pending + used, in, size);
      return;
    }
    memcpy(ctx->pending + used, in, free);
    Md5Transform(ctx, ctx->pending, kMd5BlockLen);
    in += free;
    size -= free;
  }
  const size_t whole = size - size % kMd5BlockLen;
  if (whole != 0) in = Md5Transform(ctx, in, whole);  // straight from the caller's memory
  memcpy(ctx->pending, in, size - whole);
}

void Md5UpdatePair(Md5Context* first, Md5Context* second, const void* data, size_t size) {
  const unsigned char* in = static_cast<const unsigned char*>(data);
  const size_t used = first->low_count % kMd5BlockLen;
  if (used != second->low_count % kMd5BlockLen) {  // blocks fall differently: no sharing
    Md5Update(first, in, size);
    Md5Update(second, in, size);
    return;
  }
  // Top up both pending blocks (their contents differ, so each is transformed alone), then share
  // the whole blocks, then leave the same tail pending in both.
  size_t head = used == 0 ? 0 : kMd5BlockLen - used;
  if (head > size) head = size;
  Md5Update(first, in, head);
  Md5Update(second, in, head);
  in += head;
  size -= head;
  const size_t whole = size - size % kMd5BlockLen;
  if (whole != 0) {
    AddCount(first, whole);
    AddCount(second, whole);
    in = Md5TransformPair(first, second, in, whole);
  }
  Md5Update(first, in, size - whole);
  Md5Update(second, in, size - whole);
}

const unsigned char* Md5TransformMany(Md5Context* const* contexts, size_t count,
                                      const unsigned char* data, size_t size) {
  LaneStates states = {};  // unused lanes digest along from zero and are dropped
  for (size_t i = 0; i < count; ++i) {
    states.abcd[0][i] = contexts[i]->a;
    states.abcd[1][i] = contexts[i]->b;
    states.abcd[2][i] = contexts[i]->c;
    states.abcd[3][i] = contexts[i]->d;
  }
  switch (g_laneKernel) {
#if defined(__x86_64__)
    case Md5LaneKernel::kAvx512:
      TransformLanesAvx512(&states, data, size);
      break;
    case Md5LaneKernel::kAvx2:
      TransformLanesAvx2(&states, data, size);
      break;
#endif
    default:
      TransformLanesPortable(&states, data, size);
      break;
  }
  for (size_t i = 0; i < count; ++i) {
    contexts[i]->a = states.abcd[0][i];
    contexts[i]->b = states.abcd[1][i];
    contexts[i]->c = states.abcd[2][i];
    contexts[i]->d = states.abcd[3][i];
  }
  return data + size;
}

void Md5UpdateMany(Md5Context* const* contexts, size_t count, const void* data, size_t size) {
  if (count == 1) return Md5Update(contexts[0], data, size);
  if (count == 2) return Md5UpdatePair(contexts[0], contexts[1], data, size);
  const unsigned char* in = static_cast<const unsigned char*>(data);
  const size_t used = contexts[0]->low_count % kMd5BlockLen;
  bool same = true;
  for (size_t i = 1; i < count; ++i) same = same && contexts[i]->low_count % kMd5BlockLen == used;
  if (!same) {  // blocks fall differently: no sharing
    for (size_t i = 0; i < count; ++i) Md5Update(contexts[i], in, size);
    return;
  }
  // As in the pair: top up the pending blocks one by one, share the whole blocks, leave the
  // same tail pending in each.
  size_t head = used == 0 ? 0 : kMd5BlockLen - used;
  if (head > size) head = size;
  for (size_t i = 0; i < count; ++i) Md5Update(contexts[i], in, head);
  in += head;
  size -= head;
  const size_t whole = size - size % kMd5BlockLen;
  if (whole != 0) {
    for (size_t i = 0; i < count; ++i) AddCount(contexts[i], whole);
    in = Md5TransformMany(contexts, count, in, whole);
  }
  for (size_t i = 0; i < count; ++i) Md5Update(contexts[i], in, size - whole);
}

bool SelectMd5LaneKernel(Md5LaneKernel kernel) {
  if (!HaveLaneKernel(kernel)) return false;
  g_laneKernel = kernel;
  return true;
}

Md5LaneKernel ActiveMd5LaneKernel() { return g_laneKernel; }

const char* Md5LaneKernelName(Md5LaneKernel kernel) {
  switch (kernel) {
    case Md5LaneKernel::kAvx512:
      return "avx512";
    case Md5LaneKernel::kAvx2:
      return "avx2";
    case Md5LaneKernel::kPortable:
      break;
  }
  return "portable";
}

void Md5Finish(unsigned char digest[kMd5DigestLen], Md5Context* ctx) {
  size_t used = ctx->low_count % kMd5BlockLen;
  ctx->pending[used++] = 0x80;
  size_t free = kMd5BlockLen - used;
  if (free < kLengthField) {  // no room for the length: pad this block out, length goes in the next
    memset(ctx->pending + used, 0, free);
    Md5Transform(ctx, ctx->pending, kMd5BlockLen);
    used = 0;
    free = kMd5BlockLen;
  }
  memset(ctx->pending + used, 0, free - kLengthField);
  // The low count is below 2^29, so shifted by 3 it is the low word of the bit length, and the
  // high count is exactly the high word.
  StoreLe32(ctx->pending + 56, ctx->low_count << 3);
  StoreLe32(ctx->pending + 60, ctx->high_count);
  Md5Transform(ctx, ctx->pending, kMd5BlockLen);
  StoreLe32(digest, ctx->a);
  StoreLe32(digest + 4, ctx->b);
  StoreLe32(digest + 8, ctx->c);
  StoreLe32(digest + 12, ctx->d);
  memset(ctx, 0, sizeof(*ctx));
}

unsigned char* Md5Buffer(const void* data, size_t size, unsigned char digest[kMd5DigestLen]) {
  Md5Context ctx;
  Md5Init(&ctx);
  Md5Update(&ctx, data, size);
  Md5Finish(digest, &ctx);
  return digest;
}

char* Md5ToHex(const unsigned char digest[kMd5DigestLen], char* hex) {
  static constexpr char kDigits[] = "0123456789abcdef";  // the digits of "%02x"
  for (size_t i = 0; i < kMd5DigestLen; ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 0x0f];
  }
  hex[2 * kMd5DigestLen] = '\0';
  return hex;
}
