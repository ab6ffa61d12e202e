// Entry data check: decompresses one deflated entry straight from the archive stream, sums the
// CRC-32 of its data, compares it with an external file as it goes, reports progress every
// 16 KiB of compressed input and honours the stop request there. Uses the archive stream of
// engine_state.h; its progress text and 16 KiB buffers are static, so calls never overlap.
#pragma once

#include <cstdint>
#include <cstdio>

inline constexpr int kEntryOk = 0;           // stream end reached; CRC complete; external equal
inline constexpr int kEntryReadError = -1;   // the archive stream reported a read error
inline constexpr int kEntryBadData = -3;     // corrupt, dictionary asked for, or input ran out
inline constexpr int kEntryNoMemory = -4;    // the inflater ran out of memory
inline constexpr int kEntryDiffers = -92;    // external file shorter or different
inline constexpr int kEntryStopped = -93;    // the stop request was seen at a progress line
inline constexpr size_t kInflateChunk = 16384;

// Inflates `compressed_length` bytes of g_archive from its current position.
//   0    the deflate stream ended; *crc holds the CRC-32 of all of its output
//   -1   read error on the archive
//   -3   bad data, a preset dictionary asked for, or the bytes ran out before the stream's end
//   -4   out of memory
//   -92  `external` (when not null) ended early, failed to read, or differs
//   -93  stop request seen at a progress line (after the log line "Stopped")
//   else the failing inflateInit2 result
// Reports "<entry_name> (N remaining)" before each chunk is inflated. Leaves g_archive after the
// last chunk read and `external` where the comparison stopped; the caller closes `external`.
int CheckEntryData(uint64_t compressed_length, uint32_t* crc, FILE* external,
                   const char* entry_name);
