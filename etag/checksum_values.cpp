// Checksum names, base64 and the values users give. No state; nothing allocated.
#include "checksum_values.h"

#include <cstdio>
#include <cstring>

namespace {

struct AlgInfo {
  const char* name;
  const char* line_name;
  size_t digest_len;
};
// In ChecksumAlg's order.
constexpr AlgInfo kAlgs[kChecksumAlgCount] = {
    {"CRC64NVME", "CRC64NVME", 8}, {"CRC32", "CRC32", 4},    {"CRC32C", "CRC32C", 4},
    {"SHA1", "SHA1", 20},          {"SHA256", "SHA256", 32}, {"SHA512", "SHA512", 64},
    {"MD5", "MD5 base64", 16},
};

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int32_t kMaxParts = 10000;  // the most parts a multipart upload has

const AlgInfo& Info(ChecksumAlg alg) { return kAlgs[static_cast<int>(alg)]; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

const char* ChecksumName(ChecksumAlg alg) { return Info(alg).name; }
const char* ChecksumLineName(ChecksumAlg alg) { return Info(alg).line_name; }
size_t ChecksumDigestLen(ChecksumAlg alg) { return Info(alg).digest_len; }

bool ParseChecksumAlg(const char* text, size_t length, ChecksumAlg* alg) {
  for (int i = 0; i < kChecksumAlgCount; ++i) {
    const char* name = kAlgs[i].name;
    if (strlen(name) != length) continue;
    size_t j = 0;
    while (j < length && Lower(text[j]) == Lower(name[j])) ++j;
    if (j == length) {
      *alg = static_cast<ChecksumAlg>(i);
      return true;
    }
  }
  return false;
}

bool ParseChecksumList(const char* text, ChecksumAlg algs[kChecksumAlgCount], int* count,
                       const char** bad, size_t* bad_length) {
  ChecksumAlg found[kChecksumAlgCount];
  int n = *count;
  memcpy(found, algs, sizeof(found[0]) * static_cast<size_t>(n));
  for (const char* item = text;;) {
    const size_t length = strcspn(item, ",");
    ChecksumAlg alg;
    if (!ParseChecksumAlg(item, length, &alg)) {
      *bad = item;
      *bad_length = length;
      return false;
    }
    bool seen = false;
    for (int i = 0; i < n; ++i) seen = seen || found[i] == alg;
    if (!seen) found[n++] = alg;  // at most one of each, so n never passes the count of kinds
    if (item[length] == '\0') break;
    item += length + 1;
  }
  memcpy(algs, found, sizeof(found[0]) * static_cast<size_t>(n));
  *count = n;
  return true;
}

size_t Base64Encode(const unsigned char* data, size_t size, char* out, size_t out_size) {
  const size_t length = 4 * ((size + 2) / 3);
  if (out_size == 0) return 0;
  if (length >= out_size) {
    out[0] = '\0';
    return 0;
  }
  char* o = out;
  for (size_t i = 0; i < size; i += 3) {
    const size_t take = size - i < 3 ? size - i : 3;
    uint32_t group = static_cast<uint32_t>(data[i]) << 16;
    if (take > 1) group |= static_cast<uint32_t>(data[i + 1]) << 8;
    if (take > 2) group |= data[i + 2];
    *o++ = kBase64Alphabet[(group >> 18) & 63];
    *o++ = kBase64Alphabet[(group >> 12) & 63];
    *o++ = take > 1 ? kBase64Alphabet[(group >> 6) & 63] : '=';
    *o++ = take > 2 ? kBase64Alphabet[group & 63] : '=';
  }
  *o = '\0';
  return length;
}

bool Base64Decode(const char* text, size_t length, unsigned char* out, size_t size) {
  if (length != 4 * ((size + 2) / 3)) return false;
  size_t written = 0;
  for (size_t i = 0; i < length; i += 4) {
    const size_t take = size - written < 3 ? size - written : 3;  // bytes this group carries
    uint32_t group = 0;
    for (size_t j = 0; j < 4; ++j) {
      const char c = text[i + j];
      if (j > take) {  // a padding position: "=" and nothing else
        if (c != '=') return false;
        group <<= 6;
        continue;
      }
      const int v = Base64Value(c);
      if (v < 0) return false;
      group = group << 6 | static_cast<uint32_t>(v);
    }
    // Bits below the last byte carried must be zero, or another text would give the same bytes.
    if ((group & ((uint32_t{1} << (8 * (3 - take))) - 1)) != 0) return false;
    for (size_t j = 0; j < take; ++j)
      out[written++] = static_cast<unsigned char>(group >> (16 - 8 * j));
  }
  return true;
}

ExpectedChecksumParse ParseExpectedChecksum(const char* text, ExpectedChecksum* out,
                                            const char** value) {
  const char* colon = strchr(text, ':');
  if (colon == nullptr) return ExpectedChecksumParse::kNotAlgValue;
  *value = colon + 1;
  if (!ParseChecksumAlg(text, static_cast<size_t>(colon - text), &out->alg)) {
    return ExpectedChecksumParse::kNotAlgValue;
  }
  out->text = text;
  out->parts = 0;
  const char* begin = colon + 1;
  const char* end = begin + strlen(begin);
  while (begin < end && IsBlank(*begin)) ++begin;
  while (end > begin && IsBlank(end[-1])) --end;
  if (end - begin >= 2 && *begin == '"' && end[-1] == '"') ++begin, --end;
  // Base64 has no "-", so a "-" starts the part count.
  const char* dash = static_cast<const char*>(memchr(begin, '-', static_cast<size_t>(end - begin)));
  if (dash != nullptr) {
    const ptrdiff_t digits = end - dash - 1;
    if (digits < 1 || digits > 9) return ExpectedChecksumParse::kBadValue;
    int64_t parts = 0;
    for (const char* p = dash + 1; p < end; ++p) {
      if (*p < '0' || *p > '9') return ExpectedChecksumParse::kBadValue;
      parts = parts * 10 + (*p - '0');
    }
    if (parts < 1 || parts > kMaxParts) return ExpectedChecksumParse::kBadValue;
    out->parts = static_cast<int32_t>(parts);
    end = dash;
  }
  if (!Base64Decode(begin, static_cast<size_t>(end - begin), out->digest,
                    ChecksumDigestLen(out->alg))) {
    return ExpectedChecksumParse::kBadValue;
  }
  return ExpectedChecksumParse::kOk;
}

bool ParseExpectedValues(const char* text, ExpectedValues* out, char* error, size_t error_size) {
  out->etag = nullptr;
  out->checksum_count = 0;
  const size_t length = strlen(text);
  if (length > kMaxExpectedText) {
    snprintf(error, error_size, "%s", kExpectedTextTooLong);
    return false;
  }
  memcpy(out->words, text, length + 1);
  for (char* word = out->words; *word != '\0';) {
    if (IsBlank(*word)) {
      ++word;
      continue;
    }
    char* end = word;
    while (*end != '\0' && !IsBlank(*end)) ++end;
    const bool last = *end == '\0';
    *end = '\0';
    if (strchr(word, ':') == nullptr) {
      if (out->etag != nullptr) {
        snprintf(error, error_size, kTwoExpectedEtagsFmt, word);
        return false;
      }
      out->etag = word;
    } else {
      if (out->checksum_count == kMaxExpectedChecksums) {
        snprintf(error, error_size, kTooManyChecksumsFmt, kMaxExpectedChecksums);
        return false;
      }
      const char* value = nullptr;
      ExpectedChecksum& expected = out->checksums[out->checksum_count];
      switch (ParseExpectedChecksum(word, &expected, &value)) {
        case ExpectedChecksumParse::kOk:
          ++out->checksum_count;
          break;
        case ExpectedChecksumParse::kNotAlgValue:
          snprintf(error, error_size, kNotAlgValueFmt, kChecksumNames, word);
          return false;
        case ExpectedChecksumParse::kBadValue:
          snprintf(error, error_size, kNotAChecksumFmt, ChecksumName(expected.alg), value);
          return false;
      }
    }
    if (last) break;
    word = end + 1;
  }
  return true;
}
