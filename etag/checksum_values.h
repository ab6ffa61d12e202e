// The object stores' checksum algorithms and their values as the stores show them: base64 of
// the big-endian digest, and for a multipart upload's composite value "-N" after it (the
// algorithm over the N part digests one after the other). Reads the lists and values users
// give (`SHA256,CRC32C`, `SHA256:<base64>-3`). Pure functions over the caller's buffers; no
// state, safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>

enum class ChecksumAlg { kCrc64Nvme, kCrc32, kCrc32c, kSha1, kSha256, kSha512, kMd5 };
inline constexpr int kChecksumAlgCount = 7;
inline constexpr size_t kMaxChecksumDigestLen = 64;  // SHA-512
// Base64 of the longest digest ("=" padding included), "-10000" and a terminator.
inline constexpr size_t kChecksumTextSize = 4 * ((kMaxChecksumDigestLen + 2) / 3) + 6 + 1;
// Expected values one computation takes (--expect-checksum given that often).
inline constexpr int kMaxExpectedChecksums = 8;

// The name users type (in any case) and every text shows: "CRC64NVME", "CRC32", "CRC32C",
// "SHA1", "SHA256", "SHA512", "MD5".
const char* ChecksumName(ChecksumAlg alg);
// The name a value line starts with: the same, but "MD5 base64" for MD5, so that its line never
// looks like the hex "MD5: " line beside it.
const char* ChecksumLineName(ChecksumAlg alg);
size_t ChecksumDigestLen(ChecksumAlg alg);  // 8, 4, 4, 20, 32, 64, 16
// Every name, for messages: "CRC64NVME, CRC32, CRC32C, SHA1, SHA256, SHA512, MD5".
inline constexpr const char* kChecksumNames = "CRC64NVME, CRC32, CRC32C, SHA1, SHA256, SHA512, MD5";

// The algorithm named by the `length` bytes at `text`, compared without regard to case. False
// for any other text.
bool ParseChecksumAlg(const char* text, size_t length, ChecksumAlg* alg);

// Reads "ALG[,ALG...]" into `algs`, appending the algorithms not already among its first `*count`
// entries, in order (so repeated names and repeated lists keep the order first named). False,
// with `*count` unchanged, when any name is empty or unknown; then `*bad` and `*bad_length` point
// at the first such name inside `text`.
bool ParseChecksumList(const char* text, ChecksumAlg algs[kChecksumAlgCount], int* count,
                       const char** bad, size_t* bad_length);

// Writes base64 (RFC 4648, "=" padding) of `size` bytes and a terminator into `out`. Returns the
// length written, or 0 (out holding "") when `out_size` is too small.
size_t Base64Encode(const unsigned char* data, size_t size, char* out, size_t out_size);

// Decodes the `length` characters at `text` into exactly `size` bytes. Strict: only the canonical
// encoding of `size` bytes is taken (its exact length, the alphabet of RFC 4648 section 4, the
// "=" padding it needs and no more, unused low bits zero). False otherwise, `out` undefined.
bool Base64Decode(const char* text, size_t length, unsigned char* out, size_t size);

// An expected value as users give it: "ALG:VALUE", VALUE being base64 of ALG's digest,
// optionally followed by "-N" (a composite of N parts, 1 to 10,000). Blanks around VALUE and one
// pair of double quotes around it (as stores print values) are ignored.
struct ExpectedChecksum {
  ChecksumAlg alg = ChecksumAlg::kSha256;
  unsigned char digest[kMaxChecksumDigestLen] = {};
  int32_t parts = 0;           // N of a composite value; 0 for a whole-file value
  const char* text = nullptr;  // ALG:VALUE as given, for the mismatch text
};

// Outcomes of ParseExpectedChecksum.
enum class ExpectedChecksumParse {
  kOk,
  kNotAlgValue,  // no ":", or the text before it is not an algorithm's name
  kBadValue,     // VALUE is not base64 of the digest, or N is missing, 0, over 10,000 or not
                 // decimal: the usage error kNotAChecksumFmt, with ALG's name and VALUE as given
};
// Reads `text` into `out`, which keeps a pointer to `text`. `*value` is set to VALUE as given
// (the text after the first ":") whenever there is a ":".
ExpectedChecksumParse ParseExpectedChecksum(const char* text, ExpectedChecksum* out,
                                            const char** value);

// The expected values of one text, as the dialog's box takes them: words separated by blanks,
// each an ETag (a word without ":") or an ALG:VALUE. Holds its own copy of the words.
inline constexpr size_t kMaxExpectedText = 4096;  // bytes of text; the box takes 1000 characters
struct ExpectedValues {
  char words[kMaxExpectedText + 1];
  const char* etag = nullptr;  // null: none
  ExpectedChecksum checksums[kMaxExpectedChecksums];
  int checksum_count = 0;
};
// Reads `text` into `out`. True when every word is usable (no word at all included); else false
// with the usage error in `error` (cut to `error_size`): kNotAChecksumFmt, kNotAlgValueFmt,
// kTwoExpectedEtagsFmt, kTooManyChecksumsFmt or kExpectedTextTooLong.
bool ParseExpectedValues(const char* text, ExpectedValues* out, char* error, size_t error_size);

// Texts of the front ends' usage errors (a value that cannot be a checksum: the algorithm's name
// and VALUE as given; an ALG:VALUE whose ALG is unknown or missing: the text as given).
inline constexpr const char* kNotAChecksumFmt = "Not a %s checksum: %s";
inline constexpr const char* kNotAlgValueFmt = "Not ALG:VALUE with ALG one of %s: %s";
inline constexpr const char* kTwoExpectedEtagsFmt = "More than one expected ETag: %s";  // the 2nd
inline constexpr const char* kTooManyChecksumsFmt = "More than %d expected checksums";
inline constexpr const char* kExpectedTextTooLong = "Expected values too long";
