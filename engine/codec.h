// The codec choice and CRC-32. Raw deflate and CRC-32 come from two libraries: zlib, always built
// and the reference, and Intel ISA-L, faster, the default when built in. The default is settled
// once per process (the build, then the environment) and never changes; a run may choose the
// other backend for itself (its options), so several runs with different choices can work at
// once. Nothing here has state that changes after the first call.
#pragma once

#include <cstddef>
#include <cstdint>

enum class CodecBackend { kZlib, kIsal };

// The process's default backend: ISA-L when built in, unless the environment variable
// VORMIC_CODEC says "zlib" (read once, at the first call; thread-safe).
CodecBackend DefaultCodec();
bool CodecAvailable(CodecBackend backend);
const char* CodecName(CodecBackend backend);  // "zlib", "ISA-L"

// CRC-32 (the ZIP/gzip polynomial, reflected) of `data` continued from `crc`; 0 starts. Every
// backend gives zlib's crc32() value; Crc32() uses the default backend, Crc32With() the one named
// (zlib when that one is not built in).
uint32_t Crc32(uint32_t crc, const unsigned char* data, size_t size);
uint32_t Crc32With(CodecBackend backend, uint32_t crc, const unsigned char* data, size_t size);

// bzip2's block CRC of `data` continued from `crc` (0 starts): the CRC-32 polynomial taken most
// significant bit first (not reflected), started from all ones and complemented at the end, so
// "123456789" gives 0xFC891918. ISA-L's crc32_ieee when built in, else a byte-wise table.
uint32_t Bzip2Crc(uint32_t crc, const unsigned char* data, size_t size);

// Writes the decoders of the other methods and their library versions ("Deflate64 (built in),
// bzip2 (libbz2 1.0.8), ...") into `text` (`size` bytes). False when it does not fit.
bool FormatDecoderVersions(char* text, size_t size);
