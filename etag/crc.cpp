// Reflected CRCs of width 32 and 64 from one description: a polynomial, from which every table
// and folding constant is derived at compile time. Memory: three sets of 8 x 256 table entries
// (48 KiB, read-only), nothing per call beyond the stack.
//
// Notation. A reflected CRC of width W holds polynomial coefficients lowest bit first: bit k of
// the W-bit register is the coefficient of x^(W-1-k), and bit k of a little-endian load of the
// input is the k-th bit of the stream, the earlier bits being the higher powers. The register
// after a message M, started at 0, is M(x) * x^W mod P(x); the initial value and the final XOR
// of all ones are applied around that (CrcUpdate).
//
// Folding. Any part of the message may be replaced by another polynomial congruent to it modulo
// P at the same place without changing the CRC. A 16-byte block X at some place equals, D bits
// further on, X * x^D. Split X into its two 64-bit halves, A (the first 8 bytes, the higher
// powers) and B: X * x^D = A * x^(D+64) + B * x^D, congruent to A * (x^(D+64) mod P) +
// B * (x^D mod P), which has fewer than 128 bits and is XORed into the block D bits on. The
// carry-less product of two reflected 64-bit values is their product times x (its top bit is
// always 0, one place off from a 128-bit reflected value), so the constants multiplied in are
// x^(D+63) mod P for A and x^(D-1) mod P for B. Four 16-byte accumulators are folded 512 bits
// at a time, then into one (D = 384, 256, 128), then the last whole blocks 128 bits at a time;
// the 16 bytes left and the tail of under 16 bytes go through the table, which finishes the
// reduction without a Barrett step. The initial register is XORed into the first W bits. With
// AVX-512's VPCLMULQDQ, four 64-byte accumulators (16 blocks) are folded 2048 bits at a time
// first, then into one 64-byte value (D = 1536, 1024, 512), whose four blocks go on as above.
//
// Combining. CRC(A B) = CRC(A) * x^(8 |B|) xor CRC(B) mod P, since the initial value and the
// final XOR are equal (as zlib's crc32_combine). x^(8n) comes from the powers x^(2^k) by
// square-and-multiply; the multiplication is bit-serial in the reflected form.
#include "crc.h"

#include <cstring>
#include <initializer_list>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

constexpr int kFoldDistances = 16;    // 128 to 2048 bits in steps of 128
constexpr int kPowerCount = 67;       // x^(2^k) for k = 0 .. 66: 8 times a 64-bit length
constexpr size_t kClmulMinSize = 64;  // four accumulators' worth; shorter inputs take the table
constexpr size_t kWideMinSize = 256;  // four 64-byte accumulators, for VPCLMULQDQ

struct CrcParams {
  int width;
  uint64_t mask;                     // the width's bits
  uint64_t reflected;                // the polynomial without x^W, reflected in the width
  uint64_t table[8][256];            // table[k][i]: register after byte i and then k zero bytes
  uint64_t fold[kFoldDistances][2];  // D = 128 (j + 1): {x^(D+63), x^(D-1)} mod P, in 64 bits
  uint64_t powers[kPowerCount];      // x^(2^k) mod P, in the width
};

constexpr uint64_t Reflect(uint64_t value, int width) {
  uint64_t out = 0;
  for (int i = 0; i < width; ++i) out |= ((value >> i) & 1) << (width - 1 - i);
  return out;
}

// v * x mod P: a shift towards the higher powers is a right shift in the reflected form, and
// the x^W that falls out is replaced by the rest of P.
constexpr uint64_t TimesX(uint64_t v, uint64_t reflected) {
  return (v & 1) != 0 ? (v >> 1) ^ reflected : v >> 1;
}

constexpr uint64_t One(int width) { return uint64_t{1} << (width - 1); }  // x^0

constexpr uint64_t XPow(uint64_t n, int width, uint64_t reflected) {
  uint64_t v = One(width);
  for (uint64_t i = 0; i < n; ++i) v = TimesX(v, reflected);
  return v;
}

// a * b mod P. For each power of a from x^0 up, add b when a has it, b advancing by x.
constexpr uint64_t MultModP(uint64_t a, uint64_t b, int width, uint64_t reflected) {
  uint64_t product = 0;
  for (uint64_t m = One(width); m != 0 && a != 0; m >>= 1) {
    if ((a & m) != 0) {
      product ^= b;
      a ^= m;
    }
    b = TimesX(b, reflected);
  }
  return product;
}

constexpr CrcParams MakeParams(int width, uint64_t polynomial) {
  CrcParams p{};
  p.width = width;
  p.mask = width == 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
  p.reflected = Reflect(polynomial, width);
  for (uint64_t i = 0; i < 256; ++i) {
    uint64_t v = i;
    for (int bit = 0; bit < 8; ++bit) v = TimesX(v, p.reflected);
    p.table[0][i] = v;
  }
  for (int k = 1; k < 8; ++k) {
    for (int i = 0; i < 256; ++i) {
      const uint64_t v = p.table[k - 1][i];
      p.table[k][i] = (v >> 8) ^ p.table[0][v & 0xff];
    }
  }
  // In the carry-less products a constant's bit k stands for x^(63-k): a value of the width
  // moves to the top of the 64 bits.
  for (int j = 0; j < kFoldDistances; ++j) {
    const uint64_t distance = 128 * static_cast<uint64_t>(j + 1);
    p.fold[j][0] = XPow(distance + 63, width, p.reflected) << (64 - width);
    p.fold[j][1] = XPow(distance - 1, width, p.reflected) << (64 - width);
  }
  p.powers[0] = TimesX(One(width), p.reflected);  // x^1
  for (int k = 1; k < kPowerCount; ++k) {
    p.powers[k] = MultModP(p.powers[k - 1], p.powers[k - 1], width, p.reflected);
  }
  return p;
}

constexpr CrcParams kCrc32Params = MakeParams(32, 0x04c11db7);
constexpr CrcParams kCrc32cParams = MakeParams(32, 0x1edc6f41);
constexpr CrcParams kCrc64NvmeParams = MakeParams(64, 0xad93d23594c93659);

const CrcParams& Params(CrcKind kind) {
  switch (kind) {
    case CrcKind::kCrc32:
      return kCrc32Params;
    case CrcKind::kCrc32c:
      return kCrc32cParams;
    case CrcKind::kCrc64Nvme:
      break;
  }
  return kCrc64NvmeParams;
}

uint64_t LoadLe64(const unsigned char* p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);  // x86-64 and the other targets Debian builds for here: little-endian
  return v;
}

// The register after `size` bytes, from `reg`, 8 bytes per step while there are 8.
uint64_t TableUpdate(const CrcParams& p, uint64_t reg, const unsigned char* data, size_t size) {
  for (; size >= 8; data += 8, size -= 8) {
    const uint64_t v = reg ^ LoadLe64(data);
    reg = p.table[7][v & 0xff] ^ p.table[6][(v >> 8) & 0xff] ^ p.table[5][(v >> 16) & 0xff] ^
          p.table[4][(v >> 24) & 0xff] ^ p.table[3][(v >> 32) & 0xff] ^
          p.table[2][(v >> 40) & 0xff] ^ p.table[1][(v >> 48) & 0xff] ^ p.table[0][v >> 56];
  }
  for (; size > 0; ++data, --size) reg = p.table[0][(reg ^ *data) & 0xff] ^ (reg >> 8);
  return reg;
}

#if defined(__x86_64__)
#define CRC_CLMUL_TARGET __attribute__((target("pclmul,sse2")))

// X * x^D mod P, reduced to under 128 bits, with D's pair of constants in `k`.
CRC_CLMUL_TARGET inline __m128i Fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

CRC_CLMUL_TARGET __m128i FoldConstants(const CrcParams& p, int j) {
  return _mm_set_epi64x(static_cast<long long>(p.fold[j][1]), static_cast<long long>(p.fold[j][0]));
}

CRC_CLMUL_TARGET inline __m128i Load16(const unsigned char* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// The register after the four blocks x0 .. x3 (64 bytes, x0 first) and then `size` bytes.
CRC_CLMUL_TARGET uint64_t FinishFolds(const CrcParams& p, __m128i x0, __m128i x1, __m128i x2,
                                      __m128i x3, const unsigned char* data, size_t size) {
  const __m128i k128 = FoldConstants(p, 0);
  __m128i x =
      _mm_xor_si128(_mm_xor_si128(Fold(x0, FoldConstants(p, 2)), Fold(x1, FoldConstants(p, 1))),
                    _mm_xor_si128(Fold(x2, k128), x3));
  for (; size >= 16; data += 16, size -= 16) x = _mm_xor_si128(Fold(x, k128), Load16(data));
  unsigned char last[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(last), x);
  return TableUpdate(p, TableUpdate(p, 0, last, sizeof last), data, size);
}

// The register after `size` (at least kClmulMinSize) bytes, from `reg`.
CRC_CLMUL_TARGET uint64_t ClmulUpdate(const CrcParams& p, uint64_t reg, const unsigned char* data,
                                      size_t size) {
  __m128i x0 = _mm_xor_si128(Load16(data), _mm_cvtsi64_si128(static_cast<long long>(reg)));
  __m128i x1 = Load16(data + 16);
  __m128i x2 = Load16(data + 32);
  __m128i x3 = Load16(data + 48);
  data += 64;
  size -= 64;
  const __m128i k512 = FoldConstants(p, 3);
  for (; size >= 64; data += 64, size -= 64) {
    x0 = _mm_xor_si128(Fold(x0, k512), Load16(data));
    x1 = _mm_xor_si128(Fold(x1, k512), Load16(data + 16));
    x2 = _mm_xor_si128(Fold(x2, k512), Load16(data + 32));
    x3 = _mm_xor_si128(Fold(x3, k512), Load16(data + 48));
  }
  return FinishFolds(p, x0, x1, x2, x3, data, size);
}

#define CRC_WIDE_TARGET __attribute__((target("avx512f,vpclmulqdq,pclmul,sse2")))

// Each of the four blocks of `x` folded D bits on (D's constants in every lane of `k`), XORed
// with `next`.
CRC_WIDE_TARGET inline __m512i FoldWide(__m512i x, __m512i k, __m512i next) {
  return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, k, 0x00),
                                   _mm512_clmulepi64_epi128(x, k, 0x11), next, 0x96);  // a^b^c
}

CRC_WIDE_TARGET inline __m512i Load64(const unsigned char* at) { return _mm512_loadu_si512(at); }

CRC_WIDE_TARGET __m512i WideConstants(const CrcParams& p, int j) {
  const auto lo = static_cast<long long>(p.fold[j][0]), hi = static_cast<long long>(p.fold[j][1]);
  return _mm512_set_epi64(hi, lo, hi, lo, hi, lo, hi, lo);
}

// Block i (0 to 3) of `x`. (The masked form: g++ 12 warns of the plain one's undefined filler.)
CRC_WIDE_TARGET inline __m128i Block(__m512i x, int i) {
  switch (i) {
    case 0:
      return _mm512_maskz_extracti32x4_epi32(0xf, x, 0);
    case 1:
      return _mm512_maskz_extracti32x4_epi32(0xf, x, 1);
    case 2:
      return _mm512_maskz_extracti32x4_epi32(0xf, x, 2);
  }
  return _mm512_maskz_extracti32x4_epi32(0xf, x, 3);
}

// ClmulUpdate on 64-byte vectors; `size` is at least kWideMinSize.
CRC_WIDE_TARGET uint64_t WideUpdate(const CrcParams& p, uint64_t reg, const unsigned char* data,
                                    size_t size) {
  const __m512i first = _mm512_zextsi128_si512(_mm_cvtsi64_si128(static_cast<long long>(reg)));
  __m512i x0 = _mm512_xor_si512(Load64(data), first);
  __m512i x1 = Load64(data + 64);
  __m512i x2 = Load64(data + 128);
  __m512i x3 = Load64(data + 192);
  data += 256;
  size -= 256;
  const __m512i k2048 = WideConstants(p, 15);
  for (; size >= 256; data += 256, size -= 256) {
    x0 = FoldWide(x0, k2048, Load64(data));
    x1 = FoldWide(x1, k2048, Load64(data + 64));
    x2 = FoldWide(x2, k2048, Load64(data + 128));
    x3 = FoldWide(x3, k2048, Load64(data + 192));
  }
  const __m512i k512 = WideConstants(p, 3);
  __m512i x = FoldWide(x0, WideConstants(p, 11), FoldWide(x1, WideConstants(p, 7), x3));
  x = FoldWide(x2, k512, x);
  for (; size >= 64; data += 64, size -= 64) x = FoldWide(x, k512, Load64(data));
  return FinishFolds(p, Block(x, 0), Block(x, 1), Block(x, 2), Block(x, 3), data, size);
}

bool HaveKernel(CrcKernel kernel) {
  switch (kernel) {
    case CrcKernel::kTable:
      return true;
    case CrcKernel::kClmul:
      return __builtin_cpu_supports("pclmul");
    case CrcKernel::kWide:
      return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("avx512f") &&
             __builtin_cpu_supports("vpclmulqdq");
  }
  return false;
}
#else
bool HaveKernel(CrcKernel kernel) { return kernel == CrcKernel::kTable; }
#endif

CrcKernel BestCrcKernel() {
  for (CrcKernel kernel : {CrcKernel::kWide, CrcKernel::kClmul}) {
    if (HaveKernel(kernel)) return kernel;
  }
  return CrcKernel::kTable;
}

// Chosen before main; tests change it only while no computation runs.
CrcKernel g_crcKernel = BestCrcKernel();

}  // namespace

size_t CrcWidthBytes(CrcKind kind) { return static_cast<size_t>(Params(kind).width / 8); }

uint64_t CrcUpdate(CrcKind kind, uint64_t crc, const void* data, size_t size) {
  const CrcParams& p = Params(kind);
  const auto* bytes = static_cast<const unsigned char*>(data);
  uint64_t reg = ~crc & p.mask;
#if defined(__x86_64__)
  if (size >= kWideMinSize && g_crcKernel == CrcKernel::kWide) {
    return ~WideUpdate(p, reg, bytes, size) & p.mask;
  }
  if (size >= kClmulMinSize && g_crcKernel != CrcKernel::kTable) {
    return ~ClmulUpdate(p, reg, bytes, size) & p.mask;
  }
#endif
  reg = TableUpdate(p, reg, bytes, size);
  return ~reg & p.mask;
}

uint64_t CrcCombine(CrcKind kind, uint64_t crc_a, uint64_t crc_b, uint64_t length_b) {
  const CrcParams& p = Params(kind);
  uint64_t shift = One(p.width);  // x^(8 * length_b), from the bits of the length
  for (int k = 3; length_b != 0; ++k, length_b >>= 1) {
    if ((length_b & 1) != 0) shift = MultModP(p.powers[k], shift, p.width, p.reflected);
  }
  return MultModP(crc_a, shift, p.width, p.reflected) ^ crc_b;
}

bool SelectCrcKernel(CrcKernel kernel) {
  if (!HaveKernel(kernel)) return false;
  g_crcKernel = kernel;
  return true;
}

CrcKernel ActiveCrcKernel() { return g_crcKernel; }

const char* CrcKernelName(CrcKernel kernel) {
  switch (kernel) {
    case CrcKernel::kClmul:
      return "clmul";
    case CrcKernel::kWide:
      return "avx512";
    case CrcKernel::kTable:
      break;
  }
  return "table";
}
