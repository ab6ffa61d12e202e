// The three CRCs object stores show: CRC-32 (ZIP's and zlib's), CRC-32C (Castagnoli, iSCSI) and
// CRC-64/NVME, as running values, plus the combination of two CRCs into the CRC of the two
// inputs one after the other. No state but the choice of kernel, made from the processor's
// features before main and changed only by tests; every function is safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// Each is a reflected CRC whose initial value and final XOR are all ones (the CRC of nothing is
// 0), so a running value starts at 0 and every value is the one a store shows.
enum class CrcKind {
  kCrc32,      // polynomial 0x04c11db7; "123456789" gives 0xcbf43926
  kCrc32c,     // polynomial 0x1edc6f41; "123456789" gives 0xe3069283
  kCrc64Nvme,  // polynomial 0xad93d23594c93659; "123456789" gives 0xae8b14860a799888
};

// Bytes of the value as a store shows it (big-endian): 4, or 8 for CRC-64/NVME.
size_t CrcWidthBytes(CrcKind kind);

// The CRC of the bytes `crc` stands for followed by `size` bytes at `data`; `crc` is 0 to start.
// Any split of the input over any number of calls gives the same value.
uint64_t CrcUpdate(CrcKind kind, uint64_t crc, const void* data, size_t size);

// The CRC of A followed by B, from crc_a = CRC(A), crc_b = CRC(B) and B's length in bytes,
// without the bytes: the CRC of each part of a file and of the whole come from the CRCs of
// the pieces between part edges. Costs about 64 shifts per set bit of `length_b`.
uint64_t CrcCombine(CrcKind kind, uint64_t crc_a, uint64_t crc_b, uint64_t length_b);

// How CrcUpdate runs on inputs of 64 bytes and more; shorter ones always take the table.
enum class CrcKernel {
  kTable,  // 8 tables of 256 entries, 8 bytes per step: any processor
  kClmul,  // carry-less multiplication (x86-64 PCLMULQDQ) folding 64 bytes per step
  kWide,   // the same on AVX-512 vectors (VPCLMULQDQ), 256 bytes per step from 256 bytes on
};
// Chooses `kernel` for every kind; false, changing nothing, when the processor lacks it.
bool SelectCrcKernel(CrcKernel kernel);
CrcKernel ActiveCrcKernel();
const char* CrcKernelName(CrcKernel kernel);  // "table", "clmul", "avx512"
