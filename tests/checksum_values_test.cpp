// Checksum names and lists, base64 both ways (RFC 4648's examples, then what a strict reader
// refuses), and the expected values users give, with every refusal the front ends turn into a
// usage error.
#include "checksum_values.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Names(const ChecksumAlg* algs, int count) {
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(ChecksumName(algs[i]));
  return out;
}

// Lists in any case; repeats keep the first place; a second list appends what is new. A bad
// name is pointed at and the list is left as it was.
TEST(ChecksumValues, Lists) {
  struct Row {
    std::vector<std::string> lists;  // given one after the other
    bool ok;                         // the last list taken
    std::vector<std::string> names;  // the result
    std::string bad;                 // the name refused
  };
  const Row rows[] = {
      {{"crc64nvme"}, true, {"CRC64NVME"}, ""},
      {{"Sha256,CRC32C,sha256"}, true, {"SHA256", "CRC32C"}, ""},
      {{"md5,crc32,CRC32C,sha1,SHA512,crc64NVME,sha256"},
       true,
       {"MD5", "CRC32", "CRC32C", "SHA1", "SHA512", "CRC64NVME", "SHA256"},
       ""},
      {{"SHA1", "sha256,sha1"}, true, {"SHA1", "SHA256"}, ""},
      {{"SHA1", "sha256,sha3"}, false, {"SHA1"}, "sha3"},
      {{"crc32,"}, false, {}, ""},
      {{",crc32"}, false, {}, ""},
      {{"crc32,,sha1"}, false, {}, ""},
      {{""}, false, {}, ""},
      {{"CRC-32"}, false, {}, "CRC-32"},
      {{"sha256 "}, false, {}, "sha256 "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.lists.back());
    ChecksumAlg algs[kChecksumAlgCount];
    int count = 0;
    bool ok = false;
    const char* bad = nullptr;
    size_t bad_length = 0;
    for (const std::string& list : row.lists) {
      ok = ParseChecksumList(list.c_str(), algs, &count, &bad, &bad_length);
    }
    EXPECT_EQ(ok, row.ok);
    EXPECT_EQ(Names(algs, count), row.names);
    if (!row.ok) {
      ASSERT_NE(bad, nullptr);
      EXPECT_EQ(std::string(bad, bad_length), row.bad);
    }
  }
}

TEST(ChecksumValues, Base64BothWays) {
  // RFC 4648 section 10.
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
  char small[9];  // "Zm9vYmFy" and its terminator need 9
  EXPECT_EQ(Base64Encode(reinterpret_cast<const unsigned char*>("foobar"), 6, small, 8), 0u);
  EXPECT_EQ(std::string(small), "");
  EXPECT_EQ(Base64Encode(reinterpret_cast<const unsigned char*>("foobar"), 6, small, 9), 8u);
}

// Texts that are not the canonical base64 of 4 bytes.
TEST(ChecksumValues, Base64RefusesAllButTheCanonicalText) {
  const char* rows[] = {
      "Zm9vYg=",    // padding short
      "Zm9vYg",     // no padding
      "Zm9vYg===",  // too long
      "Zm9vYmE=",   // 5 bytes
      "Zm9v",       // 3 bytes
      "Zm9vYh==",   // unused bits set: would read as "foob" too
      "Zm9v-g==",   // the URL-safe alphabet
      "Zm9v_g==",
      "Zm9vY===",  // padding where a digit belongs
      "Zm9=Yg==",  // padding inside
      "Zm9v Yg=",  // a blank inside
  };
  for (const char* text : rows) {
    SCOPED_TRACE(text);
    unsigned char out[8];
    EXPECT_FALSE(Base64Decode(text, strlen(text), out, 4));
  }
}

// Expected values: a whole-file and a composite one per algorithm, how a store prints them
// (quotes, blanks), and each refusal with the algorithm and VALUE the usage error shows.
TEST(ChecksumValues, ExpectedValues) {
  const std::string sha256 = "n4bQgYhMfWWaL+qgxVrQFaO/TxsrC4Is0V1sFbDwCgg=";  // SHA-256 of "test"
  struct Row {
    std::string text;
    ExpectedChecksumParse result;
    std::string alg;    // kOk and kBadValue
    int parts;          // kOk
    std::string value;  // VALUE as the usage error shows it
  };
  const Row rows[] = {
      {"CRC64NVME:gd6bAt1IZ7c=", ExpectedChecksumParse::kOk, "CRC64NVME", 0, "gd6bAt1IZ7c="},
      {"crc32:AAAAAA==-1", ExpectedChecksumParse::kOk, "CRC32", 1, "AAAAAA==-1"},
      {"Crc32C:AAAAAA==-10000", ExpectedChecksumParse::kOk, "CRC32C", 10000, "AAAAAA==-10000"},
      {"sha1:2jmj7l5rSw0yVb/vlWAYkK/YBwk=", ExpectedChecksumParse::kOk, "SHA1", 0,
       "2jmj7l5rSw0yVb/vlWAYkK/YBwk="},
      {"SHA256:" + sha256 + "-2", ExpectedChecksumParse::kOk, "SHA256", 2, sha256 + "-2"},
      {"SHA256: \"" + sha256 + "-3\" ", ExpectedChecksumParse::kOk, "SHA256", 3,
       " \"" + sha256 + "-3\" "},
      {"SHA512:" + std::string(86, 'A') + "==", ExpectedChecksumParse::kOk, "SHA512", 0,
       std::string(86, 'A') + "=="},
      {"md5:1B2M2Y8AsgTpgAmY7PhCfg==", ExpectedChecksumParse::kOk, "MD5", 0,
       "1B2M2Y8AsgTpgAmY7PhCfg=="},
      {"SHA256:", ExpectedChecksumParse::kBadValue, "SHA256", 0, ""},
      {"SHA256:\"\"", ExpectedChecksumParse::kBadValue, "SHA256", 0, "\"\""},
      {"SHA1:" + sha256, ExpectedChecksumParse::kBadValue, "SHA1", 0, sha256},
      {"SHA256:" + sha256.substr(1), ExpectedChecksumParse::kBadValue, "SHA256", 0,
       sha256.substr(1)},
      {"SHA256:" + sha256 + "-0", ExpectedChecksumParse::kBadValue, "SHA256", 0, sha256 + "-0"},
      {"SHA256:" + sha256 + "-10001", ExpectedChecksumParse::kBadValue, "SHA256", 0,
       sha256 + "-10001"},
      {"SHA256:" + sha256 + "-", ExpectedChecksumParse::kBadValue, "SHA256", 0, sha256 + "-"},
      {"SHA256:" + sha256 + "-2x", ExpectedChecksumParse::kBadValue, "SHA256", 0, sha256 + "-2x"},
      {"SHA256:" + sha256 + "-1-2", ExpectedChecksumParse::kBadValue, "SHA256", 0, sha256 + "-1-2"},
      {"CRC32:AA*AAA==", ExpectedChecksumParse::kBadValue, "CRC32", 0, "AA*AAA=="},
      {"SHA256:" + std::string(64, 'a'), ExpectedChecksumParse::kBadValue, "SHA256", 0,
       std::string(64, 'a')},  // hex is not what the stores show
      {"SHA3:" + sha256, ExpectedChecksumParse::kNotAlgValue, "", 0, sha256},
      {":" + sha256, ExpectedChecksumParse::kNotAlgValue, "", 0, sha256},
      {"SHA256 :" + sha256, ExpectedChecksumParse::kNotAlgValue, "", 0, sha256},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    ExpectedChecksum expected;
    const char* value = nullptr;
    ASSERT_EQ(ParseExpectedChecksum(row.text.c_str(), &expected, &value), row.result);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(std::string(value), row.value);
    if (row.result == ExpectedChecksumParse::kNotAlgValue) continue;
    EXPECT_EQ(std::string(ChecksumName(expected.alg)), row.alg);
    if (row.result != ExpectedChecksumParse::kOk) continue;
    EXPECT_EQ(expected.parts, row.parts);
    EXPECT_EQ(expected.text, row.text.c_str());
    char again[kChecksumTextSize];
    Base64Encode(expected.digest, ChecksumDigestLen(expected.alg), again, sizeof again);
    EXPECT_NE(row.text.find(again), std::string::npos) << "digest read back as " << again;
  }
  ExpectedChecksum expected;
  const char* value = nullptr;
  EXPECT_EQ(ParseExpectedChecksum(sha256.c_str(), &expected, &value),
            ExpectedChecksumParse::kNotAlgValue);
  EXPECT_EQ(value, nullptr);
}

}  // namespace

// The dialog's box: blank-separated words, at most one an ETag, the rest ALG:VALUE; the first
// word that cannot be used is named in the usage error.
TEST(ChecksumValues, ExpectedValuesInOneText) {
  const std::string crc = "CRC32C:AAAAAA==";
  struct Row {
    const char* name;
    std::string text;
    std::string etag;  // "-": none
    int checksums;     // -1: refused with `error`
    std::string error;
  };
  const Row rows[] = {
      {"empty", "", "-", 0, ""},
      {"blanks", " \t ", "-", 0, ""},
      {"etag_alone", " \"d41d8cd98f00b204e9800998ecf8427e-2\" ",
       "\"d41d8cd98f00b204e9800998ecf8427e-2\"", 0, ""},
      {"etag_between_checksums", crc + "  abc-3\t" + crc + "-2", "abc-3", 2, ""},
      {"eight_checksums",
       crc + " " + crc + " " + crc + " " + crc + " " + crc + " " + crc + " " + crc + " " + crc, "-",
       8, ""},
      {"nine_checksums",
       crc + " " + crc + " " + crc + " " + crc + " " + crc + " " + crc + " " + crc + " " + crc +
           " " + crc,
       "", -1, "More than 8 expected checksums"},
      {"two_etags", "abc-3 def-4", "", -1, "More than one expected ETag: def-4"},
      {"bad_value", "abc " + crc + "-0", "", -1, "Not a CRC32C checksum: AAAAAA==-0"},
      {"unknown_algorithm", "XX:AAAAAA==", "", -1,
       "Not ALG:VALUE with ALG one of CRC64NVME, CRC32, CRC32C, SHA1, SHA256, SHA512, MD5: "
       "XX:AAAAAA=="},
      {"too_long", std::string(kMaxExpectedText + 1, ' '), "", -1, "Expected values too long"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ExpectedValues values;
    char error[200] = "";
    const bool ok = ParseExpectedValues(row.text.c_str(), &values, error, sizeof error);
    EXPECT_EQ(ok, row.checksums >= 0);
    EXPECT_EQ(std::string(error), row.error);
    if (!ok) continue;
    EXPECT_EQ(values.etag == nullptr ? "-" : std::string(values.etag), row.etag);
    EXPECT_EQ(values.checksum_count, row.checksums);
    for (int i = 0; i < values.checksum_count; ++i) {
      EXPECT_EQ(values.checksums[i].alg, ChecksumAlg::kCrc32c);
      EXPECT_EQ(values.checksums[i].parts,
                row.name == std::string("etag_between_checksums") && i == 1 ? 2 : 0);
    }
  }
}
