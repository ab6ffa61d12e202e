// Base64 both ways (RFC 4648's examples, then what a strict reader refuses), the expected values
// users give (what a store prints around them, each algorithm's digest length), and the dialog's
// box of several values. The usage errors' texts are vormic-cli's end-to-end rows.
#include "checksum_values.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

TEST(ChecksumValues, Base64) {
  // RFC 4648 section 10, and the two characters past the letters and digits.
  const std::pair<std::string, std::string> rows[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\xfb\xff\xbf", 3), "+/+/"},
  };
  for (const auto& [bytes, text] : rows) {
    SCOPED_TRACE(text);
    char out[32];
    EXPECT_EQ(Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out,
                           sizeof out),
              text.size());
    EXPECT_EQ(std::string(out), text);
    unsigned char decoded[32];
    ASSERT_TRUE(Base64Decode(text.data(), text.size(), decoded, bytes.size()));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(decoded), bytes.size()), bytes);
  }
  char small[9];  // "Zm9vYmFy" and its terminator
  EXPECT_EQ(Base64Encode(reinterpret_cast<const unsigned char*>("foobar"), 6, small, 8), 0u);
  EXPECT_EQ(Base64Encode(reinterpret_cast<const unsigned char*>("foobar"), 6, small, 9), 8u);
  // Texts that are not the canonical base64 of 4 bytes: padding short, missing, too long; 5 and
  // 3 bytes; unused bits set (it would read as "foob" too); the URL-safe alphabet; padding in
  // place of a digit or inside; a blank.
  for (const char* text : {"Zm9vYg=", "Zm9vYg", "Zm9vYg===", "Zm9vYmE=", "Zm9v", "Zm9vYh==",
                           "Zm9v-g==", "Zm9v_g==", "Zm9vY===", "Zm9=Yg==", "Zm9v Yg="}) {
    SCOPED_TRACE(text);
    unsigned char out[8];
    EXPECT_FALSE(Base64Decode(text, strlen(text), out, 4));
  }
}

// Expected values beyond those the command-line rows give: what stores print around a value,
// the longest digest, values of another length or kind; the ALG and VALUE a usage error names.
TEST(ChecksumValues, ExpectedValues) {
  const std::string sha256 = "n4bQgYhMfWWaL+qgxVrQFaO/TxsrC4Is0V1sFbDwCgg=";  // SHA-256 of "test"
  struct Row {
    std::string text;
    ExpectedChecksumParse result;
    std::string alg;  // kOk and kBadValue
    int parts;        // kOk
    std::string value;
  };
  const Row rows[] = {
      {"SHA256: \"" + sha256 + "-3\" ", ExpectedChecksumParse::kOk, "SHA256", 3,
       " \"" + sha256 + "-3\" "},
      {"sha512:" + std::string(86, 'A') + "==", ExpectedChecksumParse::kOk, "SHA512", 0,
       std::string(86, 'A') + "=="},
      {"SHA1:" + sha256, ExpectedChecksumParse::kBadValue, "SHA1", 0, sha256},
      {"SHA256:\"\"", ExpectedChecksumParse::kBadValue, "SHA256", 0, "\"\""},
      {"SHA256:" + sha256 + "-1-2", ExpectedChecksumParse::kBadValue, "SHA256", 0, sha256 + "-1-2"},
      {"SHA256:" + std::string(64, 'a'), ExpectedChecksumParse::kBadValue, "SHA256", 0,
       std::string(64, 'a')},  // hex is not what the stores show
      {"SHA256 :" + sha256, ExpectedChecksumParse::kNotAlgValue, "", 0, sha256},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    ExpectedChecksum expected;
    const char* value = nullptr;
    ASSERT_EQ(ParseExpectedChecksum(row.text.c_str(), &expected, &value), row.result);
    EXPECT_EQ(std::string(value), row.value);
    if (row.result == ExpectedChecksumParse::kNotAlgValue) continue;
    EXPECT_EQ(std::string(ChecksumName(expected.alg)), row.alg);
    if (row.result != ExpectedChecksumParse::kOk) continue;
    EXPECT_EQ(expected.parts, row.parts);
    char again[kChecksumTextSize];
    Base64Encode(expected.digest, ChecksumDigestLen(expected.alg), again, sizeof again);
    EXPECT_NE(row.text.find(again), std::string::npos) << "digest read back as " << again;
  }
}

// The dialog's box: blank-separated words, at most one an ETag, the rest ALG:VALUE; the first
// word that cannot be used is named in the usage error.
TEST(ChecksumValues, ExpectedValuesInOneText) {
  const std::string crc = " CRC32C:AAAAAA==";
  std::string eight, nine;
  for (int i = 0; i < 8; ++i) eight += crc;
  nine = eight + crc;
  struct Row {
    std::string text;
    std::string etag;  // "-": none
    int checksums;     // -1: refused with `error`
    std::string error;
  };
  const Row rows[] = {
      {" \t ", "-", 0, ""},
      {crc + "  \"abc-3\"\t" + crc + "-2", "\"abc-3\"", 2, ""},
      {eight, "-", 8, ""},
      {nine, "", -1, "More than 8 expected checksums"},
      {"abc-3 def-4", "", -1, "More than one expected ETag: def-4"},
      {"abc " + crc + "-0", "", -1, "Not a CRC32C checksum: AAAAAA==-0"},
      {"XX:AAAAAA==", "", -1,
       "Not ALG:VALUE with ALG one of CRC64NVME, CRC32, CRC32C, SHA1, SHA256, SHA512, MD5: "
       "XX:AAAAAA=="},
      {std::string(kMaxExpectedText + 1, ' '), "", -1, "Expected values too long"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text.substr(0, 40));
    ExpectedValues values;
    char error[200] = "";
    const bool ok = ParseExpectedValues(row.text.c_str(), &values, error, sizeof error);
    EXPECT_EQ(ok, row.checksums >= 0);
    EXPECT_EQ(std::string(error), row.error);
    if (!ok) continue;
    EXPECT_EQ(values.etag == nullptr ? "-" : std::string(values.etag), row.etag);
    ASSERT_EQ(values.checksum_count, row.checksums);
    if (row.checksums == 2) {
      EXPECT_EQ(values.checksums[1].parts, 2);
    }
  }
}

}  // namespace
