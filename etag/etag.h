// Multipart ETag of an archive file: reads it once, takes the MD5 of every part and of the whole
// file from the same reads, and writes both beside the archive in "<archive>.md5". Parts are
// 10 MiB unless the caller names another size; given an uploaded copy's ETag, it also works out
// the part sizes an uploader could have used and checks each of them in the same single read.
// A calculator keeps its state (the read buffer, the part digests of up to kMaxEtagCandidates
// part sizes, the whole-file digest, the ETag text) in itself: several calculators may compute
// at once on several threads; one calculator computes one ETag at a time.
#pragma once

#include "checksum_values.h"
#include "status.h"

#include <cstddef>
#include <cstdint>
#include <memory>

inline constexpr size_t kEtagPartSize = 10485760;  // 10 MiB: the default part
// Bytes one read takes in (and the read buffer): small enough to stay in the CPU's caches from
// the copy to the digests.
inline constexpr size_t kEtagReadSize = 262144;
inline constexpr int32_t kMaxEtagParts = 10000;    // most parts one computation accepts
inline constexpr size_t kEtagTextSize = 42;        // 32 hex digits, "-" and count, terminator
// The part sizes object stores accept (the last part may be smaller): 5 MiB to 5 GiB.
inline constexpr uint64_t kMinEtagPartSize = uint64_t{5} << 20;
inline constexpr uint64_t kMaxEtagPartSize = uint64_t{5} << 30;
inline constexpr int kMaxEtagCandidates = 8;  // part sizes checked side by side against an ETag

// Status lines (kind 0) of a failed computation; each is the only report of its failure.
inline constexpr const char* kCantAllocatePartBuffer = "Can't allocate part buffer";
inline constexpr const char* kEtagReadError = "Error reading archive";
inline constexpr const char* kMaxPartsFmt = "Max parts (%ld) exceeded";  // with kMaxEtagParts
inline constexpr const char* kEtagNameTooLong = "ETag file name too long";
inline constexpr const char* kCantWriteEtagFile = "Can't write ETag file";
// Progress (kind 0) before every piece read (see Compute): the part about to be read (1 = first) and the parts the
// file's size makes; an empty file shows "part 1 of 0".
inline constexpr const char* kEtagProgressFmt = "Calculating ETag (part %d of %d)";
// The two log lines (kind 1) of a success; the second keeps its line feed.
inline constexpr const char* kMd5LineFmt = "MD5: %s";
inline constexpr const char* kEtagLineFmt = "Multipart ETag: %s\n";
// The ETag line when the parts are not the default 10 MiB: the size ("8 MiB"), then the ETag.
inline constexpr const char* kSizedEtagLineFmt = "Multipart ETag (%s parts): %s\n";
// Comparing with an expected ETag: a log line after the two above when a part size (or the
// whole file, "whole-file") gives it; else the status line that ends the computation, with the
// value as given, after the log line below when the value cannot be an MD5-based ETag.
inline constexpr const char* kEtagMatchFmt = "ETag matches with %s parts";
inline constexpr const char* kEtagMismatchFmt = "ETag does not match %s";
inline constexpr const char* kNotMd5StyleEtag =
    "Not an MD5-style ETag: server-side encryption or another scheme may have made it";
inline constexpr const char* kWholeFileParts = "whole-file";
// Object stores' checksums (checksum_values.h): a log line per algorithm, before the MD5 line,
// with the name ChecksumLineName gives and the value in base64; a composite value that matched
// adds the part size and its "-N" value after them. All of them also go to the ETag file.
inline constexpr const char* kChecksumLineFmt = "%s: %s";
inline constexpr const char* kCompositeLineFmt = "%s (%s parts): %s";
// Comparing with expected checksums, after any ETag match line: a log line for each value that
// matches, whole-file values first, or the status line that ends the computation, with the
// first value that does not match as given (its first 200 bytes).
inline constexpr const char* kChecksumMatchFmt = "Checksum matches: %s";
inline constexpr const char* kCompositeMatchFmt = "Checksum matches: %s with %s parts";
inline constexpr const char* kChecksumMismatchFmt = "Checksum does not match %s";
// A checksum could not be computed: its digest contexts could not be made, or libcrypto failed.
inline constexpr const char* kChecksumsFailed = "Can't compute checksums";

struct EtagOptions {
  // Bytes per part; 0 is the default, kEtagPartSize. Any other size is named in the ETag line.
  // The front ends keep it within kMinEtagPartSize .. kMaxEtagPartSize.
  uint64_t part_size = 0;
  // An uploaded copy's ETag, or null. "<32 hex digits>-<parts>" is compared with the ETag of
  // every part size EtagCandidateSizes gives (only `part_size` when that is set); 32 hex digits
  // alone with the whole file's MD5. Either case of hex; blanks and one pair of double quotes
  // around it are ignored.
  const char* expected = nullptr;
  // Algorithms whose whole-file values are reported (kChecksumLineFmt), in this order; then
  // those of `expected_checksums` not among them, in the order of their first value.
  const ChecksumAlg* checksums = nullptr;
  int checksum_count = 0;
  // An uploaded copy's checksums, at most kMaxExpectedChecksums; all must match. A whole-file
  // value is compared with the algorithm's value of the file, a composite one ("-N") with that
  // of every part size EtagCandidateSizes gives for N parts (only `part_size` when that is set).
  const ExpectedChecksum* expected_checksums = nullptr;
  int expected_checksum_count = 0;
};

// Paces a computation's reads: BeforeRead() is called before every read with the file offset it
// starts at, on the computing thread, and may wait. A verification that reads the same file
// beside the computation uses it to keep the two within a window of each other, so the file
// comes from storage once and the second reader finds it in the page cache.
//
// It may also let the progress line before a piece be answered late: ProgressLine() shows it
// and may return before the sink has answered whether to stop, and the piece is read
// meanwhile. Before it reports anything else or ends, the computation asks LateStop() for that
// answer, which may wait for it; on a stop it ends as at the line itself (nothing it read
// meanwhile shows). The default answers at once.
class EtagReadPace {
 public:
  virtual void BeforeRead(uint64_t offset) = 0;
  // The progress line `text` (null: a stop point); the stop request as the line leaves it.
  virtual bool ProgressLine(Reporter& reporter, const char* text) {
    return reporter.Report(kStatusLine, text);
  }
  // The stop request once the last progress line's answer is in.
  virtual bool LateStop(Reporter& reporter) { return reporter.StopRaised(); }

 protected:
  ~EtagReadPace() = default;
};

// Whole-file checksums of one computation: `count` algorithms and their values in base64.
struct ChecksumValues {
  ChecksumAlg algs[kChecksumAlgCount];
  char values[kChecksumAlgCount][kChecksumTextSize];
  int count = 0;
};

class EtagCalculator {
 public:
  EtagCalculator();
  ~EtagCalculator();
  EtagCalculator(const EtagCalculator&) = delete;
  EtagCalculator& operator=(const EtagCalculator&) = delete;

  // Computes the MD5 and the multipart ETag of the file at `archive_path` and writes
  // "MD5: <hex>\nMultipart ETag: <etag>\n\n" to "<archive_path>.md5", replacing any such file
  // (with another part size, the second line is kSizedEtagLineFmt). With an expected ETag, the
  // ETag written is the one that matched, the part size that gave it is logged (kEtagMatchFmt)
  // after the two log lines, and a mismatch is a failure that writes nothing. Checksums asked
  // for come from the same reads; their lines go before the MD5 line and, in the file, between
  // the ETag line and the closing empty line. An expected ETag is judged before expected
  // checksums.
  // Reports through `reporter`: a progress status line before every read (the only reports
  // whose stop request is obeyed); on success the console block "\nETag: <etag>\n" (Console),
  // then the checksum lines, the MD5 line and the ETag line as log lines, then the match lines.
  // Results, each false one after exactly the status line named (failure() keeps it):
  //   true                     the ETag file holds the new text
  //   kCantAllocatePartBuffer  no part buffer; none is kept, so the next call tries again
  //   kEtagNameTooLong         the ".md5" name does not fit PATH_MAX, or its last component
  //                            NAME_MAX; found before the archive is opened
  //   kCantOpenArchive         (texts.h)      missing, unreadable, or not a regular file
  //   kEtagReadError           a read failed, or the file's size could not be measured
  //   kMaxPartsFmt, 10000      the file has more than kMaxEtagParts parts
  //   kEtagMismatchFmt         no part size gives the expected ETag, or (no "-N") the MD5 differs;
  //                            after kNotMd5StyleEtag as a log line when the value is not
  //                            "<32 hex digits>[-<digits>]" or has no "-N" and is not the MD5.
  //                            The file is not read when no part size could give the value.
  //   kChecksumMismatchFmt     an expected checksum differs, or (composite) no part size gives
  //                            it; not read when no part size gives N parts and the ETag needs
  //                            no reading either
  //   kChecksumsFailed         a checksum could not be computed
  //   kCantWriteEtagFile       after the log lines and the console lines: the file could not be
  //                            created, written, flushed to the disk or renamed into place
  //   kStoppedByUser           (texts.h)        a progress line returned a stop request
  // On every false result no ETag file is created or changed, and no temporary file is left.
  // The archive is closed on every path. Progress counts the parts of the first part size read:
  // a progress line before every piece of at most kEtagPartSize bytes that never crosses the end
  // of one of those parts, read in reads of at most kEtagReadSize. With `pace`, every read is
  // paced first.
  bool Compute(const char* archive_path, const EtagOptions& options, Reporter& reporter,
               EtagReadPace* pace = nullptr);

  // The status line that ended the last computation when it failed (empty after a success).
  const char* failure() const;
  // The ETag the last successful computation wrote.
  const char* etag() const;
  // The whole file's MD5 in hex and the part size in bytes of that ETag, from the same
  // computation.
  const char* md5() const;
  uint64_t part_size() const;
  // Its whole-file checksums (their values as the log lines show them), in the order of those
  // lines; none when none were asked for.
  const ChecksumValues& checksums() const;

  struct State;  // etag.cpp

 private:
  std::unique_ptr<State> state_;
};

// Reads a part size: decimal digits, optionally followed by "KiB", "MiB" or "GiB" (powers of
// 1024). False for anything else and for a size outside kMinEtagPartSize .. kMaxEtagPartSize.
bool ParseEtagPartSize(const char* text, uint64_t* bytes);

// Writes `bytes` as the ETag line names it: "8 MiB", "5 GiB", "640 KiB" (the largest unit that
// divides it), else "5242881 bytes". False when `size` is too small for the text.
bool FormatEtagPartSize(uint64_t bytes, char* out, size_t size);

// The part sizes that split a file of `file_size` bytes into exactly `parts` parts, among those
// uploaders use, in units of `unit` (a MiB in the product): 10 (ours), 8, 5, 15 and 16; 8 doubled
// until it fits; ceil(file_size / parts) rounded up to a unit; the multiples of 16 from the
// smallest that fits. Each within 5 .. 5120 units; one per set of part boundaries (so for 0 or 1
// parts only the first); at most kMaxEtagCandidates, in that order, into `sizes`. With
// `part_size` non-zero, only that size, if it fits (without the range rule). Returns the count;
// 0 when no size fits or `parts` exceeds kMaxEtagParts.
int EtagCandidateSizes(uint64_t file_size, int64_t parts, uint64_t part_size, uint64_t unit,
                       uint64_t sizes[kMaxEtagCandidates]);

// --- Test seams ----------------------------------------------------------------------------
// Makes `size` bytes the default part size instead of kEtagPartSize (the texts stay those of
// the default), so the part limit can be reached with small files. Returns false, changing
// nothing, for 0; kEtagPartSize restores the product's size.
bool SetEtagPartSizeForTesting(size_t size);
// Derives the candidate part sizes in units of `unit` bytes instead of a MiB and makes 10 units
// the default part size, so every candidate can be checked on files of kilobytes. False,
// changing nothing, for 0; 1 MiB restores the product's sizes.
bool SetEtagSizeUnitForTesting(uint64_t unit);
