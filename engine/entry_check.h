// Entry data check: decompresses one entry from the archive stream with the decoder of its
// method, sums the CRC-32 of its data, compares it with an external file as it goes, reports
// progress every 16 KiB of compressed input and honours the stop request there. An EntryChecker
// owns its decoders (one per method, reused for every entry), its three 16 KiB buffers and its
// progress text, so several checkers can work at once, each on one thread; one checker checks
// one entry at a time.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "codec.h"
#include "decoder.h"
#include "deflate64.h"
#include "inflater.h"
#include "method_decoders.h"
#include "status.h"

class Bzip2Crew;

inline constexpr int kEntryOk = 0;           // stream end reached; CRC complete; external equal
inline constexpr int kEntryReadError = -1;   // the archive stream reported a read error
inline constexpr int kEntryBadData = -3;     // corrupt, dictionary asked for, or input ran out
inline constexpr int kEntryNoMemory = -4;    // the decoder ran out of memory
inline constexpr int kEntryTooLarge = -5;    // the stream's dictionary or window is over the cap
inline constexpr int kEntryDiffers = -92;    // external file shorter or different
inline constexpr int kEntryStopped = -93;    // the stop request was seen at a progress line
inline constexpr int kStoredIncomplete = -90;  // stored data: the archive ended first
inline constexpr int kStoredExternalShort = -91;  // stored data: the external file ended first
inline constexpr size_t kInflateChunk = 16384;
inline constexpr size_t kStoredChunkSize = 1048576;  // stored data moves 1 MiB at a time
inline constexpr size_t kProgressTextSize = 200;  // "<name> (N remaining)", cut at 199 characters

// The bytes of an entry of `length` bytes that one pass has read after its first `chunks` chunks
// of `chunk` bytes (each progress point stands for one), when every read came whole.
inline uint64_t ReadAfterChunks(uint64_t length, uint64_t chunks, uint64_t chunk = kInflateChunk) {
  return length / chunk < chunks ? length : chunks * chunk;
}

// Formats the progress text of a chunk into `out` (kProgressTextSize bytes).
void FormatProgress(char* out, const char* entry_name, uint64_t unread);

// Where a checker working ahead of the walk (parallel_check.h) sends its progress points
// instead of the Status channel: Point() gets each point a one-job run would report, in order
// (`shown`: a "<name> (N remaining)" line with `unread`; otherwise a silent stop check), and
// returns true when the check is to be abandoned (it then ends with kEntryStopped, logging
// nothing). Called on the checker's thread.
class ProgressSink {
 public:
  virtual bool Point(bool shown, uint64_t unread) = 0;
  virtual bool Cancelled() = 0;  // asked between stored chunks, which have no progress points

 protected:
  ~ProgressSink() = default;
};

inline constexpr const char* kStopped = "Stopped";  // the log line of a stop seen at a report

class EntryChecker {
 public:
  EntryChecker();
  EntryChecker(const EntryChecker&) = delete;
  EntryChecker& operator=(const EntryChecker&) = delete;

  // Inflates `compressed_length` bytes of `archive` from its current position.
  //   0    the deflate stream ended; *crc holds the CRC-32 of all of its output
  //   -1   read error on the archive
  //   -3   bad data, a preset dictionary asked for, or the bytes ran out before the stream's end
  //   -4   out of memory
  //   -92  `external` (when not null) ended early, failed to read, or differs
  //   -93  stop request seen at a progress line (after the log line "Stopped")
  // Reports "<entry_name> (N remaining)" before each chunk is inflated. With ISA-L, any result
  // but 0 with *crc equal to `expected_crc`, -1 or -93 makes the check run again from the
  // entry's start (both streams are sought back) with zlib, showing no progress lines but still
  // asking for the stop request every chunk; zlib's result is returned. Leaves `archive` after
  // the last chunk read and `external` where the comparison stopped; the caller closes
  // `external`.
  int CheckDeflated(FILE* archive, uint64_t compressed_length, uint32_t expected_crc,
                    uint32_t* crc, FILE* external, const char* entry_name);

  // True for the methods Check() decodes: deflate (8), Deflate64 (9), bzip2 (12), LZMA (14),
  // zstd (93) and xz (95).
  static bool Decodes(uint16_t method);
  // Checks an entry of any method Decodes(): deflate as CheckDeflated(); the others in one pass
  // with their decoder, told `params` first, with the results of CheckDeflated() and also
  //   -5   the stream needs a dictionary or window larger than kMaxDecoderWindow
  // (-3 covers their corrupt data and a stream cut short, -4 their memory).
  int Check(uint16_t method, const DecodeParams& params, FILE* archive,
            uint64_t compressed_length, uint32_t expected_crc, uint32_t* crc, FILE* external,
            const char* entry_name);

  // Beside each progress line, the reporter's Progress gives the position reached in `archive`
  // of `archive_size` bytes; 0 (the start) reports no progress.
  void SetProgressTotal(uint64_t archive_size) { progressTotal_ = archive_size; }

  // Where progress lines and stop points go when no progress sink is set: the run's reporter
  // (null: no lines, and no stop request is ever seen).
  void SetReporter(Reporter* reporter) { reporter_ = reporter; }
  // The backend of deflate and CRC-32 from the next check on (zlib when ISA-L is not built in).
  void SetCodec(CodecBackend codec) { codec_ = codec; }
  CodecBackend codec() const { return codec_; }

  // Reads `length` stored bytes of `archive` from its current position in chunks of
  // `chunk_size` (at most kStoredChunkSize) through `chunk`, summing their CRC-32 into *crc and,
  // with `external`,
  // comparing each chunk with the same bytes of that file read into `compare`. Each chunk is read whole
  // from the archive, then from the external file, then compared:
  //   0    all bytes read (and equal)
  //   -90  the archive ended within a chunk
  //   -91  `external` ended within a chunk
  //   -92  a chunk differs
  //   -93  the progress sink asked to stop (never without one)
  // With `external` the chunk size decides whether -91 or -92 comes first when both would, so
  // a comparing check always uses kStoredChunkSize; without, any size gives the same result.
  int CheckStored(FILE* archive, uint64_t length, uint32_t* crc, FILE* external,
                  unsigned char* chunk, unsigned char* compare,
                  size_t chunk_size = kStoredChunkSize);

  // Sends progress points to `sink` (null: the reporter, with the stop request and the
  // "Stopped" line) from the next check on.
  void SetProgressSink(ProgressSink* sink) { sink_ = sink; }

  // From the next check on, a bzip2 entry that `crew` wants (long enough) and that is not
  // compared with a file is decoded block by block on the crew's threads (or this one), with
  // the same result, CRC-32, progress points and final stream position as one pass; anything
  // unexpected makes it one pass after all. Null: always one pass. `counted`: this checker is
  // a worker's, counted busy with the crew (Bzip2Crew::WorkerBusy) while it checks.
  void SetBzip2Crew(Bzip2Crew* crew, bool counted = false) {
    crew_ = crew;
    crew_counted_ = counted;
  }

 private:
  friend class Bzip2PointsOf;
  // One progress point: true when the check is to end with kEntryStopped. `at` is the archive
  // position reached (the end of the chunk just read); -1: where `archive` stands.
  bool AtPoint(const char* entry_name, uint64_t unread, FILE* archive, int64_t at = -1);
  // One pass with `decoder`; `entry_name` null shows no progress lines. The first `skip`
  // progress points are passed over silently (they were given before a fallback).
  int Pass(Decoder* decoder, const DecodeParams& params, FILE* archive,
           uint64_t compressed_length, uint32_t* crc, FILE* external, const char* entry_name,
           uint64_t skip = 0);
  // A bzip2 entry through crew_, or one pass after the points the crew gave.
  int CheckBzip2Blocks(const DecodeParams& params, FILE* archive, uint64_t compressed_length,
                       uint32_t* crc, const char* entry_name);
  Decoder* DecoderFor(uint16_t method);  // the methods other than deflate; null for the rest

  ZlibDecoder zlib_;
  std::unique_ptr<Decoder> isal_;  // null when ISA-L is not built in
  // Method 9, made at its first entry: 435 KiB that its constructor fills, which few archives
  // ever need (every checking thread holds an EntryChecker).
  std::unique_ptr<Deflate64Decoder> deflate64_;
  Bzip2Decoder bzip2_;             // method 12
  LzmaDecoder lzma_;               // method 14
  ZstdDecoder zstd_;               // method 93
  XzDecoder xz_;                   // method 95
  std::array<unsigned char, kInflateChunk> input_;    // compressed bytes of the current chunk
  std::array<unsigned char, kInflateChunk> output_;   // what one decode call produced
  std::array<unsigned char, kInflateChunk> compare_;  // the external file's same bytes
  char progress_[kProgressTextSize];
  uint64_t progressTotal_ = 0;    // the archive's size, for ReportProgress
  ProgressSink* sink_ = nullptr;  // null: points go to reporter_
  Bzip2Crew* crew_ = nullptr;     // null: bzip2 in one pass
  bool crew_counted_ = false;
  Reporter* reporter_ = nullptr;
  CodecBackend codec_ = DefaultCodec();
};
