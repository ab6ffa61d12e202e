// Multipart ETag of an archive file: reads it once in 10 MiB parts, takes the MD5 of every part
// and of the whole file from the same reads, and writes both beside the archive in
// "<archive>.md5". Process-wide state (the part buffer, the part digests, the whole-file digest,
// the ETag text) lives in etag.cpp; one computation at a time, on one thread, not re-entrant.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t kEtagPartSize = 10485760;  // 10 MiB: every part but the last, each read
inline constexpr int32_t kMaxEtagParts = 10000;    // most parts one computation accepts
inline constexpr size_t kEtagTextSize = 42;        // 32 hex digits, "-" and count, terminator

// Status lines (kind 0) of a failed computation; each is the only report of its failure.
inline constexpr const char* kCantAllocatePartBuffer = "Can't allocate part buffer";
inline constexpr const char* kEtagReadError = "Error reading archive";
inline constexpr const char* kMaxPartsFmt = "Max parts (%ld) exceeded";  // with kMaxEtagParts
inline constexpr const char* kEtagNameTooLong = "ETag file name too long";
inline constexpr const char* kCantWriteEtagFile = "Can't write ETag file";
// Progress (kind 0) before every read: the part about to be read (1 = first) and the parts the
// file's size makes; an empty file shows "part 1 of 0".
inline constexpr const char* kEtagProgressFmt = "Calculating ETag (part %d of %d)";
// The two log lines (kind 1) of a success; the second keeps its line feed.
inline constexpr const char* kMd5LineFmt = "MD5: %s";
inline constexpr const char* kEtagLineFmt = "Multipart ETag: %s\n";

// Computes the MD5 and the multipart ETag of the file at `archive_path` and writes
// "MD5: <hex>\nMultipart ETag: <etag>\n\n" to "<archive_path>.md5", replacing any such file.
// Reports through ReportStatus: a progress status line before every read (the only reports
// whose stop request is obeyed); on success the MD5 line and the ETag line as log lines, and
// "\nETag: <etag>\n" on standard output. Results, each false one after exactly the status line
// named:
//   true                     the ETag file holds the new text
//   kCantAllocatePartBuffer  no part buffer; none is kept, so the next call tries again
//   kEtagNameTooLong         the ".md5" name does not fit PATH_MAX, or its last component
//                            NAME_MAX; found before the archive is opened
//   kCantOpenArchive         (archive_walk.h) missing, unreadable, or not a regular file
//   kEtagReadError           a read failed, or the file's size could not be measured
//   kMaxPartsFmt, 10000      the file has more than kMaxEtagParts parts
//   kCantWriteEtagFile       after the log lines and the console lines: the file could not be
//                            created, written, flushed to the disk or renamed into place
//   kStoppedByUser           (archive_walk.h) a progress line returned a stop request
// On every false result no ETag file is created or changed, and no temporary file is left.
// The archive is closed on every path.
bool ComputeEtag(const char* archive_path);

// The closing step of ComputeEtag, once the whole file has been read: finishes the whole-file
// digest into `whole_hex` (at least 33 characters, 32 lowercase hex digits), takes the MD5 of
// the raw part digests in file order as the ETag digest, prints "\n" and then "ETag: %s\n" on
// standard output, and returns the ETag text ("<32 hex digits>-<part count>", "-0" for an empty
// file). The text stays valid until the next call. The whole-file context is left zeroed.
const char* FinishEtag(char* whole_hex);

// --- Test seams ----------------------------------------------------------------------------
// Reads parts of `size` bytes instead of kEtagPartSize (the buffer stays kEtagPartSize), so the
// part limit can be reached with small files. Returns false, changing nothing, unless
// 1 <= size <= kEtagPartSize; kEtagPartSize restores the product's size.
bool SetEtagPartSizeForTesting(size_t size);
// The part buffer, or null before the first successful allocation.
const unsigned char* EtagPartBufferForTesting();
